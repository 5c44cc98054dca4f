// libFuzzer target: the block loop's text and statistics helpers.
//
// rows_format: tables of drawn doubles (specials, arbitrary bits, plain
// values) and column kinds, written into a buffer of exactly the bound the
// binding computes (AddressSanitizer catches a write beyond it), must give
// what C's printf gives value by value ("%.9g", "%.9f", "%lld" below 1e15
// and "%.0f" beyond; every NaN "nan").
// frame_powers: drawn frames against the scalar definition (16 running sums,
// the fixed tree, 1/frame), NaN payloads aside (fuzz_input.h), and nothing
// written past the last frame.
#include <string>
#include <vector>

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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    if (in.ConsumeBool()) rows(in);
    else powers(in);
    return 0;
}
