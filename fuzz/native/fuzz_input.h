// Helpers shared by the libFuzzer targets: values drawn from the input, and
// the finding report.
#pragma once

#include <fuzzer/FuzzedDataProvider.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "common/kx_core.h"

namespace kxfuzz {

// A double: special values often, arbitrary bits or a plain range otherwise.
inline double number(FuzzedDataProvider &in) {
    static constexpr double special[] = {0.0, -0.0, 1.0, -1.0, 0.5, 1e-30, 0x1p257, 1e308,
                                         -1e308, 5e-324, 770.7, -903.2, 3.4028235e38, 1e39,
                                         __builtin_nan(""), __builtin_inf(), -__builtin_inf()};
    switch (in.ConsumeIntegralInRange(0, 3)) {
    case 0: return special[in.ConsumeIntegralInRange<std::size_t>(0, std::size(special) - 1)];
    case 1: return std::bit_cast<double>(in.ConsumeIntegral<uint64_t>());
    default: return in.ConsumeFloatingPointInRange(-200.0, 200.0);
    }
}

// A float32: arbitrary bits, or a value spread over many magnitudes so that
// the roundings of different orders differ.
inline float sample(FuzzedDataProvider &in) {
    if (in.ConsumeIntegralInRange(0, 7) == 0) return std::bit_cast<float>(in.ConsumeIntegral<uint32_t>());
    return float(in.ConsumeFloatingPointInRange(-1.0, 1.0) *
                 std::ldexp(1.0, in.ConsumeIntegralInRange(-20, 20)));
}

inline void fill(FuzzedDataProvider &in, float *p, std::size_t n) {
    for (std::size_t i = 0; i < n; i++) p[i] = sample(in);
}

// A finding: the message, then abort() so that libFuzzer keeps the input.
[[noreturn]] inline void finding(const char *what) {
    std::fprintf(stderr, "finding: %s\n", what);
    std::abort();
}

inline void check(bool ok, const char *what) {
    if (!ok) finding(what);
}

inline bool same_bits(const void *a, const void *b, std::size_t bytes) {
    return bytes == 0 || std::memcmp(a, b, bytes) == 0;
}

// n floats with the same bits, except that any two NaNs match: which
// operand's payload a NaN result carries depends on the order in which the
// compiler puts the operands of a commutative multiply, which the defined
// order of operations does not fix (and clang and GCC choose differently).
inline bool same_values(const float *a, const float *b, std::size_t n) {
    for (std::size_t i = 0; i < n; i++)
        if (!same_bits(&a[i], &b[i], 4) && !(a[i] != a[i] && b[i] != b[i])) return false;
    return true;
}

// A block x of n samples and an out for a block method, placed at a drawn
// offset from x in floats: x itself, a separate buffer, or a view of x's
// buffer shifted either way.  x is filled with drawn samples.
struct Placed {
    std::vector<float> buf, separate;
    float *x = nullptr;
    float *out = nullptr;
};

inline Placed place_out(FuzzedDataProvider &in, uint64_t n) {
    // 0 is x itself, a huge offset a separate out.
    const int64_t shift = in.ConsumeBool()   ? 1 << 30
                          : in.ConsumeBool() ? 0
                                             : in.ConsumeIntegralInRange<int64_t>(-2 * int64_t(n), 2 * int64_t(n));
    const bool apart = shift == 1 << 30;
    const uint64_t lead = shift < 0 ? uint64_t(-shift) : 0;
    Placed p;
    p.buf.resize(2 * n + lead + (apart ? 0 : uint64_t(shift > 0 ? shift : 0)) + 2);
    p.separate.resize(apart ? 2 * n + 2 : 0);
    p.x = p.buf.data() + lead;
    p.out = apart ? p.separate.data() : p.x + shift;
    fill(in, p.x, 2 * n);
    return p;
}

}  // namespace kxfuzz
