// libFuzzer target: the block loop's text, statistics and conversion helpers.
//
// rows_format: tables of drawn doubles (specials, arbitrary bits, plain
// values) and column kinds, written into a buffer of exactly the bound the
// binding computes (AddressSanitizer catches a write beyond it), must give
// what C's printf gives value by value ("%.9g", "%.9f", "%lld" below 1e15
// and "%.0f" beyond; every NaN "nan").
// frame_powers: drawn frames against the scalar definition (16 running sums,
// the fixed tree, 1/frame), NaN payloads aside (fuzz_input.h), and nothing
// written past the last frame.
// fixed_decode / fixed_encode: drawn components of every stored type and
// drawn floats against the scalar steps, nothing written past the end, and
// every stored value of up to 16 bits surviving a decode and an encode.
#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "blocks/convert_core.h"
#include "blocks/power_core.h"
#include "blocks/rows_core.h"
#include "fuzz_input.h"

using kxfuzz::check;

namespace {

std::string printed(double v, char kind) {
    char s[400];
    if (v != v) return "nan";
    if (kind == ROW_GENERAL) std::snprintf(s, sizeof s, "%.9g", v);
    else if (kind == ROW_FIXED) std::snprintf(s, sizeof s, "%.9f", v);
    else if (std::fabs(v) < ROW_NARROW_LIMIT) std::snprintf(s, sizeof s, "%lld", static_cast<long long>(v));
    else std::snprintf(s, sizeof s, "%.0f", v);
    return s;
}

void rows(FuzzedDataProvider &in) {
    const std::size_t cols = in.ConsumeIntegralInRange<std::size_t>(1, 5);
    const std::size_t nrows = in.ConsumeIntegralInRange<std::size_t>(0, 8);
    std::string kinds;
    for (std::size_t c = 0; c < cols; c++) kinds += "dfg"[in.ConsumeIntegralInRange(0, 2)];
    std::vector<double> table(nrows * cols);
    for (double &v : table) v = kxfuzz::number(in);
    std::size_t bound = 0;
    std::string want;
    for (std::size_t c = 0; c < cols; c++) {
        bool narrow = true;
        for (std::size_t r = 0; r < nrows; r++)
            narrow = narrow && !(std::fabs(table[r * cols + c]) >= ROW_NARROW_LIMIT);
        bound += rows_value_bound(kinds[c], narrow);
    }
    for (std::size_t r = 0; r < nrows; r++)
        for (std::size_t c = 0; c < cols; c++)
            want += printed(table[r * cols + c], kinds[c]) + (c + 1 < cols ? "," : "\n");
    std::vector<char> out(nrows * bound);
    const std::size_t len =
        rows_format(table.data(), nrows, cols, kinds.c_str(), out.data(), out.data() + out.size());
    check(len == want.size() && std::string(out.data(), len) == want, "rows differ from printf");
}

void powers(FuzzedDataProvider &in) {
    const std::size_t frame = 8 * in.ConsumeIntegralInRange<std::size_t>(1, 12);
    const std::size_t frames = in.ConsumeIntegralInRange<std::size_t>(0, 9);
    std::vector<float> x(2 * frame * frames);
    kxfuzz::fill(in, x.data(), x.size());
    std::vector<float> out(frames + 1, 7.0f), want(frames);
    frame_powers(reinterpret_cast<const cf32 *>(x.data()), frames, frame, out.data());
    for (std::size_t f = 0; f < frames; f++) {
        float s[16] = {};
        for (std::size_t i = 0; i < 2 * frame; i += 16)
            for (int j = 0; j < 16; j++) {
                const float a = x[f * 2 * frame + i + j];
                s[j] = s[j] + a * a;
            }
        for (int half = 8; half > 0; half /= 2)
            for (int j = 0; j < half; j++) s[j] = s[j] + s[j + half];
        want[f] = s[0] * (1.0f / static_cast<float>(frame));
    }
    check(kxfuzz::same_values(out.data(), want.data(), frames), "frame powers differ");
    check(out[frames] == 7.0f, "written past the last frame");
}

// The integer stored in the t.bytes bytes at p.
int64_t stored(const uint8_t *p, FixedType t) {
    uint64_t u = 0;
    for (int b = 0; b < t.bytes; b++) u |= uint64_t(p[t.swapped ? t.bytes - 1 - b : b]) << (8 * b);
    const int bits = 8 * t.bytes;
    return !t.is_unsigned && (u >> (bits - 1)) ? int64_t(u) - (int64_t(1) << bits) : int64_t(u);
}

void fixed(FuzzedDataProvider &in) {
    const unsigned char sizes[] = {1, 2, 4};
    const FixedType t{sizes[in.ConsumeIntegralInRange(0, 2)], in.ConsumeBool(), in.ConsumeBool()};
    const std::size_t n = in.ConsumeIntegralInRange<std::size_t>(0, 70), bytes = n * t.bytes;
    const double half = std::ldexp(1.0, 8 * t.bytes - 1);
    std::vector<uint8_t> raw(bytes), back(bytes + 1, 0x5a), want(bytes);
    for (uint8_t &b : raw) b = in.ConsumeIntegral<uint8_t>();
    std::vector<float> f(n + 1, 7.0f);
    fixed_decode(raw.data(), n, t, f.data());
    for (std::size_t i = 0; i < n; i++) {
        float v = float(double(stored(&raw[i * t.bytes], t)));  // exact, then rounded once
        if (t.is_unsigned) v = v - float(half);
        v = v * float(1.0 / half);
        check(kxfuzz::same_bits(&f[i], &v, sizeof v), "decoded value differs");
    }
    check(f[n] == 7.0f, "decoded past the end");
    if (t.bytes < 4) {
        check(fixed_encode(f.data(), n, t, back.data()) == 0, "a decoded value saturated");
        check(std::equal(raw.begin(), raw.end(), back.begin()), "stored values changed");
    }
    kxfuzz::fill(in, f.data(), n);
    std::size_t saturated = 0;
    for (std::size_t i = 0; i < n; i++) {
        // Scaled in float32 up to 16 bits, in float64 for 32; rounded half to even.
        const double w = t.bytes == 4 ? std::nearbyint(double(f[i]) * half)
                                      : double(std::nearbyint(f[i] * float(half)));
        double c = w > half - 1 ? half - 1 : w < -half ? -half : w;
        if (c != c) c = -half;
        saturated += c != w;
        const uint64_t u = uint64_t(int64_t(c + (t.is_unsigned ? half : 0.0)));
        for (int b = 0; b < t.bytes; b++)
            want[i * t.bytes + (t.swapped ? t.bytes - 1 - b : b)] = uint8_t(u >> (8 * b));
    }
    check(fixed_encode(f.data(), n, t, back.data()) == saturated, "saturated count differs");
    check(std::equal(want.begin(), want.end(), back.begin()), "encoded value differs");
    check(back[bytes] == 0x5a, "encoded past the end");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    switch (in.ConsumeIntegralInRange(0, 2)) {
    case 0: rows(in); break;
    case 1: powers(in); break;
    default: fixed(in); break;
    }
    return 0;
}
