// Settling query: the per-sample loop (period 1, no output formed) on a
// scratch record against a constant input gain_err_db below the 0 dB
// target, counting samples until gain_db is within tol_db of gain_err_db.
#include "agc/agc_core.h"

#include <cfloat>
#include <cmath>

#include "common/no_libm.h"

bool agc_settling_start(agc_settling *s, double loop_bw, double alpha, double gain_err_db,
                        double tol_db) noexcept {
    *s = agc_settling{};
    if (alpha > 1.0 || alpha != alpha) return true;
    if (loop_bw <= 0.0 || loop_bw != loop_bw) return true;
    if (alpha <= 0.0) return true;
    if (tol_db <= 0.0 || tol_db != tol_db) return true;
    if (!(std::fabs(gain_err_db) <= DBL_MAX)) return true;
    // The loop starts at 0 dB: already within tolerance after one sample.
    if (tol_db >= std::fabs(gain_err_db)) {
        s->result = 1;
        return true;
    }
    s->a = agc_create(0.0, loop_bw, alpha);
    if (s->a == nullptr) return true;

    s->amp = static_cast<float>(agc_pow10(-0.05 * gain_err_db));
    const double q = 16.0 / loop_bw;  // 64 loop-filter time constants
    s->limit = (q >= 0x1p64 ? (uint64_t(1) << 63) : static_cast<uint64_t>(q)) + 1;
    s->k = agc_step_coeff(1, loop_bw);
    s->alpha = alpha;
    s->gain_err_db = gain_err_db;
    s->tol_db = tol_db;
    return false;
}

// The steps of agc_step with a period of 1, except that the input's
// amplitude multiplies the gain before the sample is split into its
// components.  The clip level that the update recomputes has no bearing on
// the count (no output is formed), so it is left out.
bool agc_settling_run(agc_settling *s, uint64_t steps) noexcept {
    agc_core *a = s->a;
    if (a == nullptr) return true;
    const uint64_t left = s->limit - s->i;
    const uint64_t last = s->i + (steps < left ? steps : left);
    for (uint64_t i = s->i + 1; i <= last; i++) {
        const float c = static_cast<float>(agc_refresh_gain(a)) * s->amp;
        const float cr = c * 0.6f;
        const float ci = c * 0.8f;
        agc_detect(a, agc_sample_power(cr, ci), s->alpha);
        agc_loop_update(a, s->k);
        const double err = a->gain_db - s->gain_err_db;
        if (std::fabs(err) <= s->tol_db) {
            s->result = i;
            agc_settling_end(s);
            return true;
        }
    }
    s->i = last;
    if (last < s->limit) return false;
    agc_settling_end(s);  // not settled within the limit: the answer stays 0
    return true;
}

void agc_settling_end(agc_settling *s) noexcept {
    agc_destroy(s->a);
    s->a = nullptr;
}

uint64_t agc_settling_samples(double loop_bw, double alpha, double gain_err_db,
                              double tol_db) noexcept {
    agc_settling s;
    if (!agc_settling_start(&s, loop_bw, alpha, gain_err_db, tol_db))
        agc_settling_run(&s, UINT64_MAX);
    return s.result;
}
