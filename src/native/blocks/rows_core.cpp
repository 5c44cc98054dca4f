// Rows of numbers as text (rows_core.h), through std::to_chars, which is
// defined to give printf's text in the "C" locale.
#include "blocks/rows_core.h"

#include <charconv>
#include <cmath>
#include <cstring>

std::size_t rows_value_bound(char kind, bool narrow) noexcept {
    // Wide: "-" + 309 integer digits + "." + 9 decimals.  Narrow: 16 integer
    // digits, or "-1.23456789e-308"; plus the separator.
    if (kind == ROW_GENERAL) return 19;
    if (!narrow) return 322;
    return kind == ROW_FIXED ? 29 : 19;
}

std::size_t rows_format(const double *table, std::size_t rows, std::size_t cols,
                        const char *kinds, char *out, char *end) noexcept {
    char *p = out;
    for (std::size_t r = 0; r < rows; r++) {
        for (std::size_t c = 0; c < cols; c++) {
            const double v = table[r * cols + c];
            std::to_chars_result res{p, std::errc()};
            if (std::isnan(v)) {
                if (end - p < 3) return 0;
                std::memcpy(p, "nan", 3);
                res.ptr = p + 3;
            } else if (kinds[c] == ROW_INT && std::fabs(v) < ROW_NARROW_LIMIT) {
                res = std::to_chars(p, end, static_cast<long long>(v));
            } else if (kinds[c] == ROW_INT) {
                // Every double this large is an integer: its exact digits.
                res = std::to_chars(p, end, v, std::chars_format::fixed, 0);
            } else {
                const auto fmt = kinds[c] == ROW_FIXED ? std::chars_format::fixed
                                                       : std::chars_format::general;
                res = std::to_chars(p, end, v, fmt, 9);
            }
            if (res.ec != std::errc() || res.ptr == end) return 0;
            p = res.ptr;
            *p++ = c + 1 < cols ? ',' : '\n';
        }
    }
    return std::size_t(p - out);
}
