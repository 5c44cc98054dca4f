// Decimating FIR kernels.  Each computes every kept output in the FIR's own
// order (filter/fir_core.h), so every variant gives the FIR's bits.
//
// Factor 8 with eight taps or more (firdec_passes): a vector's worth of kept
// outputs per pass (eight on 16-float vectors), each as the windows kernel
// below computes it, side by side, read from the block where it lies; see
// that section.
//
// Phase streams (factors FIRDEC_STREAM_MIN_FACTOR .. FIRDEC_STREAM_MAX_FACTOR):
// a chunk of the input is split by transposes into the factor streams of
// lay_streams (firdec_core.cpp), in which consecutive kept outputs read
// consecutive samples for every tap.  The lanes then hold consecutive kept
// outputs as in the FIR's kernel: partial m takes the taps k = m (mod 8) in
// increasing k, the fixed tree joins the partials, the tail taps follow one
// at a time, each tap's samples one vector load at that tap's offset.
//
// Windows (other factors): one kept output per pass, its eight partial sums
// side by side in the lanes of a 16-float vector.  Group g of its window, the
// eight samples x[n-8g-7 .. n-8g], is one contiguous 16-float vector, and
// with the taps of the group spread in reverse (fir_decimator::lanes) sample
// slot j meets tap 8g+7-j, which belongs to partial 7-j.  One vector
// multiply-add per group (one 512-bit vector with AVX-512, two 256-bit ones
// with AVX2, four 128-bit ones on the baseline) so runs every partial's own
// scalar sequence, taps in increasing k.  The fixed tree
// ((P0+P4)+(P2+P6))+((P1+P5)+(P3+P7)) is three halvings of that vector, each
// adding the upper half, which holds the lower-numbered partials, first; the
// taps past the last full group follow one at a time, each on the pair
// (R, I) in the low lanes of a 4-float vector as the FIR's kernels add a tap.
#include "channel/firdec_core.h"

#include <bit>
#include <cstring>
#include <type_traits>

#include "common/simd.h"
#include "filter/fir_lanes.h"

#include "common/no_libm.h"

namespace {

using kx::lanes;
using kx::load;
using kx::store;
using kx::swap_pairs;
using kx::v4f;
using kx::FirTap;

// How far ahead of the samples in use the kernels that read the input once,
// from memory, ask for it: 16 KiB.
constexpr uint64_t prefetch_ahead = 2048;

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
    return std::bit_cast<v4f>(v);
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
KX_ALWAYS_INLINE void run_windows(const fir_decimator *d, const cf32 *s, uint64_t stride,
                                  uint64_t count, cf32 *out) noexcept {
    constexpr int NO = outputs_per_pass<V, Real>;
    uint64_t j = 0;
    for (; j + NO <= count; j += NO) pass<V, Real, NO>(d, s + j * stride, stride, out + j);
    for (; j < count; j++) pass<V, Real, 1>(d, s + j * stride, stride, out + j);
}

// ---------------------------------------------------------------- streams

// Samples move as 64-bit integers, so that no float is touched: B of them
// per vector of the level's width.
typedef unsigned long long u64x2 __attribute__((vector_size(16)));
typedef unsigned long long u64x4 __attribute__((vector_size(32)));
typedef unsigned long long u64x8 __attribute__((vector_size(64)));
template <class V>
using samples_of = std::conditional_t<lanes<V> == 16, u64x8,
                                      std::conditional_t<lanes<V> == 8, u64x4, u64x2>>;

// Rows a[0 .. B-1] of B samples each to their columns b[0 .. B-1] (a is
// used up): log2(B) rounds of interleaving pairs of rows, by sample, then by
// pair, then by quad.
template <class U, int B>
KX_ALWAYS_INLINE void transpose_rows(U (&a)[B], U (&b)[B]) noexcept {
    static_assert(B == int(sizeof(U) / 8));
    if constexpr (B == 2) {
        b[0] = __builtin_shufflevector(a[0], a[1], 0, 2);
        b[1] = __builtin_shufflevector(a[0], a[1], 1, 3);
    } else if constexpr (B == 4) {
#pragma GCC unroll 8
        for (int i = 0; i < 4; i += 2) {
            b[i] = __builtin_shufflevector(a[i], a[i + 1], 0, 4, 2, 6);
            b[i + 1] = __builtin_shufflevector(a[i], a[i + 1], 1, 5, 3, 7);
        }
#pragma GCC unroll 8
        for (int c = 0; c < 2; c++) {
            a[c] = __builtin_shufflevector(b[c], b[c + 2], 0, 1, 4, 5);
            a[c + 2] = __builtin_shufflevector(b[c], b[c + 2], 2, 3, 6, 7);
        }
#pragma GCC unroll 8
        for (int c = 0; c < 4; c++) b[c] = a[c];
    } else {
#pragma GCC unroll 8
        for (int i = 0; i < 8; i += 2) {
            b[i] = __builtin_shufflevector(a[i], a[i + 1], 0, 8, 2, 10, 4, 12, 6, 14);
            b[i + 1] = __builtin_shufflevector(a[i], a[i + 1], 1, 9, 3, 11, 5, 13, 7, 15);
        }
#pragma GCC unroll 8
        for (int i = 0; i < 2; i++) {
            a[i] = __builtin_shufflevector(b[i], b[i + 2], 0, 1, 8, 9, 4, 5, 12, 13);
            a[i + 2] = __builtin_shufflevector(b[i], b[i + 2], 2, 3, 10, 11, 6, 7, 14, 15);
            a[i + 4] = __builtin_shufflevector(b[i + 4], b[i + 6], 0, 1, 8, 9, 4, 5, 12, 13);
            a[i + 6] = __builtin_shufflevector(b[i + 4], b[i + 6], 2, 3, 10, 11, 6, 7, 14, 15);
        }
        // a[c] (c < 4) holds column c of rows 0-3, then column c+4 of them;
        // a[c+4] the same of rows 4-7.
#pragma GCC unroll 8
        for (int c = 0; c < 4; c++) {
            b[c] = __builtin_shufflevector(a[c], a[c + 4], 0, 1, 2, 3, 8, 9, 10, 11);
            b[c + 4] = __builtin_shufflevector(a[c], a[c + 4], 4, 5, 6, 7, 12, 13, 14, 15);
        }
    }
}

// A square of B rows of B samples, row i read from src + i*src_pitch,
// written as its columns, column c to dst + c*pitch.
template <class U>
KX_ALWAYS_INLINE void transpose_square(const cf32 *src, uint64_t src_pitch, cf32 *dst,
                                       uint64_t pitch) noexcept {
    constexpr int B = int(sizeof(U) / 8);
    U a[B], b[B];
#pragma GCC unroll 8
    for (int i = 0; i < B; i++) std::memcpy(&a[i], src + i * src_pitch, sizeof a[i]);
    transpose_rows(a, b);
#pragma GCC unroll 8
    for (int c = 0; c < B; c++)
        std::memcpy(static_cast<void *>(dst + c * pitch), &b[c], sizeof b[c]);
}

// Eight rows of eight samples as eight columns, in squares of the width.
template <class V>
KX_ALWAYS_INLINE void transpose8(const cf32 *src, uint64_t src_pitch, cf32 *dst,
                                 uint64_t pitch) noexcept {
    using U = samples_of<V>;
    constexpr int B = int(sizeof(U) / 8);
#pragma GCC unroll 4
    for (int i = 0; i < 8; i += B)
#pragma GCC unroll 4
        for (int c = 0; c < 8; c += B)
            transpose_square<U>(src + i * src_pitch + c, src_pitch, dst + c * pitch + i, pitch);
}

// Rows 0 .. rows-1 of the streams of a chunk whose first kept output has its
// newest sample at p0 (the layout of lay_streams in firdec_core.cpp).  Row t
// of stream r is p0[(t - reach)*factor + r]; only the samples from
// p0[-(taps_len-1)] to p0[(rows-1-reach)*factor] are ever read, so the first
// row starts at phase lo and the last holds stream 0 alone: nothing outside
// the windows is touched.
template <class V>
KX_ALWAYS_INLINE void deinterleave(const fir_decimator *d, const cf32 *p0,
                                  uint64_t rows) noexcept {
    const uint64_t F = d->factor;
    const uint64_t SL = d->stream_len;
    const uint64_t lo = d->reach * F - (d->fir->taps_len - 1);
    cf32 *const z = d->streams;
    // Row t starts at p0 + (t - reach)*F, so row t's sample r is at
    // first + (t*F + r) with first = p0 - reach*F, offset by lo to stay a
    // pointer into the windows.
    const cf32 *const base = p0 - (d->reach * F - lo);  // the sample of row 0, phase lo
    auto at = [&](uint64_t t, uint64_t r) { return base + (t * F + r - lo); };
    uint64_t t = 0;
    for (; t < rows; t++) {
        const uint64_t r0 = t == 0 ? lo : 0;
        const uint64_t r1 = t + 1 == rows ? 1 : F;
        // Eight rows from a multiple of eight fill whole cache lines of the
        // streams.
        if (r0 == 0 && t % 8 == 0 && t + 8 < rows) break;
        for (uint64_t r = r0; r < r1; r++) z[r * SL + t] = *at(t, r);
    }
    // Full rows, eight at a time, in squares of eight phases.
    for (; t + 8 < rows; t += 8) {
        uint64_t r = 0;
        for (; r + 8 <= F; r += 8) transpose8<V>(at(t, r), F, z + r * SL + t, SL);
        // The block is read once, from memory: ask for it ahead.
        for (uint64_t b = 0; b < 8 * F; b += 8) __builtin_prefetch(at(t, 0) + prefetch_ahead + b);
        for (; r < F; r++)
            for (uint64_t i = 0; i < 8; i++) z[r * SL + t + i] = *at(t + i, r);
    }
    for (; t < rows; t++) {
        const uint64_t r1 = t + 1 == rows ? 1 : F;
        for (uint64_t r = 0; r < r1; r++) z[r * SL + t] = *at(t, r);
    }
}

// NV * lanes/2 consecutive kept outputs from the streams, as fir_kernel in
// filter/fir_kernels.cpp computes consecutive outputs of the full-rate
// filter, except that tap k reads at its own offset (fir_decimator::offsets)
// from z, the floats of the block's first output in the streams.
template <class V, bool Real, int NV>
KX_ALWAYS_INLINE void stream_kernel(const float *h, uint64_t len, const uint64_t *off,
                                    const float *z, float *out) noexcept {
    constexpr int W = lanes<V>;
    const uint64_t body = len & ~uint64_t(7);
    V r[NV];
    if (body != 0) {
        V p[8][NV];
#pragma GCC unroll 1
        for (uint64_t m = 0; m < 8; m++) {
            V acc[NV];
#pragma GCC unroll 16
            for (int v = 0; v < NV; v++) acc[v] = V{};
#pragma GCC unroll 2
            for (uint64_t k = m; k < body; k += 8) {
                const kx::FirTap<V, Real> tap(h, k);
                const float *zk = z + off[k];
#pragma GCC unroll 16
                for (int v = 0; v < NV; v++) acc[v] = tap.add(acc[v], load<V>(zk + v * W));
            }
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
        const kx::FirTap<V, Real> tap(h, k);
        const float *zk = z + off[k];
#pragma GCC unroll 16
        for (int v = 0; v < NV; v++) r[v] = tap.add(r[v], load<V>(zk + v * W));
    }
#pragma GCC unroll 16
    for (int v = 0; v < NV; v++) store(out + v * W, r[v]);
}

// Chunks of kept outputs: the streams of the chunk, then blocks of vectors,
// then single vectors; the last, partly filled vector is computed whole
// (its spare lanes read rows of the streams that hold finite leftovers) and
// only its kept outputs are copied out.
template <class V, bool Real>
KX_ALWAYS_INLINE void run_streams(const fir_decimator *d, const cf32 *s, uint64_t count,
                                  cf32 *out) noexcept {
    constexpr uint64_t per = uint64_t(lanes<V> / 2);
    constexpr int NV = kx::block_vectors<V, Real>;
    const uint64_t len = d->fir->taps_len;
    const float *h = Real ? d->fir->taps_real : reinterpret_cast<const float *>(d->fir->taps);
    const float *z = reinterpret_cast<const float *>(d->streams);
    for (uint64_t c = 0; c < count; c += d->chunk) {
        const uint64_t n = count - c < d->chunk ? count - c : d->chunk;
        deinterleave<V>(d, s + c * d->factor, n + d->reach);
        float *o = reinterpret_cast<float *>(out + c);
        uint64_t j = 0;
        for (; j + NV * per <= n; j += NV * per)
            stream_kernel<V, Real, NV>(h, len, d->offsets, z + 2 * j, o + 2 * j);
        for (; j + per <= n; j += per)
            stream_kernel<V, Real, 1>(h, len, d->offsets, z + 2 * j, o + 2 * j);
        if (j < n) {
            float last[lanes<V>];
            stream_kernel<V, Real, 1>(h, len, d->offsets, z + 2 * j, last);
            std::memcpy(o + 2 * j, last, (n - j) * sizeof(cf32));
        }
    }
}

// ---------------------------------------------------------------- factor 8
//
// With 16-float vectors and factor 8, eight consecutive kept outputs are
// eight windows 8 samples apart: group g of output o is the vector group
// g+1 of output o+1, so the windows kernel's loads are kept in registers
// across groups (one new vector per group) as fir_kernel keeps its samples,
// and the tap vector of a group serves all eight.  The eight outputs' fixed
// trees run side by side, each level adding the upper half of every
// output's lanes to the lower half exactly as pass does, and leave the
// outputs in order in one vector, on which the tail taps follow as in the
// FIR's kernel, their samples taken from the eight windows' first eight
// samples by a transpose.

// Lanes lo .. lo+7 of a, then of b (lo = 0 or 8).
template <int lo>
KX_ALWAYS_INLINE kx::v16f halves(const kx::v16f &a, const kx::v16f &b) noexcept {
    return __builtin_shufflevector(a, b, lo, lo + 1, lo + 2, lo + 3, lo + 4, lo + 5, lo + 6,
                                   lo + 7, 16 + lo, 17 + lo, 18 + lo, 19 + lo, 20 + lo,
                                   21 + lo, 22 + lo, 23 + lo);
}

// The trees of eight outputs, acc[o] holding output o's partials as pass
// lays them: (P3+P7, P2+P6, P1+P5, P0+P4) in each half after the first
// level, ((P1+P5)+(P3+P7), (P0+P4)+(P2+P6)) in each quarter after the
// second, the sum of the two after the third.  The pairs are formed so that
// the result holds output o in sample o.
KX_ALWAYS_INLINE kx::v16f trees8(const kx::v16f (&acc)[8]) noexcept {
    using kx::v16f;
    // Outputs (0, 2), (4, 6), (1, 3), (5, 7), a half each.
    v16f t[4];
    constexpr int first[4] = {0, 4, 1, 5};
#pragma GCC unroll 4
    for (int i = 0; i < 4; i++) {
        const v16f &a = acc[first[i]];
        const v16f &b = acc[first[i] + 2];
        t[i] = halves<8>(a, b) + halves<0>(a, b);
    }
    // Outputs 0, 2, 4, 6 and 1, 3, 5, 7, a quarter each.
    v16f u[2];
#pragma GCC unroll 2
    for (int i = 0; i < 2; i++) {
        const v16f &a = t[2 * i];
        const v16f &b = t[2 * i + 1];
        const v16f hi = __builtin_shufflevector(a, b, 4, 5, 6, 7, 12, 13, 14, 15, 20, 21, 22, 23,
                                                28, 29, 30, 31);
        const v16f lo = __builtin_shufflevector(a, b, 0, 1, 2, 3, 8, 9, 10, 11, 16, 17, 18, 19,
                                                24, 25, 26, 27);
        u[i] = hi + lo;
    }
    const v16f hi = __builtin_shufflevector(u[0], u[1], 2, 3, 18, 19, 6, 7, 22, 23, 10, 11, 26,
                                            27, 14, 15, 30, 31);
    const v16f lo = __builtin_shufflevector(u[0], u[1], 0, 1, 16, 17, 4, 5, 20, 21, 8, 9, 24,
                                            25, 12, 13, 28, 29);
    return hi + lo;
}

// Tail tap len-1-col, spread past the groups in fir_decimator::lanes, onto
// the outputs r, whose samples for it, column col of their windows' first
// eight samples, are in samples.
template <class V, bool Real, class U>
KX_ALWAYS_INLINE V add_tail_tap(const fir_decimator *d, int col, const V &r,
                                const U &samples) noexcept {
    const uint64_t len = d->fir->taps_len;
    const float *v = d->lanes + (len / 8 + len % 8 - 1 - uint64_t(col)) * (Real ? 16 : 32);
    const V s = std::bit_cast<V>(samples);
    if constexpr (Real)
        return FirTap<V, true>(load<V>(v)).add(r, s);
    else
        return FirTap<V, false>(load<V>(v), load<V>(v + 16)).add(r, s);
}

// Eight kept outputs, factor 8, taps_len >= 8; s0 is the newest sample of
// the first one's window.
template <bool Real>
KX_ALWAYS_INLINE void pass8(const fir_decimator *d, const cf32 *s0, cf32 *out) noexcept {
    using kx::v16f;
    const uint64_t len = d->fir->taps_len;
    const uint64_t groups = len / 8;
    // Group g of output o starts at x0 + 16*(o - g).
    const float *const x0 = reinterpret_cast<const float *>(s0) - 14;
    v16f acc[8];
    v16f xs[8];
#pragma GCC unroll 8
    for (int o = 0; o < 8; o++) acc[o] = v16f{};
#pragma GCC unroll 8
    for (int o = 0; o < 8; o++) xs[o] = load<v16f>(x0 + 16 * o);
    const float *t = d->lanes;
// Eight steps per pass let the compiler rename the shifted registers.
#pragma GCC unroll 8
    for (uint64_t g = 1; g < groups; g++) {
#pragma GCC unroll 8
        for (int o = 0; o < 8; o++) acc[o] = group_add<v16f, Real>(acc[o], xs[o], t, 0);
        t += Real ? 16 : 32;
#pragma GCC unroll 8
        for (int o = 7; o >= 1; o--) xs[o] = xs[o - 1];
        xs[0] = load<v16f>(x0 - 16 * g);
    }
#pragma GCC unroll 8
    for (int o = 0; o < 8; o++) acc[o] = group_add<v16f, Real>(acc[o], xs[o], t, 0);
    v16f r = trees8(acc);
    // Tap len-1-c reads column c of the rows w[o] = the first eight samples
    // of output o's window (eight rows of consecutive samples from w0).
    const uint64_t tail = len - groups * 8;
    if (tail != 0) {
        const cf32 *w0 = s0 - (len - 1);
        u64x8 c[8];
        if (tail <= 4) {
            // Columns 0-3 only: rows o and o+4 side by side, then two rounds.
            u64x8 z[4], b[4];
#pragma GCC unroll 4
            for (int i = 0; i < 4; i++) {
                u64x4 lo, hi;
                std::memcpy(&lo, w0 + 8 * i, sizeof lo);
                std::memcpy(&hi, w0 + 8 * (i + 4), sizeof hi);
                z[i] = __builtin_shufflevector(lo, hi, 0, 1, 2, 3, 4, 5, 6, 7);
            }
#pragma GCC unroll 4
            for (int i = 0; i < 4; i += 2) {
                b[i] = __builtin_shufflevector(z[i], z[i + 1], 0, 8, 2, 10, 4, 12, 6, 14);
                b[i + 1] = __builtin_shufflevector(z[i], z[i + 1], 1, 9, 3, 11, 5, 13, 7, 15);
            }
            c[0] = __builtin_shufflevector(b[0], b[2], 0, 1, 8, 9, 4, 5, 12, 13);
            c[1] = __builtin_shufflevector(b[1], b[3], 0, 1, 8, 9, 4, 5, 12, 13);
            c[2] = __builtin_shufflevector(b[0], b[2], 2, 3, 10, 11, 6, 7, 14, 15);
            c[3] = __builtin_shufflevector(b[1], b[3], 2, 3, 10, 11, 6, 7, 14, 15);
        } else {
            u64x8 rows[8];
#pragma GCC unroll 8
            for (int o = 0; o < 8; o++) std::memcpy(&rows[o], w0 + 8 * o, sizeof rows[o]);
            transpose_rows(rows, c);
        }
        // In increasing k, i.e. from column tail-1 down to column 0.
#pragma GCC unroll 8
        for (int col = 6; col >= 0; col--)
            if (uint64_t(col) < tail) r = add_tail_tap<v16f, Real>(d, col, r, c[col]);
    }
    store(reinterpret_cast<float *>(out), r);
}

// The same on 8- and 4-float vectors: lanes/2 kept outputs per pass (as many
// as one vector holds), each group of a window G = 16/lanes vectors, read
// where it lies (the register file cannot keep them).  The trees' first level
// adds each window's upper vectors to its lower ones, as halve does; the two
// levels after it pair the outputs so that the result holds output o in
// sample o.  The tail taps' samples come from the windows' first eight by
// transposes of squares.
template <class V, bool Real>
KX_ALWAYS_INLINE void pass_narrow(const fir_decimator *d, const cf32 *s0, cf32 *out) noexcept {
    constexpr int W = lanes<V>;
    constexpr int NO = W / 2;
    constexpr int G = 16 / W;
    using U = samples_of<V>;
    const uint64_t len = d->fir->taps_len;
    const uint64_t groups = len / 8;
    const float *const x0 = reinterpret_cast<const float *>(s0) - 14;
    V acc[NO][G];
#pragma GCC unroll 4
    for (int o = 0; o < NO; o++)
#pragma GCC unroll 4
        for (int v = 0; v < G; v++) acc[o][v] = V{};
    const float *t = d->lanes;
    for (uint64_t g = 0; g < groups; g++) {
#pragma GCC unroll 4
        for (int o = 0; o < NO; o++) {
            const float *xo = x0 + 16 * (int64_t(o) - int64_t(g));
#pragma GCC unroll 4
            for (int v = 0; v < G; v++)
                acc[o][v] = group_add<V, Real>(acc[o][v], load<V>(xo + v * W), t, v);
        }
        t += Real ? 16 : 32;
    }
    V r;
    if constexpr (W == 8) {
        V q[NO];
#pragma GCC unroll 4
        for (int o = 0; o < NO; o++) q[o] = acc[o][1] + acc[o][0];
        // Outputs (0, 2) and (1, 3), a half each.
        V u[2];
#pragma GCC unroll 2
        for (int i = 0; i < 2; i++) {
            const V hi = __builtin_shufflevector(q[i], q[i + 2], 4, 5, 6, 7, 12, 13, 14, 15);
            const V lo = __builtin_shufflevector(q[i], q[i + 2], 0, 1, 2, 3, 8, 9, 10, 11);
            u[i] = hi + lo;
        }
        const V hi = __builtin_shufflevector(u[0], u[1], 2, 3, 10, 11, 6, 7, 14, 15);
        const V lo = __builtin_shufflevector(u[0], u[1], 0, 1, 8, 9, 4, 5, 12, 13);
        r = hi + lo;
    } else {
        V q[NO];
#pragma GCC unroll 2
        for (int o = 0; o < NO; o++) {
            v4f lo, hi;
            halve<V>(acc[o], &lo, &hi);
            q[o] = hi + lo;
        }
        const V hi = __builtin_shufflevector(q[0], q[1], 2, 3, 6, 7);
        const V lo = __builtin_shufflevector(q[0], q[1], 0, 1, 4, 5);
        r = hi + lo;
    }
    const uint64_t tail = len - groups * 8;
    const cf32 *w0 = s0 - (len - 1);
    // Squares of NO columns, from column tail-1 down to column 0.
#pragma GCC unroll 4
    for (int b = 8 / NO - 1; b >= 0; b--) {
        if (uint64_t(b * NO) >= tail) continue;
        U rows[NO], c[NO];
#pragma GCC unroll 4
        for (int o = 0; o < NO; o++) std::memcpy(&rows[o], w0 + 8 * o + b * NO, sizeof rows[o]);
        transpose_rows(rows, c);
#pragma GCC unroll 4
        for (int i = NO - 1; i >= 0; i--)
            if (uint64_t(b * NO + i) < tail) r = add_tail_tap<V, Real>(d, b * NO + i, r, c[i]);
    }
    store(reinterpret_cast<float *>(out), r);
}

// Factor 8, taps_len >= 8: the passes above while whole, then one output at
// a time.
template <class V, bool Real>
KX_ALWAYS_INLINE void run8(const fir_decimator *d, const cf32 *s, uint64_t count,
                           cf32 *out) noexcept {
    constexpr uint64_t NO = lanes<V> == 16 ? 8 : uint64_t(lanes<V> / 2);
    // Each pass reads 8*NO new samples from memory: ask for them ahead,
    // within the windows.
    uint64_t j = 0;
    for (; j + NO <= count; j += NO) {
        if (8 * j + prefetch_ahead + 8 * NO <= 8 * (count - 1)) {
            const cf32 *p = s + 8 * j + prefetch_ahead;
#pragma GCC unroll 8
            for (uint64_t l = 0; l < NO; l++) __builtin_prefetch(p + 8 * l);
        }
        if constexpr (lanes<V> == 16)
            pass8<Real>(d, s + 8 * j, out + j);
        else
            pass_narrow<V, Real>(d, s + 8 * j, out + j);
    }
    for (; j < count; j++) pass<V, Real, 1>(d, s + 8 * j, 8, out + j);
}

struct DecimateKernel {
    using fn = void (*)(const fir_decimator *, const cf32 *, uint64_t, uint64_t, cf32 *) noexcept;
    static constexpr kx::CpuLevel widest = kx::CPU_AVX512;

    template <kx::CpuLevel L>
    KX_ALWAYS_INLINE static void run(const fir_decimator *d, const cf32 *s, uint64_t stride,
                                     uint64_t count, cf32 *out) noexcept {
        using V = kx::vec_for<L>;
        const bool real = d->fir->taps_real != nullptr;
        if (firdec_passes(d)) {
            if (real)
                run8<V, true>(d, s, count, out);
            else
                run8<V, false>(d, s, count, out);
        } else if (d->streams != nullptr) {
            if (real)
                run_streams<V, true>(d, s, count, out);
            else
                run_streams<V, false>(d, s, count, out);
        } else if (real) {
            run_windows<V, true>(d, s, stride, count, out);
        } else {
            run_windows<V, false>(d, s, stride, count, out);
        }
    }
};

}  // namespace

void firdec_run(const fir_decimator *d, const cf32 *s, uint64_t stride, uint64_t count,
                cf32 *out) noexcept {
    // The best variant is fixed for the process: resolve it once.
    static const DecimateKernel::fn impl = kx::select_variant<DecimateKernel>();
    impl(d, s, stride, count, out);
}
