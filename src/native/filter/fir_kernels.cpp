// FIR inner-product kernels: the scalar definition of every output's order,
// and the vector kernels that follow it.
//
// The scalar functions fir_dot_real_scalar and fir_dot_complex_scalar define
// the order of every sum.  The vector kernels compute several consecutive
// outputs side by side instead of splitting one output across lanes: a
// vector holds the interleaved (re, im) pairs of lanes/2 outputs, every
// partial sum of those outputs is one vector, and so every lane performs
// exactly the scalar sequence of its own output.  One template serves the
// portable baseline (128-bit vectors) and, on x86-64, AVX2 (256-bit) and
// AVX-512 (512-bit); all give the same bits.
#include "filter/fir_core.h"

#include <cstring>

#include "common/simd.h"
#include "filter/fir_lanes.h"

#include "common/no_libm.h"

namespace {

using kx::lanes;
using kx::load;
using kx::store;
using kx::FirTap;

// ---------------------------------------------------------------- kernel
//
// NV * lanes/2 consecutive outputs.  s points at the floats of the newest
// sample of the first output's window; tap k of vector v reads the floats at
// s + v*lanes - 2k, consecutive samples that all lie in scratch (the delay
// line precedes the block).  out receives the interleaved results; it never
// aliases scratch.
//
// The partials are produced one after another, each over all NV vectors of
// outputs: one tap broadcast serves NV vectors, and NV independent addition
// chains hide the adder latency.  The loaded samples are blocked in
// registers across taps as well: tap k+8 of vector v reads exactly what tap
// k of vector v-D read (D = 8 samples / samples per vector), so each step of
// a partial loads only D new vectors and shifts the rest.  Partial m of
// every lane still takes its taps k = m, m+8, ... in increasing k and meets
// the others in the fixed tree, then the tail taps follow one at a time:
// lane by lane the exact scalar order.
template <class V, bool Real, int NV>
KX_ALWAYS_INLINE void fir_kernel(const float *h, uint64_t len, const float *s,
                                 float *out) noexcept {
    constexpr int W = lanes<V>;
    constexpr int D = 16 / W;
    const uint64_t body = len & ~uint64_t(7);
    V r[NV];
    if (body != 0) {
        V p[8][NV];
        for (uint64_t m = 0; m < 8; m++) {
            V acc[NV];
            V xs[NV];
#pragma GCC unroll 16
            for (int v = 0; v < NV; v++) acc[v] = V{};
#pragma GCC unroll 16
            for (int v = 0; v < NV; v++) xs[v] = load<V>(s - 2 * m + v * W);
            const uint64_t groups = body / 8;
            uint64_t k = m;
// Three steps per pass let the compiler rename the shifted registers
// instead of moving them (the shift repeats after three steps when NV = 6).
#pragma GCC unroll 3
            for (uint64_t g = 1; g < groups; g++) {
                const FirTap<V, Real> tap(h, k);
#pragma GCC unroll 16
                for (int v = 0; v < NV; v++) acc[v] = tap.add(acc[v], xs[v]);
                k += 8;
#pragma GCC unroll 16
                for (int v = NV - 1; v >= D; v--) xs[v] = xs[v - D];
#pragma GCC unroll 16
                for (int v = 0; v < D && v < NV; v++) xs[v] = load<V>(s - 2 * k + v * W);
            }
            const FirTap<V, Real> tap(h, k);
#pragma GCC unroll 16
            for (int v = 0; v < NV; v++) acc[v] = tap.add(acc[v], xs[v]);
#pragma GCC unroll 16
            for (int v = 0; v < NV; v++) p[m][v] = acc[v];
        }
#pragma GCC unroll 16
        for (int v = 0; v < NV; v++) r[v] = kx::combine_partials(p, v);
    } else {
#pragma GCC unroll 16
        for (int v = 0; v < NV; v++) r[v] = V{};
    }
    for (uint64_t k = body; k < len; k++) {
        const FirTap<V, Real> tap(h, k);
        const float *sk = s - 2 * k;
#pragma GCC unroll 16
        for (int v = 0; v < NV; v++) r[v] = tap.add(r[v], load<V>(sk + v * W));
    }
#pragma GCC unroll 16
    for (int v = 0; v < NV; v++) store(out + v * W, r[v]);
}

// Outputs 0 .. n-1 of one stretch: blocks of several vectors, then single
// vectors, then the scalar definition for the last few.  win[i] is the
// newest sample of output i's window.
template <class V, bool Real>
KX_ALWAYS_INLINE void run_kind(const fir_filter *f, const cf32 *win, uint64_t n,
                               cf32 *out) noexcept {
    constexpr uint64_t per = uint64_t(lanes<V> / 2);
    constexpr int NV = kx::block_vectors<V, Real>;
    const uint64_t len = f->taps_len;
    const float *h = Real ? f->taps_real : reinterpret_cast<const float *>(f->taps);
    uint64_t i = 0;
    for (; i + NV * per <= n; i += NV * per)
        fir_kernel<V, Real, NV>(h, len, reinterpret_cast<const float *>(win + i),
                                reinterpret_cast<float *>(out + i));
    for (; i + per <= n; i += per)
        fir_kernel<V, Real, 1>(h, len, reinterpret_cast<const float *>(win + i),
                               reinterpret_cast<float *>(out + i));
    for (; i < n; i++) {
        cf32 y;
        if constexpr (Real)
            y = fir_dot_real_scalar(f->taps_real, len, win + i);
        else
            y = fir_dot_complex_scalar(f->taps, len, win + i);
        // A caller's out need only be float-aligned (or not at all).
        std::memcpy(static_cast<void *>(out + i), &y, sizeof y);
    }
}

struct RunKernel {
    using fn = void (*)(const fir_filter *, const cf32 *, uint64_t, cf32 *) noexcept;
    static constexpr kx::CpuLevel widest = kx::CPU_AVX512;

    template <kx::CpuLevel L>
    KX_ALWAYS_INLINE static void run(const fir_filter *f, const cf32 *win, uint64_t n,
                                     cf32 *out) noexcept {
        using V = kx::vec_for<L>;
        if (f->taps_real != nullptr)
            run_kind<V, true>(f, win, n, out);
        else
            run_kind<V, false>(f, win, n, out);
    }
};

}  // namespace

void fir_run(const fir_filter *f, const cf32 *win, uint64_t n, cf32 *out) noexcept {
    // The best variant is fixed for the process: resolve it once.
    static const RunKernel::fn impl = kx::select_variant<RunKernel>();
    impl(f, win, n, out);
}

// ---------------------------------------------------------------- definition

// The scalar order, one output at a time: every product rounded to float32,
// then added; partial m takes the taps k = m (mod 8) below 8*floor(len/8),
// the partials meet in the tree ((0+4)+(2+6))+((1+5)+(3+7)), and the tail
// taps follow in increasing k.  With fewer than eight taps the tail is all
// of them, starting from zero.
namespace {

// ((P0 + P4) + (P2 + P6)) + ((P1 + P5) + (P3 + P7))
inline float combine_partials(const float *p) noexcept {
    const float a = p[0] + p[4];
    const float b = p[2] + p[6];
    const float c = p[1] + p[5];
    const float d = p[3] + p[7];
    const float ab = a + b;
    const float cd = c + d;
    return ab + cd;
}

// One output: tap(r, i, k, x) adds the term of tap k, whose sample is x, onto
// the running pair (r, i).
template <class TapFn>
inline cf32 dot_scalar(uint64_t len, const cf32 *s, TapFn tap) noexcept {
    const uint64_t body = len & ~uint64_t(7);
    float rr = 0.0f;
    float ri = 0.0f;
    if (body != 0) {
        float pr[8] = {};
        float pi[8] = {};
        for (uint64_t k = 0; k < body; k++) tap(pr[k & 7], pi[k & 7], k, s[-int64_t(k)]);
        rr = combine_partials(pr);
        ri = combine_partials(pi);
    }
    for (uint64_t k = body; k < len; k++) tap(rr, ri, k, s[-int64_t(k)]);
    return cf32(rr, ri);
}

}  // namespace

cf32 fir_dot_real_scalar(const float *h, uint64_t len, const cf32 *s) noexcept {
    return dot_scalar(len, s, [h](float &r, float &i, uint64_t k, cf32 x) {
        const float mr = h[k] * x.real();
        const float mi = h[k] * x.imag();
        r = r + mr;
        i = i + mi;
    });
}

// R <- (R + hr*xr) - hi*xi; I <- (I + hr*xi) + hi*xr.
cf32 fir_dot_complex_scalar(const cf32 *h, uint64_t len, const cf32 *s) noexcept {
    return dot_scalar(len, s, [h](float &r, float &i, uint64_t k, cf32 x) {
        const float a = h[k].real() * x.real();
        const float b = h[k].imag() * x.imag();
        const float c = h[k].real() * x.imag();
        const float d = h[k].imag() * x.real();
        const float r1 = r + a;
        const float i1 = i + c;
        r = r1 - b;
        i = i1 + d;
    });
}
