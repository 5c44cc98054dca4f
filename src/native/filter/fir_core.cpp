// FIR filter core: life cycle, block execution, state blob, and the inner
// product kernels.
//
// The vector kernels compute several consecutive outputs side by side: a
// vector holds the interleaved (re, im) pairs of W/2 outputs, and each
// partial sum is one vector, so every lane performs exactly the scalar
// sequence of its own output.  One template serves the portable baseline
// (128-bit vectors) and, on x86-64, AVX2 (256-bit) and AVX-512 (512-bit).
#include "filter/fir_core.h"

#include <cstdlib>
#include <cstring>

#include "common/blob.h"
#include "common/cpu.h"

// 256- and 512-bit vector helpers are only ever inlined into functions
// compiled for those instruction sets.
#pragma GCC diagnostic ignored "-Wpsabi"

namespace {

typedef float v4f __attribute__((vector_size(16)));
typedef float v8f __attribute__((vector_size(32)));
typedef float v16f __attribute__((vector_size(64)));

#define FIR_INLINE inline __attribute__((always_inline))

template <class V>
constexpr int lanes = int(sizeof(V) / sizeof(float));

template <class V>
FIR_INLINE V load(const float *p) noexcept {
    V v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
template <class V>
FIR_INLINE void store(float *p, V v) noexcept {
    std::memcpy(p, &v, sizeof v);
}
template <class V>
FIR_INLINE V splat(float h) noexcept {
    V v;
    for (int j = 0; j < lanes<V>; j++) v[j] = h;
    return v;
}
template <class V>
FIR_INLINE V zero() noexcept {
    V v = {};
    return v;
}

// (re, im) -> (im, re) in every pair.
template <class V>
FIR_INLINE V swap_pairs(V s) noexcept {
    if constexpr (lanes<V> == 4)
        return __builtin_shufflevector(s, s, 1, 0, 3, 2);
    else if constexpr (lanes<V> == 8)
        return __builtin_shufflevector(s, s, 1, 0, 3, 2, 5, 4, 7, 6);
    else
        return __builtin_shufflevector(s, s, 1, 0, 3, 2, 5, 4, 7, 6, 9, 8, 11, 10, 13, 12, 15, 14);
}

// ((P0 + P4) + (P2 + P6)) + ((P1 + P5) + (P3 + P7))
template <class V>
FIR_INLINE V combine(const V *p) noexcept {
    const V a = p[0] + p[4];
    const V b = p[2] + p[6];
    const V c = p[1] + p[5];
    const V d = p[3] + p[7];
    const V ab = a + b;
    const V cd = c + d;
    return ab + cd;
}

// W/2 outputs with real taps.  s points at the floats of the newest sample
// of the first output's window; tap k reads the W floats at s - 2k.
template <class V>
FIR_INLINE V dot_real(const float *h, uint64_t len, const float *s) noexcept {
    const uint64_t body = len & ~uint64_t(7);
    V r = zero<V>();
    if (body != 0) {
        // Eight named partials so that they live in registers.
        V p0 = zero<V>(), p1 = zero<V>(), p2 = zero<V>(), p3 = zero<V>();
        V p4 = zero<V>(), p5 = zero<V>(), p6 = zero<V>(), p7 = zero<V>();
        for (uint64_t g = 0; g < body; g += 8) {
            const float *hg = h + g;
            const float *sg = s - 2 * g;
            p0 = p0 + splat<V>(hg[0]) * load<V>(sg);
            p1 = p1 + splat<V>(hg[1]) * load<V>(sg - 2);
            p2 = p2 + splat<V>(hg[2]) * load<V>(sg - 4);
            p3 = p3 + splat<V>(hg[3]) * load<V>(sg - 6);
            p4 = p4 + splat<V>(hg[4]) * load<V>(sg - 8);
            p5 = p5 + splat<V>(hg[5]) * load<V>(sg - 10);
            p6 = p6 + splat<V>(hg[6]) * load<V>(sg - 12);
            p7 = p7 + splat<V>(hg[7]) * load<V>(sg - 14);
        }
        const V p[8] = {p0, p1, p2, p3, p4, p5, p6, p7};
        r = combine(p);
    }
    for (uint64_t k = body; k < len; k++) {
        const V prod = splat<V>(h[k]) * load<V>(s - 2 * k);
        r = r + prod;
    }
    return r;
}

// Broadcast of one (-hi, hi) pair to every pair of lanes.
template <class V>
FIR_INLINE V splat_pair(const float *pair) noexcept {
    V v;
    for (int j = 0; j < lanes<V>; j += 2) {
        v[j] = pair[0];
        v[j + 1] = pair[1];
    }
    return v;
}

// One complex tap onto a pair vector: R <- (R + hr*xr) - hi*xi in the real
// lanes, I <- (I + hr*xi) + hi*xr in the imaginary ones.  The subtraction is
// performed as the addition of (-hi)*xi, which IEEE arithmetic defines to be
// the same operation; -hi is stored pre-negated (a NaN is stored unchanged,
// so NaN operands propagate exactly as in the scalar order).
template <class V>
FIR_INLINE V complex_tap(V acc, float hr, const float *cross, V s) noexcept {
    const V a = splat<V>(hr) * s;
    const V b = splat_pair<V>(cross) * swap_pairs(s);
    const V t = acc + a;
    return t + b;
}

template <class V>
FIR_INLINE V dot_complex(const float *h, const float *x, uint64_t len, const float *s) noexcept {
    const uint64_t body = len & ~uint64_t(7);
    V r = zero<V>();
    if (body != 0) {
        V p0 = zero<V>(), p1 = zero<V>(), p2 = zero<V>(), p3 = zero<V>();
        V p4 = zero<V>(), p5 = zero<V>(), p6 = zero<V>(), p7 = zero<V>();
        for (uint64_t g = 0; g < body; g += 8) {
            const float *hg = h + 2 * g;
            const float *xg = x + 2 * g;
            const float *sg = s - 2 * g;
            p0 = complex_tap(p0, hg[0], xg + 0, load<V>(sg));
            p1 = complex_tap(p1, hg[2], xg + 2, load<V>(sg - 2));
            p2 = complex_tap(p2, hg[4], xg + 4, load<V>(sg - 4));
            p3 = complex_tap(p3, hg[6], xg + 6, load<V>(sg - 6));
            p4 = complex_tap(p4, hg[8], xg + 8, load<V>(sg - 8));
            p5 = complex_tap(p5, hg[10], xg + 10, load<V>(sg - 10));
            p6 = complex_tap(p6, hg[12], xg + 12, load<V>(sg - 12));
            p7 = complex_tap(p7, hg[14], xg + 14, load<V>(sg - 14));
        }
        const V p[8] = {p0, p1, p2, p3, p4, p5, p6, p7};
        r = combine(p);
    }
    for (uint64_t k = body; k < len; k++) r = complex_tap(r, h[2 * k], x + 2 * k, load<V>(s - 2 * k));
    return r;
}

// All n outputs: full vectors of W/2 outputs, then the scalar order for the
// rest.  win points at the scratch sample holding the first input sample.
template <class V, bool Real>
FIR_INLINE void run_block(const fir_filter *f, const fir_cf32 *win, uint64_t n, fir_cf32 *out) noexcept {
    constexpr uint64_t per = uint64_t(lanes<V> / 2);
    const uint64_t len = f->taps_len;
    uint64_t i = 0;
    for (; i + per <= n; i += per) {
        const float *s = reinterpret_cast<const float *>(win + i);
        V y;
        if constexpr (Real)
            y = dot_real<V>(f->taps_real, len, s);
        else
            y = dot_complex<V>(reinterpret_cast<const float *>(f->taps), f->taps_cross, len, s);
        store(reinterpret_cast<float *>(out + i), y);
    }
    for (; i < n; i++) {
        if constexpr (Real)
            out[i] = fir_dot_real_scalar(f->taps_real, len, win + i);
        else
            out[i] = fir_dot_complex_scalar(f->taps, len, win + i);
    }
}

template <class V>
FIR_INLINE void run(const fir_filter *f, const fir_cf32 *win, uint64_t n, fir_cf32 *out) noexcept {
    if (f->taps_real != nullptr)
        run_block<V, true>(f, win, n, out);
    else
        run_block<V, false>(f, win, n, out);
}

void run_baseline(const fir_filter *f, const fir_cf32 *win, uint64_t n, fir_cf32 *out) noexcept {
    run<v4f>(f, win, n, out);
}
#if KX_X86
KX_TARGET_AVX2 void run_avx2(const fir_filter *f, const fir_cf32 *win, uint64_t n,
                             fir_cf32 *out) noexcept {
    run<v8f>(f, win, n, out);
}
KX_TARGET_AVX512 void run_avx512(const fir_filter *f, const fir_cf32 *win, uint64_t n,
                                 fir_cf32 *out) noexcept {
    run<v16f>(f, win, n, out);
}
#endif

using run_fn = void (*)(const fir_filter *, const fir_cf32 *, uint64_t, fir_cf32 *) noexcept;

run_fn select_run() noexcept {
#if KX_X86
    switch (kx::cpu_level()) {
    case kx::CPU_AVX512: return run_avx512;
    case kx::CPU_AVX2: return run_avx2;
    default: break;
    }
#endif
    return run_baseline;
}

template <class T>
fir_filter *create(const T *taps, uint64_t len, bool real) noexcept {
    if (taps == nullptr || len == 0) return nullptr;
    if (len > SIZE_MAX / sizeof(fir_cf32)) return nullptr;
    fir_filter *f = static_cast<fir_filter *>(std::calloc(1, sizeof(fir_filter)));
    if (f == nullptr) return nullptr;
    T *copy = static_cast<T *>(std::malloc(len * sizeof(T)));
    if (copy == nullptr) {
        std::free(f);
        return nullptr;
    }
    std::memcpy(copy, taps, len * sizeof(T));
    if (len >= 2) {
        f->delay = static_cast<fir_cf32 *>(std::calloc(len - 1, sizeof(fir_cf32)));
        if (f->delay == nullptr) {
            std::free(copy);
            std::free(f);
            return nullptr;
        }
    }
    if (real) {
        f->taps_real = reinterpret_cast<float *>(copy);
    } else {
        f->taps = reinterpret_cast<fir_cf32 *>(copy);
        f->taps_cross = static_cast<float *>(std::malloc(len * 2 * sizeof(float)));
        if (f->taps_cross == nullptr) {
            fir_destroy(f);
            return nullptr;
        }
        for (uint64_t k = 0; k < len; k++) {
            const float hi = f->taps[k].imag();
            f->taps_cross[2 * k] = hi != hi ? hi : -hi;
            f->taps_cross[2 * k + 1] = hi;
        }
    }
    f->taps_len = len;
    return f;
}

}  // namespace

fir_cf32 fir_dot_real_scalar(const float *h, uint64_t len, const fir_cf32 *s) noexcept {
    const uint64_t body = len & ~uint64_t(7);
    float rr = 0.0f;
    float ri = 0.0f;
    if (body != 0) {
        float pr[8] = {};
        float pi[8] = {};
        for (uint64_t k = 0; k < body; k++) {
            const fir_cf32 x = s[-int64_t(k)];
            const float mr = h[k] * x.real();
            const float mi = h[k] * x.imag();
            pr[k & 7] = pr[k & 7] + mr;
            pi[k & 7] = pi[k & 7] + mi;
        }
        rr = ((pr[0] + pr[4]) + (pr[2] + pr[6])) + ((pr[1] + pr[5]) + (pr[3] + pr[7]));
        ri = ((pi[0] + pi[4]) + (pi[2] + pi[6])) + ((pi[1] + pi[5]) + (pi[3] + pi[7]));
    }
    for (uint64_t k = body; k < len; k++) {
        const fir_cf32 x = s[-int64_t(k)];
        const float mr = h[k] * x.real();
        const float mi = h[k] * x.imag();
        rr = rr + mr;
        ri = ri + mi;
    }
    return fir_cf32(rr, ri);
}

fir_cf32 fir_dot_complex_scalar(const fir_cf32 *h, uint64_t len, const fir_cf32 *s) noexcept {
    const uint64_t body = len & ~uint64_t(7);
    float rr = 0.0f;
    float ri = 0.0f;
    // One tap onto (R, I): R <- (R + hr*xr) - hi*xi; I <- (I + hr*xi) + hi*xr.
    auto tap = [](float &r, float &i, fir_cf32 hk, fir_cf32 x) {
        const float a = hk.real() * x.real();
        const float b = hk.imag() * x.imag();
        const float c = hk.real() * x.imag();
        const float d = hk.imag() * x.real();
        const float r1 = r + a;
        const float i1 = i + c;
        r = r1 - b;
        i = i1 + d;
    };
    if (body != 0) {
        float pr[8] = {};
        float pi[8] = {};
        for (uint64_t k = 0; k < body; k++) tap(pr[k & 7], pi[k & 7], h[k], s[-int64_t(k)]);
        rr = ((pr[0] + pr[4]) + (pr[2] + pr[6])) + ((pr[1] + pr[5]) + (pr[3] + pr[7]));
        ri = ((pi[0] + pi[4]) + (pi[2] + pi[6])) + ((pi[1] + pi[5]) + (pi[3] + pi[7]));
    }
    for (uint64_t k = body; k < len; k++) tap(rr, ri, h[k], s[-int64_t(k)]);
    return fir_cf32(rr, ri);
}

fir_filter *fir_create(const fir_cf32 *taps, uint64_t taps_len) noexcept {
    return create(taps, taps_len, false);
}

fir_filter *fir_create_real(const float *taps, uint64_t taps_len) noexcept {
    return create(taps, taps_len, true);
}

void fir_destroy(fir_filter *f) noexcept {
    if (f == nullptr) return;
    std::free(f->taps);
    std::free(f->taps_real);
    std::free(f->delay);
    std::free(f->scratch);
    std::free(f->taps_cross);
    std::free(f);
}

void fir_reset(fir_filter *f) noexcept {
    if (f->taps_len >= 2) std::memset(static_cast<void *>(f->delay), 0, (f->taps_len - 1) * sizeof(fir_cf32));
}

// The delay line and the block are laid out contiguously in scratch, so each
// output's window is read backwards from consecutive memory.  The input is
// copied before any output is written, so out may be x.
uint64_t fir_execute(fir_filter *f, const fir_cf32 *x, uint64_t n_in, fir_cf32 *out) noexcept {
    static const run_fn impl = select_run();
    if (n_in == 0 || f == nullptr || x == nullptr || out == nullptr) return 0;
    const uint64_t hist = f->taps_len - 1;
    // A size that cannot be represented fails like a failed allocation.
    if (n_in > UINT64_MAX - hist) return 0;
    const uint64_t need = hist + n_in;
    if (need > SIZE_MAX / sizeof(fir_cf32)) return 0;
    if (need > f->scratch_cap) {
        void *p = std::realloc(f->scratch, need * sizeof(fir_cf32));
        if (p == nullptr) return 0;
        f->scratch = static_cast<fir_cf32 *>(p);
        f->scratch_cap = need;
    }
    if (hist != 0) std::memcpy(f->scratch, f->delay, hist * sizeof(fir_cf32));
    std::memcpy(f->scratch + hist, x, n_in * sizeof(fir_cf32));
    impl(f, f->scratch + hist, n_in, out);
    if (hist != 0) std::memcpy(f->delay, f->scratch + n_in, hist * sizeof(fir_cf32));
    return n_in;
}

uint64_t fir_execute_max_out(const fir_filter *) noexcept { return 0; }

int fir_is_real(const fir_filter *f) noexcept { return f->taps_real != nullptr ? 1 : 0; }

std::size_t fir_state_bytes(const fir_filter *f) noexcept {
    return f->taps_len < 2 ? 16 : std::size_t(8 * f->taps_len + 8);
}

void fir_get_state(const fir_filter *f, uint8_t *b) noexcept {
    kx::blob_put_header(b, FIR_STATE_MAGIC, FIR_STATE_VERSION, uint32_t(fir_state_bytes(f)));
    for (uint64_t i = 0; i + 1 < f->taps_len; i++) {
        kx::put_f32(b + 16 + 8 * i, f->delay[i].real());
        kx::put_f32(b + 20 + 8 * i, f->delay[i].imag());
    }
}

int fir_set_state(fir_filter *f, const uint8_t *b) noexcept {
    const std::size_t size = fir_state_bytes(f);
    // The size field is 32 bits: a filter whose blob does not fit accepts none.
    if (size > UINT32_MAX || !kx::blob_header_ok(b, FIR_STATE_MAGIC, FIR_STATE_VERSION, uint32_t(size)))
        return -4;
    for (uint64_t i = 0; i + 1 < f->taps_len; i++)
        f->delay[i] = fir_cf32(kx::get_f32(b + 16 + 8 * i), kx::get_f32(b + 20 + 8 * i));
    return 0;
}
