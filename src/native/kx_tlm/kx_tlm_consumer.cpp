// Telemetry consumer: context creation, the probe table's readers and the
// ring's consuming side.
#include "kx_tlm/kx_tlm_consumer.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

namespace {

constexpr std::size_t round_up_64(std::size_t n) noexcept { return (n + 63) & ~std::size_t(63); }

}  // namespace

void kx_tlm_destroy(kx_tlm_ctx *ctx) noexcept {
    if (ctx == nullptr) return;
    kx_tlm_ring *ring = ctx->ring_ctl;
    if (ring != nullptr) std::free(ring->recs);
    std::free(ring);
    std::free(ctx);
}

bool kx_tlm_capacity_ok(uint64_t capacity) noexcept {
    return capacity != 0 && capacity <= KX_TLM_MAX_CAPACITY &&
           kx_tlm_ring_shape_ok(capacity, capacity - 1);
}

// Context and ring control block are 64-byte aligned, so head, tail and
// dropped really sit on cache lines of their own.
kx_tlm_ctx *kx_tlm_create(uint64_t capacity) noexcept {
    if (!kx_tlm_capacity_ok(capacity)) return nullptr;
    constexpr std::size_t ctx_bytes = round_up_64(sizeof(kx_tlm_ctx));
    kx_tlm_ctx *ctx = static_cast<kx_tlm_ctx *>(std::aligned_alloc(64, ctx_bytes));
    if (ctx == nullptr) return nullptr;
    std::memset(ctx, 0, ctx_bytes);
    kx_tlm_ring *ring = static_cast<kx_tlm_ring *>(std::aligned_alloc(64, sizeof(kx_tlm_ring)));
    if (ring == nullptr) {
        kx_tlm_destroy(ctx);
        return nullptr;
    }
    std::memset(ring, 0, sizeof(kx_tlm_ring));
    ctx->ring_ctl = ring;
    // calloc: the pages of a large ring are only touched when first written.
    ring->recs = static_cast<kx_tlm_rec *>(std::calloc(std::size_t(capacity), sizeof(kx_tlm_rec)));
    if (ring->recs == nullptr) {
        kx_tlm_destroy(ctx);
        return nullptr;
    }
    ring->mask = capacity - 1;
    ring->capacity = capacity;
    return ctx;
}

uint64_t kx_tlm_capacity(const kx_tlm_ctx *ctx) noexcept { return ctx->ring_ctl->capacity; }

namespace {

// head - tail, which only a damaged ring takes above its capacity.
uint64_t unread(const kx_tlm_ring *ring) noexcept {
    kx_tlm_ring *r = const_cast<kx_tlm_ring *>(ring);
    const uint64_t head = std::atomic_ref<uint64_t>(r->head).load(std::memory_order_acquire);
    const uint64_t tail = std::atomic_ref<uint64_t>(r->tail).load(std::memory_order_acquire);
    return head - tail;
}

}  // namespace

uint64_t kx_tlm_pending(const kx_tlm_ctx *ctx) noexcept {
    const uint64_t n = unread(ctx->ring_ctl);
    const uint64_t capacity = ctx->ring_ctl->capacity;
    return n < capacity ? n : capacity;
}

uint64_t kx_tlm_dropped(const kx_tlm_ctx *ctx) noexcept {
    return std::atomic_ref<uint64_t>(ctx->ring_ctl->dropped).load(std::memory_order_relaxed);
}

// The producer writes emitted with relaxed atomic stores; reading it the same
// way is race-free from any thread.
uint64_t kx_tlm_emitted(const kx_tlm_ctx *ctx, uint32_t id) noexcept {
    kx_tlm_probe *p = const_cast<kx_tlm_probe *>(&ctx->probes[id]);
    return std::atomic_ref<uint64_t>(p->emitted).load(std::memory_order_relaxed);
}

// A producer on another thread reads the word once per record, as a whole.
uint64_t kx_tlm_stamp(const kx_tlm_ctx *ctx) noexcept {
    uint64_t *stamp = const_cast<uint64_t *>(&ctx->stamp);
    return std::atomic_ref<uint64_t>(*stamp).load(std::memory_order_relaxed);
}

void kx_tlm_set_stamp(kx_tlm_ctx *ctx, uint64_t stamp) noexcept {
    std::atomic_ref<uint64_t>(ctx->stamp).store(stamp, std::memory_order_relaxed);
}

// A damaged count never makes the readers run past the table.
uint32_t kx_tlm_probe_count(const kx_tlm_ctx *ctx) noexcept {
    const uint32_t n = ctx->n_probes;
    return n < KX_TLM_MAX_PROBES ? n : KX_TLM_MAX_PROBES;
}

// kx_tlm_register writes the terminator within the entry; the bound guards a
// damaged table.
std::size_t kx_tlm_name_len(const kx_tlm_ctx *ctx, uint32_t id) noexcept {
    const char *s = ctx->probes[id].name;
    std::size_t len = 0;
    while (len < KX_TLM_NAME_LEN - 1 && s[len] != '\0') len++;
    return len;
}

// A name with an embedded NUL or longer than 31 bytes can never have been
// registered.
int32_t kx_tlm_find(const kx_tlm_ctx *ctx, const char *name, std::size_t len) noexcept {
    if (len > KX_TLM_NAME_LEN - 1 || std::memchr(name, '\0', len) != nullptr) return -1;
    const uint32_t n = kx_tlm_probe_count(ctx);
    for (uint32_t i = 0; i < n; i++)
        if (kx_tlm_name_len(ctx, i) == len && std::memcmp(ctx->probes[i].name, name, len) == 0)
            return static_cast<int32_t>(i);
    return -1;
}

// The n slots were published by the producer's release store of head (seen
// by the acquire load in kx_tlm_pending), and the producer does not write
// them again until it sees the new tail, which is stored with release
// strength only after the last copy.
//
// A ring whose head has been moved more than its capacity past tail cannot
// hold what it claims: the records beyond the newest capacity ones are
// counted as dropped and skipped, so a read never returns more than the ring
// holds, nor the same slot twice.  Slots are taken modulo the capacity, never
// past it, whatever the mask says.
void kx_tlm_consume(kx_tlm_ctx *ctx, uint8_t *rows, uint64_t n) noexcept {
    kx_tlm_ring *ring = ctx->ring_ctl;
    const uint64_t capacity = ring->capacity;
    uint64_t tail = ring->tail;  // this thread is its only writer
    const uint64_t pending = unread(ring);
    if (pending > capacity) {
        const uint64_t excess = pending - capacity;
        std::atomic_ref<uint64_t>(ring->dropped).fetch_add(excess, std::memory_order_seq_cst);
        tail += excess;
        std::atomic_ref<uint64_t>(ring->tail).store(tail, std::memory_order_release);
    }
    const kx_tlm_rec *recs = ring->recs;
    const uint64_t mask = capacity - 1;
    for (uint64_t i = 0; i < n; i++) {
        const kx_tlm_rec *r = &recs[(tail + i) & mask];
        uint8_t *row = rows + i * KX_TLM_ROW_BYTES;
        std::memcpy(row, &r->stamp, 8);
        std::memcpy(row + 8, &r->value, 4);
        std::memcpy(row + 12, &r->probe, 2);
    }
    std::atomic_ref<uint64_t>(ring->tail).store(tail + n, std::memory_order_release);
}
