// libFuzzer target: the three state-blob readers.
//
// A blob of the right length, either arbitrary bytes or a real blob with
// some bytes changed (in the header or only in the body), is offered to an
// AGC, a FIR or a moving average.  A refused blob leaves the state as it was;
// an accepted one is what get_state then returns (the body verbatim up to
// the end that each type takes as it stands), and the object processes a block from that state, whatever the
// body held, and takes its own state back.
#include <vector>

#include "agc/agc_core.h"
#include "filter/boxcar_core.h"
#include "filter/fir_core.h"
#include "fuzz_input.h"

using kxfuzz::check;

namespace {

template <class Core>
struct Ops {
    std::size_t (*bytes)(const Core *);
    void (*get)(const Core *, uint8_t *);
    int (*set)(Core *, const uint8_t *);
    void (*run)(Core *, const cf32 *, cf32 *, uint64_t);
    void (*destroy)(Core *);
};

void fir_run_block(fir_filter *f, const cf32 *x, cf32 *y, uint64_t n) { fir_execute(f, x, n, y); }

template <class Core>
void exercise(FuzzedDataProvider &in, Core *c, const Ops<Core> &ops, std::size_t verbatim_end) {
    const std::size_t size = ops.bytes(c);
    std::vector<uint8_t> before(size), blob(size), after(size);
    std::vector<cf32> x(in.ConsumeIntegralInRange<std::size_t>(0, 64)), y(x.size());
    kxfuzz::fill(in, reinterpret_cast<float *>(x.data()), 2 * x.size());
    ops.run(c, x.data(), y.data(), x.size());
    ops.get(c, before.data());
    blob = before;
    const int how = in.ConsumeIntegralInRange(0, 2);
    if (how == 0) {
        const std::vector<uint8_t> raw = in.ConsumeBytes<uint8_t>(size);
        std::copy(raw.begin(), raw.end(), blob.begin());
    } else {
        for (int k = in.ConsumeIntegralInRange(1, 8); k > 0; k--) {
            const std::size_t lo = how == 1 || size <= 16 ? 0 : 16;  // how 2: the body only
            const std::size_t pos = in.ConsumeIntegralInRange<std::size_t>(lo, size - 1);
            blob[pos] = in.ConsumeIntegral<uint8_t>();
        }
    }
    if (ops.set(c, blob.data()) != KX_STATUS_OK) {
        ops.get(c, after.data());
        check(after == before, "a refused blob changed the state");
    } else {
        ops.get(c, after.data());
        check(std::equal(after.begin() + 16, after.begin() + verbatim_end, blob.begin() + 16),
              "an accepted blob was not taken as it stands");
        ops.run(c, x.data(), y.data(), x.size());
        ops.get(c, after.data());
        check(ops.set(c, after.data()) == KX_STATUS_OK, "an object refused its own state");
    }
    ops.destroy(c);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    switch (in.ConsumeIntegralInRange(0, 2)) {
    case 0:
        exercise<agc_core>(in, agc_create(kxfuzz::number(in), 0.01, 0.1),
                           {agc_state_bytes, agc_get_state, agc_set_state, agc_steps, agc_destroy},
                           104);
        break;
    case 1: {
        std::vector<float> taps(in.ConsumeIntegralInRange<std::size_t>(1, 40), 0.25f);
        fir_filter *f = fir_create_real(taps.data(), taps.size());
        exercise<fir_filter>(in, f,
                             {fir_state_bytes, fir_get_state, fir_set_state, fir_run_block,
                              fir_destroy},
                             fir_state_bytes(f));
        break;
    }
    default:
        exercise<boxcar_filter>(in, boxcar_create(in.ConsumeIntegralInRange<uint64_t>(1, 64), 1.0),
                                {boxcar_state_bytes, boxcar_get_state, boxcar_set_state,
                                 boxcar_steps, boxcar_destroy},
                                16);
    }
    return 0;
}
