// The number notations of the reports. Stateless and lock-free; each formatter
// builds its text in a bounded buffer on the stack (64 characters for
// FormatWhole, 256 for FormatByteSize and the labelled lines; longer text is
// cut) and inserts it into the stream given first; the formatters themselves
// allocate nothing.
//
// Labelled lines: the label left-aligned in 25 characters, a tab, "|", the
// values, then a newline and a flush (std::endl). A null label or attribute
// name is written as an empty one.
#pragma once

#include <cstdint>
#include <iosfwd>

namespace LmAlloc {

// The count with "," between groups of three digits (1,234,567), right-aligned
// and blank-padded to `width` (1 to 32; 0 means no width, no padding). A number
// longer than the width keeps its last `width` characters. A negative count is
// written with a leading "-" before its grouped magnitude (the largest negative
// value included); the sign counts in the width, so a too-narrow width cuts it
// off with the leading digits. A width above 32 is treated as 32, a negative
// one as no width.
void FormatGrouped(std::ostream& os, std::int64_t value, int width = 0);

// Below 10240 bytes "%7.0f b "; above, "%7.2f %s" with the unit "Ko", "Mo",
// "Go" or "To", each used from ten thousand of the next smaller unit upwards
// (from 10 Ko for "Ko"). The number part is right-aligned in seven characters
// and grows past them for values of ten thousand units or more. A negative
// count is below 10240 and takes the first form.
void FormatByteSize(std::ostream& os, std::int64_t bytes);

// The value as a double with "%12.0f".
void FormatWhole(std::ostream& os, std::int64_t value);

// "%-25s\t|%5i.%03i sec": the whole seconds and the milliseconds left over,
// then end of line.
void WriteSecondsLine(std::ostream& os, const char* label, std::uint64_t ms);

// The bytes in kilobytes and in bytes (32-bit fields), then end of line:
// "%-25s\t|%5i %03i Ko|%13i" from 1,024,000 bytes up (thousands of Ko, a
// blank, the Ko below a thousand), "%-25s\t|%9i Ko|%13i" below. Every integer
// field is 32-bit: a value beyond it is written as its low 32 bits.
void WriteKoLine(std::ostream& os, const char* label, std::uint64_t bytes);

// "%-25s\t|%9.2f %%", then end of line.
void WritePercentLine(std::ostream& os, const char* label, double percent);

// One blank, the name, "=\"", the value, "\"". A null text is written "_null";
// a pointer in the stream's pointer notation; a count as FormatGrouped with no
// width.
void WriteAttribute(std::ostream& os, const char* name, const char* value);
void WriteAttribute(std::ostream& os, const char* name, const void* value);
void WriteAttribute(std::ostream& os, const char* name, std::int64_t value);

} // namespace LmAlloc
