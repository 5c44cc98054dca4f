// FIR filter core: life cycle, block execution through the kernels of
// fir_kernels.cpp, and the state blob.
#include "filter/fir_core.h"

#include <cstdlib>
#include <cstring>

#include "common/blob.h"

#include "common/no_libm.h"

namespace {

// Input samples copied to scratch per stretch, so that the kernels read
// them back from the first-level cache: 31.5 KiB, a multiple of every
// variant's block of outputs (192 = lcm of 8, 12, 16, 24 and 64).
constexpr uint64_t FIR_STRETCH = 21 * 192;

template <class T>
fir_filter *create(const T *taps, uint64_t len) noexcept {
    if (taps == nullptr || len == 0 || len > FIR_MAX_TAPS) return nullptr;
    fir_filter *f = static_cast<fir_filter *>(std::calloc(1, sizeof(fir_filter)));
    if (f == nullptr) return nullptr;
    T *copy = static_cast<T *>(std::malloc(len * sizeof(T)));
    if (copy == nullptr) {
        std::free(f);
        return nullptr;
    }
    std::memcpy(copy, taps, len * sizeof(T));
    if (len >= 2) {
        f->delay = static_cast<cf32 *>(std::calloc(len - 1, sizeof(cf32)));
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

// ---------------------------------------------------------------- life cycle

fir_filter *fir_create(const cf32 *taps, uint64_t taps_len) noexcept {
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
        std::memset(static_cast<void *>(f->delay), 0, (f->taps_len - 1) * sizeof(cf32));
}

// ---------------------------------------------------------------- block

// scratch = history, then one stretch of the block, so each output's window
// is read backwards from consecutive memory without wrap-around.  Stretches
// are copied in right behind the taps_len-1 samples that precede them and
// filtered while they are still in the first-level cache, so scratch never
// needs more than taps_len-1 samples plus one stretch, however long the
// block.  Each output depends only on its own window, so the cut into
// stretches does not change a bit.
//
// out may overlap x.  Written forwards, output i can only overwrite input
// samples up to i, all of which are already in scratch, unless out starts
// inside x past its first sample: then output i overwrites input i onwards,
// which later stretches still need.  That case runs backwards, last stretch
// first: every stretch reads inputs below the ones that the stretches
// already written overwrote.  The delay line is still needed by the first
// stretch, so its successor waits behind the stretch in scratch.
namespace {

// The stretch's window, samples start-hist .. start+m-1 of (delay line,
// x), into scratch.
void fill_window(const fir_filter *f, const cf32 *x, uint64_t start, uint64_t m) noexcept {
    const uint64_t hist = f->taps_len - 1;
    cf32 *s = f->scratch;
    if (start < hist) {
        std::memcpy(s, f->delay + start, (hist - start) * sizeof(cf32));
        std::memcpy(s + (hist - start), x, (start + m) * sizeof(cf32));
    } else {
        std::memcpy(s, x + (start - hist), (hist + m) * sizeof(cf32));
    }
}

}  // namespace

uint64_t fir_execute(fir_filter *f, const cf32 *x, uint64_t n_in, cf32 *out) noexcept {
    if (n_in == 0 || f == nullptr || x == nullptr || out == nullptr) return 0;
    // taps_len is at most FIR_MAX_TAPS, so none of these sizes can overflow.
    const uint64_t hist = f->taps_len - 1;
    const uint64_t piece = n_in < FIR_STRETCH ? n_in : FIR_STRETCH;
    const uintptr_t xa = reinterpret_cast<uintptr_t>(x);
    const uintptr_t oa = reinterpret_cast<uintptr_t>(out);
    const bool backwards = oa > xa && oa - xa < n_in * sizeof(cf32);
    const uint64_t need = hist + piece + (backwards ? hist : 0);
    if (need > f->scratch_cap) {
        // On failure realloc leaves the old buffer in place and owned.
        void *p = std::realloc(f->scratch, need * sizeof(cf32));
        if (p == nullptr) return 0;
        f->scratch = static_cast<cf32 *>(p);
        f->scratch_cap = need;
    }
    cf32 *const s = f->scratch;
    cf32 *const win = s + hist;

    if (backwards) {
        cf32 *const next = win + piece;
        for (uint64_t end = n_in; end != 0;) {
            const uint64_t start = (end - 1) / piece * piece;
            fill_window(f, x, start, end - start);
            // The last window ends with the new delay line.
            if (end == n_in) std::memcpy(next, s + (end - start), hist * sizeof(cf32));
            fir_run(f, win, end - start, out + start);
            end = start;
        }
        if (hist != 0) std::memcpy(f->delay, next, hist * sizeof(cf32));
        return n_in;
    }
    if (hist != 0) std::memcpy(s, f->delay, hist * sizeof(cf32));
    for (uint64_t i = 0; i < n_in;) {
        const uint64_t m = n_in - i < piece ? n_in - i : piece;
        std::memcpy(win, x + i, m * sizeof(cf32));
        fir_run(f, win, m, out + i);
        // Overlapping when the history is longer than the stretch.
        if (hist != 0) std::memmove(s, s + m, hist * sizeof(cf32));
        i += m;
    }
    if (hist != 0) std::memcpy(f->delay, s, hist * sizeof(cf32));
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
    for (uint64_t i = 0; i + 1 < f->taps_len; i++)
        kx::put_le(b + kx::BLOB_HEADER_BYTES + 8 * i, f->delay[i]);
}

int fir_set_state(fir_filter *f, const uint8_t *b) noexcept {
    if (!kx::blob_header_ok(b, FIR_STATE_MAGIC, FIR_STATE_VERSION, uint32_t(fir_state_bytes(f))))
        return KX_STATUS_INVALID;
    for (uint64_t i = 0; i + 1 < f->taps_len; i++)
        f->delay[i] = kx::get_le<cf32>(b + kx::BLOB_HEADER_BYTES + 8 * i);
    return KX_STATUS_OK;
}
