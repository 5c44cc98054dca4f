// Direct-form FIR filter on complex samples, with complex or real taps.
//
// y[n] = sum_k h[k] x[n-k], single precision, in a fixed summation order:
// taps k < 8*floor(L/8) go into eight partial sums (partial m takes the taps
// with k mod 8 = m, in increasing k), combined as
// ((P0 + P4) + (P2 + P6)) + ((P1 + P5) + (P3 + P7)); the remaining taps are
// then added one at a time in increasing k.  Every product is rounded before
// it is added (no fused multiply-add).  Complex taps update a pair (R, I) as
// R <- (R + hr*xr) - hi*xi and I <- (I + hr*xi) + hi*xr; real taps add
// h*xr and h*xi.  The results are reproducible bit for bit, so this code
// must be compiled with -ffp-contract=off.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/kx_core.h"

inline constexpr uint32_t FIR_STATE_MAGIC = 0x5F524946u;  // "FIR_" little-endian
inline constexpr uint16_t FIR_STATE_VERSION = 1;

// The most taps a filter can have: its state blob, 8*taps_len + 8 bytes, must
// be describable by the blob's 32-bit size field.
inline constexpr uint64_t FIR_MAX_TAPS = (UINT32_MAX - 8) / 8;
static_assert(8 * FIR_MAX_TAPS + 8 <= UINT32_MAX && 8 * (FIR_MAX_TAPS + 1) + 8 > UINT32_MAX);

// Taken zero-filled from the heap by fir_create / fir_create_real; owns all
// four buffers.  Exactly one of taps and taps_real is set, for life.
struct fir_filter {
    cf32 *taps;            // complex taps, taps_len samples; null in a real-tap filter
    float *taps_real;      // real taps, taps_len floats; null in a complex-tap filter
    cf32 *delay;           // last taps_len-1 input samples, oldest first; null when
                           // taps_len is 1
    cf32 *scratch;         // work buffer: history followed by one stretch of the
                           // block; null until the first fir_execute
    uint64_t scratch_cap;  // capacity of scratch in samples, at most
                           // 2*(taps_len-1) plus one stretch; never shrinks
    uint64_t taps_len;     // number of taps, >= 1
};

// A filter with a private copy of the taps and a zeroed delay line, or null
// when taps is null, taps_len is 0 or above FIR_MAX_TAPS, or an allocation
// fails.
fir_filter *fir_create(const cf32 *taps, uint64_t taps_len) noexcept;
fir_filter *fir_create_real(const float *taps, uint64_t taps_len) noexcept;
void fir_destroy(fir_filter *f) noexcept;  // null is accepted

// Zeroes the delay line; taps and scratch stay, so nothing is allocated again.
void fir_reset(fir_filter *f) noexcept;

// Filters x[0 .. n_in-1] into out[0 .. n_in-1] and returns n_in.  Returns 0
// with nothing changed (delay line, out) when n_in is 0, a pointer is null,
// or scratch cannot grow (realloc fails); it needs taps_len-1 samples plus
// one cache-sized stretch, and taps_len-1 more when out starts inside x.
// out may be x itself, or overlap it anyhow: each input sample is copied to
// scratch before any output that could overwrite it is written.
uint64_t fir_execute(fir_filter *f, const cf32 *x, uint64_t n_in, cf32 *out) noexcept;

// Always 0: the output of fir_execute has the length of its input.
uint64_t fir_execute_max_out(const fir_filter *f) noexcept;

// 1 for a real-tap filter, 0 for a complex-tap one.
int fir_is_real(const fir_filter *f) noexcept;

// State blob: the 16-byte header, then the delay line as taps_len-1 complex
// samples (real, imaginary; float32 little-endian), oldest first.
std::size_t fir_state_bytes(const fir_filter *f) noexcept;
void fir_get_state(const fir_filter *f, uint8_t *blob) noexcept;
// KX_STATUS_OK when applied; KX_STATUS_INVALID (nothing changed) for a wrong
// magic, version, byte 6 or size field.
int fir_set_state(fir_filter *f, const uint8_t *blob) noexcept;

// ------------------------------------------------------------ kernels
//
// Outputs 0 .. n-1 of one stretch of scratch into out, on the instruction-set
// variant selected for this machine.  win[i] is the newest sample of output
// i's window and the older ones stand right before it (the delay line
// precedes the block in scratch).  out never aliases scratch.
void fir_run(const fir_filter *f, const cf32 *win, uint64_t n, cf32 *out) noexcept;

// The plain scalar evaluation of one output: the definition of the order,
// also used for the outputs the vector loops do not cover.  s points at the
// newest sample of the output's window (s[-k] is x[n-k]).
cf32 fir_dot_real_scalar(const float *h, uint64_t len, const cf32 *s) noexcept;
cf32 fir_dot_complex_scalar(const cf32 *h, uint64_t len, const cf32 *s) noexcept;
