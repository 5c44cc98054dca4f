// Rotator: life cycle, quantization of the shift and phase, and the state
// blob.
#include "channel/rotator_core.h"

#include <bit>
#include <cmath>
#include <cstdlib>

#include "common/blob.h"

#include "common/no_libm.h"

uint64_t rotator_quantize(double cycles) noexcept {
    // Integer arithmetic on the double's fields: cycles = mant * 2^exp
    // exactly, so cycles * 2^64 is mant shifted by exp + 64, rounded once.
    const uint64_t b = std::bit_cast<uint64_t>(cycles);
    const int biased = int((b >> 52) & 0x7FF);
    uint64_t mant = b & ((uint64_t(1) << 52) - 1);
    if (biased == 0x7FF) return 0;
    if (biased != 0) mant |= uint64_t(1) << 52;
    const int shift = (biased == 0 ? -1074 : biased - 1075) + 64;
    uint64_t q = 0;
    if (shift >= 64) {
        q = 0;  // a whole number of 2^64: nothing remains modulo 2^64
    } else if (shift >= 0) {
        q = mant << shift;  // the bits above 2^64 drop out: the modulo
    } else if (shift >= -53) {
        // Below -53 the value is under one half and rounds to zero.
        const int r = -shift;
        const uint64_t whole = mant >> r;
        const uint64_t rest = mant & ((uint64_t(1) << r) - 1);
        const uint64_t half = uint64_t(1) << (r - 1);
        q = whole + uint64_t(rest > half || (rest == half && (whole & 1) != 0));
    }
    // Rounding the magnitude keeps ties-to-even symmetric about zero.
    return (b >> 63) != 0 ? uint64_t(0) - q : q;
}

rotator *rotator_create(double shift, double phase) noexcept {
    if (!std::isfinite(shift) || !std::isfinite(phase)) return nullptr;
    rotator *r = static_cast<rotator *>(std::calloc(1, sizeof(rotator)));
    if (r == nullptr) return nullptr;
    r->inc = rotator_quantize(shift);
    r->phase0 = rotator_quantize(phase);
    r->phase = r->phase0;
    rotator_fill_table(r);
    return r;
}

void rotator_destroy(rotator *r) noexcept { std::free(r); }

void rotator_reset(rotator *r) noexcept {
    r->phase = r->phase0;
    r->place = 0;
}

double rotator_shift(const rotator *r) noexcept {
    // Signed reading of the increment; an increment just below one half
    // cycle rounds to 0.5, which is -0.5 modulo 1.
    const double d = static_cast<double>(static_cast<int64_t>(r->inc)) * 0x1p-64;
    return d >= 0.5 ? -0.5 : d;
}

double rotator_phase(const rotator *r) noexcept {
    const double d = static_cast<double>(r->phase) * 0x1p-64;
    return d >= 1.0 ? 0.0 : d;
}

// ------------------------------------------------------------ state blob
//
//   0  header (magic "ROTR", version 1, 1, size 48, 0)
//  16  phase (u64)     24  inc (u64)     32  phase0 (u64)     40  place (u64)

namespace {
constexpr std::size_t OFF_PHASE = 16;
constexpr std::size_t OFF_INC = 24;
constexpr std::size_t OFF_PHASE0 = 32;
constexpr std::size_t OFF_PLACE = 40;
static_assert(OFF_PLACE + 8 == ROTATOR_STATE_BYTES);
}  // namespace

std::size_t rotator_state_bytes(const rotator *) noexcept { return ROTATOR_STATE_BYTES; }

void rotator_get_state(const rotator *r, uint8_t *b) noexcept {
    kx::blob_put_header(b, ROTATOR_STATE_MAGIC, ROTATOR_STATE_VERSION,
                        uint32_t(ROTATOR_STATE_BYTES));
    kx::put_le(b + OFF_PHASE, r->phase);
    kx::put_le(b + OFF_INC, r->inc);
    kx::put_le(b + OFF_PHASE0, r->phase0);
    kx::put_le(b + OFF_PLACE, r->place);
}

int rotator_set_state(rotator *r, const uint8_t *b) noexcept {
    const uint64_t place = kx::get_le<uint64_t>(b + OFF_PLACE);
    if (!kx::blob_header_ok(b, ROTATOR_STATE_MAGIC, ROTATOR_STATE_VERSION,
                            uint32_t(ROTATOR_STATE_BYTES)) ||
        place >= uint64_t(ROTATOR_GROUP))
        return KX_STATUS_INVALID;
    // Any phase, increment and start phase make a valid record: the restored
    // object continues from the blob's phase and place with its increment,
    // and resets to its phase0.
    r->phase = kx::get_le<uint64_t>(b + OFF_PHASE);
    r->inc = kx::get_le<uint64_t>(b + OFF_INC);
    r->phase0 = kx::get_le<uint64_t>(b + OFF_PHASE0);
    r->place = place;
    rotator_fill_table(r);
    return KX_STATUS_OK;
}
