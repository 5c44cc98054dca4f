// Fixed-point sample components to float32 and back, for recordings stored
// as 8-, 16- or 32-bit integers.
#pragma once

#include <cstddef>

// One stored component: a signed or unsigned integer of 1, 2 or 4 bytes, in
// this machine's byte order or swapped.  Full scale is 1.0: half =
// 2^(8*bytes - 1).
struct FixedType {
    unsigned char bytes;
    bool is_unsigned;
    bool swapped;
};

// True for the 1-, 2- and 4-byte types.
bool fixed_type_valid(FixedType t) noexcept;

// out[i] = (float(raw[i]) - half) * (1/half) for unsigned types, float(raw[i])
// * (1/half) for signed ones: the conversion to float32 rounds to nearest
// (exact up to 16 bits), then each step is one float32 operation.
void fixed_decode(const void *raw, std::size_t n, FixedType t, float *out) noexcept;

// The inverse for the values a type can hold: w = x[i] * half (in float32 up
// to 16 bits, in float64 for 32), rounded to the nearest integer with ties
// to even, saturated to [-half, half - 1] (a NaN becomes -half), plus half
// for unsigned types, stored in out.  Returns the number of components
// saturated (NaN included).
std::size_t fixed_encode(const float *x, std::size_t n, FixedType t, void *out) noexcept;
