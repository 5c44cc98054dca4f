// Decimating FIR core: life cycle, block execution through the kernels of
// firdec_kernels.cpp, and the state blob.
#include "channel/firdec_core.h"

#include <cstdlib>
#include <cstring>

#include "common/blob.h"

#include "common/no_libm.h"

namespace {

// Input samples copied to the work buffer per stretch, so that the kernels
// read them back from the first-level cache: 32 KiB.
constexpr uint64_t FIRDEC_STRETCH = 4096;

// The taps in the lane layout of the windows kernels.  Group g's vector
// holds, in sample slot j (floats 2j, 2j+1), tap 8g + 7 - j, because slot j
// meets the sample x[n - 8g - 7 + j] of output n's window.  The taps past
// the last full group follow one vector each, the same tap in every slot.
// Real taps take 16 floats per vector, each tap in both floats of its
// sample; complex ones 32, (hr, hr) pairs, then (-hi, hi) pairs.
float *spread_taps(const fir_filter *f) noexcept {
    const uint64_t len = f->taps_len;
    if (len < 8) return nullptr;
    const bool real = f->taps_real != nullptr;
    const uint64_t per = real ? 16 : 32;
    float *lanes = static_cast<float *>(std::malloc((len / 8 + len % 8) * per * sizeof(float)));
    if (lanes == nullptr) return nullptr;
    auto put = [&](float *v, uint64_t slot, uint64_t k) {
        if (real) {
            v[2 * slot] = v[2 * slot + 1] = f->taps_real[k];
        } else {
            const float hr = f->taps[k].real();
            const float hi = f->taps[k].imag();
            v[2 * slot] = v[2 * slot + 1] = hr;
            // Adding (-hi)*xi is the IEEE subtraction of hi*xi; a NaN hi
            // keeps its sign, as it would through the subtraction.
            v[16 + 2 * slot] = hi != hi ? hi : -hi;
            v[16 + 2 * slot + 1] = hi;
        }
    };
    const uint64_t body = len & ~uint64_t(7);
    for (uint64_t k = 0; k < body; k++) put(lanes + k / 8 * per, 7 - k % 8, k);
    for (uint64_t k = body; k < len; k++)
        for (uint64_t slot = 0; slot < 8; slot++) put(lanes + (k / 8 + k % 8) * per, slot, k);
    return lanes;
}

// The phase-stream layout of a small factor: stream r holds the samples
// p0[(t - reach)*factor + r], t = 0 .. stream_len-1, where p0 is the newest
// sample of the chunk's first kept output.  Tap k of kept output j reads
// p0[j*factor - k] = stream r, row j - q + reach, with r = (-k) mod factor and
// q = ceil(k/factor), so consecutive kept outputs read consecutive samples of
// one stream.  Zero-filled: the rows past a short chunk, which only lanes
// that are thrown away read, hold finite values from the start.
bool lay_streams(fir_decimator *d) noexcept {
    const uint64_t len = d->fir->taps_len;
    const uint64_t factor = d->factor;
    d->reach = (len - 1 + factor - 1) / factor;
    d->chunk = (FIRDEC_STRETCH + factor - 1) / factor;
    // Whole cache lines per stream, so that each starts on one.
    d->stream_len = ((d->chunk + 15) & ~uint64_t(15)) + ((d->reach + 7) & ~uint64_t(7));
    const std::size_t bytes = factor * d->stream_len * sizeof(cf32);
    d->streams = static_cast<cf32 *>(std::aligned_alloc(64, bytes));
    if (d->streams != nullptr) std::memset(static_cast<void *>(d->streams), 0, bytes);
    d->offsets = static_cast<uint64_t *>(std::malloc(len * sizeof(uint64_t)));
    if (d->streams == nullptr || d->offsets == nullptr) return false;
    for (uint64_t k = 0; k < len; k++) {
        const uint64_t r = (factor - k % factor) % factor;
        const uint64_t q = (k + r) / factor;
        d->offsets[k] = 2 * (r * d->stream_len + d->reach - q);
    }
    return true;
}

fir_decimator *finish(fir_filter *f, uint64_t factor) noexcept {
    if (f == nullptr) return nullptr;
    fir_decimator *d = static_cast<fir_decimator *>(std::calloc(1, sizeof(fir_decimator)));
    if (d == nullptr) {
        fir_destroy(f);
        return nullptr;
    }
    d->fir = f;
    d->factor = factor;
    bool ok;
    d->lanes = spread_taps(f);
    ok = d->lanes != nullptr || f->taps_len < 8;
    if (ok && factor >= FIRDEC_STREAM_MIN_FACTOR && factor <= FIRDEC_STREAM_MAX_FACTOR)
        ok = lay_streams(d);
    if (!ok) {
        firdec_destroy(d);
        return nullptr;
    }
    return d;
}

bool args_ok(const void *taps, uint64_t len, uint64_t factor) noexcept {
    return taps != nullptr && len != 0 && len <= FIRDEC_MAX_TAPS && factor != 0 &&
           factor <= FIRDEC_MAX_FACTOR;
}

}  // namespace

// ---------------------------------------------------------------- life cycle

fir_decimator *firdec_create(const cf32 *taps, uint64_t taps_len, uint64_t factor) noexcept {
    if (!args_ok(taps, taps_len, factor)) return nullptr;
    return finish(fir_create(taps, taps_len), factor);
}

fir_decimator *firdec_create_real(const float *taps, uint64_t taps_len,
                                  uint64_t factor) noexcept {
    if (!args_ok(taps, taps_len, factor)) return nullptr;
    return finish(fir_create_real(taps, taps_len), factor);
}

void firdec_destroy(fir_decimator *d) noexcept {
    if (d == nullptr) return;
    fir_destroy(d->fir);
    std::free(d->lanes);
    std::free(d->streams);
    std::free(d->offsets);
    std::free(d);
}

void firdec_reset(fir_decimator *d) noexcept {
    fir_reset(d->fir);
    d->phase = 0;
}

uint64_t firdec_num_taps(const fir_decimator *d) noexcept { return d->fir->taps_len; }

bool firdec_is_real(const fir_decimator *d) noexcept { return fir_is_real(d->fir) != 0; }

// The block's first kept input is the one that brings the phase to a
// multiple of the factor.
uint64_t firdec_output_length(const fir_decimator *d, uint64_t n) noexcept {
    const uint64_t first = d->phase == 0 ? 0 : d->factor - d->phase;
    return n > first ? (n - first - 1) / d->factor + 1 : 0;
}

// ---------------------------------------------------------------- block

// The work buffer holds the history (taps_len-1 samples) followed by one
// stretch of the block, as in fir_execute, so each kept output's window is
// read backwards from consecutive memory, and the buffer stays bounded
// however long the block.  Every input is copied there before any output
// that could overwrite it is written, except when out starts inside x past
// its first byte: kept outputs advance through out one sample per factor
// inputs, so they can overtake the stretches still to be copied only from
// there.  That case collects the block's outputs aside and moves them to out
// at the end.
uint64_t firdec_execute(fir_decimator *d, const cf32 *x, uint64_t n_in, cf32 *out) noexcept {
    if (n_in == 0 || d == nullptr || x == nullptr || out == nullptr) return 0;
    fir_filter *f = d->fir;
    const uint64_t hist = f->taps_len - 1;
    const uint64_t piece = n_in < FIRDEC_STRETCH ? n_in : FIRDEC_STRETCH;
    const uint64_t n_out = firdec_output_length(d, n_in);
    const uintptr_t xa = reinterpret_cast<uintptr_t>(x);
    const uintptr_t oa = reinterpret_cast<uintptr_t>(out);
    const bool aside = n_out != 0 && oa > xa && oa - xa < n_in * sizeof(cf32);
    // Apart from out, neither the streams nor factor 8's passes need a copy
    // past the windows that reach into the delay line: the later ones are
    // read where they lie, once.  The other windows kernel, which reads each
    // sample of a window once per kept output, is faster from the copy in
    // the first-level cache.
    const bool in_place = (d->streams != nullptr || firdec_passes(d)) &&
                          (oa >= xa + n_in * sizeof(cf32) || oa + n_out * sizeof(cf32) <= xa);
    if (hist + piece > f->scratch_cap) {
        // On failure realloc leaves the old buffer in place and owned.
        void *p = std::realloc(f->scratch, (hist + piece) * sizeof(cf32));
        if (p == nullptr) return FIRDEC_FAILED;
        f->scratch = static_cast<cf32 *>(p);
        f->scratch_cap = hist + piece;
    }
    cf32 *held = aside ? static_cast<cf32 *>(std::malloc(n_out * sizeof(cf32))) : nullptr;
    if (aside && held == nullptr) return FIRDEC_FAILED;
    cf32 *const dst = aside ? held : out;
    cf32 *const s = f->scratch;
    cf32 *const win = s + hist;

    if (hist != 0) std::memcpy(s, f->delay, hist * sizeof(cf32));
    uint64_t next = d->phase == 0 ? 0 : d->factor - d->phase;  // next kept input
    uint64_t j = 0;
    uint64_t i = 0;
    while (i < n_in && !(in_place && i >= hist)) {
        const uint64_t m = n_in - i < piece ? n_in - i : piece;
        std::memcpy(static_cast<void *>(win), x + i, m * sizeof(cf32));
        if (next < i + m) {
            const uint64_t count = (i + m - 1 - next) / d->factor + 1;
            firdec_run(d, win + (next - i), d->factor, count, dst + j);
            j += count;
            // At most n_in - 1 + factor, below 2**64 by FIRDEC_MAX_FACTOR.
            next += count * d->factor;
        }
        // Overlapping when the history is longer than the stretch.
        if (hist != 0) std::memmove(s, s + m, hist * sizeof(cf32));
        i += m;
    }
    if (i < n_in) {
        // Every window still to come starts at or after x[i - hist] >= x[0].
        if (next < n_in)
            firdec_run(d, x + next, d->factor, (n_in - 1 - next) / d->factor + 1, dst + j);
        if (hist != 0) std::memcpy(f->delay, x + (n_in - hist), hist * sizeof(cf32));
    } else if (hist != 0) {
        std::memcpy(f->delay, s, hist * sizeof(cf32));
    }
    d->phase = (d->phase + n_in % d->factor) % d->factor;
    if (aside) {
        std::memmove(static_cast<void *>(out), held, n_out * sizeof(cf32));
        std::free(held);
    }
    return n_out;
}

// ---------------------------------------------------------------- state

std::size_t firdec_state_bytes(const fir_decimator *d) noexcept {
    return FIRDEC_STATE_FIXED + std::size_t(8 * (d->fir->taps_len - 1));
}

void firdec_get_state(const fir_decimator *d, uint8_t *b) noexcept {
    kx::blob_put_header(b, FIRDEC_STATE_MAGIC, FIRDEC_STATE_VERSION,
                        uint32_t(firdec_state_bytes(d)));
    kx::put_le(b + 16, d->factor);
    kx::put_le(b + 24, d->phase);
    for (uint64_t i = 0; i + 1 < d->fir->taps_len; i++)
        kx::put_le(b + FIRDEC_STATE_FIXED + 8 * i, d->fir->delay[i]);
}

int firdec_set_state(fir_decimator *d, const uint8_t *b) noexcept {
    if (!kx::blob_header_ok(b, FIRDEC_STATE_MAGIC, FIRDEC_STATE_VERSION,
                            uint32_t(firdec_state_bytes(d))))
        return KX_STATUS_INVALID;
    // The phase counts inputs modulo this decimator's own factor: a blob of
    // another factor describes another stream.
    const uint64_t factor = kx::get_le<uint64_t>(b + 16);
    const uint64_t phase = kx::get_le<uint64_t>(b + 24);
    if (factor != d->factor || phase >= factor) return KX_STATUS_INVALID;
    d->phase = phase;
    for (uint64_t i = 0; i + 1 < d->fir->taps_len; i++)
        d->fir->delay[i] = kx::get_le<cf32>(b + FIRDEC_STATE_FIXED + 8 * i);
    return KX_STATUS_OK;
}
