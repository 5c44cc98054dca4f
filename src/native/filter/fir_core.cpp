// FIR filter core: life cycle, block execution, state blob, and the inner
// product kernels.
//
// The scalar functions fir_dot_real_scalar and fir_dot_complex_scalar define
// the order of every sum.  The vector kernels compute several consecutive
// outputs side by side instead of splitting one output across lanes: a
// vector holds the interleaved (re, im) pairs of lanes/2 outputs, every
// partial sum of those outputs is one vector, and so every lane performs
// exactly the scalar sequence of its own output.  One template serves the
// portable baseline (128-bit vectors) and, on x86-64, AVX2 (256-bit) and
// AVX-512 (512-bit); all give the same bits.
#include "filter/fir_core.h"

#include <cstdlib>
#include <cstring>

#include "common/blob.h"
#include "common/cpu.h"

// The 256- and 512-bit helpers are always inlined into functions compiled
// for those instruction sets, so no wide vector crosses a call boundary.
// Their vector arguments are taken by reference all the same: GCC still
// prints its ABI note for by-value ones despite the pragma.
#pragma GCC diagnostic ignored "-Wpsabi"

static_assert(sizeof(fir_cf32) == 8, "a complex sample is two packed floats");

namespace {

typedef float v4f __attribute__((vector_size(16)));
typedef float v8f __attribute__((vector_size(32)));
typedef float v16f __attribute__((vector_size(64)));

#define FIR_INLINE inline __attribute__((always_inline))

template <class V>
constexpr int lanes = int(sizeof(V) / sizeof(float));

// Unaligned access: windows start at every sample, not at vector boundaries.
template <class V>
FIR_INLINE V load(const float *p) noexcept {
    V v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
template <class V>
FIR_INLINE void store(float *p, const V &v) noexcept {
    std::memcpy(p, &v, sizeof v);
}
// A shuffle of lane 0, so that SSE2 gets one shufps instead of a chain of
// lane inserts (and no arithmetic touches the value).
template <class V>
FIR_INLINE V splat(float h) noexcept {
    const V t = {h};
    if constexpr (lanes<V> == 4)
        return __builtin_shufflevector(t, t, 0, 0, 0, 0);
    else if constexpr (lanes<V> == 8)
        return __builtin_shufflevector(t, t, 0, 0, 0, 0, 0, 0, 0, 0);
    else
        return __builtin_shufflevector(t, t, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0);
}

// (re, im) -> (im, re) in every pair.
template <class V>
FIR_INLINE V swap_pairs(const V &s) noexcept {
    if constexpr (lanes<V> == 4)
        return __builtin_shufflevector(s, s, 1, 0, 3, 2);
    else if constexpr (lanes<V> == 8)
        return __builtin_shufflevector(s, s, 1, 0, 3, 2, 5, 4, 7, 6);
    else
        return __builtin_shufflevector(s, s, 1, 0, 3, 2, 5, 4, 7, 6, 9, 8, 11, 10, 13, 12, 15, 14);
}

// (-hi, hi) in every pair of lanes.  Adding (-hi)*xi is the IEEE subtraction
// of hi*xi, signed zeros included; a NaN hi is kept as it is, so that its
// sign propagates exactly as through the subtraction.
template <class V>
FIR_INLINE V splat_cross(float hi) noexcept {
    const float neg = hi != hi ? hi : -hi;
    const V t = {neg, hi};
    if constexpr (lanes<V> == 4)
        return __builtin_shufflevector(t, t, 0, 1, 0, 1);
    else if constexpr (lanes<V> == 8)
        return __builtin_shufflevector(t, t, 0, 1, 0, 1, 0, 1, 0, 1);
    else
        return __builtin_shufflevector(t, t, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1);
}

// One tap onto the running pairs of lanes/2 outputs.  Real: acc + h*s per
// component.  Complex: (acc + hr*s), then (-hi)*xi into the real lanes and
// hi*xr into the imaginary lanes, i.e. R <- (R + hr*xr) - hi*xi and
// I <- (I + hr*xi) + hi*xr.
template <class V, bool Real>
struct Tap;

template <class V>
struct Tap<V, true> {
    V h;
    FIR_INLINE explicit Tap(const float *taps, uint64_t k) noexcept : h(splat<V>(taps[k])) {}
    FIR_INLINE V add(const V &acc, const V &s) const noexcept {
        const V prod = h * s;
        return acc + prod;
    }
};

template <class V>
struct Tap<V, false> {
    V hr, cross;
    FIR_INLINE explicit Tap(const float *taps, uint64_t k) noexcept
        : hr(splat<V>(taps[2 * k])), cross(splat_cross<V>(taps[2 * k + 1])) {}
    FIR_INLINE V add(const V &acc, const V &s) const noexcept {
        const V a = hr * s;
        const V b = cross * swap_pairs(s);
        const V t = acc + a;
        return t + b;
    }
};

// ---------------------------------------------------------------- kernel
//
// NV * lanes/2 consecutive outputs.  s points at the floats of the newest
// sample of the first output's window; tap k of vector v reads the floats at
// s + v*lanes - 2k, consecutive samples that all lie in scratch (the delay
// line precedes the block).  out receives the interleaved results; it never
// aliases scratch.
//
// The partials are produced one after another, each over all NV vectors of
// outputs: one tap broadcast serves NV vectors, and NV independent addition
// chains hide the adder latency.  The loaded samples are blocked in
// registers across taps as well: tap k+8 of vector v reads exactly what tap
// k of vector v-D read (D = 8 samples / samples per vector), so each step of
// a partial loads only D new vectors and shifts the rest.  Partial m of
// every lane still takes its taps k = m, m+8, ... in increasing k and meets
// the others in the fixed tree, then the tail taps follow one at a time:
// lane by lane the exact scalar order.
template <class V, bool Real, int NV>
FIR_INLINE void fir_kernel(const float *h, uint64_t len, const float *s, float *out) noexcept {
    constexpr int W = lanes<V>;
    constexpr int D = 16 / W;
    const uint64_t body = len & ~uint64_t(7);
    V r[NV];
    if (body != 0) {
        V p[8][NV];
        for (uint64_t m = 0; m < 8; m++) {
            V acc[NV];
            V xs[NV];
#pragma GCC unroll 16
            for (int v = 0; v < NV; v++) acc[v] = V{};
#pragma GCC unroll 16
            for (int v = 0; v < NV; v++) xs[v] = load<V>(s - 2 * m + v * W);
            const uint64_t groups = body / 8;
            uint64_t k = m;
// Three steps per pass let the compiler rename the shifted registers
// instead of moving them (the shift repeats after three steps when NV = 6).
#pragma GCC unroll 3
            for (uint64_t g = 1; g < groups; g++) {
                const Tap<V, Real> tap(h, k);
#pragma GCC unroll 16
                for (int v = 0; v < NV; v++) acc[v] = tap.add(acc[v], xs[v]);
                k += 8;
#pragma GCC unroll 16
                for (int v = NV - 1; v >= D; v--) xs[v] = xs[v - D];
#pragma GCC unroll 16
                for (int v = 0; v < D && v < NV; v++) xs[v] = load<V>(s - 2 * k + v * W);
            }
            const Tap<V, Real> tap(h, k);
#pragma GCC unroll 16
            for (int v = 0; v < NV; v++) acc[v] = tap.add(acc[v], xs[v]);
#pragma GCC unroll 16
            for (int v = 0; v < NV; v++) p[m][v] = acc[v];
        }
#pragma GCC unroll 16
        for (int v = 0; v < NV; v++) {
            const V a = p[0][v] + p[4][v];
            const V b = p[2][v] + p[6][v];
            const V c = p[1][v] + p[5][v];
            const V d = p[3][v] + p[7][v];
            const V ab = a + b;
            const V cd = c + d;
            r[v] = ab + cd;
        }
    } else {
#pragma GCC unroll 16
        for (int v = 0; v < NV; v++) r[v] = V{};
    }
    for (uint64_t k = body; k < len; k++) {
        const Tap<V, Real> tap(h, k);
        const float *sk = s - 2 * k;
#pragma GCC unroll 16
        for (int v = 0; v < NV; v++) r[v] = tap.add(r[v], load<V>(sk + v * W));
    }
#pragma GCC unroll 16
    for (int v = 0; v < NV; v++) store(out + v * W, r[v]);
}

// Vectors of outputs per block: as many accumulators and carried sample
// vectors as the register file holds without spilling (16 registers below
// AVX-512, 32 with it); a complex tap needs two broadcasts and the swapped
// samples besides.
template <class V, bool Real>
constexpr int block_vectors = lanes<V> == 16 ? 8 : (Real ? 6 : 4);

// Outputs 0 .. n-1 of one stretch: blocks of several vectors, then single
// vectors, then the scalar definition for the last few.  win[i] is the
// newest sample of output i's window.
template <class V, bool Real>
FIR_INLINE void run_kind(const fir_filter *f, const fir_cf32 *win, uint64_t n,
                         fir_cf32 *out) noexcept {
    constexpr uint64_t per = uint64_t(lanes<V> / 2);
    constexpr int NV = block_vectors<V, Real>;
    const uint64_t len = f->taps_len;
    const float *h = Real ? f->taps_real : reinterpret_cast<const float *>(f->taps);
    uint64_t i = 0;
    for (; i + NV * per <= n; i += NV * per)
        fir_kernel<V, Real, NV>(h, len, reinterpret_cast<const float *>(win + i),
                                reinterpret_cast<float *>(out + i));
    for (; i + per <= n; i += per)
        fir_kernel<V, Real, 1>(h, len, reinterpret_cast<const float *>(win + i),
                               reinterpret_cast<float *>(out + i));
    for (; i < n; i++) {
        fir_cf32 y;
        if constexpr (Real)
            y = fir_dot_real_scalar(f->taps_real, len, win + i);
        else
            y = fir_dot_complex_scalar(f->taps, len, win + i);
        // A caller's out need only be float-aligned (or not at all).
        std::memcpy(static_cast<void *>(out + i), &y, sizeof y);
    }
}

template <class V>
FIR_INLINE void run(const fir_filter *f, const fir_cf32 *win, uint64_t n, fir_cf32 *out) noexcept {
    if (f->taps_real != nullptr)
        run_kind<V, true>(f, win, n, out);
    else
        run_kind<V, false>(f, win, n, out);
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

// Input samples copied to scratch per stretch, so that the kernels read
// them back from the first-level cache: 31.5 KiB, a multiple of every
// variant's block of outputs (192 = lcm of 8, 12, 16, 24 and 64).
constexpr uint64_t FIR_STRETCH = 21 * 192;

template <class T>
fir_filter *create(const T *taps, uint64_t len) noexcept {
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
    if constexpr (sizeof(T) == sizeof(float))
        f->taps_real = copy;
    else
        f->taps = copy;
    f->taps_len = len;
    return f;
}

}  // namespace

// ---------------------------------------------------------------- definition

// The scalar order, one output at a time: every product rounded to float32,
// then added; partial m takes the taps k = m (mod 8) below 8*floor(len/8),
// the partials meet in the tree ((0+4)+(2+6))+((1+5)+(3+7)), and the tail
// taps follow in increasing k.  With fewer than eight taps the tail is all
// of them, starting from zero.
namespace {

// ((P0 + P4) + (P2 + P6)) + ((P1 + P5) + (P3 + P7))
inline float combine_partials(const float *p) noexcept {
    const float a = p[0] + p[4];
    const float b = p[2] + p[6];
    const float c = p[1] + p[5];
    const float d = p[3] + p[7];
    const float ab = a + b;
    const float cd = c + d;
    return ab + cd;
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
        rr = combine_partials(pr);
        ri = combine_partials(pi);
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

namespace {

// R <- (R + hr*xr) - hi*xi; I <- (I + hr*xi) + hi*xr.
inline void complex_tap(float &r, float &i, fir_cf32 hk, fir_cf32 x) noexcept {
    const float a = hk.real() * x.real();
    const float b = hk.imag() * x.imag();
    const float c = hk.real() * x.imag();
    const float d = hk.imag() * x.real();
    const float r1 = r + a;
    const float i1 = i + c;
    r = r1 - b;
    i = i1 + d;
}

}  // namespace

fir_cf32 fir_dot_complex_scalar(const fir_cf32 *h, uint64_t len, const fir_cf32 *s) noexcept {
    const uint64_t body = len & ~uint64_t(7);
    float rr = 0.0f;
    float ri = 0.0f;
    if (body != 0) {
        float pr[8] = {};
        float pi[8] = {};
        for (uint64_t k = 0; k < body; k++) complex_tap(pr[k & 7], pi[k & 7], h[k], s[-int64_t(k)]);
        rr = combine_partials(pr);
        ri = combine_partials(pi);
    }
    for (uint64_t k = body; k < len; k++) complex_tap(rr, ri, h[k], s[-int64_t(k)]);
    return fir_cf32(rr, ri);
}

// ---------------------------------------------------------------- life cycle

fir_filter *fir_create(const fir_cf32 *taps, uint64_t taps_len) noexcept {
    return create(taps, taps_len);
}

fir_filter *fir_create_real(const float *taps, uint64_t taps_len) noexcept {
    return create(taps, taps_len);
}

void fir_destroy(fir_filter *f) noexcept {
    if (f == nullptr) return;
    std::free(f->taps);
    std::free(f->taps_real);
    std::free(f->delay);
    std::free(f->scratch);
    std::free(f);
}

void fir_reset(fir_filter *f) noexcept {
    if (f->taps_len >= 2)
        std::memset(static_cast<void *>(f->delay), 0, (f->taps_len - 1) * sizeof(fir_cf32));
}

// ---------------------------------------------------------------- block

// scratch = delay line, then the block, so each output's window is read
// backwards from consecutive memory without wrap-around.  The block goes
// through scratch in stretches: each stretch is copied in right behind the
// taps_len-1 samples that precede it, filtered while it is still in the
// first-level cache, and its last taps_len-1 samples then move to the front
// as the next stretch's history.  An input sample is always in scratch
// before any output that could overwrite it is written, because output i is
// written only after samples 0 .. i (its whole stretch) are copied; only an
// out that starts inside x, past its first sample, could overwrite a later
// stretch early, and then the whole block is copied first.
uint64_t fir_execute(fir_filter *f, const fir_cf32 *x, uint64_t n_in, fir_cf32 *out) noexcept {
    // The best variant is fixed for the process: resolve it once.
    static const run_fn impl = select_run();
    if (n_in == 0 || f == nullptr || x == nullptr || out == nullptr) return 0;
    const uint64_t hist = f->taps_len - 1;
    // A size that cannot be represented fails like a failed allocation.
    if (n_in > UINT64_MAX - hist) return 0;
    const uint64_t need = hist + n_in;
    if (need > SIZE_MAX / sizeof(fir_cf32)) return 0;
    if (need > f->scratch_cap) {
        // On failure realloc leaves the old buffer in place and owned.
        void *p = std::realloc(f->scratch, need * sizeof(fir_cf32));
        if (p == nullptr) return 0;
        f->scratch = static_cast<fir_cf32 *>(p);
        f->scratch_cap = need;
    }
    fir_cf32 *const s = f->scratch;
    fir_cf32 *const win = s + hist;
    if (hist != 0) std::memcpy(s, f->delay, hist * sizeof(fir_cf32));

    const uintptr_t xa = reinterpret_cast<uintptr_t>(x);
    const uintptr_t oa = reinterpret_cast<uintptr_t>(out);
    if (oa > xa && oa - xa < n_in * sizeof(fir_cf32)) {
        std::memcpy(win, x, n_in * sizeof(fir_cf32));
        impl(f, win, n_in, out);
        if (hist != 0) std::memcpy(f->delay, s + n_in, hist * sizeof(fir_cf32));
        return n_in;
    }
    for (uint64_t i = 0; i < n_in;) {
        const uint64_t m = n_in - i < FIR_STRETCH ? n_in - i : FIR_STRETCH;
        std::memcpy(win, x + i, m * sizeof(fir_cf32));
        impl(f, win, m, out + i);
        // Overlapping when the history is longer than the stretch.
        if (hist != 0) std::memmove(s, s + m, hist * sizeof(fir_cf32));
        i += m;
    }
    if (hist != 0) std::memcpy(f->delay, s, hist * sizeof(fir_cf32));
    return n_in;
}

uint64_t fir_execute_max_out(const fir_filter *) noexcept { return 0; }

int fir_is_real(const fir_filter *f) noexcept { return f->taps_real != nullptr ? 1 : 0; }

// ---------------------------------------------------------------- state

std::size_t fir_state_bytes(const fir_filter *f) noexcept {
    return f->taps_len < 2 ? kx::BLOB_HEADER_BYTES : std::size_t(8 * f->taps_len + 8);
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
    // The size field has 32 bits: a filter whose blob does not fit accepts none.
    if (size > UINT32_MAX ||
        !kx::blob_header_ok(b, FIR_STATE_MAGIC, FIR_STATE_VERSION, uint32_t(size)))
        return -4;
    for (uint64_t i = 0; i + 1 < f->taps_len; i++)
        f->delay[i] = fir_cf32(kx::get_f32(b + 16 + 8 * i), kx::get_f32(b + 20 + 8 * i));
    return 0;
}
