// Boxcar moving average: life cycle, the per-sample and block paths, and the
// state blob.
#include "filter/boxcar_core.h"

#include <cstdlib>
#include <cstring>

#include "common/blob.h"

#include "common/no_libm.h"


boxcar_filter *boxcar_create(uint64_t len, double gain) noexcept {
    if (len == 0 || len > BOXCAR_MAX_LEN) return nullptr;
    boxcar_filter *bx = static_cast<boxcar_filter *>(std::calloc(1, sizeof(boxcar_filter)));
    if (bx == nullptr) return nullptr;
    bx->len = len;
    bx->inv_len = 1.0 / static_cast<double>(len);
    boxcar_set_gain(bx, gain);
    return bx;
}

void boxcar_destroy(boxcar_filter *bx) noexcept { std::free(bx); }

void boxcar_reset(boxcar_filter *bx) noexcept {
    bx->pos = 0;
    bx->acc = cf32(0.0f, 0.0f);
    // All slots, not just the first len: a restored blob may have left
    // something beyond the window.
    for (uint64_t k = 0; k < BOXCAR_MAX_LEN; k++) bx->ring[k] = cf32(0.0f, 0.0f);
}

void boxcar_set_gain(boxcar_filter *bx, double gain) noexcept {
    bx->gain = gain;
    const double s = bx->inv_len * gain;  // the product in double, rounded once
    bx->scale = static_cast<float>(s);
}

// ------------------------------------------------------------ processing
//
// Contract of both paths, per component in float32:
//   d = x - ring[pos];  acc = acc + d;  ring[pos] = x;  pos = (pos + 1) mod len;
//   y = scale * acc.
// The difference is formed before it meets the accumulator; adding x and
// subtracting the old sample in the other order rounds differently.  Each
// output depends on the accumulator of the previous one, so the chain is
// sequential by nature and the block path is the same chain with the record's
// hot fields held in locals.

void boxcar_step(boxcar_filter *bx, const cf32 *x, cf32 *y) noexcept {
    const uint64_t p = bx->pos;
    const float xr = x->real();
    const float xi = x->imag();
    const cf32 old = bx->ring[p];
    const float dr = xr - old.real();
    const float di = xi - old.imag();
    const float ar = bx->acc.real() + dr;
    const float ai = bx->acc.imag() + di;
    bx->acc = cf32(ar, ai);
    bx->ring[p] = cf32(xr, xi);
    const uint64_t next = p + 1;
    bx->pos = next == bx->len ? 0 : next;
    const float yr = bx->scale * ar;
    const float yi = bx->scale * ai;
    y->real(yr);
    y->imag(yi);
}

// y may be the same buffer as x: y[i] is stored only after x[i] is read, and
// nothing later reads x[i] again (the ring keeps its own copy).  y never
// overlaps the record.
void boxcar_steps(boxcar_filter *bx, const cf32 *x, cf32 *y, uint64_t n) noexcept {
    const uint64_t len = bx->len;
    const float scale = bx->scale;
    cf32 *const ring = bx->ring;  // keeps the loop within 64 bytes
    uint64_t p = bx->pos;
    float ar = bx->acc.real();
    float ai = bx->acc.imag();
    for (uint64_t i = 0; i < n; i++) {
        const float xr = x[i].real();
        const float xi = x[i].imag();
        const cf32 old = ring[p];
        const float dr = xr - old.real();
        const float di = xi - old.imag();
        ar = ar + dr;
        ai = ai + di;
        ring[p] = cf32(xr, xi);
        p = p + 1;
        if (p == len) p = 0;
        const float yr = scale * ar;
        const float yi = scale * ai;
        // y may be a caller's misaligned array: store bytewise.
        const float pair[2] = {yr, yi};
        std::memcpy(static_cast<void *>(y + i), pair, sizeof pair);
    }
    bx->acc = cf32(ar, ai);
    bx->pos = p;
}

// ------------------------------------------------------------ state blob
//
//   0  header (magic "BOXC", version 1, 1, size 576, 0)
//  16  len (u64)      24  pos (u64)      32  inv_len (f64)   40  gain (f64)
//  48  scale (f32)    52  acc re, im (f32 each)
//  60  ring: 64 samples, re then im (f32 each)
// 572  zero (u32)

namespace {
constexpr std::size_t OFF_LEN = 16;
constexpr std::size_t OFF_POS = 24;
constexpr std::size_t OFF_INV_LEN = 32;
constexpr std::size_t OFF_GAIN = 40;
constexpr std::size_t OFF_SCALE = 48;
constexpr std::size_t OFF_ACC = 52;
constexpr std::size_t OFF_RING = 60;
constexpr std::size_t OFF_TAIL = OFF_RING + 8 * BOXCAR_MAX_LEN;
static_assert(OFF_TAIL == 572 && OFF_TAIL + 4 == BOXCAR_STATE_BYTES);
}  // namespace

std::size_t boxcar_state_bytes(const boxcar_filter *) noexcept { return BOXCAR_STATE_BYTES; }

void boxcar_get_state(const boxcar_filter *bx, uint8_t *b) noexcept {
    kx::blob_put_header(b, BOXCAR_STATE_MAGIC, BOXCAR_STATE_VERSION,
                        uint32_t(BOXCAR_STATE_BYTES));
    kx::put_le(b + OFF_LEN, bx->len);
    kx::put_le(b + OFF_POS, bx->pos);
    kx::put_le(b + OFF_INV_LEN, bx->inv_len);
    kx::put_le(b + OFF_GAIN, bx->gain);
    kx::put_le(b + OFF_SCALE, bx->scale);
    kx::put_le(b + OFF_ACC, bx->acc);
    for (uint64_t k = 0; k < BOXCAR_MAX_LEN; k++) kx::put_le(b + OFF_RING + 8 * k, bx->ring[k]);
    kx::put_le(b + OFF_TAIL, uint32_t(0));
}

int boxcar_set_state(boxcar_filter *bx, const uint8_t *b) noexcept {
    if (!kx::blob_header_ok(b, BOXCAR_STATE_MAGIC, BOXCAR_STATE_VERSION,
                            uint32_t(BOXCAR_STATE_BYTES)))
        return KX_STATUS_INVALID;
    // The header alone does not make the body safe: stepping a record whose
    // pos is not below a len of 1 .. 64 would address slots past the ring.
    const uint64_t len = kx::get_le<uint64_t>(b + OFF_LEN);
    const uint64_t pos = kx::get_le<uint64_t>(b + OFF_POS);
    if (len == 0 || len > BOXCAR_MAX_LEN || pos >= len) return KX_STATUS_INVALID;
    // Everything else is taken as it stands, length and gain included: the
    // object continues as the one the blob was taken from.
    bx->len = len;
    bx->pos = pos;
    bx->inv_len = kx::get_le<double>(b + OFF_INV_LEN);
    bx->gain = kx::get_le<double>(b + OFF_GAIN);
    bx->scale = kx::get_le<float>(b + OFF_SCALE);
    bx->acc = kx::get_le<cf32>(b + OFF_ACC);
    for (uint64_t k = 0; k < BOXCAR_MAX_LEN; k++)
        bx->ring[k] = kx::get_le<cf32>(b + OFF_RING + 8 * k);
    return KX_STATUS_OK;
}
