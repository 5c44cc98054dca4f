// Kaiser-windowed-sinc lowpass design.
//
// Kaiser's empirical formulas size the window (length from the transition
// width and the attenuation) and shape it (beta from the attenuation); the
// taps are the ideal lowpass response, a sinc cut off midway between the band
// edges, times the window.  Design arithmetic is double precision, evaluated
// one rounded operation per statement in a fixed order (compile with
// -ffp-contract=off): the taps are reproducible bit for bit.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

#include "common/kx_core.h"

// Constants used exactly as written.
inline constexpr double KAISER_TWO_PI_2285 = 14.357078426905355;  // 2.285 * 2 pi
inline constexpr double KAISER_BETA_HIGH = 0.1102;
inline constexpr double KAISER_BETA_HIGH_OFFSET = 0.9587399999999999;  // 0.1102 * 8.7 in double
inline constexpr double KAISER_BETA_MID_POW = 0.5842;
inline constexpr double KAISER_BETA_MID_LIN = 0.07886;
inline constexpr double KAISER_HALF_PI = 1.5707963267948966;
inline constexpr double KAISER_I0_TOL = 1e-15;
inline constexpr int KAISER_I0_MAX_TERMS = 40;

static_assert(std::bit_cast<uint64_t>(KAISER_TWO_PI_2285) == 0x402CB6D2FBCB54CDull);
static_assert(std::bit_cast<uint64_t>(KAISER_BETA_HIGH) == 0x3FBC36113404EA4Bull);
static_assert(std::bit_cast<uint64_t>(KAISER_BETA_HIGH_OFFSET) == 0x3FEEADFF822BBECAull);
static_assert(std::bit_cast<uint64_t>(KAISER_BETA_MID_POW) == 0x3FE2B1C432CA57A8ull);
static_assert(std::bit_cast<uint64_t>(KAISER_BETA_MID_LIN) == 0x3FB4302B40F66A55ull);
static_assert(std::bit_cast<uint64_t>(KAISER_HALF_PI) == 0x3FF921FB54442D18ull);
static_assert(std::bit_cast<uint64_t>(KAISER_I0_TOL) == 0x3CD203AF9EE75616ull);

// Kaiser's length estimate for an interpolation factor L, attenuation A (dB)
// and band edges in cycles per sample: (T | 1) / L + 1, T the truncation of
// q = (A - 8) L / ((f_stop - f_pass) 2.285 2 pi) + 1.  *count is 0 for L <= 0.
// KX_STATUS_INVALID (no count) when q is infinite or NaN, or when T leaves no room
// for the count in 32 bits.
int kaiser_count(int32_t L, double A, double f_pass, double f_stop, int32_t *count) noexcept;

// The same count, or 0 where kaiser_count refuses.
int32_t kaiser_num_taps(int32_t L, double A, double f_pass, double f_stop) noexcept;

// beta for an attenuation in dB; 0 (a rectangular window) below 21 dB or for
// NaN.
double kaiser_beta(double atten_db) noexcept;

// I0(2h), the modified Bessel function of the first kind of order 0, by its
// power series in h (callers pass half the argument), at most 40 terms.
double bessel_i0(double h) noexcept;

// The n-point Kaiser window I0(beta sqrt(1 - r^2)) / I0(beta), r from -1 to 1.
void kaiser_window(float *w, std::size_t n, float beta) noexcept;

// Number of taps kaiser_lowpass writes for Nyquist-normalised band edges:
// kaiser_num_taps(1, A, fpass/2, fstop/2) | 1.  Negative when the band edges
// are the wrong way round by enough; status as kaiser_count.
int kaiser_lowpass_len(double fpass, double fstop, double atten_db, int32_t *n) noexcept;

// Fills the kaiser_lowpass_len taps.  KX_STATUS_INVALID, with nothing written, when the
// length is refused or is below 1, or when the window buffer cannot be had.
int kaiser_lowpass(double fpass, double fstop, double atten_db, float *taps) noexcept;
