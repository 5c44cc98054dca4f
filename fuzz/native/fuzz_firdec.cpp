// libFuzzer target: firdec_execute on the selected kernel variant against
// the FIR's scalar definition of every kept output, bit for bit, and the
// decimator's blob reader.
//
// Real or complex taps (1 to 140), a factor (1 to 20, or huge), then a
// stream of blocks, empty, shorter than the factor or longer than the
// 4096-sample stretches, each written to a separate out, to x itself or to
// a view of x's buffer shifted either way; between blocks an occasional
// reset or a blob offered to set_state, valid or with bytes changed.  After
// each block every output equals the scalar definition over (history,
// block) at the kept indices, NaN payloads aside, and the phase and the
// delay line are where the stream left them; a refused blob changes nothing.
#include <vector>

#include "channel/firdec_core.h"
#include "fuzz_input.h"

using kxfuzz::check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    const bool real = in.ConsumeBool();
    const uint64_t L = in.ConsumeIntegralInRange<uint64_t>(1, 140);
    const uint64_t D = in.ConsumeIntegralInRange(0, 15) == 0
                           ? in.ConsumeIntegralInRange<uint64_t>(1, FIRDEC_MAX_FACTOR)
                           : in.ConsumeIntegralInRange<uint64_t>(1, 20);
    std::vector<float> taps(real ? L : 2 * L);
    kxfuzz::fill(in, taps.data(), taps.size());
    const cf32 *ctaps = reinterpret_cast<const cf32 *>(taps.data());
    fir_decimator *d = real ? firdec_create_real(taps.data(), L, D) : firdec_create(ctaps, L, D);
    check(d != nullptr, "firdec_create refused valid arguments");
    const uint64_t hist = L - 1;
    std::vector<cf32> z(hist);  // the history the next block continues
    uint64_t phase = 0;
    std::vector<uint8_t> blob(firdec_state_bytes(d)), after(blob.size());

    for (int block = in.ConsumeIntegralInRange(1, 5); block > 0 && in.remaining_bytes(); block--) {
        switch (in.ConsumeIntegralInRange(0, 5)) {
        case 0:
            firdec_reset(d);
            std::fill(z.begin(), z.end(), cf32());
            phase = 0;
            break;
        case 1: {  // a blob, perhaps damaged
            firdec_get_state(d, blob.data());
            kxfuzz::fill(in, reinterpret_cast<float *>(z.data()), 2 * hist);
            const uint64_t p = in.ConsumeIntegralInRange<uint64_t>(0, D - 1);
            for (int i = 0; i < 8; i++) blob[24 + i] = uint8_t(p >> (8 * i));
            if (hist != 0) std::memcpy(blob.data() + FIRDEC_STATE_FIXED, z.data(), 8 * hist);
            std::vector<uint8_t> before(blob.size());
            firdec_get_state(d, before.data());
            const bool damage = in.ConsumeBool();
            if (damage) blob[in.ConsumeIntegralInRange<std::size_t>(0, 31)] ^= in.ConsumeIntegralInRange<uint8_t>(1, 255);
            if (firdec_set_state(d, blob.data()) == KX_STATUS_OK) {
                firdec_get_state(d, after.data());
                check(std::equal(after.begin() + 16, after.end(), blob.begin() + 16),
                      "an accepted blob was not taken as it stands");
                phase = d->phase;
            } else {
                check(damage, "a valid blob was refused");
                firdec_get_state(d, after.data());
                check(after == before, "a refused blob changed the state");
                z.assign(reinterpret_cast<const cf32 *>(before.data() + FIRDEC_STATE_FIXED),
                         reinterpret_cast<const cf32 *>(before.data() + FIRDEC_STATE_FIXED) + hist);
            }
            break;
        }
        }
        const uint64_t n = in.ConsumeBool() ? in.ConsumeIntegralInRange<uint64_t>(0, 60)
                                            : in.ConsumeIntegralInRange<uint64_t>(4000, 9000);
        const uint64_t n_out = firdec_output_length(d, n);
        const kxfuzz::Placed placed = kxfuzz::place_out(in, n);
        float *xf = placed.x;
        float *of = placed.out;
        z.insert(z.end(), reinterpret_cast<cf32 *>(xf), reinterpret_cast<cf32 *>(xf) + n);

        const uint64_t got = firdec_execute(d, reinterpret_cast<const cf32 *>(xf), n,
                                            reinterpret_cast<cf32 *>(of));
        check(got == n_out, "firdec_execute wrote another count than output_length");
        uint64_t i = phase == 0 ? 0 : D - phase;
        for (uint64_t j = 0; j < n_out; j++, i += D) {
            const cf32 want = real ? fir_dot_real_scalar(taps.data(), L, &z[hist + i])
                                   : fir_dot_complex_scalar(ctaps, L, &z[hist + i]);
            check(kxfuzz::same_values(reinterpret_cast<const float *>(&want), of + 2 * j, 2),
                  "a kept output differs from the definition");
        }
        phase = (phase + n % D) % D;
        check(d->phase == phase, "the phase did not move on by the block");
        z.erase(z.begin(), z.end() - hist);
        firdec_get_state(d, blob.data());
        check(kxfuzz::same_bits(blob.data() + FIRDEC_STATE_FIXED, z.data(), 8 * hist),
              "delay line not the last samples");
    }
    firdec_destroy(d);
    return 0;
}
