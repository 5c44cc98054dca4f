// Boxcar moving average: record, constants and operations.
//
// The window sum is kept as a running accumulator: each sample adds its
// difference from the sample it pushes out of the ring, so a step costs one
// complex subtraction, one addition and one multiply whatever the window
// length.  The accumulator is never recomputed from the ring; its rounding
// is part of the result, which is reproducible bit for bit, so this code
// must be compiled with -ffp-contract=off.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/kx_core.h"

inline constexpr uint64_t BOXCAR_MAX_LEN = 64;
inline constexpr std::size_t BOXCAR_STATE_BYTES = 576;
inline constexpr uint32_t BOXCAR_STATE_MAGIC = 0x43584F42u;  // "BOXC" little-endian
inline constexpr uint16_t BOXCAR_STATE_VERSION = 1;

// One zeroed heap block, the ring included, so an object is a single fixed
// allocation and processing never allocates.
struct boxcar_filter {
    uint64_t len;               // window length, 1 .. BOXCAR_MAX_LEN
    uint64_t pos;               // ring slot the next sample replaces, < len
    double inv_len;             // 1.0 / len
    double gain;                // output gain, any value
    float scale;                // float32 of inv_len * gain, the one output factor
    cf32 acc;                   // running sum of the window, float32
    cf32 ring[BOXCAR_MAX_LEN];  // last len inputs; slots from len on stay zero
};
static_assert(offsetof(boxcar_filter, inv_len) == 16 && offsetof(boxcar_filter, scale) == 32);
static_assert(offsetof(boxcar_filter, acc) == 36 && offsetof(boxcar_filter, ring) == 44);

// A record of len (1 .. BOXCAR_MAX_LEN) and gain, or nullptr for a length out
// of range or a failed allocation.
boxcar_filter *boxcar_create(uint64_t len, double gain) noexcept;
void boxcar_destroy(boxcar_filter *bx) noexcept;  // nullptr is accepted

// Empties the window (pos, acc, all ring slots); length and gain stay.
void boxcar_reset(boxcar_filter *bx) noexcept;

// Stores gain and refreshes scale; the window is untouched, so the next
// output already carries the new gain.
void boxcar_set_gain(boxcar_filter *bx, double gain) noexcept;

// One sample in (*x), one averaged sample out (*y); by pointer, as agc_step.
void boxcar_step(boxcar_filter *bx, const cf32 *x, cf32 *y) noexcept;

// boxcar_step over x[0 .. n-1] in order; y may be x itself.
void boxcar_steps(boxcar_filter *bx, const cf32 *x, cf32 *y, uint64_t n) noexcept;

// State blob: the 16-byte header, then the whole record field by field.
std::size_t boxcar_state_bytes(const boxcar_filter *bx) noexcept;
void boxcar_get_state(const boxcar_filter *bx, uint8_t *blob) noexcept;
// KX_STATUS_OK when applied; KX_STATUS_INVALID (record unchanged) for a wrong
// header, or a length or position that would break the record's invariants.
int boxcar_set_state(boxcar_filter *bx, const uint8_t *blob) noexcept;
