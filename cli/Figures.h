// Figures as the tool prints them, and arithmetic on them that cannot
// overflow: a snapshot may hold any 64-bit figure.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace dideverazez::report {

// Digits grouped by threes with commas: "1,234,567", "-8".
std::string Grouped(std::int64_t value);
// A change: "+1,024", "-8", "0".
std::string Signed(std::int64_t change);

// `to - from` and `a + b`; std::overflow_error when the result has no 64-bit
// value.
std::int64_t Difference(std::int64_t from, std::int64_t to);
std::int64_t Sum(std::int64_t a, std::int64_t b);

struct Column {
    std::string heading;
    bool left = false; // left-aligned (text) rather than right-aligned (figures)
};

// The headings, a rule under each, then one line per row (an empty row is a
// rule again); each column as wide
// as its widest cell (in characters of UTF-8), two spaces apart, and no
// spaces at the end of a line.
void WriteTable(std::ostream& out, const std::vector<Column>& columns,
                const std::vector<std::vector<std::string>>& rows);

} // namespace dideverazez::report
