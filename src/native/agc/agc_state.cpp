// AGC state blob: the 16-byte header, then the record from ref_db through the
// slot of clip_lin, then zeros where the telemetry fields stand.
#include "agc/agc_core.h"
#include "common/blob.h"

#include <cstring>

using kx::get_f32;
using kx::get_f64;
using kx::get_le32;
using kx::get_le64;
using kx::put_f32;
using kx::put_f64;
using kx::put_le32;
using kx::put_le64;

//   0  header (magic "AGC ", version 3, 1, size 120, 0)
//  16  ref_db (f64)     24  loop_bw (f64)    32  alpha (f64)      40  decim (u64)
//  48  clip_db (f64)    56  gain_update_period (u64)              64  gain_db (f64)
//  72  p_avg (f64)      80  g_last (f64)     88  hold_count (u64)
//  96  clip_lin (f32)  100  its slot's other 4 bytes (u32)
// 104  zeros in place of tlm, gain_probe and level_probe

namespace {
constexpr std::size_t OFF_REF_DB = 16;
constexpr std::size_t OFF_LOOP_BW = 24;
constexpr std::size_t OFF_ALPHA = 32;
constexpr std::size_t OFF_DECIM = 40;
constexpr std::size_t OFF_CLIP_DB = 48;
constexpr std::size_t OFF_PERIOD = 56;
constexpr std::size_t OFF_GAIN_DB = 64;
constexpr std::size_t OFF_P_AVG = 72;
constexpr std::size_t OFF_G_LAST = 80;
constexpr std::size_t OFF_HOLD = 88;
constexpr std::size_t OFF_CLIP_LIN = 96;
constexpr std::size_t OFF_CLIP_SLOT = 100;
constexpr std::size_t OFF_TLM = 104;

// The body is the record's own image behind the header.
constexpr std::size_t BODY = kx::BLOB_HEADER_BYTES;
static_assert(OFF_REF_DB == BODY + offsetof(agc_core, ref_db));
static_assert(OFF_LOOP_BW == BODY + offsetof(agc_core, loop_bw));
static_assert(OFF_ALPHA == BODY + offsetof(agc_core, alpha));
static_assert(OFF_DECIM == BODY + offsetof(agc_core, decim));
static_assert(OFF_CLIP_DB == BODY + offsetof(agc_core, clip_db));
static_assert(OFF_PERIOD == BODY + offsetof(agc_core, gain_update_period));
static_assert(OFF_GAIN_DB == BODY + offsetof(agc_core, gain_db));
static_assert(OFF_P_AVG == BODY + offsetof(agc_core, p_avg));
static_assert(OFF_G_LAST == BODY + offsetof(agc_core, g_last));
static_assert(OFF_HOLD == BODY + offsetof(agc_core, hold_count));
static_assert(OFF_CLIP_LIN == BODY + offsetof(agc_core, clip_lin));
static_assert(OFF_CLIP_SLOT == BODY + offsetof(agc_core, clip_lin_slot));
static_assert(OFF_TLM == BODY + offsetof(agc_core, tlm));
static_assert(BODY + sizeof(agc_core) == AGC_STATE_BYTES);
}  // namespace

std::size_t agc_state_bytes(const agc_core *) noexcept { return AGC_STATE_BYTES; }

void agc_get_state(const agc_core *a, uint8_t *b) noexcept {
    kx::blob_put_header(b, AGC_STATE_MAGIC, AGC_STATE_VERSION, uint32_t(AGC_STATE_BYTES));
    put_f64(b + OFF_REF_DB, a->ref_db);
    put_f64(b + OFF_LOOP_BW, a->loop_bw);
    put_f64(b + OFF_ALPHA, a->alpha);
    put_le64(b + OFF_DECIM, a->decim);
    put_f64(b + OFF_CLIP_DB, a->clip_db);
    put_le64(b + OFF_PERIOD, a->gain_update_period);
    put_f64(b + OFF_GAIN_DB, a->gain_db);
    put_f64(b + OFF_P_AVG, a->p_avg);
    put_f64(b + OFF_G_LAST, a->g_last);
    put_le64(b + OFF_HOLD, a->hold_count);
    put_f32(b + OFF_CLIP_LIN, a->clip_lin);
    put_le32(b + OFF_CLIP_SLOT, a->clip_lin_slot);
    std::memset(b + OFF_TLM, 0, AGC_STATE_BYTES - OFF_TLM);  // telemetry fields are never saved
}

int agc_set_state(agc_core *a, const uint8_t *b) noexcept {
    if (!kx::blob_header_ok(b, AGC_STATE_MAGIC, AGC_STATE_VERSION, uint32_t(AGC_STATE_BYTES)))
        return KX_STATUS_INVALID;
    // Values are taken as they stand, like the property setters take them;
    // the telemetry attachment is kept.
    a->ref_db = get_f64(b + OFF_REF_DB);
    a->loop_bw = get_f64(b + OFF_LOOP_BW);
    a->alpha = get_f64(b + OFF_ALPHA);
    a->decim = get_le64(b + OFF_DECIM);
    a->clip_db = get_f64(b + OFF_CLIP_DB);
    a->gain_update_period = get_le64(b + OFF_PERIOD);
    a->gain_db = get_f64(b + OFF_GAIN_DB);
    a->p_avg = get_f64(b + OFF_P_AVG);
    a->g_last = get_f64(b + OFF_G_LAST);
    a->hold_count = get_le64(b + OFF_HOLD);
    a->clip_lin = get_f32(b + OFF_CLIP_LIN);
    a->clip_lin_slot = get_le32(b + OFF_CLIP_SLOT);
    return KX_STATUS_OK;
}
