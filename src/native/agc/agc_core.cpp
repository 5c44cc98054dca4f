// AGC record life cycle, and the set-up arithmetic that calls the C library's
// exponentials and logarithms.
#include "agc/agc_core.h"

#include <cmath>
#include <cstdlib>

namespace {

// The detector starts at the target, so on-target input has no transient.
// The exponent is ref_db * 0.1, not ref_db / 10: they differ in the last bit.
double seed_p_avg(double ref_db) noexcept {
    const double e = ref_db * AGC_SEED_DB_FACTOR;
    return agc_pow10(e);
}

}  // namespace

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
    a->p_avg = seed_p_avg(ref_db);
    return a;
}

void agc_reset(agc_core *a) noexcept {
    a->gain_db = 0.0;
    a->g_last = 1.0;
    a->hold_count = 0;
    a->clip_lin = agc_clip_level(a->clip_db);
    a->p_avg = seed_p_avg(a->ref_db);
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

double agc_chunk_coeff(double c, uint64_t m) noexcept {
    if (m == 1) return c;
    if (c <= 0.0) return 0.0;
    if (c >= 1.0) return 1.0;
    const double l = std::log1p(-c);
    const double e = static_cast<double>(m) * l;
    return -std::expm1(e);
}

double agc_pow10(double e) noexcept { return std::pow(10.0, e); }
