// Rotator: multiplies sample n by exp(j*2*pi*(phase + n*shift)), a frequency
// shift of `shift` cycles per sample that continues across calls.
//
// Phase.  The angle is an unsigned 64-bit fixed-point count of 2^-64 cycle:
// sample n of the stream gets acc_n = (phase0 + n*inc) mod 2^64 exactly, so
// the phase never drifts and wraps cleanly however long the stream.  inc and
// phase0 are the constructor's shift and phase quantized by
// rotator_quantize (round to nearest, ties to even, modulo 2^64).
//
// Phasor.  Only the top 32 bits u of acc_n enter (phase resolution 2^-32
// cycle, far below the float32 rounding of the result).  The angle is split
// at the nearest quarter cycle k, leaving r, a signed count of 2^-32 cycle:
//   v  = u + 2^29 (mod 2^32)         k = v >> 30
//   r  = int32(u - (v & 0xC0000000))                (-2^29 .. 2^29 - 1)
//   y  = float(r) * 2^-29                  (int -> float rounds to nearest)
//   y2 = y*y
//   sn = ((((S7*y2) + S5)*y2 + S3)*y2 + S1) * y          ~ sin(pi/4 * y)
//   cs = ((((C8*y2) + C6)*y2 + C4)*y2 + C2)*y2 + 1       ~ cos(pi/4 * y)
// every operation rounded to float32 in the order of the parentheses.  Then
// the quarter turns, exactly: cos = k odd ? sn : cs and sin = k odd ? cs : sn,
// with the sign bit of cos flipped for k = 1, 2 and that of sin for k = 2, 3
// (bits 30 and 31 of v).  The coefficients are below.
//
// Groups.  Sample n of the stream (n counted from the start phase, or as a
// restored state carries it) lies in group g = n / G at place i = n % G,
// G = ROTATOR_GROUP (16), the same on every instruction set.  The phasor
// above is evaluated once per group, at the group's first sample, and once
// per place for the increment alone:
//   (bc, bs) = phasor(phase0 + G*g*inc)     (tc_i, ts_i) = phasor(i*inc)
//   pc = bc*tc_i - bs*ts_i                  ps = bs*tc_i + bc*ts_i
// and the sample is rotated by (pc, ps), each product rounded before the sum:
//   yr = xr*pc - xi*ps                      yi = xi*pc + xr*ps
// The table (tc_i, ts_i) depends on the increment alone and is kept in the
// record, so the polynomial costs one evaluation per G samples.  phasor(0)
// is exactly (1, +0), so the first sample of a group gets the value of the
// group's phasor (a zero part may change sign).  The product of the two
// phasors roughly doubles the error of one: |phasor| - 1 and the phase
// error stay within 2.4e-7 (rad), spurs more than 150 dB down.
//
// Every step is lane-wise, so the vector kernels compute several samples
// side by side, each with exactly this sequence; all instruction-set
// variants and any block split give the same bits.  This code must be
// compiled with -ffp-contract=off.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/kx_core.h"

inline constexpr uint32_t ROTATOR_STATE_MAGIC = 0x52544F52u;  // "ROTR" little-endian
inline constexpr uint16_t ROTATOR_STATE_VERSION = 1;
inline constexpr std::size_t ROTATOR_STATE_BYTES = 48;
// Samples per evaluation of the phasor polynomial (a constant of the
// definition, not a vector width).
inline constexpr int ROTATOR_GROUP = 16;

// Polynomial coefficients in y = angle / (pi/4), fitted for the smallest
// worst-case error after float32 evaluation on [0, 1].
inline constexpr float ROTATOR_S1 = 0x1.921fb6p-1f;
inline constexpr float ROTATOR_S3 = -0x1.4abbb8p-4f;
inline constexpr float ROTATOR_S5 = 0x1.465e8cp-9f;
inline constexpr float ROTATOR_S7 = -0x1.2d91eep-15f;
inline constexpr float ROTATOR_C2 = -0x1.3bd3ccp-2f;
inline constexpr float ROTATOR_C4 = 0x1.03c1dep-6f;
inline constexpr float ROTATOR_C6 = -0x1.55c66p-12f;
inline constexpr float ROTATOR_C8 = 0x1.d9f6aap-19f;

// Taken zero-filled from the heap; no other buffer.
struct rotator {
    uint64_t phase;   // acc of the next sample, in 2^-64 cycle
    uint64_t inc;     // per-sample increment, in 2^-64 cycle
    uint64_t phase0;  // acc at construction, where reset() returns
    uint64_t place;   // the next sample's place in its group, < ROTATOR_GROUP
    cf32 table[ROTATOR_GROUP];  // phasor(i*inc), i = 0 .. G-1
};

// round(cycles * 2^64) mod 2^64, ties to even, computed exactly from the
// double's bits; 0 for NaN or an infinity.
uint64_t rotator_quantize(double cycles) noexcept;

// A record for shift and phase (cycles), or null for a non-finite argument
// or a failed allocation.
rotator *rotator_create(double shift, double phase) noexcept;
void rotator_destroy(rotator *r) noexcept;  // null is accepted

// Back to the start phase, at the start of a group; the increment stays.
void rotator_reset(rotator *r) noexcept;

// The increment and the phase of the next sample as the nearest double in
// cycles, taken modulo 1 into [-0.5, 0.5) and [0, 1).
double rotator_shift(const rotator *r) noexcept;
double rotator_phase(const rotator *r) noexcept;

// x[0 .. n-1] rotated into y[0 .. n-1], and the phase advanced by n*inc
// (and the place by n, modulo the group).  y
// may be x itself (each sample is read before its output is stored); y need
// not be aligned.
void rotator_steps(rotator *r, const cf32 *x, cf32 *y, uint64_t n) noexcept;

// The definition: cos + j*sin of the angle acc (2^-64 cycle), and the same
// block operation one sample at a time with it (the reference for the vector
// kernels).
cf32 rotator_phasor(uint64_t acc) noexcept;
// The table of phasor(i*inc) for the record's increment.
void rotator_fill_table(rotator *r) noexcept;
void rotator_steps_scalar(rotator *r, const cf32 *x, cf32 *y, uint64_t n) noexcept;

// State blob: the 16-byte header, then phase, inc, phase0 and place as
// unsigned 64-bit little-endian fields.  Every value of the first three is
// valid; place must be below ROTATOR_GROUP.
std::size_t rotator_state_bytes(const rotator *r) noexcept;
void rotator_get_state(const rotator *r, uint8_t *blob) noexcept;
// KX_STATUS_OK when applied; KX_STATUS_INVALID (nothing changed) for a wrong
// magic, version, byte 6 or size field, or a place outside the group.
int rotator_set_state(rotator *r, const uint8_t *blob) noexcept;
