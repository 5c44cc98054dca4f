// Kaiser lowpass design: length estimate, beta, the Bessel series, the
// window and the taps.
#include "filter/kaiser_core.h"

#include <cmath>
#include <cstdlib>

// The truncation T of q must leave room for (T | 1) / L + 1 and for the
// designer's | 1 in 32 bits: -2^31 <= T <= 2^31 - 3.  The comparisons are
// false for NaN, and the bounds keep the float-to-int conversion defined.
static bool kaiser_q_fits(double q) noexcept { return q > -2147483649.0 && q < 2147483646.0; }

int kaiser_count(int32_t L, double A, double f_pass, double f_stop, int32_t *count) noexcept {
    if (L <= 0) {
        *count = 0;
        return KX_STATUS_OK;
    }
    const double a = A - 8.0;
    const double num = a * static_cast<double>(L);
    const double width = f_stop - f_pass;
    const double den = width * KAISER_TWO_PI_2285;
    const double ratio = num / den;
    const double q = ratio + 1.0;
    if (!kaiser_q_fits(q)) return KX_STATUS_INVALID;
    const int32_t t = static_cast<int32_t>(q);  // toward zero
    const int32_t odd = t | 1;
    *count = odd / L + 1;
    return KX_STATUS_OK;
}

int32_t kaiser_num_taps(int32_t L, double A, double f_pass, double f_stop) noexcept {
    int32_t count = 0;
    return kaiser_count(L, A, f_pass, f_stop, &count) == KX_STATUS_OK ? count : 0;
}

double kaiser_beta(double atten_db) noexcept {
    if (atten_db > 50.0) {
        // 0.1102 (A - 8.7), with the product 0.1102 * 8.7 taken as its double
        const double t = KAISER_BETA_HIGH * atten_db;
        return t - KAISER_BETA_HIGH_OFFSET;
    }
    if (atten_db >= 21.0) {
        const double d = atten_db - 21.0;
        const double p = std::pow(d, 0.4);
        const double t1 = KAISER_BETA_MID_POW * p;
        const double t2 = KAISER_BETA_MID_LIN * d;
        return t1 + t2;
    }
    return 0.0;  // below 21 dB, or NaN: rectangular
}

// Terms (h/k)^2 times the previous one.  The test comes after the term is
// added, so at least one term always counts; the bound keeps a NaN or huge
// argument from looping on.
double bessel_i0(double h) noexcept {
    double sum = 1.0;
    double term = 1.0;
    for (int i = 1; i <= KAISER_I0_MAX_TERMS; i++) {
        const double q = h / static_cast<double>(i);
        const double q2 = q * q;
        term = q2 * term;
        sum = sum + term;
        const double tol = sum * KAISER_I0_TOL;
        if (tol > term) break;
    }
    return sum;
}

// w[k] = bessel_i0(h sqrt(1 - r^2)) / bessel_i0(h) = I0(beta sqrt(1 - r^2)) /
// I0(beta), with h = beta/2, r = (k - c) u, c = (n-1)/2 and u = 2/(n-1)
// formed as 1/m + 1/m.  One reciprocal of I0(beta) serves every point.
void kaiser_window(float *w, std::size_t n, float beta) noexcept {
    if (n == 1) {
        w[0] = 1.0f;
        return;
    }
    const double h = static_cast<double>(beta) / 2.0;
    const double i0 = bessel_i0(h);
    const double inv = 1.0 / i0;
    const double m = static_cast<double>(n - 1);
    const double c = m / 2.0;
    const double rm = 1.0 / m;
    const double u = rm + rm;
    for (std::size_t k = 0; k < n; k++) {
        const double dk = static_cast<double>(k) - c;
        const double r = dk * u;
        const double r2 = r * r;
        const double s = 1.0 - r2;
        const double root = std::sqrt(s);
        const double z = root * h;
        const double b = bessel_i0(z);
        const double v = b * inv;
        w[k] = static_cast<float>(v);
    }
}

int kaiser_lowpass_len(double fpass, double fstop, double atten_db, int32_t *n) noexcept {
    const double f_pass = fpass / 2.0;
    const double f_stop = fstop / 2.0;
    int32_t count;
    if (kaiser_count(1, atten_db, f_pass, f_stop, &count) != KX_STATUS_OK)
        return KX_STATUS_INVALID;
    *n = count | 1;
    return KX_STATUS_OK;
}

// taps[i] = float32(w[i] * (s * fc)), s = sin(t a) / (t a) with t = i - c and
// a = fc pi, s = 1 where t fc is zero.  The taps are not renormalised: the
// DC gain is close to, not exactly, 1.
int kaiser_lowpass(double fpass, double fstop, double atten_db, float *taps) noexcept {
    int32_t n;
    if (kaiser_lowpass_len(fpass, fstop, atten_db, &n) != KX_STATUS_OK || n < 1)
        return KX_STATUS_INVALID;
    const float beta = static_cast<float>(kaiser_beta(atten_db));
    float *w = static_cast<float *>(std::malloc(sizeof(float) * static_cast<std::size_t>(n)));
    if (w == nullptr) return KX_STATUS_INVALID;
    kaiser_window(w, static_cast<std::size_t>(n), beta);
    // n = (T | 1) + 2 is odd, so the centre (n - 1) / 2 is N with its lowest
    // bit cleared, halved.
    const int64_t c = (n - 1) / 2;
    const double sum = fpass + fstop;
    const double fc = sum / 2.0;
    const double a = sum * KAISER_HALF_PI;
    for (int64_t i = 0; i < n; i++) {
        const double t = static_cast<double>(i - c);
        const double tf = t * fc;
        double s = 1.0;
        if (tf != 0.0) {
            const double ta = t * a;
            const double sn = std::sin(ta);
            s = sn / ta;
        }
        const double sf = s * fc;
        const double p = static_cast<double>(w[i]) * sf;
        taps[i] = static_cast<float>(p);
    }
    std::free(w);
    return KX_STATUS_OK;
}
