// Per-sample path: the reference loop, one sample at a time.
#include "agc/agc_core.h"

#include "common/no_libm.h"

// The gain applied is the command of the last loop update (refreshed on the
// sample that starts a hold period); the detector sees the gained, unclipped
// power; the clip comes last, with the clip level as it stands after this
// sample's update, so clipping never disturbs the loop.
void agc_step(agc_core *a, const cf32 *x, cf32 *y) noexcept {
    const uint64_t period = a->gain_update_period > 1 ? a->gain_update_period : 1;
    const uint64_t h = a->hold_count;
    const double g = h == 0 ? agc_refresh_gain(a) : a->g_last;
    const float gf = static_cast<float>(g);
    const float gr = gf * x->real();
    const float gi = gf * x->imag();
    agc_detect(a, agc_sample_power(gr, gi), a->alpha);

    a->hold_count = h + 1;
    if (a->hold_count >= period) {
        agc_loop_update(a, agc_step_coeff(period, a->loop_bw));
        a->clip_lin = agc_clip_level(a->clip_db);
        a->hold_count = 0;
    }

    const float t = a->clip_lin;
    y->real(agc_clip(gr, t));
    y->imag(agc_clip(gi, t));
}
