// libFuzzer target: the Rotator on the selected kernel variant against its
// scalar definition, and its state-blob reader.
//
// Any increment, phase and place in the group (arbitrary 64-bit
// accumulators, so every octant and every carry between the lanes' halves is
// reached, and groups that straddle blocks), a stream cut into
// blocks at arbitrary points, each rotated to a separate out or in place:
// the outputs equal the definition run over the whole stream at once, NaN
// payloads aside (fuzz_input.h), and the phase ends at phase0 + n*inc.  An
// occasional reset between blocks, and a blob of arbitrary or mutated bytes
// offered to set_state: refused leaves the state as it was, accepted is
// what get_state returns afterwards.
#include <vector>

#include "channel/rotator_core.h"
#include "common/blob.h"
#include "fuzz_input.h"

using kxfuzz::check;

namespace {

void offer_blob(FuzzedDataProvider &in, rotator *r) {
    std::vector<uint8_t> before(ROTATOR_STATE_BYTES), blob(ROTATOR_STATE_BYTES),
        after(ROTATOR_STATE_BYTES);
    rotator_get_state(r, before.data());
    blob = before;
    if (in.ConsumeBool()) {
        const std::vector<uint8_t> raw = in.ConsumeBytes<uint8_t>(blob.size());
        std::copy(raw.begin(), raw.end(), blob.begin());
    } else {
        for (int k = in.ConsumeIntegralInRange(1, 4); k > 0; k--)
            blob[in.ConsumeIntegralInRange<std::size_t>(0, blob.size() - 1)] =
                in.ConsumeIntegral<uint8_t>();
    }
    const int status = rotator_set_state(r, blob.data());
    rotator_get_state(r, after.data());
    if (status != KX_STATUS_OK)
        check(after == before, "a refused blob changed the state");
    else
        check(std::equal(after.begin() + 16, after.end(), blob.begin() + 16),
              "an accepted blob was not taken as it stands");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    rotator *r = rotator_create(kxfuzz::number(in), kxfuzz::number(in));
    if (r == nullptr) return 0;  // a non-finite shift or phase
    if (in.ConsumeBool()) {
        r->inc = in.ConsumeIntegral<uint64_t>();
        r->phase = r->phase0 = in.ConsumeIntegral<uint64_t>();
        r->place = in.ConsumeIntegralInRange<uint64_t>(0, ROTATOR_GROUP - 1);
        rotator_fill_table(r);
    }
    if (in.ConsumeIntegralInRange(0, 7) == 0) offer_blob(in, r);
    rotator ref = *r;
    for (int block = in.ConsumeIntegralInRange(1, 6); block > 0 && in.remaining_bytes(); block--) {
        if (in.ConsumeIntegralInRange(0, 7) == 0) {
            rotator_reset(r);
            rotator_reset(&ref);
        }
        const uint64_t n = in.ConsumeBool() ? in.ConsumeIntegralInRange<uint64_t>(0, 40)
                                            : in.ConsumeIntegralInRange<uint64_t>(41, 3000);
        const bool in_place = in.ConsumeBool();
        std::vector<cf32> x(n), y(n), want(n);
        kxfuzz::fill(in, reinterpret_cast<float *>(x.data()), 2 * n);
        const uint64_t phase = r->phase;
        rotator_steps_scalar(&ref, x.data(), want.data(), n);
        cf32 *out = in_place ? x.data() : y.data();
        rotator_steps(r, x.data(), out, n);
        check(kxfuzz::same_values(reinterpret_cast<const float *>(out),
                                  reinterpret_cast<const float *>(want.data()), 2 * n),
              "an output differs from the definition");
        check(r->phase == phase + n * r->inc && r->phase == ref.phase,
              "the phase did not advance by n increments");
        check(r->place == ref.place && r->place < uint64_t(ROTATOR_GROUP),
              "the place in the group did not advance by n");
    }
    rotator_destroy(r);
    return 0;
}
