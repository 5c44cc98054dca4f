// Rotator kernels: the phasor and the complex product of the definition
// (rotator_core.h), for one sample and for the vectors of every
// instruction-set variant.
//
// One template computes the phasor for a float32 and for a float vector
// alike: integer masks and shifts on the phase bits, an int -> float
// conversion, the two polynomials, and swaps and sign flips done on bit
// patterns.  A vector holds one sample per lane, so every lane performs the
// scalar sequence of its own sample; the samples are split into real and
// imaginary parts to meet them, and joined again.  The lanes' accumulators are kept as two
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

// ((a*y2 + b)*y2 + c)*y2 + d, each operation rounded.
template <class V>
KX_ALWAYS_INLINE V horner(const V &y2, float a, float b, float c, float d) noexcept {
    V p = y2 * a;
    p = p + b;
    p = p * y2;
    p = p + c;
    p = p * y2;
    return p + d;
}

// cos and sin of the angle whose top 32 phase bits are u, in the defined
// order (rotator_core.h).
template <class V>
KX_ALWAYS_INLINE void phasor(const typename LaneInts<V>::U &u, V &cos_out, V &sin_out) noexcept {
    using U = typename LaneInts<V>::U;
    using I = typename LaneInts<V>::I;
    // r counts 2^-32 cycle from the nearest quarter turn, k (bits 30, 31 of v).
    const U v = u + 0x20000000u;
    const U r = u - (v & 0xC0000000u);
    const V rf = LaneInts<V>::to_float(std::bit_cast<I>(r));
    const V y = rf * 0x1p-29f;  // exact: a power of two
    const V y2 = y * y;

    const V sn = horner(y2, ROTATOR_S7, ROTATOR_S5, ROTATOR_S3, ROTATOR_S1) * y;
    const V q = horner(y2, ROTATOR_C8, ROTATOR_C6, ROTATOR_C4, ROTATOR_C2) * y2;
    const V cs = q + 1.0f;

    // The quarter turns: swap for odd k, then the signs of the quadrant.
    const U v1 = v << 1;
    const U swap = std::bit_cast<U>(std::bit_cast<I>(v1) >> 31);
    const U cb = std::bit_cast<U>(cs);
    const U sb = std::bit_cast<U>(sn);
    const U cm = (sb & swap) | (cb & ~swap);
    const U sm = (cb & swap) | (sb & ~swap);
    const U cos_sign = (v ^ v1) & 0x80000000u;
    const U sin_sign = v & 0x80000000u;
    cos_out = std::bit_cast<V>(cm ^ cos_sign);
    sin_out = std::bit_cast<V>(sm ^ sin_sign);
}

// One sample: yr = xr*c - xi*s, yi = xi*c + xr*s, each product rounded.
template <class V>
KX_ALWAYS_INLINE void rotate(const V &xr, const V &xi, const V &c, const V &s, V &yr,
                             V &yi) noexcept {
    const V ar = xr * c;
    const V br = xi * s;
    const V ai = xi * c;
    const V bi = xr * s;
    yr = ar - br;
    yi = ai + bi;
}

// ---------------------------------------------------------------- kernel
//
// The first n - n % W samples (W = lanes), W per pass: the W phasors in one
// vector each for cos and sin, the samples' real and imaginary parts split
// into one vector each, and the products joined into (re, im) pairs again.
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
        const V x0 = kx::load<V>(xf + 2 * i);
        const V x1 = kx::load<V>(xf + 2 * i + W);
        V yr, yi;
        rotate<V>(kx::unzip_even(x0, x1), kx::unzip_odd(x0, x1), c, s, yr, yi);
        kx::store(yf + 2 * i, kx::zip_lo(yr, yi));
        kx::store(yf + 2 * i + W, kx::zip_hi(yr, yi));
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
        cf32 sample;
        std::memcpy(static_cast<void *>(&sample), x + i, sizeof sample);
        const cf32 ph = rotator_phasor(phase + i * inc);
        float out[2];
        rotate<float>(sample.real(), sample.imag(), ph.real(), ph.imag(), out[0], out[1]);
        // y may be a caller's misaligned array: store bytewise.
        std::memcpy(static_cast<void *>(y + i), out, sizeof out);
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
