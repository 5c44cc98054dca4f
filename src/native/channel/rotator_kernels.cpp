// Rotator kernels: the phasor and the complex product of the definition
// (rotator_core.h), for one sample and for the vectors of every
// instruction-set variant.
//
// One template computes the phasor and the products for a float32 and for
// a float vector alike: integer masks and shifts on the phase bits, an
// int -> float conversion, the two polynomials, and swaps and sign flips
// done on bit patterns.  A vector holds one group (phasor) or one sample
// (products) per lane, so every lane performs the scalar sequence of its
// own.
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

constexpr int G = ROTATOR_GROUP;

// The phasor of a place, the group's (bc, bs) times the place's (tc, ts),
// then the sample times that: both products in rotate()'s order.
template <class V>
KX_ALWAYS_INLINE void rotate_placed(const V &xr, const V &xi, const V &bc, const V &bs,
                                    const V &tc, const V &ts, V &yr, V &yi) noexcept {
    V pc, ps;
    rotate<V>(bc, bs, tc, ts, pc, ps);
    rotate<V>(xr, xi, pc, ps, yr, yi);
}

// ---------------------------------------------------------------- kernel
//
// `groups` whole groups from the one whose first sample has the accumulator
// `base`.  The group phasors of W groups (W = lanes) come from one vector
// evaluation of the polynomial; each group's is then broadcast over its G
// samples, G / W vectors of them, against the place table held in
// registers.  The samples are split into real and imaginary parts for the
// products and joined again, within 128-bit blocks (the cheapest shuffles);
// the table, split the same way, meets its places in the same lanes.  x and y may be the same buffer: a pass loads
// its samples before it stores their outputs.  Neither need be aligned.
template <class V>
KX_ALWAYS_INLINE void rotate_groups(uint64_t base, uint64_t inc, const cf32 *table,
                                    const cf32 *x, cf32 *y, uint64_t groups) noexcept {
    using U = typename LaneInts<V>::U;
    using I = typename LaneInts<V>::I;
    constexpr int W = kx::lanes<V>;
    constexpr int P = G / W;
    static_assert(P * W == G, "a group is a whole number of vectors");
    const float *tf = reinterpret_cast<const float *>(table);
    V tcv[P], tsv[P];
    for (int p = 0; p < P; p++) {
        const V t0 = kx::load<V>(tf + 2 * p * W);
        const V t1 = kx::load<V>(tf + 2 * p * W + W);
        tcv[p] = kx::deal_even(t0, t1);
        tsv[p] = kx::deal_odd(t0, t1);
    }
    // The lanes' group accumulators as two 32-bit halves with an explicit
    // carry, exact modulo 2^64 on every instruction set (there is no 64-bit
    // lane arithmetic to rely on below AVX-512).
    uint32_t hi0[W], lo0[W];
    for (int k = 0; k < W; k++) {
        const uint64_t acc = base + uint64_t(k) * uint64_t(G) * inc;
        hi0[k] = uint32_t(acc >> 32);
        lo0[k] = uint32_t(acc);
    }
    U hi, lo;
    std::memcpy(&hi, hi0, sizeof hi);
    std::memcpy(&lo, lo0, sizeof lo);
    const uint64_t step = uint64_t(W) * uint64_t(G) * inc;
    const uint32_t step_hi = uint32_t(step >> 32);
    const uint32_t step_lo = uint32_t(step);
    const float *xf = reinterpret_cast<const float *>(x);
    float *yf = reinterpret_cast<float *>(y);
    for (uint64_t g = 0; g < groups; g += W) {
        V c, s;
        phasor<V>(hi, c, s);
        float bc[W], bs[W];
        kx::store(bc, c);
        kx::store(bs, s);
        const int m = groups - g < uint64_t(W) ? int(groups - g) : W;
        for (int j = 0; j < m; j++) {
            const V bcv = kx::splat<V>(bc[j]);
            const V bsv = kx::splat<V>(bs[j]);
            const std::size_t at = 2 * G * std::size_t(g + uint64_t(j));
            // Unrolled: left as a loop, GCC keeps its pointers on the stack.
#pragma GCC unroll 4
            for (int p = 0; p < P; p++) {
                const V x0 = kx::load<V>(xf + at + 2 * p * W);
                const V x1 = kx::load<V>(xf + at + 2 * p * W + W);
                V yr, yi;
                rotate_placed<V>(kx::deal_even(x0, x1), kx::deal_odd(x0, x1), bcv, bsv,
                                 tcv[p], tsv[p], yr, yi);
                kx::store(yf + at + 2 * p * W, kx::join_lo(yr, yi));
                kx::store(yf + at + 2 * p * W + W, kx::join_hi(yr, yi));
            }
        }
        lo = lo + step_lo;
        const I carry = lo < step_lo;  // -1 where the low half wrapped
        hi = hi + step_hi;
        hi = hi - std::bit_cast<U>(carry);
    }
}

struct RotateKernel {
    using fn = void (*)(uint64_t, uint64_t, const cf32 *, const cf32 *, cf32 *,
                        uint64_t) noexcept;
    static constexpr kx::CpuLevel widest = kx::CPU_AVX512;

    template <kx::CpuLevel L>
    KX_ALWAYS_INLINE static void run(uint64_t base, uint64_t inc, const cf32 *table,
                                     const cf32 *x, cf32 *y, uint64_t groups) noexcept {
        rotate_groups<kx::vec_for<L>>(base, inc, table, x, y, groups);
    }
};

// n samples one at a time, the definition itself, advancing the record.
void rotate_scalar(rotator *r, const cf32 *x, cf32 *y, uint64_t n) noexcept {
    cf32 b;
    for (uint64_t i = 0; i < n; i++) {
        if (i == 0 || r->place == 0) b = rotator_phasor(r->phase - r->place * r->inc);
        cf32 sample;
        std::memcpy(static_cast<void *>(&sample), x + i, sizeof sample);
        float out[2];
        const cf32 t = r->table[r->place];
        rotate_placed<float>(sample.real(), sample.imag(), b.real(), b.imag(), t.real(),
                             t.imag(), out[0], out[1]);
        // y may be a caller's misaligned array: store bytewise.
        std::memcpy(static_cast<void *>(y + i), out, sizeof out);
        r->phase += r->inc;
        r->place = r->place + 1 == uint64_t(G) ? 0 : r->place + 1;
    }
}

}  // namespace

cf32 rotator_phasor(uint64_t acc) noexcept {
    float c, s;
    phasor<float>(uint32_t(acc >> 32), c, s);
    return cf32(c, s);
}

void rotator_fill_table(rotator *r) noexcept {
    for (int i = 0; i < G; i++) r->table[i] = rotator_phasor(uint64_t(i) * r->inc);
}

void rotator_steps(rotator *r, const cf32 *x, cf32 *y, uint64_t n) noexcept {
    // The best variant is fixed for the process: resolve it once.
    static const RotateKernel::fn impl = kx::select_variant<RotateKernel>();
    // The rest of the current group, the whole groups, then the start of
    // the last one.
    const uint64_t rest = (uint64_t(G) - r->place) % uint64_t(G);
    const uint64_t head = n < rest ? n : rest;
    rotate_scalar(r, x, y, head);
    const uint64_t groups = (n - head) / uint64_t(G);
    impl(r->phase, r->inc, r->table, x + head, y + head, groups);
    const uint64_t whole = groups * uint64_t(G);
    r->phase += whole * r->inc;
    rotate_scalar(r, x + head + whole, y + head + whole, n - head - whole);
}

void rotator_steps_scalar(rotator *r, const cf32 *x, cf32 *y, uint64_t n) noexcept {
    rotate_scalar(r, x, y, n);
}
