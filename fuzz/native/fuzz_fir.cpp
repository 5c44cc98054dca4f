// libFuzzer target: fir_execute on the selected kernel variant against the
// scalar definition of every output, bit for bit.
//
// Real or complex taps (1 to 300, so histories longer than the vector
// blocks), then a stream of blocks, some longer than the 4032-sample
// stretches, each written to a separate out, to x itself, or to a view of
// x's own buffer shifted by a multiple of 4 bytes either way (the backwards
// path when out starts inside x); an occasional set_state or reset between
// blocks.  After each block every output equals the scalar definition over
// (history, block), NaN payloads aside (fuzz_input.h), and the state blob
// holds the block's last taps-1 samples.
#include <vector>

#include "filter/fir_core.h"
#include "fuzz_input.h"

using kxfuzz::check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    const bool real = in.ConsumeBool();
    const uint64_t L = in.ConsumeIntegralInRange<uint64_t>(1, 300);
    std::vector<float> taps(real ? L : 2 * L);
    kxfuzz::fill(in, taps.data(), taps.size());
    fir_filter *f = real ? fir_create_real(taps.data(), L)
                         : fir_create(reinterpret_cast<const cf32 *>(taps.data()), L);
    check(f != nullptr, "fir_create refused valid taps");
    const uint64_t hist = L - 1;
    std::vector<cf32> z(hist);  // the history the next block continues
    std::vector<uint8_t> blob(fir_state_bytes(f));

    for (int block = in.ConsumeIntegralInRange(1, 4); block > 0 && in.remaining_bytes(); block--) {
        switch (in.ConsumeIntegralInRange(0, 7)) {
        case 0:
            fir_reset(f);
            std::fill(z.begin(), z.end(), cf32());
            break;
        case 1:  // a restored delay line of arbitrary samples
            fir_get_state(f, blob.data());
            kxfuzz::fill(in, reinterpret_cast<float *>(z.data()), 2 * hist);
            if (hist != 0) std::memcpy(blob.data() + 16, z.data(), 8 * hist);
            check(fir_set_state(f, blob.data()) == KX_STATUS_OK, "a valid blob was refused");
            break;
        }
        const uint64_t n = in.ConsumeBool() ? in.ConsumeIntegralInRange<uint64_t>(0, 200)
                                            : in.ConsumeIntegralInRange<uint64_t>(4000, 9000);
        const kxfuzz::Placed placed = kxfuzz::place_out(in, n);
        float *xf = placed.x;
        float *of = placed.out;
        z.insert(z.end(), reinterpret_cast<cf32 *>(xf), reinterpret_cast<cf32 *>(xf) + n);

        const uint64_t got = fir_execute(f, reinterpret_cast<const cf32 *>(xf), n,
                                         reinterpret_cast<cf32 *>(of));
        check(got == n, "fir_execute wrote a different count");
        for (uint64_t i = 0; i < n; i++) {
            const cf32 want = real ? fir_dot_real_scalar(taps.data(), L, &z[hist + i])
                                   : fir_dot_complex_scalar(reinterpret_cast<const cf32 *>(taps.data()),
                                                            L, &z[hist + i]);
            check(kxfuzz::same_values(reinterpret_cast<const float *>(&want), of + 2 * i, 2),
                  "an output differs from the definition");
        }
        z.erase(z.begin(), z.end() - hist);
        fir_get_state(f, blob.data());
        check(kxfuzz::same_bits(blob.data() + 16, z.data(), 8 * hist), "delay line not the last samples");
    }
    fir_destroy(f);
    return 0;
}
