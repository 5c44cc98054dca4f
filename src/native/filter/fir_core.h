// Direct-form FIR filter on complex samples, with complex or real taps.
//
// y[n] = sum_k h[k] x[n-k], single precision, in a fixed summation order:
// taps k < 8*floor(L/8) go into eight partial sums (partial m takes the taps
// with k mod 8 = m, in increasing k), combined as
// ((P0 + P4) + (P2 + P6)) + ((P1 + P5) + (P3 + P7)); the remaining taps are
// then added one at a time in increasing k.  Every product is rounded before
// it is added (no fused multiply-add).  Complex taps update a pair (R, I) as
// R <- (R + hr*xr) - hi*xi and I <- (I + hr*xi) + hi*xr.
#pragma once

#include <complex>
#include <cstddef>
#include <cstdint>

using fir_cf32 = std::complex<float>;

struct fir_filter {
    fir_cf32 *taps;        // complex taps (taps_len), or null in a real-tap filter
    float *taps_real;      // real taps (taps_len), or null in a complex-tap filter
    fir_cf32 *delay;       // last taps_len-1 input samples, oldest first; null when taps_len is 1
    fir_cf32 *scratch;     // work buffer: delay line followed by the current block
    uint64_t scratch_cap;  // capacity of scratch, samples; never shrinks
    uint64_t taps_len;     // number of taps, >= 1
    float *taps_cross;     // complex filter only: (-hi, hi) per tap, the sign-paired
                           // imaginary parts the vector loop multiplies swapped samples by
};

inline constexpr uint32_t FIR_STATE_MAGIC = 0x5F524946u;  // "FIR_" little-endian
inline constexpr uint16_t FIR_STATE_VERSION = 1;

fir_filter *fir_create(const fir_cf32 *taps, uint64_t taps_len) noexcept;
fir_filter *fir_create_real(const float *taps, uint64_t taps_len) noexcept;
void fir_destroy(fir_filter *f) noexcept;
void fir_reset(fir_filter *f) noexcept;
// Filters n_in samples of x into out (which may be x); returns n_in, or 0
// when nothing was done (empty block, null argument, scratch cannot grow).
uint64_t fir_execute(fir_filter *f, const fir_cf32 *x, uint64_t n_in, fir_cf32 *out) noexcept;
uint64_t fir_execute_max_out(const fir_filter *f) noexcept;
int fir_is_real(const fir_filter *f) noexcept;
std::size_t fir_state_bytes(const fir_filter *f) noexcept;
void fir_get_state(const fir_filter *f, uint8_t *blob) noexcept;
int fir_set_state(fir_filter *f, const uint8_t *blob) noexcept;

// The plain scalar evaluation of one output: the definition of the order,
// used for outputs the vector loop does not cover.  s points at the newest
// sample of the output's window (s[-k] is x[n-k]).
fir_cf32 fir_dot_real_scalar(const float *h, uint64_t len, const fir_cf32 *s) noexcept;
fir_cf32 fir_dot_complex_scalar(const fir_cf32 *h, uint64_t len, const fir_cf32 *s) noexcept;
