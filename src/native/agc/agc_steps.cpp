// Block path: the loop runs once per chunk of `decim` samples on the chunk's
// mean power, and the linear gain ramps across each chunk from the previous
// chunk's target to the new command (a first-order hold).
//
// The chunk kernel has a 128-bit form for the portable baseline and a 256-bit
// form for AVX2; both perform the same rounded operations in the same order,
// so they give identical bits.
#include "agc/agc_core.h"

#include <cstring>

#include "common/simd.h"

#include "common/no_libm.h"

namespace {

using kx::load;
using kx::store;
using kx::v4d;
using kx::v4f;
using kx::v8f;

// The gain of sample k of a chunk: (k+1) * G + a in double, then float32.
KX_ALWAYS_INLINE float ramp_gain(uint64_t k, double step, double start) noexcept {
    double g = static_cast<double>(k + 1) * step;
    g = g + start;
    return static_cast<float>(g);
}

// agc_clip in every lane: above t gives t, below neg (= -t) gives neg, NaN
// gives neg.
template <class V>
KX_ALWAYS_INLINE V clip_lanes(const V &w, const V &t, const V &neg) noexcept {
    const auto low = (w != w) | (neg > w);
    const V z = low ? neg : w;
    const auto high = (t < z) | (z != z);
    return high ? t : z;
}

// The two four-lane partials, added lane-wise and reduced as
// (l0 + l1) + (l2 + l3).
KX_ALWAYS_INLINE float reduce_partials(const v4f &s0, const v4f &s1) noexcept {
    const v4f v = s0 + s1;
    const float a01 = v[0] + v[1];
    const float a23 = v[2] + v[3];
    return a01 + a23;
}

// Samples k..m-1 of a chunk one at a time, their squares added onto s.
KX_ALWAYS_INLINE float chunk_tail(const float *x, float *out, uint64_t k, uint64_t m, double start,
                                  double step, float c, float s) noexcept {
    for (; k < m; k++) {
        const float g = ramp_gain(k, step, start);
        const float yr = x[2 * k] * g;
        const float yi = x[2 * k + 1] * g;
        const float qr = yr * yr;
        const float qi = yi * yi;
        s = s + qr;
        s = s + qi;
        // out may be any caller's array, aligned or not: store bytewise.
        const float pair[2] = {agc_clip(yr, c), agc_clip(yi, c)};
        std::memcpy(out + 2 * k, pair, sizeof pair);
    }
    return s;
}

// One chunk of m samples: gains x into out, sums the squares of the gained
// (unclipped) components in float32 and clips out in place; returns the sum.
//
// Order of the sum: the 2m floats are taken in groups of eight (four samples)
// into two four-lane partials, floats 0-3 and 4-7 of each group (held here
// as the two halves of one eight-lane vector); the partials are added
// lane-wise and reduced as (l0 + l1) + (l2 + l3); the remaining floats are
// added one at a time.  out may be x: each group is read before it is
// written.
//
// The 256-bit form, for AVX2: one eight-lane accumulator.
KX_ALWAYS_INLINE float chunk_kernel8(const float *x, float *out, uint64_t m, double start,
                                    double step, float c) noexcept {
    const v8f t = {c, c, c, c, c, c, c, c};
    const v8f neg = -t;
    const v4d vstep = {step, step, step, step};
    const v4d vstart = {start, start, start, start};
    v4d idx = {1.0, 2.0, 3.0, 4.0};
    const v4d four = {4.0, 4.0, 4.0, 4.0};
    v8f acc = {0, 0, 0, 0, 0, 0, 0, 0};
    uint64_t k = 0;
    for (; k + 4 <= m; k += 4) {
        // (k+1) is exact in double for any chunk that fits in memory, so
        // stepping the index vector by 4.0 equals converting k+1 afresh.
        v4d g = idx * vstep;
        g = g + vstart;
        const v4f gf = __builtin_convertvector(g, v4f);
        const v8f gains = __builtin_shufflevector(gf, gf, 0, 0, 1, 1, 2, 2, 3, 3);
        const v8f y = load<v8f>(x + 2 * k) * gains;
        const v8f sq = y * y;
        acc = acc + sq;
        store(out + 2 * k, clip_lanes(y, t, neg));
        idx = idx + four;
    }
    const v4f lo = __builtin_shufflevector(acc, acc, 0, 1, 2, 3);
    const v4f hi = __builtin_shufflevector(acc, acc, 4, 5, 6, 7);
    const float s = reduce_partials(lo, hi);
    return chunk_tail(x, out, k, m, start, step, c, s);
}

// The 128-bit form (SSE2, NEON, or plain code): the two partials apart.
KX_ALWAYS_INLINE float chunk_kernel4(const float *x, float *out, uint64_t m, double start,
                                     double step, float c) noexcept {
    const v4f t = {c, c, c, c};
    const v4f neg = -t;
    v4f s0 = {0, 0, 0, 0};
    v4f s1 = {0, 0, 0, 0};
    uint64_t k = 0;
    for (; k + 4 <= m; k += 4) {
        const float g0 = ramp_gain(k, step, start);
        const float g1 = ramp_gain(k + 1, step, start);
        const float g2 = ramp_gain(k + 2, step, start);
        const float g3 = ramp_gain(k + 3, step, start);
        const v4f ga = {g0, g0, g1, g1};
        const v4f gb = {g2, g2, g3, g3};
        const v4f ya = load<v4f>(x + 2 * k) * ga;
        const v4f yb = load<v4f>(x + 2 * k + 4) * gb;
        const v4f qa = ya * ya;
        const v4f qb = yb * yb;
        s0 = s0 + qa;
        s1 = s1 + qb;
        store(out + 2 * k, clip_lanes(ya, t, neg));
        store(out + 2 * k + 4, clip_lanes(yb, t, neg));
    }
    const float s = reduce_partials(s0, s1);
    return chunk_tail(x, out, k, m, start, step, c, s);
}

// The whole block path; the level only picks the chunk kernel.
struct StepsKernel {
    using fn = void (*)(agc_core *, const float *, float *, uint64_t) noexcept;
    // Eight lanes at most: an AVX-512 build of the same kernel measured no
    // faster, so AVX-512 machines run the AVX2 variant.
    static constexpr kx::CpuLevel widest = kx::CPU_AVX2;

    template <kx::CpuLevel L>
    KX_ALWAYS_INLINE static void run(agc_core *a, const float *x, float *out, uint64_t n) noexcept {
        if (n == 0) return;
        const uint64_t chunk = a->decim >= 2 ? a->decim : 1;
        const double loop_k = 4.0 * a->loop_bw;
        const double alpha_full = agc_chunk_coeff(a->alpha, chunk);
        const double k_full = agc_chunk_coeff(loop_k, chunk);
        const double inv_full = 1.0 / static_cast<double>(chunk);
        const float c = agc_clip_level(a->clip_db);
        double start = a->g_last;

        for (uint64_t pos = 0; pos < n; pos += chunk) {
            const uint64_t left = n - pos;
            uint64_t m = chunk;
            double alpha_m = alpha_full;
            double k_m = k_full;
            double inv_m = inv_full;
            if (left < chunk) {
                // A short last chunk gets coefficients for its own length.
                m = left;
                alpha_m = agc_chunk_coeff(a->alpha, m);
                k_m = agc_chunk_coeff(loop_k, m);
                inv_m = 1.0 / static_cast<double>(m);
            }
            const double g_new = db_to_amp(a->gain_db);
            double step = g_new - start;
            step = step * inv_m;
            const float s = L == kx::CPU_BASELINE
                                ? chunk_kernel4(x + 2 * pos, out + 2 * pos, m, start, step, c)
                                : chunk_kernel8(x + 2 * pos, out + 2 * pos, m, start, step, c);

            const double power = inv_m * static_cast<double>(s);
            agc_detect(a, agc_clamp_power(power, 0.0), alpha_m);
            agc_loop_update(a, k_m);
            start = g_new;
        }
        a->g_last = start;
    }
};

}  // namespace

void agc_steps(agc_core *a, const cf32 *x, cf32 *out, uint64_t n) noexcept {
    static const StepsKernel::fn impl = kx::select_variant<StepsKernel>();
    impl(a, reinterpret_cast<const float *>(x), reinterpret_cast<float *>(out), n);
}
