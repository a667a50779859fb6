// Values as the tool prints them, and arithmetic on them that cannot
// overflow: a snapshot may hold any 64-bit value.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace dideverazez::report {

// Digits grouped by threes with commas: "1,234,567", "-8".
std::string Grouped(std::int64_t value);
// A change: "+1,024", "-8", "0".
std::string Signed(std::int64_t change);

// A name or path as text, its control characters made visible so that it
// never splits or shifts a line: \t, \n, \r; \xHH for the other bytes below
// 0x20 and for 0x7f; \u0080 to \u009f for the C1 controls; and \\ for a
// backslash, so that the escaped text reads back one way only. `text` is
// UTF-8, as the reader's strings are; other characters stay as they are.
std::string Escaped(std::string_view text);
// A file's path as Escaped writes it, except that a Windows path (a drive
// letter and a colon, or \\ for a share, then a backslash) keeps its
// backslashes single: Windows allows no control character in a file name,
// so there a backslash is only ever a separator.
std::string EscapedPath(std::string_view path);

// `to - from` and `a + b`; std::overflow_error when the result has no 64-bit
// value.
std::int64_t Difference(std::int64_t from, std::int64_t to);
std::int64_t Sum(std::int64_t a, std::int64_t b);

struct Column {
    std::string heading;
    bool left = false; // left-aligned (text) rather than right-aligned (numbers)
};

// The headings, a rule under each, then one line per row (an empty row is a
// rule again); each column as wide
// as its widest cell (in characters of UTF-8), two spaces apart, and no
// spaces at the end of a line.
void WriteTable(std::ostream& out, const std::vector<Column>& columns,
                const std::vector<std::vector<std::string>>& rows);

} // namespace dideverazez::report
