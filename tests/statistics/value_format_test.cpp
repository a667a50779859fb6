// The report notations, at every unit and width boundary, with exact strings.

#include "statistics/ValueFormat.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <sstream>
#include <streambuf>
#include <string>

namespace {

using namespace LmAlloc;

constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();

std::string Blanks(std::size_t n) {
    return std::string(n, ' ');
}

std::string Grouped(std::int64_t value, int width = 0) {
    std::ostringstream os;
    FormatGrouped(os, value, width);
    return os.str();
}

std::string ByteSize(std::int64_t bytes) {
    std::ostringstream os;
    FormatByteSize(os, bytes);
    return os.str();
}

std::string Whole(std::int64_t value) {
    std::ostringstream os;
    FormatWhole(os, value);
    return os.str();
}

std::string KoLine(std::uint64_t bytes) {
    std::ostringstream os;
    WriteKoLine(os, "Delta VM", bytes);
    return os.str();
}

// "Delta VM" left-aligned in 25 characters, then the tab and the bar.
const std::string kDeltaVm = "Delta VM" + Blanks(17) + "\t|";

// Records what reaches it and how often the stream was flushed.
class CountingBuffer : public std::streambuf {
public:
    std::string text;
    int syncs = 0;

protected:
    int_type overflow(int_type c) override {
        if (c != traits_type::eof()) {
            text.push_back(static_cast<char>(c));
        }
        return c;
    }
    int sync() override {
        ++syncs;
        return 0;
    }
};

} // namespace

// Grouping by threes: no padding without a width; inner zeros are digits; a
// minus sign before the magnitude takes a place like a digit; a width
// right-aligns or keeps the last characters; widths above 32 are the whole
// work area and widths below 1 are no width.
TEST(FormatGrouped, GroupsPadsAndCutsByWidth) {
    struct Row {
        std::int64_t value;
        int width;
        std::string expected;
    };
    const Row rows[] = {
        {0, 0, "0"},
        {7, 0, "7"},
        {10, 0, "10"},
        {100, 0, "100"},
        {999, 0, "999"},
        {1000, 0, "1,000"},
        {1001, 0, "1,001"},
        {12345, 0, "12,345"},
        {999999, 0, "999,999"},
        {1000000, 0, "1,000,000"},
        {1234567, 0, "1,234,567"},
        {kMax, 0, "9,223,372,036,854,775,807"},
        {1000001, 0, "1,000,001"},
        {10010, 0, "10,010"},
        {100000000, 0, "100,000,000"},
        {-1, 0, "-1"},
        {-999, 0, "-999"},
        {-1000, 0, "-1,000"},
        {-1234567, 0, "-1,234,567"},
        // |INT64_MIN| = 2^63 = 9,223,372,036,854,775,808 has no int64 of its own.
        {kMin, 0, "-9,223,372,036,854,775,808"},
        // "1,234,567" is 9 characters: 20 - 9 = 11 blanks.
        {1234567, 20, Blanks(11) + "1,234,567"},
        {1234567, 9, "1,234,567"},
        {1234567, 6, "34,567"},
        {1234567, 1, "7"},
        {0, 3, "  0"},
        {1234567, 32, Blanks(23) + "1,234,567"},
        // 10^15 = "1,000,000,000,000,000" is 21 characters; 20 keep the tail.
        {1000000000000000, 20, ",000,000,000,000,000"},
        {-1234567, 12, "  -1,234,567"},
        {-1234567, 10, "-1,234,567"},
        {-1234567, 9, "1,234,567"},
        {1234567, 33, Blanks(23) + "1,234,567"},
        {1234567, 1000, Blanks(23) + "1,234,567"},
        {1234567, -4, "1,234,567"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::to_string(row.value) + " width " + std::to_string(row.width));
        EXPECT_EQ(Grouped(row.value, row.width), row.expected);
    }
}

// Ten-character sizes: bytes below 10240, then each unit from ten thousand of
// the one below. Mo, Go and To are shifted before dividing, so their decimals
// count whole Ko, Mo and Go.
TEST(FormatByteSize, UnitBoundariesAndRounding) {
    struct Row {
        std::int64_t bytes;
        std::string expected;
    };
    const Row rows[] = {
        {0, Blanks(6) + "0 b "},
        {1023, "   1023 b "},
        {10239, "  10239 b "},
        {-5, "     -5 b "},
        {10240, "  10.00 Ko"},           // 10240 / 1024 = 10
        {123456, " 120.56 Ko"},          // 123456 / 1024 = 120.5625
        {1048576, "1024.00 Ko"},         // one Mo is still in Ko
        {10239999, "10000.00 Ko"},       // 9999.999 rounds up, 8 characters
        {10240000, "   9.77 Mo"},        // >> 10 = 10000; / 1024 = 9.7656
        {10485759999, "10000.00 Mo"},    // >> 10 = 10239999; / 1024 = 9999.999
        {10485760000, "   9.77 Go"},     // >> 20 = 10000
        {10737418239999, "10000.00 Go"}, // >> 20 = 10239999
        {10737418240000, "   9.77 To"},  // >> 30 = 10000
        // 20 Mo = 20971520; plus 1023 bytes still shifts to 20480 Ko = 20.00 Mo.
        {20971520 + 1023, "  20.00 Mo"},
        // >> 30 = 8589934591 Go; / 1024 = 8388607.999.
        {kMax, "8388608.00 To"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.bytes);
        EXPECT_EQ(ByteSize(row.bytes), row.expected);
    }
}

// FormatWhole is a twelve-column whole number that goes through a double:
// beyond 2^53 it is the nearest double.
TEST(FormatWhole, TwelveColumnsRoundedThroughDouble) {
    EXPECT_EQ(Whole(1234567), Blanks(5) + "1234567");
    EXPECT_EQ(Whole(0), Blanks(11) + "0");
    EXPECT_EQ(Whole(-42), Blanks(9) + "-42");
    EXPECT_EQ(Whole(123456789012), "123456789012");
    EXPECT_EQ(Whole(1234567890123), "1234567890123");
    // 2^53 + 1 = 9007199254740993 has no double; 2^53 is the nearest.
    EXPECT_EQ(Whole(9007199254740993), "9007199254740992");
    EXPECT_EQ(Whole(kMax), "9223372036854775808"); // INT64_MAX rounds to 2^63
}

// Seconds line: label in 25 columns (a null one is empty, a longer one is
// written whole), tab, bar, "%5i" seconds and three-digit zero-padded ms; a
// line past the buffer is cut to 255 characters.
TEST(WriteSecondsLine, LabelSecondsAndMilliseconds) {
    struct Row {
        const char* what;
        std::string label;
        bool nullLabel;
        std::uint64_t ms;
        std::string expected;
    };
    const std::string t = "T" + Blanks(24) + "\t|";
    const Row rows[] = {
        // "Time Total" is 10 characters: 15 blanks; "%5i" of 12 is 3 blanks.
        {"seconds", "Time Total", false, 12345, "Time Total" + Blanks(15) + "\t|   12.345 sec\n"},
        {"5 ms", "T", false, 5, t + "    0.005 sec\n"},
        {"0 ms", "T", false, 0, t + "    0.000 sec\n"},
        {"70 ms", "T", false, 60070, t + "   60.070 sec\n"},
        {"null label", "", true, 1500, Blanks(25) + "\t|    1.500 sec\n"},
        {"wide label", std::string(30, 'x'), false, 1000,
         std::string(30, 'x') + "\t|    1.000 sec\n"},
        {"cut line", std::string(300, 'y'), false, 1000, std::string(255, 'y') + "\n"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        std::ostringstream os;
        WriteSecondsLine(os, row.nullLabel ? nullptr : row.label.c_str(), row.ms);
        EXPECT_EQ(os.str(), row.expected);
    }
}

// Ko line: below 1,024,000 bytes whole Ko in nine columns, from there a blank
// as thousands separator; every field is 32-bit, so the byte column shows the
// low 32 bits.
TEST(WriteKoLine, KilobytesThenLow32BitBytes) {
    struct Row {
        std::uint64_t bytes;
        std::string tail;
    };
    const Row rows[] = {
        {0, "        0 Ko|            0\n"},
        {1023, "        0 Ko|         1023\n"},
        {1024, "        1 Ko|         1024\n"},
        {1023999, "      999 Ko|      1023999\n"}, // >> 10 = 999
        // 1024000 / 1024000 = 1; (1024000 >> 10) % 1000 = 1000 % 1000 = 0.
        {1024000, "    1 000 Ko|      1024000\n"},
        // 1234567890 / 1024000 = 1205; 1234567890 >> 10 = 1205632 -> 632.
        {1234567890, " 1205 632 Ko|   1234567890\n"},
        // 4294967301 = 2^32 + 5; / 1024000 = 4194; >> 10 = 4194304 -> 304.
        {4294967301, " 4194 304 Ko|            5\n"},
        // 2^31 reads as INT32_MIN; / 1024000 = 2097; >> 10 = 2097152 -> 152.
        {2147483648, " 2097 152 Ko|  -2147483648\n"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.bytes);
        EXPECT_EQ(KoLine(row.bytes), kDeltaVm + row.tail);
    }
}

// Percent line: two decimals in nine columns, a blank and "%".
TEST(WritePercentLine, TwoDecimalsInNineColumns) {
    std::ostringstream os;
    WritePercentLine(os, " Rating VM", 12.3456);
    WritePercentLine(os, " Rating VM", 100);
    const std::string label = " Rating VM" + Blanks(15) + "\t|";
    EXPECT_EQ(os.str(), label + "    12.35 %\n" + label + "   100.00 %\n");
}

// Every labelled line ends with a newline and a flush; the bare formatters
// neither end the line nor flush.
TEST(LabelledLines, EndWithNewlineAndFlush) {
    CountingBuffer buffer;
    std::ostream os(&buffer);
    FormatGrouped(os, 1);
    FormatByteSize(os, 1);
    FormatWhole(os, 1);
    WriteAttribute(os, "n", std::int64_t{1});
    EXPECT_EQ(buffer.syncs, 0);
    EXPECT_EQ(buffer.text.find('\n'), std::string::npos);

    WriteSecondsLine(os, "a", 1);
    EXPECT_EQ(buffer.syncs, 1);
    WriteKoLine(os, "b", 1);
    EXPECT_EQ(buffer.syncs, 2);
    WritePercentLine(os, "c", 1);
    EXPECT_EQ(buffer.syncs, 3);
    EXPECT_EQ(buffer.text.back(), '\n');
}

// Attribute values: texts as given (markup unescaped) or "_null", counts
// grouped, pointers in the stream's own notation.
TEST(WriteAttribute, TextCountAndPointerValues) {
    std::ostringstream os;
    WriteAttribute(os, "Name", "DEBUG");
    WriteAttribute(os, "Name", static_cast<const char*>(nullptr));
    WriteAttribute(os, "Name", "a\"<&b");
    WriteAttribute(os, "Count", std::int64_t{12345});
    WriteAttribute(os, "Count", std::int64_t{-7});
    EXPECT_EQ(os.str(),
              " Name=\"DEBUG\" Name=\"_null\" Name=\"a\"<&b\" Count=\"12,345\" Count=\"-7\"");

    int object = 0;
    std::ostringstream expected;
    expected << " Address=\"" << static_cast<const void*>(&object) << "\"";
    std::ostringstream actual;
    WriteAttribute(actual, "Address", static_cast<const void*>(&object));
    EXPECT_EQ(actual.str(), expected.str());
}
