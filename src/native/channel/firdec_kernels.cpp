// Decimating FIR kernel: one kept output per pass, its eight partial sums
// side by side in the lanes of a 16-float vector.
//
// Kept outputs lie factor samples apart, so the FIR's kernels, which put
// consecutive outputs in lanes, would need strided loads.  Here the lanes
// hold the partials of one output instead: group g of its window, the eight
// samples x[n-8g-7 .. n-8g], is one contiguous 16-float vector, and with the
// taps of the group spread in reverse (fir_decimator::lanes) sample slot j
// meets tap 8g+7-j, which belongs to partial 7-j.  One vector multiply-add
// per group (one 512-bit vector with AVX-512, two 256-bit ones with AVX2,
// four 128-bit ones on the baseline) so runs every partial's own scalar
// sequence, taps in increasing k.  The fixed tree
// ((P0+P4)+(P2+P6))+((P1+P5)+(P3+P7)) is three halvings of that vector, each
// adding the upper half, which holds the lower-numbered partials, first;
// the taps past the last full group follow one at a time, each on the pair
// (R, I) in the low lanes of a 4-float vector as the FIR's kernels add a tap.  Every variant performs the same rounded operations in the
// same order, so all give the FIR's bits.
#include "channel/firdec_core.h"

#include <cstring>

#include "common/simd.h"
#include "filter/fir_lanes.h"

#include "common/no_libm.h"

namespace {

using kx::lanes;
using kx::load;
using kx::swap_pairs;
using kx::v4f;

// Outputs per pass: independent addition chains that hide the adder's
// latency, as many as the register file holds with the tap vectors.
template <class V, bool Real>
constexpr int outputs_per_pass = lanes<V> == 4 ? 2 : lanes<V> == 8 ? (Real ? 4 : 3) : (Real ? 8 : 6);

// One group onto the partials.  Real: acc + h*x.  Complex:
// (acc + hr*x) + cross*swap(x), i.e. R <- (R + hr*xr) - hi*xi and
// I <- (I + hr*xi) + hi*xr.
template <class V, bool Real>
KX_ALWAYS_INLINE V group_add(const V &acc, const V &x, const float *t, int v) noexcept {
    constexpr int W = lanes<V>;
    const V prod = load<V>(t + v * W) * x;
    const V sum = acc + prod;
    if constexpr (Real) {
        return sum;
    } else {
        const V cross = load<V>(t + 16 + v * W) * swap_pairs(x);
        return sum + cross;
    }
}

// The first halving: the 16 floats of the partials, in G = 16/W vectors,
// down to two 4-float vectors, lo = (P3+P7, P2+P6) and hi = (P1+P5, P0+P4).
template <class V>
KX_ALWAYS_INLINE void halve(const V *acc, v4f *lo, v4f *hi) noexcept {
    if constexpr (lanes<V> == 16) {
        const kx::v8f a = __builtin_shufflevector(acc[0], acc[0], 8, 9, 10, 11, 12, 13, 14, 15);
        const kx::v8f b = __builtin_shufflevector(acc[0], acc[0], 0, 1, 2, 3, 4, 5, 6, 7);
        const kx::v8f s = a + b;
        *lo = __builtin_shufflevector(s, s, 0, 1, 2, 3);
        *hi = __builtin_shufflevector(s, s, 4, 5, 6, 7);
    } else if constexpr (lanes<V> == 8) {
        const V s = acc[1] + acc[0];
        *lo = __builtin_shufflevector(s, s, 0, 1, 2, 3);
        *hi = __builtin_shufflevector(s, s, 4, 5, 6, 7);
    } else {
        *lo = acc[2] + acc[0];
        *hi = acc[3] + acc[1];
    }
}

// Sample s as (re, im, 0, 0), in one 64-bit load: built through memory, the
// vector would be read back before the store of its half has completed.
KX_ALWAYS_INLINE v4f load_sample(const cf32 *s) noexcept {
    typedef unsigned long long v2u __attribute__((vector_size(16)));
    unsigned long long bits;
    std::memcpy(&bits, s, sizeof bits);
    const v2u v = {bits, 0};
    return reinterpret_cast<const v4f &>(v);
}

// NO kept outputs; s0 is the newest sample of the first one's window.
template <class V, bool Real, int NO>
KX_ALWAYS_INLINE void pass(const fir_decimator *d, const cf32 *s0, uint64_t stride,
                           cf32 *out) noexcept {
    constexpr int W = lanes<V>;
    constexpr int G = 16 / W;
    const uint64_t len = d->fir->taps_len;
    const uint64_t groups = len / 8;
    v4f r[NO];  // (R, I, -, -) of each output
    if (groups != 0) {
        V acc[NO][G];
#pragma GCC unroll 16
        for (int o = 0; o < NO; o++)
#pragma GCC unroll 4
            for (int v = 0; v < G; v++) acc[o][v] = V{};
        // Output o's group g starts 8g+7 samples before its newest sample.
        const float *x0 = reinterpret_cast<const float *>(s0) - 14;
        const float *t = d->lanes;
        for (uint64_t g = 0; g < groups; g++) {
#pragma GCC unroll 16
            for (int o = 0; o < NO; o++) {
                const float *xo = x0 + 2 * o * stride;
#pragma GCC unroll 4
                for (int v = 0; v < G; v++)
                    acc[o][v] = group_add<V, Real>(acc[o][v], load<V>(xo + v * W), t, v);
            }
            x0 -= 16;
            t += Real ? 16 : 32;
        }
#pragma GCC unroll 16
        for (int o = 0; o < NO; o++) {
            v4f lo, hi;
            halve<V>(acc[o], &lo, &hi);
            const v4f q = hi + lo;  // (P1+P5)+(P3+P7), (P0+P4)+(P2+P6)
            const v4f ab = __builtin_shufflevector(q, q, 2, 3, 0, 1);
            r[o] = ab + q;
        }
    } else {
#pragma GCC unroll 16
        for (int o = 0; o < NO; o++) r[o] = v4f{};
    }
    const float *h = Real ? d->fir->taps_real : reinterpret_cast<const float *>(d->fir->taps);
    for (uint64_t k = groups * 8; k < len; k++) {
        const kx::FirTap<v4f, Real> tap(h, k);
#pragma GCC unroll 16
        for (int o = 0; o < NO; o++) r[o] = tap.add(r[o], load_sample(s0 + o * stride - k));
    }
#pragma GCC unroll 16
    for (int o = 0; o < NO; o++)
        // A caller's out need only be float-aligned (or not at all).
        std::memcpy(static_cast<void *>(out + o), &r[o], sizeof(cf32));
}

template <class V, bool Real>
KX_ALWAYS_INLINE void run_kind(const fir_decimator *d, const cf32 *s, uint64_t stride,
                               uint64_t count, cf32 *out) noexcept {
    constexpr int NO = outputs_per_pass<V, Real>;
    uint64_t j = 0;
    for (; j + NO <= count; j += NO) pass<V, Real, NO>(d, s + j * stride, stride, out + j);
    for (; j < count; j++) pass<V, Real, 1>(d, s + j * stride, stride, out + j);
}

struct DecimateKernel {
    using fn = void (*)(const fir_decimator *, const cf32 *, uint64_t, uint64_t, cf32 *) noexcept;
    static constexpr kx::CpuLevel widest = kx::CPU_AVX512;

    template <kx::CpuLevel L>
    KX_ALWAYS_INLINE static void run(const fir_decimator *d, const cf32 *s, uint64_t stride,
                                     uint64_t count, cf32 *out) noexcept {
        using V = kx::vec_for<L>;
        if (d->fir->taps_real != nullptr)
            run_kind<V, true>(d, s, stride, count, out);
        else
            run_kind<V, false>(d, s, stride, count, out);
    }
};

}  // namespace

void firdec_run(const fir_decimator *d, const cf32 *s, uint64_t stride, uint64_t count,
                cf32 *out) noexcept {
    // The best variant is fixed for the process: resolve it once.
    static const DecimateKernel::fn impl = kx::select_variant<DecimateKernel>();
    impl(d, s, stride, count, out);
}
