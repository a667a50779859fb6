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

// Without a width a count is grouped by threes with no padding at all.
TEST(FormatGrouped, WithoutWidthGroupsByThreesUnpadded) {
    EXPECT_EQ(Grouped(0), "0");
    EXPECT_EQ(Grouped(7), "7");
    EXPECT_EQ(Grouped(10), "10");
    EXPECT_EQ(Grouped(100), "100");
    EXPECT_EQ(Grouped(999), "999");
    EXPECT_EQ(Grouped(1000), "1,000");
    EXPECT_EQ(Grouped(1001), "1,001");
    EXPECT_EQ(Grouped(12345), "12,345");
    EXPECT_EQ(Grouped(999999), "999,999");
    EXPECT_EQ(Grouped(1000000), "1,000,000");
    EXPECT_EQ(Grouped(1234567), "1,234,567");
    EXPECT_EQ(Grouped(kMax), "9,223,372,036,854,775,807");
}

// Zero digits inside lower groups are digits, never blanks.
TEST(FormatGrouped, InnerGroupsKeepTheirZeros) {
    EXPECT_EQ(Grouped(1000001), "1,000,001");
    EXPECT_EQ(Grouped(10010), "10,010");
    EXPECT_EQ(Grouped(100000000), "100,000,000");
}

// A negative count is a minus sign before its grouped magnitude.
TEST(FormatGrouped, NegativeCountsCarryALeadingMinus) {
    EXPECT_EQ(Grouped(-1), "-1");
    EXPECT_EQ(Grouped(-999), "-999");
    EXPECT_EQ(Grouped(-1000), "-1,000");
    EXPECT_EQ(Grouped(-1234567), "-1,234,567");
    // |INT64_MIN| = 2^63 = 9,223,372,036,854,775,808 has no int64 of its own.
    EXPECT_EQ(Grouped(kMin), "-9,223,372,036,854,775,808");
}

// A width right-aligns the grouped count and keeps only its last characters.
TEST(FormatGrouped, WidthRightAlignsOrCutsFromTheLeft) {
    // "1,234,567" is 9 characters: 20 - 9 = 11 blanks.
    EXPECT_EQ(Grouped(1234567, 20), Blanks(11) + "1,234,567");
    EXPECT_EQ(Grouped(1234567, 9), "1,234,567");
    EXPECT_EQ(Grouped(1234567, 6), "34,567");
    EXPECT_EQ(Grouped(1234567, 1), "7");
    EXPECT_EQ(Grouped(0, 3), "  0");
    EXPECT_EQ(Grouped(1234567, 32), Blanks(23) + "1,234,567");
    // 10^15 = "1,000,000,000,000,000" is 21 characters; 20 keep the tail.
    EXPECT_EQ(Grouped(1000000000000000, 20), ",000,000,000,000,000");
}

// The sign takes a place in the width like a digit does.
TEST(FormatGrouped, NegativeCountWithWidth) {
    EXPECT_EQ(Grouped(-1234567, 12), "  -1,234,567");
    EXPECT_EQ(Grouped(-1234567, 10), "-1,234,567");
    EXPECT_EQ(Grouped(-1234567, 9), "1,234,567");
}

// Widths outside 1 to 32: above is the whole work area, below is no width.
TEST(FormatGrouped, OutOfRangeWidthsAreBounded) {
    EXPECT_EQ(Grouped(1234567, 33), Blanks(23) + "1,234,567");
    EXPECT_EQ(Grouped(1234567, 1000), Blanks(23) + "1,234,567");
    EXPECT_EQ(Grouped(1234567, -4), "1,234,567");
}

// Below 10240 bytes a byte count is written in bytes, ten characters wide.
TEST(FormatByteSize, SmallCountsAreBytes) {
    EXPECT_EQ(ByteSize(0), Blanks(6) + "0 b ");
    EXPECT_EQ(ByteSize(1023), "   1023 b ");
    EXPECT_EQ(ByteSize(10239), "  10239 b ");
    EXPECT_EQ(ByteSize(-5), "     -5 b ");
}

// Each unit starts at ten thousand of the one below (Ko at 10 Ko).
TEST(FormatByteSize, UnitBoundaries) {
    EXPECT_EQ(ByteSize(10240), "  10.00 Ko");           // 10240 / 1024 = 10
    EXPECT_EQ(ByteSize(123456), " 120.56 Ko");          // 123456 / 1024 = 120.5625
    EXPECT_EQ(ByteSize(1048576), "1024.00 Ko");         // one Mo is still in Ko
    EXPECT_EQ(ByteSize(10239999), "10000.00 Ko");       // 9999.999 rounds up, 8 characters
    EXPECT_EQ(ByteSize(10240000), "   9.77 Mo");        // 10240000 >> 10 = 10000; / 1024 = 9.7656
    EXPECT_EQ(ByteSize(10485759999), "10000.00 Mo");    // >> 10 = 10239999; / 1024 = 9999.999
    EXPECT_EQ(ByteSize(10485760000), "   9.77 Go");     // >> 20 = 10000
    EXPECT_EQ(ByteSize(10737418239999), "10000.00 Go"); // >> 20 = 10239999
    EXPECT_EQ(ByteSize(10737418240000), "   9.77 To");  // >> 30 = 10000
}

// Mo, Go and To are shifted before dividing: their decimals count whole Ko,
// Mo and Go, so bytes below a Ko do not move a Mo figure.
TEST(FormatByteSize, LargerUnitsDropTheRemainderBeforeDividing) {
    // 20 Mo = 20971520; plus 1023 bytes still shifts to 20480 Ko = 20.00 Mo.
    EXPECT_EQ(ByteSize(20971520 + 1023), "  20.00 Mo");
    // The largest count: >> 30 = 8589934591 Go; / 1024 = 8388607.999.
    EXPECT_EQ(ByteSize(kMax), "8388608.00 To");
}

// FormatWhole is a twelve-column whole number.
TEST(FormatWhole, TwelveColumnWholeNumber) {
    EXPECT_EQ(Whole(1234567), Blanks(5) + "1234567");
    EXPECT_EQ(Whole(0), Blanks(11) + "0");
    EXPECT_EQ(Whole(-42), Blanks(9) + "-42");
    EXPECT_EQ(Whole(123456789012), "123456789012");
    EXPECT_EQ(Whole(1234567890123), "1234567890123");
}

// The value goes through a double: beyond 2^53 it is the nearest double.
TEST(FormatWhole, LargeValuesAreRoundedThroughDouble) {
    // 2^53 + 1 = 9007199254740993 has no double; 2^53 is the nearest.
    EXPECT_EQ(Whole(9007199254740993), "9007199254740992");
    // INT64_MAX rounds to 2^63.
    EXPECT_EQ(Whole(kMax), "9223372036854775808");
}

// Seconds line: label in 25 columns, tab, bar, seconds and three-digit ms.
TEST(WriteSecondsLine, SecondsAndMilliseconds) {
    std::ostringstream os;
    WriteSecondsLine(os, "Time Total", 12345);
    // "Time Total" is 10 characters: 15 blanks to 25; "%5i" of 12 is 3 blanks.
    EXPECT_EQ(os.str(), "Time Total" + Blanks(15) + "\t|" + Blanks(3) + "12.345 sec\n");
}

// Milliseconds below a hundred keep their leading zeros.
TEST(WriteSecondsLine, MillisecondsArePaddedWithZeros) {
    std::ostringstream os;
    WriteSecondsLine(os, "T", 5);
    WriteSecondsLine(os, "T", 0);
    WriteSecondsLine(os, "T", 60070);
    const std::string label = "T" + Blanks(24) + "\t|";
    EXPECT_EQ(os.str(),
              label + "    0.005 sec\n" + label + "    0.000 sec\n" + label + "   60.070 sec\n");
}

// A label longer than the column is written whole; one past the line buffer
// is cut to 255 characters.
TEST(WriteSecondsLine, LongLabelsOverflowTheColumnThenAreCut) {
    std::ostringstream wide;
    const std::string thirty(30, 'x');
    WriteSecondsLine(wide, thirty.c_str(), 1000);
    EXPECT_EQ(wide.str(), thirty + "\t|    1.000 sec\n");

    std::ostringstream cut;
    const std::string huge(300, 'y');
    WriteSecondsLine(cut, huge.c_str(), 1000);
    EXPECT_EQ(cut.str(), std::string(255, 'y') + "\n");
}

// A null label is an empty one: 25 blanks.
TEST(WriteSecondsLine, NullLabelIsEmpty) {
    std::ostringstream os;
    WriteSecondsLine(os, nullptr, 1500);
    EXPECT_EQ(os.str(), Blanks(25) + "\t|    1.500 sec\n");
}

// Below 1,024,000 bytes: whole Ko in nine columns, then the bytes.
TEST(WriteKoLine, SmallFiguresInWholeKilobytes) {
    EXPECT_EQ(KoLine(0), kDeltaVm + "        0 Ko|            0\n");
    EXPECT_EQ(KoLine(1023), kDeltaVm + "        0 Ko|         1023\n");
    EXPECT_EQ(KoLine(1024), kDeltaVm + "        1 Ko|         1024\n");
    // 1023999 >> 10 = 999.
    EXPECT_EQ(KoLine(1023999), kDeltaVm + "      999 Ko|      1023999\n");
}

// From 1,024,000 bytes the Ko figure gets a blank as thousands separator.
TEST(WriteKoLine, LargeFiguresSplitThousandsOfKilobytes) {
    // 1024000 / 1024000 = 1; (1024000 >> 10) % 1000 = 1000 % 1000 = 0.
    EXPECT_EQ(KoLine(1024000), kDeltaVm + "    1 000 Ko|      1024000\n");
    // 1234567890 / 1024000 = 1205; 1234567890 >> 10 = 1205632 -> 632.
    EXPECT_EQ(KoLine(1234567890), kDeltaVm + " 1205 632 Ko|   1234567890\n");
}

// Every field is 32-bit: the byte column shows the low 32 bits.
TEST(WriteKoLine, ByteColumnIsTheLow32Bits) {
    // 4294967301 = 2^32 + 5; / 1024000 = 4194; >> 10 = 4194304 -> 304.
    EXPECT_EQ(KoLine(4294967301), kDeltaVm + " 4194 304 Ko|            5\n");
    // 2^31 = 2147483648 reads as INT32_MIN; / 1024000 = 2097; >> 10 = 2097152 -> 152.
    EXPECT_EQ(KoLine(2147483648), kDeltaVm + " 2097 152 Ko|  -2147483648\n");
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

// Attribute values: texts as given or "_null", counts grouped, pointers in the
// stream's own notation.
TEST(WriteAttribute, TextCountAndPointerValues) {
    std::ostringstream os;
    WriteAttribute(os, "Name", "DEBUG");
    WriteAttribute(os, "Name", static_cast<const char*>(nullptr));
    WriteAttribute(os, "Count", std::int64_t{12345});
    WriteAttribute(os, "Count", std::int64_t{-7});
    EXPECT_EQ(os.str(), " Name=\"DEBUG\" Name=\"_null\" Count=\"12,345\" Count=\"-7\"");

    int object = 0;
    std::ostringstream expected;
    expected << " Address=\"" << static_cast<const void*>(&object) << "\"";
    std::ostringstream actual;
    WriteAttribute(actual, "Address", static_cast<const void*>(&object));
    EXPECT_EQ(actual.str(), expected.str());
}

// Markup characters in a text value are not escaped.
TEST(WriteAttribute, TextIsNotEscaped) {
    std::ostringstream os;
    WriteAttribute(os, "Name", "a\"<&b");
    EXPECT_EQ(os.str(), " Name=\"a\"<&b\"");
}
