// The telemetry ring under real concurrency: a producer thread runs the AGC's
// loop update (which emits through kx_tlm_emit) while a consumer thread takes
// records out with the consumer core, as Telemetry.read() does with the
// interpreter lock released.  Every record is checked as it arrives: it
// belongs to the update its stamp names (no torn record, no record from
// another lap of the ring), the records come in the order they were written
// and each at most once, and at the end read + dropped = emitted.
//
//   tlm_stress UPDATES CAPACITY...   one run per capacity; exit 1 on a finding
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "agc/agc_core.h"
#include "kx_tlm/kx_tlm_consumer.h"

namespace {

// The integrator and the detector state of update u: exact in float32 and
// different from one update to the next, so a record that mixes two updates
// cannot pass.
double gain_of(uint64_t u) { return double(int32_t(uint32_t(u) * 2654435761u) >> 8); }
double power_of(uint64_t u) { return std::ldexp(1.0 + double(u & 4095) / 4096.0, int(u >> 12) % 64 - 32); }

// The level that the loop update measures from power_of(u), computed as the
// update computes it.
float level_of(uint64_t u) {
    return float(power_to_db(agc_clamp_power(power_of(u) + AGC_P_MIN, AGC_P_MIN)));
}

struct Row {
    uint64_t stamp;
    float value;
    uint16_t probe;
};

Row row_at(const uint8_t *p) {
    Row r;
    std::memcpy(&r.stamp, p, 8);
    std::memcpy(&r.value, p + 8, 4);
    std::memcpy(&r.probe, p + 12, 2);
    return r;
}

bool fail(const char *what, uint64_t capacity, uint64_t at) {
    std::printf("FAIL capacity %llu: %s at record %llu\n", (unsigned long long)capacity, what,
                (unsigned long long)at);
    return false;
}

bool run(uint64_t updates, uint64_t capacity) {
    kx_tlm_ctx *ctx = kx_tlm_create(capacity);
    if (ctx == nullptr) return fail("kx_tlm_create returned NULL", capacity, 0);
    agc_core agc{};
    if (agc_set_telemetry(&agc, ctx, "s", 1) != KX_STATUS_OK || agc.gain_probe != 0 ||
        agc.level_probe != 1)
        return fail("set_telemetry", capacity, 0);

    std::atomic<bool> started{false}, done{false};
    std::thread producer([&] {
        // Both threads start together, so that their work overlaps.
        while (!started.load(std::memory_order_acquire)) std::this_thread::yield();
        for (uint64_t u = 0; u < updates; u++) {
            kx_tlm_set_stamp(ctx, u);
            agc.gain_db = gain_of(u);
            agc.p_avg = power_of(u);
            // A coefficient of 0 leaves gain_db as set: the gain record
            // carries gain_of(u) exactly.
            agc_loop_update(&agc, 0.0);
            // Wait a moment for room while the ring is full, so that most
            // records are read while the producer writes next to them; a
            // consumer that stalls longer still sees records dropped.
            for (int spin = 0; spin < 4096 && kx_tlm_pending(ctx) == capacity; spin++)
                std::atomic_signal_fence(std::memory_order_seq_cst);
        }
        done.store(true, std::memory_order_release);
    });

    std::vector<uint8_t> rows(4096 * KX_TLM_ROW_BYTES);
    uint64_t read = 0, next_key = 0;
    bool ok = true;
    started.store(true, std::memory_order_release);
    for (;;) {
        const bool finished = done.load(std::memory_order_acquire);
        uint64_t n = kx_tlm_pending(ctx);
        if (n > 4096) n = 4096;
        if (n == 0) {
            if (finished) break;
            std::this_thread::yield();
            continue;
        }
        kx_tlm_consume(ctx, rows.data(), n);
        for (uint64_t i = 0; i < n && ok; i++) {
            const Row r = row_at(&rows[i * KX_TLM_ROW_BYTES]);
            const uint64_t key = 2 * r.stamp + r.probe;
            const float want = r.probe == 0 ? float(gain_of(r.stamp)) : level_of(r.stamp);
            if (r.probe > 1 || r.stamp >= updates)
                ok = fail("a record that was never written", capacity, read + i);
            else if (std::memcmp(&r.value, &want, 4) != 0)
                ok = fail("a torn record (value of another update)", capacity, read + i);
            else if (key < next_key)
                ok = fail("a record out of order or read twice", capacity, read + i);
            next_key = key + 1;
        }
        read += n;
        if (!ok) break;
    }
    producer.join();
    const uint64_t dropped = kx_tlm_dropped(ctx);
    const uint64_t emitted = kx_tlm_emitted(ctx, 0) + kx_tlm_emitted(ctx, 1);
    if (ok && (read + dropped != 2 * updates || read != emitted))
        ok = fail("read + dropped != emitted", capacity, read);
    if (ok)
        std::printf("capacity %llu: %llu records read, %llu dropped\n",
                    (unsigned long long)capacity, (unsigned long long)read,
                    (unsigned long long)dropped);
    kx_tlm_destroy(ctx);
    return ok;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s UPDATES CAPACITY...\n", argv[0]);
        return 2;
    }
    const uint64_t updates = std::strtoull(argv[1], nullptr, 10);
    bool ok = true;
    for (int i = 2; i < argc; i++) ok = run(updates, std::strtoull(argv[i], nullptr, 10)) && ok;
    return ok ? 0 : 1;
}
