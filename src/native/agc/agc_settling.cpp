// Settling query: the per-sample loop (period 1, no output formed) on a
// scratch record against a constant input gain_err_db below the 0 dB
// target, counting samples until gain_db is within tol_db of gain_err_db.
#include "agc/agc_core.h"

#include <cfloat>
#include <cmath>

#include "common/no_libm.h"

uint64_t agc_settling_samples(double loop_bw, double alpha, double gain_err_db,
                              double tol_db) noexcept {
    if (alpha > 1.0 || alpha != alpha) return 0;
    if (loop_bw <= 0.0 || loop_bw != loop_bw) return 0;
    if (alpha <= 0.0) return 0;
    if (tol_db <= 0.0 || tol_db != tol_db) return 0;
    if (!(std::fabs(gain_err_db) <= DBL_MAX)) return 0;
    // The loop starts at 0 dB: already within tolerance after one sample.
    if (tol_db >= std::fabs(gain_err_db)) return 1;

    agc_core *a = agc_create(0.0, loop_bw, alpha);
    if (a == nullptr) return 0;

    const float amp = static_cast<float>(agc_pow10(-0.05 * gain_err_db));
    const double q = 16.0 / loop_bw;  // 64 loop-filter time constants
    const uint64_t limit = (q >= 0x1p64 ? (uint64_t(1) << 63) : static_cast<uint64_t>(q)) + 1;
    const double k = agc_step_coeff(1, loop_bw);

    // The steps of agc_step with a period of 1, except that the input's
    // amplitude multiplies the gain before the sample is split into its
    // components.  The clip level that the update recomputes has no bearing
    // on the count (no output is formed), so it is left out.
    uint64_t result = 0;
    for (uint64_t i = 1; i <= limit; i++) {
        const float c = static_cast<float>(agc_refresh_gain(a)) * amp;
        const float cr = c * 0.6f;
        const float ci = c * 0.8f;
        agc_detect(a, agc_sample_power(cr, ci), alpha);
        agc_loop_update(a, k);
        const double err = a->gain_db - gain_err_db;
        if (std::fabs(err) <= tol_db) {
            result = i;
            break;
        }
    }
    agc_destroy(a);
    return result;
}
