// Block path: the loop runs once per chunk of `decim` samples on the chunk's
// mean power, and the linear gain ramps across each chunk from the previous
// chunk's target to the new command (a first-order hold).
#include "agc/agc_core.h"

#include <cstring>

double agc_chunk_coeff(double c, uint64_t m) noexcept {
    if (m == 1) return c;
    if (c <= 0.0) return 0.0;
    if (c >= 1.0) return 1.0;
    const double l = std::log1p(-c);
    const double e = static_cast<double>(m) * l;
    return -std::expm1(e);
}

namespace {

typedef float v4f __attribute__((vector_size(16)));
typedef int32_t v4i __attribute__((vector_size(16)));

inline v4f load4(const float *p) noexcept {
    v4f v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
inline void store4(float *p, v4f v) noexcept { std::memcpy(p, &v, sizeof v); }

// The gain of sample k of a chunk: (k+1) * G + a in double, then float32.
inline float ramp_gain(uint64_t k, double step, double start) noexcept {
    double g = static_cast<double>(k + 1) * step;
    g = g + start;
    return static_cast<float>(g);
}

// Gains the m samples of one chunk from x into out (unclipped) and returns
// the float32 sum of squares of their 2m components.  The sum runs over
// groups of eight floats into two four-lane partials (floats 0-3 and 4-7 of
// each group), which are added lane-wise and then reduced as
// (l0 + l1) + (l2 + l3); the remaining floats follow one at a time.
// out may be x: every sample is read before its output is written.
float chunk_gain(const float *x, float *out, uint64_t m, double start, double step) noexcept {
    v4f s0 = {0.0f, 0.0f, 0.0f, 0.0f};
    v4f s1 = {0.0f, 0.0f, 0.0f, 0.0f};
    uint64_t k = 0;
    for (; k + 4 <= m; k += 4) {
        const float g0 = ramp_gain(k, step, start);
        const float g1 = ramp_gain(k + 1, step, start);
        const float g2 = ramp_gain(k + 2, step, start);
        const float g3 = ramp_gain(k + 3, step, start);
        const v4f ga = {g0, g0, g1, g1};
        const v4f gb = {g2, g2, g3, g3};
        const v4f ya = load4(x + 2 * k) * ga;
        const v4f yb = load4(x + 2 * k + 4) * gb;
        store4(out + 2 * k, ya);
        store4(out + 2 * k + 4, yb);
        const v4f qa = ya * ya;
        const v4f qb = yb * yb;
        s0 = s0 + qa;
        s1 = s1 + qb;
    }
    const v4f v = s0 + s1;
    const float lo = v[0] + v[1];
    const float hi = v[2] + v[3];
    float s = lo + hi;
    for (; k < m; k++) {
        const float g = ramp_gain(k, step, start);
        const float yr = x[2 * k] * g;
        const float yi = x[2 * k + 1] * g;
        out[2 * k] = yr;
        out[2 * k + 1] = yi;
        const float qr = yr * yr;
        const float qi = yi * yi;
        s = s + qr;
        s = s + qi;
    }
    return s;
}

// Clips nf floats in place to [-c, c] with the two-comparison rule.
void chunk_clip(float *y, uint64_t nf, float c) noexcept {
    const v4f t = {c, c, c, c};
    const v4f neg = -t;
    uint64_t i = 0;
    for (; i + 4 <= nf; i += 4) {
        const v4f w = load4(y + i);
        const v4i low = (w != w) | (neg > w);
        const v4f z = low ? neg : w;
        const v4i high = (t < z) | (z != z);
        store4(y + i, high ? t : z);
    }
    for (; i < nf; i++) y[i] = agc_clip(y[i], c);
}

}  // namespace

void agc_steps(agc_core *a, const float *x, float *out, uint64_t n) noexcept {
    if (n == 0) return;
    const uint64_t chunk = a->decim >= 2 ? a->decim : 1;
    const double loop_k = 4.0 * a->loop_bw;
    const double alpha_full = agc_chunk_coeff(a->alpha, chunk);
    const double k_full = agc_chunk_coeff(loop_k, chunk);
    const float c = agc_clip_level(a->clip_db);
    double start = a->g_last;

    for (uint64_t pos = 0; pos < n; pos += chunk) {
        const uint64_t left = n - pos;
        const uint64_t m = left < chunk ? left : chunk;
        double alpha_m = alpha_full;
        double k_m = k_full;
        if (m != chunk) {
            alpha_m = agc_chunk_coeff(a->alpha, m);
            k_m = agc_chunk_coeff(loop_k, m);
        }
        const double inv_m = 1.0 / static_cast<double>(m);

        const double g_new = db_to_amp(a->gain_db);
        double step = g_new - start;
        step = step * inv_m;
        float *y = out + 2 * pos;
        const float s = chunk_gain(x + 2 * pos, y, m, start, step);

        double power = inv_m * static_cast<double>(s);
        if (power >= 0.0 && power <= AGC_P_MAX) {
            // in range
        } else if (power < 0.0) {
            power = 0.0;
        } else {
            power = AGC_P_MAX;  // above, or NaN
        }

        chunk_clip(y, 2 * m, c);

        if (alpha_m >= 1.0) {
            a->p_avg = power;
        } else {
            double d = power - a->p_avg;
            d = d * alpha_m;
            a->p_avg = d + a->p_avg;
        }
        agc_loop_update(a, k_m);
        start = g_new;
    }
    a->g_last = start;
}
