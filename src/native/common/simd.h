// Compiler vector types, the helpers every SIMD kernel shares, and the
// run-time selection of a kernel's instruction-set variant.
//
// A kernel is written once, as a template over the instruction-set level,
// with GCC/Clang vector types.  select_variant() instantiates it for the
// portable baseline (SSE2 on x86-64, NEON or plain code elsewhere) and, on
// x86-64, for each wider level the kernel supports, each instance compiled
// for its own instruction set, and returns the one that cpu_level() allows.
// Every instance performs the same rounded operations in the same order, so
// all of them give the same bits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "common/cpu.h"

// The wide helpers are always inlined into functions compiled for their
// instruction set, so no 256- or 512-bit vector crosses a call boundary and
// GCC's note on the changed ABI for passing them does not apply.  Vectors
// are taken by reference all the same: GCC prints the note for by-value
// parameters despite the pragma.
#pragma GCC diagnostic ignored "-Wpsabi"

#define KX_ALWAYS_INLINE inline __attribute__((always_inline))

namespace kx {

typedef float v4f __attribute__((vector_size(16)));
typedef float v8f __attribute__((vector_size(32)));
typedef float v16f __attribute__((vector_size(64)));
typedef double v4d __attribute__((vector_size(32)));

typedef uint32_t v4u __attribute__((vector_size(16)));
typedef uint32_t v8u __attribute__((vector_size(32)));
typedef uint32_t v16u __attribute__((vector_size(64)));
typedef int32_t v4i __attribute__((vector_size(16)));
typedef int32_t v8i __attribute__((vector_size(32)));
typedef int32_t v16i __attribute__((vector_size(64)));

template <class V>
constexpr int lanes = int(sizeof(V) / sizeof(float));

// The unsigned and signed 32-bit integer vectors of a float vector's width,
// for kernels that compute on the bits of their lanes.
template <class V>
using uvec_of = std::conditional_t<lanes<V> == 16, v16u, std::conditional_t<lanes<V> == 8, v8u, v4u>>;
template <class V>
using ivec_of = std::conditional_t<lanes<V> == 16, v16i, std::conditional_t<lanes<V> == 8, v8i, v4i>>;

// The float vector of a level's register width.
template <CpuLevel L>
using vec_for =
    std::conditional_t<L == CPU_AVX512, v16f, std::conditional_t<L == CPU_AVX2, v8f, v4f>>;

// Unaligned access: kernels start at any sample, and a caller's array need
// only be float-aligned, or not aligned at all.
template <class V>
KX_ALWAYS_INLINE V load(const float *p) noexcept {
    V v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

template <class V>
KX_ALWAYS_INLINE void store(float *p, const V &v) noexcept {
    std::memcpy(p, &v, sizeof v);
}

// Lane i of the result is lane PICK(i) of v, returned from a function
// templated on the vector type V.  A macro rather than a template: GCC
// compiles __builtin_shufflevector to one shuffle instruction only when its
// lane indices are not template-dependent (it turns dependent ones into a
// chain of lane inserts), so the indices are spelled out for each width.
#define KX_LANES4(PICK) PICK(0), PICK(1), PICK(2), PICK(3)
#define KX_LANES8(PICK) KX_LANES4(PICK), PICK(4), PICK(5), PICK(6), PICK(7)
#define KX_LANES16(PICK) \
    KX_LANES8(PICK), PICK(8), PICK(9), PICK(10), PICK(11), PICK(12), PICK(13), PICK(14), PICK(15)
#define KX_RETURN_PERMUTED(v, PICK)                            \
    if constexpr (kx::lanes<V> == 4)                           \
        return __builtin_shufflevector(v, v, KX_LANES4(PICK)); \
    else if constexpr (kx::lanes<V> == 8)                      \
        return __builtin_shufflevector(v, v, KX_LANES8(PICK)); \
    else                                                       \
        return __builtin_shufflevector(v, v, KX_LANES16(PICK))
#define KX_LANE_ZERO(i) 0
#define KX_LANE_IN_PAIR(i) ((i) & 1)
#define KX_LANE_SWAPPED(i) ((i) ^ 1)

// x in every lane.
template <class V>
KX_ALWAYS_INLINE V splat(float x) noexcept {
    const V t = {x};
    KX_RETURN_PERMUTED(t, KX_LANE_ZERO);
}

// (re, im) -> (im, re) in every pair of lanes.
template <class V>
KX_ALWAYS_INLINE V swap_pairs(const V &v) noexcept {
    KX_RETURN_PERMUTED(v, KX_LANE_SWAPPED);
}

// Interleaved (re, im) pairs a and b split into a vector of real parts and
// one of imaginary parts within each 128-bit block (one instruction at every
// width, where a split across blocks takes two on AVX2 and a two-table
// permute on AVX-512): each block holds the parts of two of a's pairs, then
// two of b's.  join_lo / join_hi restore a and b.  For kernels whose lanes
// are independent: a per-lane table split the same way meets its samples.
template <class V>
KX_ALWAYS_INLINE V deal_even(const V &a, const V &b) noexcept {
    if constexpr (lanes<V> == 4)
        return __builtin_shufflevector(a, b, 0, 2, 4, 6);
    else if constexpr (lanes<V> == 8)
        return __builtin_shufflevector(a, b, 0, 2, 8, 10, 4, 6, 12, 14);
    else
        return __builtin_shufflevector(a, b, 0, 2, 16, 18, 4, 6, 20, 22, 8, 10, 24, 26, 12, 14,
                                       28, 30);
}

template <class V>
KX_ALWAYS_INLINE V deal_odd(const V &a, const V &b) noexcept {
    if constexpr (lanes<V> == 4)
        return __builtin_shufflevector(a, b, 1, 3, 5, 7);
    else if constexpr (lanes<V> == 8)
        return __builtin_shufflevector(a, b, 1, 3, 9, 11, 5, 7, 13, 15);
    else
        return __builtin_shufflevector(a, b, 1, 3, 17, 19, 5, 7, 21, 23, 9, 11, 25, 27, 13, 15,
                                       29, 31);
}

template <class V>
KX_ALWAYS_INLINE V join_lo(const V &re, const V &im) noexcept {
    if constexpr (lanes<V> == 4)
        return __builtin_shufflevector(re, im, 0, 4, 1, 5);
    else if constexpr (lanes<V> == 8)
        return __builtin_shufflevector(re, im, 0, 8, 1, 9, 4, 12, 5, 13);
    else
        return __builtin_shufflevector(re, im, 0, 16, 1, 17, 4, 20, 5, 21, 8, 24, 9, 25, 12, 28,
                                       13, 29);
}

template <class V>
KX_ALWAYS_INLINE V join_hi(const V &re, const V &im) noexcept {
    if constexpr (lanes<V> == 4)
        return __builtin_shufflevector(re, im, 2, 6, 3, 7);
    else if constexpr (lanes<V> == 8)
        return __builtin_shufflevector(re, im, 2, 10, 3, 11, 6, 14, 7, 15);
    else
        return __builtin_shufflevector(re, im, 2, 18, 3, 19, 6, 22, 7, 23, 10, 26, 11, 27, 14, 30,
                                       15, 31);
}

// ---------------------------------------------------------------- dispatch
//
// A kernel K provides
//   using fn = R (*)(A...) noexcept;                 its signature
//   static constexpr CpuLevel widest = ...;          the widest level it has
//   template <CpuLevel L> static R run(A...) noexcept;   always inlined
template <class K, class Fn = typename K::fn>
struct Variants;

template <class K, class R, class... A>
struct Variants<K, R (*)(A...) noexcept> {
    static R baseline(A... a) noexcept { return K::template run<CPU_BASELINE>(a...); }
#if KX_X86
    KX_TARGET_AVX2 static R avx2(A... a) noexcept { return K::template run<CPU_AVX2>(a...); }
    KX_TARGET_AVX512 static R avx512(A... a) noexcept { return K::template run<CPU_AVX512>(a...); }
#endif

    static typename K::fn select() noexcept {
        const CpuLevel level = cpu_level() < K::widest ? cpu_level() : K::widest;
#if KX_X86
        if constexpr (K::widest >= CPU_AVX512)
            if (level == CPU_AVX512) return avx512;
        if constexpr (K::widest >= CPU_AVX2)
            if (level == CPU_AVX2) return avx2;
#endif
        (void)level;
        return baseline;
    }
};

// The instance of kernel K for this machine (call once and keep the result:
// the level is fixed for the life of the process).
template <class K>
typename K::fn select_variant() noexcept {
    return Variants<K>::select();
}

}  // namespace kx
