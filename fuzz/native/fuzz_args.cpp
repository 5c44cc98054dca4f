// libFuzzer target: the cores' argument paths, each against a property that
// defines it.
//
//   settling   agc_settling_samples equals the same query run in slices of
//              any size (the binding's path), for any arguments
//   agc        any parameters and unsigned fields (0, huge): agc_steps on a
//              block equals agc_steps on the block cut at a chunk boundary,
//              output and state; agc_step runs
//   boxcar     any length and gain: boxcar_steps equals boxcar_step in turn
//              (NaN payloads aside)
//   design     kaiser_lowpass over any band edges and attenuation whose tap
//              count is small: symmetric taps
//   telemetry  a ring of any shape (capacity within its records, any mask,
//              head and tail): attach refuses the inconsistent ones, the
//              producer and the consumer stay within the records
#include <vector>

#include "agc/agc_core.h"
#include "filter/boxcar_core.h"
#include "filter/kaiser_core.h"
#include "kx_tlm/kx_tlm_consumer.h"
#include "fuzz_input.h"

using kxfuzz::check;
using kxfuzz::number;

namespace {

void settling(FuzzedDataProvider &in) {
    double loop_bw = number(in);
    // The cost grows as 1/loop_bw: keep each query short.
    if (loop_bw > 0.0 && loop_bw < 1e-3) loop_bw = 1e-3;
    const double alpha = number(in), err = number(in), tol = number(in);
    const uint64_t whole = agc_settling_samples(loop_bw, alpha, err, tol);
    agc_settling q;
    if (!agc_settling_start(&q, loop_bw, alpha, err, tol)) {
        const uint64_t slice = in.ConsumeIntegralInRange<uint64_t>(1, 3000);
        int rounds = 0;
        while (!agc_settling_run(&q, slice))
            if (++rounds > 1000000) kxfuzz::finding("a sliced query does not end");
    }
    check(q.result == whole && q.a == nullptr, "the sliced query answers differently");
}

void agc(FuzzedDataProvider &in) {
    agc_core *a = agc_create(number(in), number(in), number(in));
    agc_core *b = agc_create(0.0, 0.0, 0.0);
    if (a == nullptr || b == nullptr) kxfuzz::finding("agc_create returned NULL");
    a->clip_db = number(in);
    a->decim = in.ConsumeBool() ? in.ConsumeIntegralInRange<uint64_t>(0, 40) : in.ConsumeIntegral<uint64_t>();
    a->gain_update_period = in.ConsumeIntegral<uint64_t>() >> in.ConsumeIntegralInRange(0, 63);
    std::vector<cf32> x(in.ConsumeIntegralInRange<std::size_t>(0, 300)), y(x.size()), z(x.size());
    kxfuzz::fill(in, reinterpret_cast<float *>(x.data()), 2 * x.size());
    std::vector<uint8_t> s(agc_state_bytes(a)), t(s.size());
    agc_get_state(a, s.data());
    check(agc_set_state(b, s.data()) == KX_STATUS_OK, "an AGC refused its own state");
    agc_steps(a, x.data(), y.data(), x.size());
    const uint64_t chunk = b->decim == 0 ? 1 : b->decim;
    const uint64_t cut = chunk > x.size() ? 0 : chunk * in.ConsumeIntegralInRange<uint64_t>(0, x.size() / chunk);
    agc_steps(b, x.data(), z.data(), cut);
    agc_steps(b, x.data() + cut, z.data() + cut, x.size() - cut);
    agc_get_state(a, s.data());
    agc_get_state(b, t.data());
    check(s == t && kxfuzz::same_bits(y.data(), z.data(), 8 * y.size()),
          "a block cut at a chunk boundary gives other bits");
    for (std::size_t i = 0; i < x.size() && i < 16; i++) agc_step(a, &x[i], &y[i]);
    agc_destroy(a);
    agc_destroy(b);
}

void boxcar(FuzzedDataProvider &in) {
    const uint64_t len = in.ConsumeBool() ? in.ConsumeIntegralInRange<uint64_t>(0, 70) : in.ConsumeIntegral<uint64_t>();
    const double gain = number(in);
    boxcar_filter *a = boxcar_create(len, gain);
    check((a != nullptr) == (len >= 1 && len <= BOXCAR_MAX_LEN), "boxcar_create's length range");
    if (a == nullptr) return;
    boxcar_filter *b = boxcar_create(len, gain);
    std::vector<cf32> x(in.ConsumeIntegralInRange<std::size_t>(0, 300)), y(x.size()), z(x.size());
    kxfuzz::fill(in, reinterpret_cast<float *>(x.data()), 2 * x.size());
    boxcar_steps(a, x.data(), y.data(), x.size());
    for (std::size_t i = 0; i < x.size(); i++) boxcar_step(b, &x[i], &z[i]);
    check(kxfuzz::same_values(reinterpret_cast<const float *>(y.data()),
                              reinterpret_cast<const float *>(z.data()), 2 * y.size()),
          "boxcar_steps differs from boxcar_step");
    boxcar_destroy(a);
    boxcar_destroy(b);
}

void design(FuzzedDataProvider &in) {
    const double fpass = number(in), fstop = number(in), atten = number(in);
    int32_t n = 0;
    if (kaiser_lowpass_len(fpass, fstop, atten, &n) != KX_STATUS_OK || n <= 0 || n > 20000) return;
    std::vector<float> taps(std::size_t(n), -1.0f);
    if (kaiser_lowpass(fpass, fstop, atten, taps.data()) != KX_STATUS_OK) return;
    for (int32_t i = 0; i < n; i++)
        check(kxfuzz::same_bits(&taps[std::size_t(i)], &taps[std::size_t(n - 1 - i)], 4),
              "taps not symmetric");
}

void telemetry(FuzzedDataProvider &in) {
    const uint64_t held = uint64_t(1) << in.ConsumeIntegralInRange(0, 6);
    kx_tlm_ctx *ctx = kx_tlm_create(held);
    kx_tlm_ring *ring = ctx->ring_ctl;
    // Any shape whose capacity does not claim more records than there are.
    ring->capacity = in.ConsumeIntegralInRange<uint64_t>(0, held);
    ring->mask = in.ConsumeBool() ? ring->capacity - 1 : in.ConsumeIntegral<uint64_t>();
    ring->tail = in.ConsumeIntegral<uint64_t>();
    ring->head = ring->tail + (in.ConsumeBool() ? in.ConsumeIntegralInRange<uint64_t>(0, held) : in.ConsumeIntegral<uint64_t>());
    const bool consistent = kx_tlm_ring_shape_ok(ring->capacity, ring->mask) && ring->head - ring->tail <= ring->capacity;
    agc_core *a = agc_create(0.0, 0.05, 0.5);
    const int rc = agc_set_telemetry(a, ctx, "f", in.ConsumeIntegralInRange<uint32_t>(1, 3));
    check((rc == KX_STATUS_OK) == consistent, "attach accepted an inconsistent ring, or refused a good one");
    std::vector<uint8_t> rows(KX_TLM_ROW_BYTES * held);
    for (int k = in.ConsumeIntegralInRange(0, 40); k > 0; k--) {
        if (in.ConsumeBool()) {
            const cf32 x(0.5f, 0.0f);
            cf32 y;
            agc_step(a, &x, &y);
        } else {
            const uint64_t n = kx_tlm_pending(ctx);
            check(n <= ring->capacity, "pending beyond the capacity");
            kx_tlm_consume(ctx, rows.data(), in.ConsumeIntegralInRange<uint64_t>(0, n));
        }
        if (in.ConsumeIntegralInRange(0, 15) == 0) ring->mask = in.ConsumeIntegral<uint64_t>();
    }
    agc_destroy(a);
    kx_tlm_destroy(ctx);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    switch (in.ConsumeIntegralInRange(0, 4)) {
    case 0: settling(in); break;
    case 1: agc(in); break;
    case 2: boxcar(in); break;
    case 3: design(in); break;
    default: telemetry(in);
    }
    return 0;
}
