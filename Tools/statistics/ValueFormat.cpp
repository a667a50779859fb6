// The report notations. Every piece of text is formatted into a fixed buffer
// on the stack and then inserted into the caller's stream, so that formatting
// never allocates (the reports describe the engines; they must not draw on
// them) and a long label or number is cut instead of overrunning anything.

#include "statistics/ValueFormat.h"

#include <cstdio>
#include <ostream>

namespace LmAlloc {

namespace {

constexpr int kGroupedArea = 32; // wide enough for "-9,223,372,036,854,775,808"
constexpr std::size_t kWholeBuffer = 64;
constexpr std::size_t kLineBuffer = 256;

constexpr const char* kUnits[] = {"Ko", "Mo", "Go", "To"};

const char* TextOrEmpty(const char* text) {
    return text != nullptr ? text : "";
}

// The low 32 bits of a count, as the 32-bit fields of the lines print them
// (modular since C++20).
int Low32(std::uint64_t value) {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(value));
}

// Writes the grouped text of `magnitude` right-aligned into area[0, kGroupedArea)
// and returns the index of its first character. Groups go right to left; within
// the highest group leading zeros are left blank, the units digit always
// written (so 0 reads "0").
int GroupRightAligned(char (&area)[kGroupedArea + 1], std::uint64_t magnitude) {
    int end = kGroupedArea;
    for (;;) {
        const std::uint64_t before = magnitude;
        const unsigned group = static_cast<unsigned>(before % 1000);
        magnitude = before / 1000;
        const bool higherGroupFollows = before > 999;
        area[end - 1] = static_cast<char>('0' + group % 10);
        if (higherGroupFollows || group >= 10) {
            area[end - 2] = static_cast<char>('0' + group / 10 % 10);
        }
        if (higherGroupFollows || group >= 100) {
            area[end - 3] = static_cast<char>('0' + group / 100);
        }
        if (!higherGroupFollows) {
            break;
        }
        area[end - 4] = ',';
        end -= 4;
    }
    int first = end - 3;
    while (area[first] == ' ') {
        ++first;
    }
    return first;
}

} // namespace

void FormatGrouped(std::ostream& os, std::int64_t value, int width) {
    char area[kGroupedArea + 1];
    for (char& c : area) {
        c = ' ';
    }
    area[kGroupedArea] = '\0';

    // The magnitude in unsigned arithmetic, so that the largest negative value
    // has one too.
    const bool negative = value < 0;
    const std::uint64_t magnitude = negative ? std::uint64_t{0} - static_cast<std::uint64_t>(value)
                                             : static_cast<std::uint64_t>(value);
    int first = GroupRightAligned(area, magnitude);
    if (negative) {
        area[--first] = '-';
    }

    if (width <= 0) {
        os << (area + first);
        return;
    }
    if (width > kGroupedArea) {
        width = kGroupedArea;
    }
    os << (area + kGroupedArea - width);
}

void FormatByteSize(std::ostream& os, std::int64_t bytes) {
    char text[kLineBuffer];
    if (bytes < 10240) {
        std::snprintf(text, sizeof text, "%7.0f b ", static_cast<double>(bytes));
        os << text;
        return;
    }
    // Each unit from ten thousand of the next smaller one. The value is shifted
    // before the division by 1024, so the decimals of Mo, Go and To stand for
    // whole Ko, Mo and Go.
    std::int64_t value = bytes;
    int unit = 0;
    if (bytes < 10240000) {
        unit = 0;
    } else if ((bytes >> 24) <= 624) {
        unit = 1;
        value = bytes >> 10;
    } else if ((bytes >> 34) <= 624) {
        unit = 2;
        value = bytes >> 20;
    } else {
        unit = 3;
        value = bytes >> 30;
    }
    std::snprintf(text, sizeof text, "%7.2f %s", static_cast<double>(value) * 0.0009765625,
                  kUnits[unit]);
    os << text;
}

void FormatWhole(std::ostream& os, std::int64_t value) {
    char text[kWholeBuffer];
    std::snprintf(text, sizeof text, "%12.0f", static_cast<double>(value));
    os << text;
}

void WriteSecondsLine(std::ostream& os, const char* label, std::uint64_t ms) {
    char text[kLineBuffer];
    std::snprintf(text, sizeof text, "%-25s\t|%5i.%03i sec", TextOrEmpty(label), Low32(ms / 1000),
                  Low32(ms % 1000));
    os << text << std::endl;
}

void WriteKoLine(std::ostream& os, const char* label, std::uint64_t bytes) {
    char text[kLineBuffer];
    if (bytes > 1023999) {
        // Thousands of kilobytes, a blank, then the kilobytes below a thousand.
        std::snprintf(text, sizeof text, "%-25s\t|%5i %03i Ko|%13i", TextOrEmpty(label),
                      Low32(bytes / 1024000), Low32((bytes >> 10) % 1000), Low32(bytes));
    } else {
        std::snprintf(text, sizeof text, "%-25s\t|%9i Ko|%13i", TextOrEmpty(label),
                      Low32(bytes >> 10), Low32(bytes));
    }
    os << text << std::endl;
}

void WritePercentLine(std::ostream& os, const char* label, double percent) {
    char text[kLineBuffer];
    std::snprintf(text, sizeof text, "%-25s\t|%9.2f %%", TextOrEmpty(label), percent);
    os << text << std::endl;
}

void WriteAttribute(std::ostream& os, const char* name, const char* value) {
    os << ' ' << TextOrEmpty(name) << "=\"" << (value != nullptr ? value : "_null") << '"';
}

void WriteAttribute(std::ostream& os, const char* name, const void* value) {
    os << ' ' << TextOrEmpty(name) << "=\"" << value << '"';
}

void WriteAttribute(std::ostream& os, const char* name, std::int64_t value) {
    os << ' ' << TextOrEmpty(name) << "=\"";
    FormatGrouped(os, value);
    os << '"';
}

} // namespace LmAlloc
