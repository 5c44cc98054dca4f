// The telemetry ring: the context layouts that both ends share, and the
// producer's two inline operations that an instrumented core calls.  The
// consumer's operations are declared in kx_tlm_consumer.h.
//
// A telemetry context is one kx_tlm_ctx (probe table, stamp word) pointing at
// one kx_tlm_ring (a single-producer, single-consumer ring of 16-byte
// records).  The consumer allocates all of it (the telemetry module owns it
// through its capsule "kestrix.telemetry.kx_tlm") and is the ring's only
// reader; a core such as the AGC registers named probes on the setup path and
// then emits values from its processing loop, which is the ring's only
// producer.
//
// The layouts below are a binary interface between separately built modules:
// every offset and size is pinned by a static_assert, and all integers are
// native little-endian.  Bytes not named here are never touched.
//
// Memory ordering of the ring (free-running 64-bit counters, slot = n & mask):
//   producer: reads tail with acquire, writes the record, publishes head with
//             release; a due record that finds no room increments dropped
//             with a sequentially consistent fetch-add, the only atomic
//             read-modify-write on either side.
//   consumer: reads head with acquire, copies the records, then publishes
//             tail with release, so a slot is never rewritten while read.
// On x86-64 all of this compiles to plain loads and stores plus one locked
// add for dropped.
#pragma once

#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "common/kx_core.h"

static_assert(std::endian::native == std::endian::little,
              "the telemetry layouts are little-endian and accessed in place");

inline constexpr uint32_t KX_TLM_MAX_PROBES = 64;  // entries in the probe table
inline constexpr std::size_t KX_TLM_NAME_LEN = 32;  // name bytes, terminator included

// One record of the ring.
struct kx_tlm_rec {
    uint64_t stamp;  // the context's stamp word when the record was written
    float value;     // probe value rounded to single precision
    uint16_t probe;  // probe id (low 16 bits)
    uint16_t pad;    // always zero
};

// One entry of the probe table; probe id i is entry i.
struct kx_tlm_probe {
    char name[KX_TLM_NAME_LEN];  // NUL-terminated, at most 31 bytes
    uint32_t period;             // one record is due per `period` events
    uint32_t count;              // events since the last due one (thinning counter)
    uint64_t emitted;            // records written for this probe
};

// Ring control block.  head, tail and dropped each open a 64-byte line of
// their own, so producer and consumer never write to the same cache line.
struct kx_tlm_ring {
    kx_tlm_rec *recs;                // capacity records, 16 bytes each
    uint64_t mask;                   // capacity - 1 (capacity is a power of two)
    uint64_t capacity;               // ring size in records; 0: no ring, every due record drops
    alignas(64) uint64_t head;       // records written (free-running); producer only
    alignas(64) uint64_t tail;       // records consumed (free-running); consumer only
    alignas(64) uint64_t dropped;    // due records that found no room; atomic increment
};

// Telemetry context.
struct kx_tlm_ctx {
    kx_tlm_ring *ring_ctl;                   // the ring, never null in a live context
    uint64_t stamp;                          // copied into every record; set by the consumer side
    uint32_t n_probes;                       // registered probes, ids 0..n_probes-1
    uint32_t reserved;                       // never touched
    kx_tlm_probe probes[KX_TLM_MAX_PROBES];  // the probe table
};

static_assert(sizeof(kx_tlm_rec) == 16);
static_assert(offsetof(kx_tlm_rec, stamp) == 0 && offsetof(kx_tlm_rec, value) == 8);
static_assert(offsetof(kx_tlm_rec, probe) == 12 && offsetof(kx_tlm_rec, pad) == 14);

static_assert(sizeof(kx_tlm_probe) == 48);
static_assert(offsetof(kx_tlm_probe, name) == 0 && offsetof(kx_tlm_probe, period) == 32);
static_assert(offsetof(kx_tlm_probe, count) == 36 && offsetof(kx_tlm_probe, emitted) == 40);

static_assert(sizeof(kx_tlm_ring) == 256 && alignof(kx_tlm_ring) == 64);
static_assert(offsetof(kx_tlm_ring, recs) == 0 && offsetof(kx_tlm_ring, mask) == 8);
static_assert(offsetof(kx_tlm_ring, capacity) == 16 && offsetof(kx_tlm_ring, head) == 64);
static_assert(offsetof(kx_tlm_ring, tail) == 128 && offsetof(kx_tlm_ring, dropped) == 192);

static_assert(sizeof(kx_tlm_ctx) == 24 + 48 * 64);
static_assert(offsetof(kx_tlm_ctx, ring_ctl) == 0 && offsetof(kx_tlm_ctx, stamp) == 8);
static_assert(offsetof(kx_tlm_ctx, n_probes) == 16 && offsetof(kx_tlm_ctx, probes) == 24);
static_assert(sizeof(void *) == 8, "ring_ctl and recs are 8-byte pointers");

// The counters are accessed in place through std::atomic_ref: that must be a
// plain aligned 64-bit access, never a lock.
static_assert(std::atomic_ref<uint64_t>::is_always_lock_free);
static_assert(std::atomic_ref<uint64_t>::required_alignment <= alignof(uint64_t));

// ------------------------------------------------------------ ring checks
//
// The context crosses the system's edge: the producer checks the ring before
// it trusts it.

// A ring shape that the producer can index: no ring (capacity 0), or a
// power-of-two capacity with mask = capacity - 1, so that head & mask names
// each of the capacity slots once per lap and never one past them.
inline bool kx_tlm_ring_shape_ok(uint64_t capacity, uint64_t mask) noexcept {
    return capacity == 0 || (mask == capacity - 1 && (capacity & mask) == 0);
}

// Whether a producer may attach to ctx: a ring control block, a shape that
// kx_tlm_ring_shape_ok accepts, records behind a non-zero capacity, and no
// more records pending than the ring holds.  Setup path.
inline bool kx_tlm_ring_ok(const kx_tlm_ctx *ctx) noexcept {
    kx_tlm_ring *ring = ctx->ring_ctl;
    if (ring == nullptr) return false;
    const uint64_t capacity = ring->capacity;
    if (!kx_tlm_ring_shape_ok(capacity, ring->mask) || (capacity != 0 && ring->recs == nullptr))
        return false;
    const uint64_t head = std::atomic_ref<uint64_t>(ring->head).load(std::memory_order_acquire);
    const uint64_t tail = std::atomic_ref<uint64_t>(ring->tail).load(std::memory_order_acquire);
    return head - tail <= capacity;
}

// ------------------------------------------------------------ kx_tlm_register
//
// Registers the probe `name` with thinning period `decim` and returns its id
// (0 .. KX_TLM_MAX_PROBES-1), or KX_STATUS_INVALID for a null context or name, a zero
// period, a name longer than 31 bytes, or a full table.
//
// A name already in the table keeps its id, its name and its emitted count;
// it is re-armed (period = decim, count = decim - 1) so that its next event
// is recorded.  A new name takes the next free id with emitted = 0 and the
// same re-armed counter.  Ids are therefore dense, in registration order, and
// stable for the life of the context.
//
// Setup path only: the table is plain memory, so no producer may be emitting
// into this context while it runs.
inline int32_t kx_tlm_register(kx_tlm_ctx *ctx, const char *name, uint32_t decim) noexcept {
    if (ctx == nullptr || name == nullptr || decim == 0) return KX_STATUS_INVALID;
    // Bounded length scan: a name that is not terminated within the table's
    // width is too long, whatever follows it.
    std::size_t len = 0;
    while (len < KX_TLM_NAME_LEN && name[len] != '\0') len++;
    if (len > KX_TLM_NAME_LEN - 1) return KX_STATUS_INVALID;

    // The search stops at the table's end even if n_probes were larger.
    const uint32_t n = ctx->n_probes;
    const uint32_t searched = n < KX_TLM_MAX_PROBES ? n : KX_TLM_MAX_PROBES;
    for (uint32_t i = 0; i < searched; i++) {
        kx_tlm_probe *p = &ctx->probes[i];
        if (std::strcmp(p->name, name) == 0) {
            p->period = decim;
            p->count = decim - 1u;
            return static_cast<int32_t>(i);
        }
    }
    if (n >= KX_TLM_MAX_PROBES) return KX_STATUS_INVALID;

    // The entry is complete before n_probes counts it, so a reader of the
    // table never sees a half-written name.
    kx_tlm_probe *p = &ctx->probes[n];
    std::memcpy(p->name, name, len + 1);
    p->emitted = 0;
    p->period = decim;
    p->count = decim - 1u;
    ctx->n_probes = n + 1u;
    return static_cast<int32_t>(n);
}

// ------------------------------------------------------------ kx_tlm_emit
//
// One event of probe `id` with `value`.  The probe's counter advances; when
// it reaches the probe's period the event is due: the counter restarts at 0
// and one record {stamp, (float)value, id, 0} is offered to the ring.  A due
// record that finds the ring full (or no ring, capacity 0, or a ring whose
// shape has been damaged since it was attached) is counted in `dropped` and
// lost, never retried; head and emitted are then unchanged.
//
// With period P the first event after a (re-)registration is recorded, then
// every P-th.  A null context or an id outside the table does nothing.
//
// Producer side of the ring: every caller emitting into one context must run
// on one thread.  Allocates nothing, calls nothing, takes no lock.
inline void kx_tlm_emit(kx_tlm_ctx *ctx, uint32_t id, double value) noexcept {
    if (ctx == nullptr || id >= KX_TLM_MAX_PROBES) return;
    kx_tlm_probe *p = &ctx->probes[id];
    const uint32_t count = p->count + 1u;  // wraps at 2^32
    if (count < p->period) {
        p->count = count;
        return;
    }
    p->count = 0;

    kx_tlm_ring *ring = ctx->ring_ctl;
    // The consumer may rewrite the stamp word at any time: read it once, as a
    // whole (a relaxed load is a plain load on every 64-bit target).
    const uint64_t stamp = std::atomic_ref<uint64_t>(ctx->stamp).load(std::memory_order_relaxed);
    const uint64_t head = ring->head;  // this thread is its only writer
    const uint64_t tail = std::atomic_ref<uint64_t>(ring->tail).load(std::memory_order_acquire);
    const uint64_t capacity = ring->capacity;
    const uint64_t mask = ring->mask;
    // In a consistent ring head - tail never exceeds capacity; >= also keeps
    // a damaged one from overwriting unread slots, and the shape check keeps
    // the slot below capacity whatever has been written into the ring.
    if (capacity == 0 || head - tail >= capacity || !kx_tlm_ring_shape_ok(capacity, mask)) {
        std::atomic_ref<uint64_t>(ring->dropped).fetch_add(1, std::memory_order_seq_cst);
        return;
    }

    kx_tlm_rec *rec = ring->recs + (head & mask);
    rec->stamp = stamp;
    rec->value = static_cast<float>(value);
    rec->probe = static_cast<uint16_t>(id);
    rec->pad = 0;
    // Publishes the four fields above to the consumer's acquire load of head.
    std::atomic_ref<uint64_t>(ring->head).store(head + 1, std::memory_order_release);
    // Other threads only ever read emitted as a statistic; a relaxed store is
    // a plain store that they can read without a data race.
    std::atomic_ref<uint64_t>(p->emitted).store(p->emitted + 1, std::memory_order_relaxed);
}
