// Rows of numbers as text, for the command's CSV files.
#pragma once

#include <cstddef>

// How one column is written: an integer ("%d" of the value truncated), fixed
// with 9 decimals ("%.9f") or 9 significant digits ("%.9g"); the text is
// what C's printf (and Python's % operator) gives, except that every NaN is
// "nan".
enum RowKind : char { ROW_INT = 'd', ROW_FIXED = 'f', ROW_GENERAL = 'g' };

inline constexpr double ROW_NARROW_LIMIT = 1e15;

// The most characters one value of a kind takes, its separator included:
// narrow when every value of its column is below ROW_NARROW_LIMIT in
// magnitude (or NaN).
std::size_t rows_value_bound(char kind, bool narrow) noexcept;

// Writes the table (rows by cols, row-major) to [out, end), values separated
// by commas and rows ended by "\n": the length written, or 0 when it did not
// fit.
std::size_t rows_format(const double *table, std::size_t rows, std::size_t cols,
                        const char *kinds, char *out, char *end) noexcept;
