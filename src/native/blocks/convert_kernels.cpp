// The fixed-point conversions (convert_core.h) for every instruction-set
// variant: N components at a time in vectors of the level's width, the
// last few through a zero-padded vector, so every component takes the same
// operations.
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "blocks/convert_core.h"
#include "common/simd.h"

namespace {

template <class T, int N>
struct VecOf {
    typedef T type __attribute__((vector_size(N * sizeof(T))));
};
template <class T, int N>
using vec = typename VecOf<T, N>::type;

// Up to 16 bits every step is exact or one float32 rounding; 32-bit values
// need float64, where they are exact.
template <class S>
using work_t = std::conditional_t<sizeof(S) == 4, double, float>;
template <class S>
using wide_int_t = std::conditional_t<sizeof(S) == 4, std::int64_t, std::int32_t>;

template <class S, int N>
KX_ALWAYS_INLINE vec<S, N> byte_swap(const vec<S, N> &v) noexcept {
    using U = std::make_unsigned_t<S>;
    using VU = vec<U, N>;
    const VU u = (VU)v;
    VU r;
    if constexpr (sizeof(S) == 1)
        r = u;
    else if constexpr (sizeof(S) == 2)
        r = VU(u << 8) | VU(u >> 8);
    else
        r = (u << 24) | ((u & 0xff00u) << 8) | ((u >> 8) & 0xff00u) | (u >> 24);
    return (vec<S, N>)r;
}

template <class S, int N>
KX_ALWAYS_INLINE void decode_vec(const S *raw, bool swap, float *out) noexcept {
    using T = work_t<S>;
    constexpr float half = float(std::uint64_t(1) << (8 * sizeof(S) - 1));
    constexpr float inv = 1.0f / half;
    vec<S, N> s;
    std::memcpy(&s, raw, sizeof s);
    if (swap) s = byte_swap<S, N>(s);
    // Exact up to 16 bits, through int32 (and bytes through int16 first,
    // which GCC widens in vectors where it would convert directly lane by
    // lane); 32-bit values are exact in float64 and rounded once.
    vec<float, N> f;
    if constexpr (sizeof(S) == 4) {
        f = __builtin_convertvector(__builtin_convertvector(s, vec<T, N>), vec<float, N>);
    } else {
        vec<std::int32_t, N> i;
        if constexpr (sizeof(S) == 1)
            i = __builtin_convertvector(__builtin_convertvector(s, vec<std::int16_t, N>),
                                        vec<std::int32_t, N>);
        else
            i = __builtin_convertvector(s, vec<std::int32_t, N>);
        f = __builtin_convertvector(i, vec<float, N>);
    }
    if constexpr (std::is_unsigned_v<S>) f = f - half;
    f = f * inv;
    std::memcpy(out, &f, sizeof f);
}

// Adds -1 to count for each component saturated.  Every mask comes from one
// comparison and is used on its own: GCC lowers masks combined with | in
// these always-inlined templates to one comparison per lane.
template <class S, int N>
KX_ALWAYS_INLINE void encode_vec(const float *x, bool swap, S *out,
                                 vec<wide_int_t<S>, N> &count) noexcept {
    using T = work_t<S>;
    using VT = vec<T, N>;
    using VI = vec<wide_int_t<S>, N>;
    constexpr T half = T(std::uint64_t(1) << (8 * sizeof(S) - 1));
    constexpr int mant = std::is_same_v<T, float> ? 23 : 52;
    // (w + 1.5 * 2^mant) - 1.5 * 2^mant is w rounded to the nearest integer,
    // ties to even, for |w| < 2^(mant - 1); beyond that w is whole or far
    // out of range.
    constexpr T magic = T(3) * T(std::uint64_t(1) << (mant - 1));
    constexpr T exact = T(std::uint64_t(1) << (mant - 1));
    const VT lo = VT{} - half, hi = VT{} + (half - 1);
    vec<float, N> f;
    std::memcpy(&f, x, sizeof f);
    const VT w = __builtin_convertvector(f, VT) * half;
    using UT = std::conditional_t<sizeof(T) == 4, std::uint32_t, std::uint64_t>;
    const VT a = (VT)((vec<UT, N>)w & (UT(-1) >> 1));  // |w|
    const VT rounded = (w + magic) - magic;
    const VT r = a < exact ? rounded : w;
    VT c = r > hi ? hi : r;
    c = c < lo ? lo : c;
    c = c != c ? lo : c;  // NaN
    count += c != r;  // clamped, or NaN
    if constexpr (std::is_unsigned_v<S>) c = c + half;
    const VI i = __builtin_convertvector(c, VI);  // whole numbers: exact
    vec<S, N> s;
    if constexpr (sizeof(S) == 1)  // through int16, as for decoding
        s = __builtin_convertvector(__builtin_convertvector(i, vec<std::int16_t, N>), vec<S, N>);
    else
        s = __builtin_convertvector(i, vec<S, N>);
    if (swap) s = byte_swap<S, N>(s);
    std::memcpy(out, &s, sizeof s);
}

template <class S, int N>
KX_ALWAYS_INLINE void decode_run(const void *raw, std::size_t n, bool swap, float *out) noexcept {
    const S *s = static_cast<const S *>(raw);
    std::size_t i = 0;
    for (; i + N <= n; i += N) decode_vec<S, N>(s + i, swap, out + i);
    if (i < n) {
        S tail[N] = {};
        float got[N];
        std::memcpy(tail, s + i, (n - i) * sizeof(S));
        decode_vec<S, N>(tail, swap, got);
        std::memcpy(out + i, got, (n - i) * sizeof(float));
    }
}

template <class S, int N>
KX_ALWAYS_INLINE std::size_t encode_run(const float *x, std::size_t n, bool swap,
                                        void *out) noexcept {
    S *s = static_cast<S *>(out);
    vec<wide_int_t<S>, N> count = {};
    std::size_t i = 0;
    for (; i + N <= n; i += N) encode_vec<S, N>(x + i, swap, s + i, count);
    if (i < n) {
        float tail[N] = {};  // zeros: nothing to saturate
        S got[N];
        std::memcpy(tail, x + i, (n - i) * sizeof(float));
        encode_vec<S, N>(tail, swap, got, count);
        std::memcpy(s + i, got, (n - i) * sizeof(S));
    }
    std::size_t total = 0;
    for (int k = 0; k < N; k++) total += std::size_t(-count[k]);
    return total;
}

struct Decode {
    // Up to 16 bits, 16 components at a time on every level: one 16-byte load
    // of bytes widens in registers, where 4 at a time went through scalars.
    template <class S, int N>
    static KX_ALWAYS_INLINE void go(const void *raw, std::size_t n, bool swap, float *out) noexcept {
        decode_run<S, (sizeof(S) < 4 ? 16 : N)>(raw, n, swap, out);
    }
};

struct Encode {
    // N floats fill a register: as many lanes of the work type as fit one.
    template <class S, int N>
    static KX_ALWAYS_INLINE std::size_t go(const float *x, std::size_t n, bool swap, void *out) noexcept {
        return encode_run<S, int(N * sizeof(float) / sizeof(work_t<S>))>(x, n, swap, out);
    }
};

// Op::go<S, N>(a...) for the stored type S of t; everything inlined into the
// caller, so compiled for its instruction set.
template <class Op, int N, class... A>
KX_ALWAYS_INLINE auto by_type(FixedType t, A... a) noexcept {
    switch (t.bytes) {
    case 1:
        return t.is_unsigned ? Op::template go<std::uint8_t, N>(a...) : Op::template go<std::int8_t, N>(a...);
    case 2:
        return t.is_unsigned ? Op::template go<std::uint16_t, N>(a...) : Op::template go<std::int16_t, N>(a...);
    default:
        return t.is_unsigned ? Op::template go<std::uint32_t, N>(a...) : Op::template go<std::int32_t, N>(a...);
    }
}

struct DecodeKernel {
    using fn = void (*)(const void *, std::size_t, FixedType, float *) noexcept;
    static constexpr kx::CpuLevel widest = kx::CPU_AVX512;

    template <kx::CpuLevel L>
    static KX_ALWAYS_INLINE void run(const void *raw, std::size_t n, FixedType t, float *out) noexcept {
        by_type<Decode, kx::lanes<kx::vec_for<L>>>(t, raw, n, t.swapped, out);
    }
};

struct EncodeKernel {
    using fn = std::size_t (*)(const float *, std::size_t, FixedType, void *) noexcept;
    static constexpr kx::CpuLevel widest = kx::CPU_AVX512;

    template <kx::CpuLevel L>
    static KX_ALWAYS_INLINE std::size_t run(const float *x, std::size_t n, FixedType t, void *out) noexcept {
        return by_type<Encode, kx::lanes<kx::vec_for<L>>>(t, x, n, t.swapped, out);
    }
};

}  // namespace

bool fixed_type_valid(FixedType t) noexcept {
    return t.bytes == 1 || t.bytes == 2 || t.bytes == 4;
}

void fixed_decode(const void *raw, std::size_t n, FixedType t, float *out) noexcept {
    static const DecodeKernel::fn impl = kx::select_variant<DecodeKernel>();
    impl(raw, n, t, out);
}

std::size_t fixed_encode(const float *x, std::size_t n, FixedType t, void *out) noexcept {
    static const EncodeKernel::fn impl = kx::select_variant<EncodeKernel>();
    return impl(x, n, t, out);
}
