// AGC record life cycle and the per-sample path.
#include "agc/agc_core.h"

#include <cstdlib>

agc_core *agc_create(double ref_db, double loop_bw, double alpha) noexcept {
    agc_core *a = static_cast<agc_core *>(std::calloc(1, sizeof(agc_core)));
    if (a == nullptr) return nullptr;
    a->ref_db = ref_db;
    a->loop_bw = loop_bw;
    a->alpha = alpha;
    a->decim = 8;
    a->clip_db = 120.0;
    a->gain_update_period = 1;
    a->g_last = 1.0;
    a->clip_lin = AGC_DEFAULT_CLIP_LIN;
    // The detector starts at the target, so on-target input has no transient.
    // The exponent is ref_db * 0.1, not ref_db / 10: they differ in the last bit.
    const double e = ref_db * AGC_SEED_DB_FACTOR;
    a->p_avg = std::pow(10.0, e);
    return a;
}

void agc_reset(agc_core *a) noexcept {
    a->gain_db = 0.0;
    a->g_last = 1.0;
    a->hold_count = 0;
    a->clip_lin = agc_clip_level(a->clip_db);
    const double e = a->ref_db * AGC_SEED_DB_FACTOR;
    a->p_avg = std::pow(10.0, e);
}

void agc_destroy(agc_core *a) noexcept { std::free(a); }

double agc_applied_gain_db(const agc_core *a) noexcept {
    double x = a->g_last;
    if (x >= AGC_GAIN_MIN && x <= AGC_GAIN_MAX) {
        // finite normal gain
    } else if (x > AGC_GAIN_MAX) {
        x = AGC_GAIN_MAX;
    } else {
        x = AGC_GAIN_MIN;  // zero, negative, subnormal or NaN
    }
    const double l = std::log10(x);
    return AGC_AMP_DB_FACTOR * l;
}

// The reference path.  The gain applied is the command of the last loop
// update (refreshed on the sample that starts a hold period); the detector
// sees the gained, unclipped power; the clip comes last, with the clip level
// as it stands after this sample's update, so clipping never disturbs the
// loop.
void agc_step(agc_core *a, float xr, float xi, float *yr, float *yi) noexcept {
    const uint64_t period = a->gain_update_period > 1 ? a->gain_update_period : 1;
    const uint64_t h = a->hold_count;
    double g;
    if (h == 0) {
        g = db_to_amp(a->gain_db);
        a->g_last = g;
    } else {
        g = a->g_last;
    }
    const float gf = static_cast<float>(g);
    const float gr = gf * xr;
    const float gi = gf * xi;

    const double pi2 = static_cast<double>(gi) * static_cast<double>(gi);
    const double pr2 = static_cast<double>(gr) * static_cast<double>(gr);
    double p = pi2 + pr2;
    if (!(p >= 0.0 && p <= AGC_P_MAX)) p = AGC_P_MAX;  // NaN or infinite components

    if (a->alpha >= 1.0) {
        a->p_avg = p;
    } else {
        double d = p - a->p_avg;
        d = d * a->alpha;
        a->p_avg = d + a->p_avg;
    }

    a->hold_count = h + 1;
    if (a->hold_count >= period) {
        double k = static_cast<double>(period) * 4.0;
        k = k * a->loop_bw;
        agc_loop_update(a, k);
        a->clip_lin = agc_clip_level(a->clip_db);
        a->hold_count = 0;
    }

    const float t = a->clip_lin;
    *yr = agc_clip(gr, t);
    *yi = agc_clip(gi, t);
}
