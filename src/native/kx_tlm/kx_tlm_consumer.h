// Telemetry consumer: creates a context with its ring, reads the probe table
// and takes records out of the ring.  Plain free functions over the layouts
// of kx_tlm_core.h; nothing here touches the interpreter, so a native program
// can drive a context exactly as the telemetry module does.
//
// Threads: every function may run on another thread than the producer.
// kx_tlm_consume must have a single caller at a time per context (the ring
// has one consumer); kx_tlm_create and kx_tlm_destroy belong to the setup
// path, with no producer attached.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kx_tlm/kx_tlm_core.h"

// Largest ring: 2^30 records of 16 bytes (16 GiB) is far beyond any sensible
// telemetry buffer while still well inside size_t and npy_intp arithmetic.
inline constexpr uint64_t KX_TLM_MAX_CAPACITY = uint64_t(1) << 30;

// Width of one row that kx_tlm_consume writes: stamp (u64), value (f32),
// probe (u16), packed and little-endian, as NumPy lays out the field list
// [('stamp', '<u8'), ('value', '<f4'), ('probe', '<u2')].
inline constexpr std::size_t KX_TLM_ROW_BYTES = 14;

// True for the capacities a ring can have: a power of two from 1 to
// KX_TLM_MAX_CAPACITY.
bool kx_tlm_capacity_ok(uint64_t capacity) noexcept;

// A zeroed context with a ring of `capacity` records, or null for a capacity
// that kx_tlm_capacity_ok refuses or when memory runs out.
kx_tlm_ctx *kx_tlm_create(uint64_t capacity) noexcept;

// Frees the context, its ring and its records; null is accepted.
void kx_tlm_destroy(kx_tlm_ctx *ctx) noexcept;

uint64_t kx_tlm_capacity(const kx_tlm_ctx *ctx) noexcept;

// Records written and not yet consumed, at most the capacity (a damaged
// ring may claim more; kx_tlm_consume counts those as dropped).
uint64_t kx_tlm_pending(const kx_tlm_ctx *ctx) noexcept;

// Due records lost because the ring was full.
uint64_t kx_tlm_dropped(const kx_tlm_ctx *ctx) noexcept;

// Records written for probe id (id below kx_tlm_probe_count).
uint64_t kx_tlm_emitted(const kx_tlm_ctx *ctx, uint32_t id) noexcept;

// The word copied into every record from now on; the producer only reads it.
uint64_t kx_tlm_stamp(const kx_tlm_ctx *ctx) noexcept;
void kx_tlm_set_stamp(kx_tlm_ctx *ctx, uint64_t stamp) noexcept;

// Registered probes, bounded by the table size.
uint32_t kx_tlm_probe_count(const kx_tlm_ctx *ctx) noexcept;

// Length of probe id's name, at most KX_TLM_NAME_LEN - 1.
std::size_t kx_tlm_name_len(const kx_tlm_ctx *ctx, uint32_t id) noexcept;

// The id of the probe named by the `len` bytes at `name`, or -1.
int32_t kx_tlm_find(const kx_tlm_ctx *ctx, const char *name, std::size_t len) noexcept;

// Takes the n oldest records out of the ring into `rows` (KX_TLM_ROW_BYTES
// each) and returns their room to the producer.  n must not exceed
// kx_tlm_pending(ctx).  When head runs more than the capacity ahead of tail
// the excess is added to dropped and skipped first.
void kx_tlm_consume(kx_tlm_ctx *ctx, uint8_t *rows, uint64_t n) noexcept;
