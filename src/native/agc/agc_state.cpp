// AGC state blob: the 16-byte header, then the record from ref_db through the
// slot of clip_lin, then zeros where the telemetry fields stand.
//
//   0  header (magic "AGC ", version 3, 1, size 120, 0)
//  16  ref_db (f64)     24  loop_bw (f64)    32  alpha (f64)      40  decim (u64)
//  48  clip_db (f64)    56  gain_update_period (u64)              64  gain_db (f64)
//  72  p_avg (f64)      80  g_last (f64)     88  hold_count (u64)
//  96  clip_lin (f32)  100  its slot's other 4 bytes (u32)
// 104  zeros in place of tlm, gain_probe and level_probe
#include "agc/agc_core.h"

#include <cstring>
#include <type_traits>

#include "common/blob.h"

namespace {

// The body is the record's own image: each saved field sits at its offset in
// the record (pinned in agc_core.h), behind the header.
#define AGC_BLOB_OFF(field) (kx::BLOB_HEADER_BYTES + offsetof(agc_core, field))
constexpr std::size_t AGC_BLOB_TLM = AGC_BLOB_OFF(tlm);
static_assert(AGC_BLOB_OFF(ref_db) == 16 && AGC_BLOB_OFF(clip_lin) == 96);
static_assert(AGC_BLOB_TLM == 104 && AGC_BLOB_TLM + 16 == AGC_STATE_BYTES);

// The saved fields with their blob offsets, in record order: agc_get_state
// and agc_set_state walk this one list.
template <class Record, class Visit>
void agc_saved_fields(Record &a, Visit visit) noexcept {
    visit(AGC_BLOB_OFF(ref_db), a.ref_db);
    visit(AGC_BLOB_OFF(loop_bw), a.loop_bw);
    visit(AGC_BLOB_OFF(alpha), a.alpha);
    visit(AGC_BLOB_OFF(decim), a.decim);
    visit(AGC_BLOB_OFF(clip_db), a.clip_db);
    visit(AGC_BLOB_OFF(gain_update_period), a.gain_update_period);
    visit(AGC_BLOB_OFF(gain_db), a.gain_db);
    visit(AGC_BLOB_OFF(p_avg), a.p_avg);
    visit(AGC_BLOB_OFF(g_last), a.g_last);
    visit(AGC_BLOB_OFF(hold_count), a.hold_count);
    visit(AGC_BLOB_OFF(clip_lin), a.clip_lin);
    visit(AGC_BLOB_OFF(clip_lin_slot), a.clip_lin_slot);
}

}  // namespace

std::size_t agc_state_bytes(const agc_core *) noexcept { return AGC_STATE_BYTES; }

void agc_get_state(const agc_core *a, uint8_t *b) noexcept {
    kx::blob_put_header(b, AGC_STATE_MAGIC, AGC_STATE_VERSION, uint32_t(AGC_STATE_BYTES));
    agc_saved_fields(*a, [b](std::size_t off, auto v) { kx::put_le(b + off, v); });
    std::memset(b + AGC_BLOB_TLM, 0, AGC_STATE_BYTES - AGC_BLOB_TLM);  // never saved
}

int agc_set_state(agc_core *a, const uint8_t *b) noexcept {
    if (!kx::blob_header_ok(b, AGC_STATE_MAGIC, AGC_STATE_VERSION, uint32_t(AGC_STATE_BYTES)))
        return KX_STATUS_INVALID;
    // Values are taken as they stand, like the property setters take them;
    // the telemetry attachment is kept.
    agc_saved_fields(*a, [b](std::size_t off, auto &v) {
        v = kx::get_le<std::remove_reference_t<decltype(v)>>(b + off);
    });
    return KX_STATUS_OK;
}
