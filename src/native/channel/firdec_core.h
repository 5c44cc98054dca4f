// Decimating FIR filter on complex samples, with complex or real taps.
//
// Output j is the full-rate FIR output y[n] of the input stream at
// n = j*factor (n counted from creation or reset), and only those outputs
// are computed.  Each is the FIR's inner product in the FIR's own order (see
// filter/fir_core.h): taps k < 8*floor(L/8) into eight partial sums, partial
// m taking the taps k = m (mod 8) in increasing k, combined as
// ((P0 + P4) + (P2 + P6)) + ((P1 + P5) + (P3 + P7)), then the remaining taps
// one at a time in increasing k; every product rounded before it is added
// (-ffp-contract=off).  So the outputs are bit for bit those of the FIR with
// the same taps, taken every factor-th sample, whatever the block split.
#pragma once

#include <cstddef>
#include <cstdint>

#include "filter/fir_core.h"

inline constexpr uint32_t FIRDEC_STATE_MAGIC = 0x43454446u;  // "FDEC" little-endian
inline constexpr uint16_t FIRDEC_STATE_VERSION = 1;
inline constexpr std::size_t FIRDEC_STATE_FIXED = 32;  // header, factor, phase

// The most taps: the state blob, 8*taps_len + 24 bytes, must be describable
// by the blob's 32-bit size field.
inline constexpr uint64_t FIRDEC_MAX_TAPS = (UINT32_MAX - 24) / 8;
static_assert(8 * FIRDEC_MAX_TAPS + 24 <= UINT32_MAX && FIRDEC_MAX_TAPS <= FIR_MAX_TAPS);
// The factor whose kept outputs, with eight taps or more, are computed a
// vector's worth per pass from their windows as they lie.
inline constexpr uint64_t FIRDEC_PASS_FACTOR = 8;
// The factors computed from phase streams, which are split by transposing
// squares of eight samples; outside the range (and at factor 8 with fewer
// than eight taps) each kept output reads its window as it lies.
inline constexpr uint64_t FIRDEC_STREAM_MIN_FACTOR = 9;
inline constexpr uint64_t FIRDEC_STREAM_MAX_FACTOR = 64;
// The largest factor: phase + n then never overflows 64 bits.
inline constexpr uint64_t FIRDEC_MAX_FACTOR = uint64_t(INT64_MAX);

// Returned by firdec_execute when its work buffer cannot grow (nothing
// changed); never a real output count, which is below 2**61.
inline constexpr uint64_t FIRDEC_FAILED = UINT64_MAX;

// Taken zero-filled from the heap by firdec_create / firdec_create_real; owns
// fir and lanes.
struct fir_decimator {
    fir_filter *fir;   // the taps (their kind, for life), the delay line of the
                       // last taps_len-1 inputs and the work buffer
    float *lanes;      // the taps in the lane layout of the windows kernels
                       // (spread_taps in firdec_core.cpp); null when
                       // taps_len < 8
    cf32 *streams;     // factors in the stream range: the phase streams of
                       // one chunk, factor rows of stream_len samples, stream r
                       // holding every factor-th sample from phase r; null
                       // for other factors
    uint64_t *offsets; // with streams: per tap k, the float offset in streams of
                       // the sample tap k of a chunk's first kept output reads
    uint64_t reach;    // ceil((taps_len-1)/factor): the rows of a stream before
                       // the chunk's first kept output
    uint64_t chunk;    // most kept outputs per chunk
    uint64_t stream_len;  // samples per stream: chunk rounded up to 16, plus reach
                          // rounded up to 8
    uint64_t factor;   // keep every factor-th output, 1 .. FIRDEC_MAX_FACTOR
    uint64_t phase;    // inputs taken since the last kept output's index, mod
                       // factor: 0 when the next input's output is kept
};

// A decimator with a private copy of the taps, a zeroed delay line and phase
// 0, or null when taps is null, taps_len is 0 or above FIRDEC_MAX_TAPS,
// factor is 0 or above FIRDEC_MAX_FACTOR, or an allocation fails.
fir_decimator *firdec_create(const cf32 *taps, uint64_t taps_len, uint64_t factor) noexcept;
fir_decimator *firdec_create_real(const float *taps, uint64_t taps_len, uint64_t factor) noexcept;
void firdec_destroy(fir_decimator *d) noexcept;  // null is accepted

// Zeroes the delay line and the phase; the work buffer stays.
void firdec_reset(fir_decimator *d) noexcept;

uint64_t firdec_num_taps(const fir_decimator *d) noexcept;
bool firdec_is_real(const fir_decimator *d) noexcept;

// How many outputs firdec_execute of n inputs writes from the current phase.
uint64_t firdec_output_length(const fir_decimator *d, uint64_t n) noexcept;

// Filters x[0 .. n_in-1], writes the outputs the block completes to out[0 ..]
// and returns their count, firdec_output_length(d, n_in); the delay line
// and the phase move on by n_in inputs.  0 with nothing changed when n_in is
// 0 or a pointer is null; FIRDEC_FAILED with nothing changed when the work
// buffer cannot grow (taps_len-1 samples plus a cache-sized stretch, and the
// block's outputs besides when out starts inside x past its first byte).  out
// may be x itself or overlap it anyhow.
uint64_t firdec_execute(fir_decimator *d, const cf32 *x, uint64_t n_in, cf32 *out) noexcept;

// State blob: the 16-byte header, the factor (u64), the phase (u64), then the
// delay line as taps_len-1 complex samples (float32 real, imaginary), oldest
// first; all little-endian.
std::size_t firdec_state_bytes(const fir_decimator *d) noexcept;
void firdec_get_state(const fir_decimator *d, uint8_t *blob) noexcept;
// KX_STATUS_OK when applied; KX_STATUS_INVALID (nothing changed) for a wrong
// magic, version, byte 6 or size field, another factor, or a phase not below
// the factor.
int firdec_set_state(fir_decimator *d, const uint8_t *blob) noexcept;

// Whether factor 8's passes compute the kept outputs.
inline bool firdec_passes(const fir_decimator *d) noexcept {
    return d->factor == FIRDEC_PASS_FACTOR && d->lanes != nullptr;
}

// ------------------------------------------------------------ kernels
//
// count outputs into out[0 .. count-1], on the instruction-set variant
// selected for this machine: output j's window has its newest sample at
// s[j*stride], the older ones right before it.  out never aliases the
// windows.
void firdec_run(const fir_decimator *d, const cf32 *s, uint64_t stride, uint64_t count,
                cf32 *out) noexcept;
