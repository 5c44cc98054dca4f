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

std::size_t agc_state_bytes(const agc_core *) noexcept { return AGC_STATE_BYTES; }

void agc_get_state(const agc_core *a, uint8_t *b) noexcept {
    kx::blob_put_header(b, AGC_STATE_MAGIC, AGC_STATE_VERSION, uint32_t(AGC_STATE_BYTES));
    put_f64(b + 16, a->ref_db);
    put_f64(b + 24, a->loop_bw);
    put_f64(b + 32, a->alpha);
    put_le64(b + 40, a->decim);
    put_f64(b + 48, a->clip_db);
    put_le64(b + 56, a->gain_update_period);
    put_f64(b + 64, a->gain_db);
    put_f64(b + 72, a->p_avg);
    put_f64(b + 80, a->g_last);
    put_le64(b + 88, a->hold_count);
    put_f32(b + 96, a->clip_lin);
    put_le32(b + 100, a->clip_lin_slot);
    std::memset(b + 104, 0, AGC_STATE_BYTES - 104);  // telemetry fields are never saved
}

int agc_set_state(agc_core *a, const uint8_t *b) noexcept {
    if (!kx::blob_header_ok(b, AGC_STATE_MAGIC, AGC_STATE_VERSION, uint32_t(AGC_STATE_BYTES)))
        return -4;
    // Values are taken as they stand, like the property setters take them;
    // the telemetry attachment is kept.
    a->ref_db = get_f64(b + 16);
    a->loop_bw = get_f64(b + 24);
    a->alpha = get_f64(b + 32);
    a->decim = get_le64(b + 40);
    a->clip_db = get_f64(b + 48);
    a->gain_update_period = get_le64(b + 56);
    a->gain_db = get_f64(b + 64);
    a->p_avg = get_f64(b + 72);
    a->g_last = get_f64(b + 80);
    a->hold_count = get_le64(b + 88);
    a->clip_lin = get_f32(b + 96);
    a->clip_lin_slot = get_le32(b + 100);
    return 0;
}
