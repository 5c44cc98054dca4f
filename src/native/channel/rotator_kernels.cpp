// Rotator kernels: the phasor and the complex product of the definition
// (rotator_core.h), for one sample and for the vectors of every
// instruction-set variant.
//
// One template computes the phasor for a float32 and for a float vector
// alike: integer masks and shifts on the phase bits, an int -> float
// conversion, the two polynomials, and swaps and sign flips done on bit
// patterns.  A vector holds one sample per lane, so every lane performs the
// scalar sequence of its own sample; the phasors are then paired with the
// interleaved (re, im) samples.  The lanes' accumulators are kept as two
// 32-bit halves with an explicit carry, which is exact modulo 2^64 on every
// instruction set (there is no 64-bit lane arithmetic to rely on below
// AVX-512).
#include "channel/rotator_core.h"

#include <bit>
#include <cstring>

#include "common/simd.h"

#include "common/no_libm.h"

namespace {

template <class V>
struct LaneInts {
    using U = kx::uvec_of<V>;
    using I = kx::ivec_of<V>;
    static KX_ALWAYS_INLINE V to_float(const I &i) noexcept { return __builtin_convertvector(i, V); }
};

template <>
struct LaneInts<float> {
    using U = uint32_t;
    using I = int32_t;
    static KX_ALWAYS_INLINE float to_float(I i) noexcept { return static_cast<float>(i); }
};

// cos and sin of the angle whose top 32 phase bits are u, in the defined
// order (rotator_core.h).
template <class V>
KX_ALWAYS_INLINE void phasor(const typename LaneInts<V>::U &u, V &cos_out, V &sin_out) noexcept {
    using U = typename LaneInts<V>::U;
    using I = typename LaneInts<V>::I;
    // Fold the octant onto [0, pi/4]: g counts 2^-32 cycle from the nearer
    // multiple of a quarter cycle.
    const U t = u & 0x1FFFFFFFu;
    const U mirror = std::bit_cast<U>(std::bit_cast<I>(u << 2) >> 31);
    const U g = ((0x20000000u - t) & mirror) | (t & ~mirror);
    const V gf = LaneInts<V>::to_float(std::bit_cast<I>(g));
    const V y = gf * 0x1p-29f;  // exact: a power of two
    const V y2 = y * y;

    V p = y2 * ROTATOR_S7;
    p = p + ROTATOR_S5;
    p = p * y2;
    p = p + ROTATOR_S3;
    p = p * y2;
    p = p + ROTATOR_S1;
    const V sn = p * y;

    V q = y2 * ROTATOR_C8;
    q = q + ROTATOR_C6;
    q = q * y2;
    q = q + ROTATOR_C4;
    q = q * y2;
    q = q + ROTATOR_C2;
    q = q * y2;
    const V cs = q + 1.0f;

    // Back to the whole circle: swap for the mirrored half of a quadrant and
    // for the odd quadrants, then the signs of the quadrant.
    const U swap = std::bit_cast<U>(std::bit_cast<I>((u << 1) ^ (u << 2)) >> 31);
    const U cb = std::bit_cast<U>(cs);
    const U sb = std::bit_cast<U>(sn);
    const U cm = (sb & swap) | (cb & ~swap);
    const U sm = (cb & swap) | (sb & ~swap);
    const U cos_sign = (u ^ (u << 1)) & 0x80000000u;
    const U sin_sign = u & 0x80000000u;
    cos_out = std::bit_cast<V>(cm ^ cos_sign);
    sin_out = std::bit_cast<V>(sm ^ sin_sign);
}

// One sample: yr = xr*c + xi*(-s), yi = xi*c + xr*s, each product rounded.
KX_ALWAYS_INLINE cf32 rotate_one(cf32 x, cf32 ph) noexcept {
    const float c = ph.real();
    const float s = ph.imag();
    const float ns = -s;
    const float ar = x.real() * c;
    const float br = x.imag() * ns;
    const float ai = x.imag() * c;
    const float bi = x.real() * s;
    return cf32(ar + br, ai + bi);
}

// ---------------------------------------------------------------- kernel
//
// The first n - n % W samples (W = lanes), W per pass: the W phasors in one
// vector each for cos and sin, then two vectors of interleaved samples.
// Returns the count done.  x and y may be the same buffer: a pass loads
// its samples before it stores their outputs.  Neither need be aligned.
template <class V>
KX_ALWAYS_INLINE uint64_t rotate_block(uint64_t phase, uint64_t inc, const cf32 *x, cf32 *y,
                                       uint64_t n) noexcept {
    using U = typename LaneInts<V>::U;
    using I = typename LaneInts<V>::I;
    constexpr int W = kx::lanes<V>;
    const uint64_t whole = n - n % W;
    if (whole == 0) return 0;
    uint32_t hi0[W], lo0[W];
    for (int k = 0; k < W; k++) {
        const uint64_t acc = phase + uint64_t(k) * inc;
        hi0[k] = uint32_t(acc >> 32);
        lo0[k] = uint32_t(acc);
    }
    U hi, lo;
    std::memcpy(&hi, hi0, sizeof hi);
    std::memcpy(&lo, lo0, sizeof lo);
    const uint64_t step = uint64_t(W) * inc;
    const uint32_t step_hi = uint32_t(step >> 32);
    const uint32_t step_lo = uint32_t(step);
    const float *xf = reinterpret_cast<const float *>(x);
    float *yf = reinterpret_cast<float *>(y);
    for (uint64_t i = 0; i < whole; i += W) {
        V c, s;
        phasor<V>(hi, c, s);
        const V ns = -s;
        const V x0 = kx::load<V>(xf + 2 * i);
        const V x1 = kx::load<V>(xf + 2 * i + W);
        const V a0 = x0 * kx::zip_lo(c, c);
        const V b0 = kx::swap_pairs(x0) * kx::zip_lo(ns, s);
        const V a1 = x1 * kx::zip_hi(c, c);
        const V b1 = kx::swap_pairs(x1) * kx::zip_hi(ns, s);
        kx::store(yf + 2 * i, a0 + b0);
        kx::store(yf + 2 * i + W, a1 + b1);
        lo = lo + step_lo;
        const I carry = lo < step_lo;  // -1 where the low half wrapped
        hi = hi + step_hi;
        hi = hi - std::bit_cast<U>(carry);
    }
    return whole;
}

struct RotateKernel {
    using fn = uint64_t (*)(uint64_t, uint64_t, const cf32 *, cf32 *, uint64_t) noexcept;
    static constexpr kx::CpuLevel widest = kx::CPU_AVX512;

    template <kx::CpuLevel L>
    KX_ALWAYS_INLINE static uint64_t run(uint64_t phase, uint64_t inc, const cf32 *x, cf32 *y,
                                         uint64_t n) noexcept {
        return rotate_block<kx::vec_for<L>>(phase, inc, x, y, n);
    }
};

// Samples from `from` on, one at a time; the definition itself.
void rotate_tail(uint64_t phase, uint64_t inc, const cf32 *x, cf32 *y, uint64_t from,
                 uint64_t n) noexcept {
    for (uint64_t i = from; i < n; i++) {
        cf32 xi;
        std::memcpy(static_cast<void *>(&xi), x + i, sizeof xi);
        const cf32 yi = rotate_one(xi, rotator_phasor(phase + i * inc));
        // y may be a caller's misaligned array: store bytewise.
        std::memcpy(static_cast<void *>(y + i), &yi, sizeof yi);
    }
}

}  // namespace

cf32 rotator_phasor(uint64_t acc) noexcept {
    float c, s;
    phasor<float>(uint32_t(acc >> 32), c, s);
    return cf32(c, s);
}

void rotator_steps(rotator *r, const cf32 *x, cf32 *y, uint64_t n) noexcept {
    // The best variant is fixed for the process: resolve it once.
    static const RotateKernel::fn impl = kx::select_variant<RotateKernel>();
    const uint64_t done = impl(r->phase, r->inc, x, y, n);
    rotate_tail(r->phase, r->inc, x, y, done, n);
    r->phase += n * r->inc;
}

void rotator_steps_scalar(rotator *r, const cf32 *x, cf32 *y, uint64_t n) noexcept {
    rotate_tail(r->phase, r->inc, x, y, 0, n);
    r->phase += n * r->inc;
}
