// What every numeric core shares: the complex sample and the status codes.
// Cores include this header, never the interpreter's.
#pragma once

#include <complex>
#include <cstdint>

// A complex sample: two IEEE single-precision floats, real part first, the
// element of NumPy's complex64 arrays.
using cf32 = std::complex<float>;
static_assert(sizeof(cf32) == 8, "a complex sample is two packed floats");

// Results of the core operations that can refuse their input.
inline constexpr int KX_STATUS_OK = 0;
inline constexpr int KX_STATUS_INVALID = -4;  // invalid argument or rejected blob
