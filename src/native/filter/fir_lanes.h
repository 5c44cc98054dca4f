// One FIR tap applied to the running sums held in vector lanes, as
// interleaved (re, im) pairs: the per-lane form of the scalar order of
// fir_kernels.cpp, shared by every kernel that keeps complex sums in lanes.
// Included only by units compiled with the project's floating-point flags
// (-ffp-contract=off).
#pragma once

#include <cstdint>

#include "common/simd.h"

namespace kx {

// (-hi, hi) in every pair of lanes.  Adding (-hi)*xi is the IEEE subtraction
// of hi*xi, signed zeros included; a NaN hi is kept as it is, so that its
// sign propagates exactly as through the subtraction.
template <class V>
KX_ALWAYS_INLINE V splat_cross(float hi) noexcept {
    const float neg = hi != hi ? hi : -hi;
    // Spelled out here: behind one more inline function GCC builds this
    // vector with a masked broadcast per lane.
    const V t = {neg, hi};
    KX_RETURN_PERMUTED(t, KX_LANE_IN_PAIR);
}

// One tap onto the running pairs of lanes/2 outputs.  Real: acc + h*s per
// component.  Complex: (acc + hr*s), then (-hi)*xi into the real lanes and
// hi*xr into the imaginary lanes, i.e. R <- (R + hr*xr) - hi*xi and
// I <- (I + hr*xi) + hi*xr.
template <class V, bool Real>
struct FirTap;

template <class V>
struct FirTap<V, true> {
    V h;
    KX_ALWAYS_INLINE explicit FirTap(const float *taps, uint64_t k) noexcept
        : h(splat<V>(taps[k])) {}
    // From the tap already in every lane.
    KX_ALWAYS_INLINE explicit FirTap(const V &spread) noexcept : h(spread) {}
    KX_ALWAYS_INLINE V add(const V &acc, const V &s) const noexcept {
        const V prod = h * s;
        return acc + prod;
    }
};

template <class V>
struct FirTap<V, false> {
    V hr, cross;
    KX_ALWAYS_INLINE explicit FirTap(const float *taps, uint64_t k) noexcept
        : hr(splat<V>(taps[2 * k])), cross(splat_cross<V>(taps[2 * k + 1])) {}
    // From hr in every lane and (-hi, hi) in every pair.
    KX_ALWAYS_INLINE FirTap(const V &spread_hr, const V &spread_cross) noexcept
        : hr(spread_hr), cross(spread_cross) {}
    KX_ALWAYS_INLINE V add(const V &acc, const V &s) const noexcept {
        const V a = hr * s;
        const V b = cross * swap_pairs(s);
        const V t = acc + a;
        return t + b;
    }
};

// Vectors of outputs per block of a kernel that keeps consecutive outputs in
// lanes: as many accumulators and carried sample vectors as the register
// file holds without spilling (16 registers below AVX-512, 32 with it); a
// complex tap needs two broadcasts and the swapped samples besides.
template <class V, bool Real>
constexpr int block_vectors = lanes<V> == 16 ? 8 : (Real ? 6 : 4);

// The fixed tree ((P0 + P4) + (P2 + P6)) + ((P1 + P5) + (P3 + P7)) over
// vector v of the eight partials p[m][v].
template <class V, int NV>
KX_ALWAYS_INLINE V combine_partials(const V (&p)[8][NV], int v) noexcept {
    const V a = p[0][v] + p[4][v];
    const V b = p[2][v] + p[6][v];
    const V c = p[1][v] + p[5][v];
    const V d = p[3][v] + p[7][v];
    const V ab = a + b;
    const V cd = c + d;
    return ab + cd;
}

}  // namespace kx
