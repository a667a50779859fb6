// The report notations (Tools/statistics/ValueFormat.cpp), each checked
// against a table of values and the text worked out by hand, one row a case.
// Which test owns which rule:
//  - ValueFormat.GroupedCountsAtEveryWidth: groups of three digits, the sign
//    of a negative count (the largest too), widths that pad, cut or are none.
//  - ValueFormat.ByteSizesChangeUnitAtTenThousand: "b" below 10,240 bytes,
//    then Ko, Mo, Go and To, each from ten thousand of the unit below.
//  - ValueFormat.WholeNumbersFillTwelveCharacters: FormatWhole.
//  - ValueFormat.SecondsLineSplitsTheMilliseconds, KoLineSplitsThousandsOfKo:
//    the two lines' figures, and their 32-bit fields.
//  - ValueFormat.LabelsArePaddedToTwentyFiveAndLinesCut: the label of every
//    line, null or long, the percentage, and the cut at 255 characters.
//  - ValueFormat.AttributesAreWrittenAsTheyAre: WriteAttribute's overloads.
// Whole report sections in both notations: report_streams_test.cpp.

#include "statistics/ValueFormat.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <sstream>
#include <string>

namespace {

using namespace LmAlloc;

// What `write` inserts into a new stream.
template <class Write> std::string Text(Write write) {
    std::ostringstream os;
    write(os);
    return os.str();
}

constexpr std::int64_t kMax = INT64_MAX, kMin = INT64_MIN;

TEST(ValueFormat, GroupedCountsAtEveryWidth) {
    const struct {
        int line;
        std::int64_t value;
        int width;
        const char* text;
    } rows[] = {
        // Group edges, no width.
        {__LINE__, 0, 0, "0"},
        {__LINE__, 9, 0, "9"},
        {__LINE__, 10, 0, "10"},
        {__LINE__, 99, 0, "99"},
        {__LINE__, 100, 0, "100"},
        {__LINE__, 999, 0, "999"},
        {__LINE__, 1000, 0, "1,000"},
        {__LINE__, 1001, 0, "1,001"},
        {__LINE__, 1010, 0, "1,010"}, // a lower group keeps its zeros
        {__LINE__, 12345, 0, "12,345"},
        {__LINE__, 999999, 0, "999,999"},
        {__LINE__, 1000000, 0, "1,000,000"},
        {__LINE__, 1234567890, 0, "1,234,567,890"},
        {__LINE__, kMax, 0, "9,223,372,036,854,775,807"},
        {__LINE__, -1, 0, "-1"},
        {__LINE__, -999, 0, "-999"},
        {__LINE__, -1000, 0, "-1,000"},
        {__LINE__, -123456, 0, "-123,456"},
        {__LINE__, kMin, 0, "-9,223,372,036,854,775,808"}, // its magnitude is no int64_t
        // Widths: a negative one is none; the text right-aligned, or its
        // last `width` characters, sign included; above 32 is 32.
        {__LINE__, 1234567, -1, "1,234,567"},
        {__LINE__, 1234567, 1, "7"},
        {__LINE__, 1234567, 6, "34,567"},
        {__LINE__, 1234567, 7, "234,567"},
        {__LINE__, 1234567, 9, "1,234,567"},
        {__LINE__, 1234567, 10, " 1,234,567"},
        {__LINE__, 0, 6, "     0"},
        {__LINE__, 1000, 20, "               1,000"}, // 15 blanks + 5
        {__LINE__, -5, 1, "5"},
        {__LINE__, -5, 2, "-5"},
        {__LINE__, -1000, 6, "-1,000"},
        {__LINE__, -1000, 7, " -1,000"},
        {__LINE__, kMin, 20, ",372,036,854,775,808"}, // the last 20 of 26
        {__LINE__, kMin, 26, "-9,223,372,036,854,775,808"},
        {__LINE__, kMin, 32, "      -9,223,372,036,854,775,808"}, // 6 blanks + 26
        {__LINE__, kMin, 33, "      -9,223,372,036,854,775,808"},
        {__LINE__, kMax, 26, " 9,223,372,036,854,775,807"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(Text([&](auto& os) { FormatGrouped(os, row.value, row.width); }), row.text)
            << "line " << row.line;
    }
}

TEST(ValueFormat, ByteSizesChangeUnitAtTenThousand) {
    const struct {
        int line;
        std::int64_t bytes;
        const char* text;
    } rows[] = {
        {__LINE__, 0, "      0 b "},
        {__LINE__, -5, "     -5 b "}, // negative: below 10,240
        {__LINE__, kMin, "-9223372036854775808 b "},
        {__LINE__, 10239, "  10239 b "},
        {__LINE__, 10240, "  10.00 Ko"},           // 10240 / 1024
        {__LINE__, 12345, "  12.06 Ko"},           // 12.0557
        {__LINE__, 10239999, "10000.00 Ko"},       // 9999.999: wider than seven
        {__LINE__, 10240000, "   9.77 Mo"},        // 10240000 >> 10 = 10000; / 1024 = 9.765625
        {__LINE__, 1234567890, "1177.38 Mo"},      // >> 10 = 1205632; / 1024 = 1177.375, to even
        {__LINE__, 10485759999, "10000.00 Mo"},    // >> 24 = 624; >> 10 = 10239999
        {__LINE__, 10485760000, "   9.77 Go"},     // >> 24 = 625; >> 20 = 10000
        {__LINE__, 10737418239999, "10000.00 Go"}, // >> 34 = 624; >> 20 = 10239999
        {__LINE__, 10737418240000, "   9.77 To"},  // >> 34 = 625; >> 30 = 10000
        {__LINE__, kMax, "8388608.00 To"},         // >> 30 = 2^33 - 1; / 1024 = 8388607.999
    };
    for (const auto& row : rows) {
        EXPECT_EQ(Text([&](auto& os) { FormatByteSize(os, row.bytes); }), row.text)
            << "line " << row.line;
    }
}

TEST(ValueFormat, WholeNumbersFillTwelveCharacters) {
    const struct {
        int line;
        std::int64_t value;
        const char* text;
    } rows[] = {
        {__LINE__, 0, "           0"},
        {__LINE__, -1, "          -1"},
        {__LINE__, 12345, "       12345"},
        {__LINE__, 123456789012, "123456789012"},
        {__LINE__, kMax, "9223372036854775808"}, // as a double: 2^63
        {__LINE__, kMin, "-9223372036854775808"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(Text([&](auto& os) { FormatWhole(os, row.value); }), row.text)
            << "line " << row.line;
    }
}

// The label "figures" padded to 25, then the tab and the bar before the figures.
const std::string kOpening = "figures" + std::string(18, ' ') + "\t|";

TEST(ValueFormat, SecondsLineSplitsTheMilliseconds) {
    const struct {
        int line;
        std::uint64_t ms;
        const char* figures;
    } rows[] = {
        {__LINE__, 0, "    0.000 sec"},
        {__LINE__, 7, "    0.007 sec"},
        {__LINE__, 999, "    0.999 sec"},
        {__LINE__, 1000, "    1.000 sec"},
        {__LINE__, 12345, "   12.345 sec"},
        {__LINE__, 99999999, "99999.999 sec"},
        {__LINE__, 123456789, "123456.789 sec"},
        // 32-bit seconds: 4294967301 = 2^32 + 5 reads 5; 2^31 reads -2^31;
        // 2^64 - 1 ms is 18446744073709551 s (low 32 bits 1271310319), 615 ms.
        {__LINE__, 4294967301007, "    5.007 sec"},
        {__LINE__, 2147483648000, "-2147483648.000 sec"},
        {__LINE__, UINT64_MAX, "1271310319.615 sec"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(Text([&](auto& os) { WriteSecondsLine(os, "figures", row.ms); }),
                  kOpening + row.figures + "\n")
            << "line " << row.line;
    }
}

TEST(ValueFormat, KoLineSplitsThousandsOfKo) {
    const struct {
        int line;
        std::uint64_t bytes;
        const char* figures;
    } rows[] = {
        {__LINE__, 0, "        0 Ko|            0"},
        {__LINE__, 1023, "        0 Ko|         1023"},
        {__LINE__, 1024, "        1 Ko|         1024"},
        {__LINE__, 1023999, "      999 Ko|      1023999"},    // >> 10 = 999
        {__LINE__, 1024000, "    1 000 Ko|      1024000"},    // 1000 Ko: 1 thousand, 0 left
        {__LINE__, 1234567890, " 1205 632 Ko|   1234567890"}, // / 1024000 = 1205; >> 10 = 1205632
        // 32-bit fields: 2^32 + 5 bytes (>> 10 = 2^22 = 4194304) read 5;
        // 2^64 - 1: / 1024000 = 18014398509481 (low 32 bits 1305670057),
        // >> 10 = 2^54 - 1 (983 left over a thousand), and -1.
        {__LINE__, 4294967301, " 4194 304 Ko|            5"},
        {__LINE__, UINT64_MAX, "1305670057 983 Ko|           -1"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(Text([&](auto& os) { WriteKoLine(os, "figures", row.bytes); }),
                  kOpening + row.figures + "\n")
            << "line " << row.line;
    }
}

// A null or empty label is 25 blanks, one of 25 characters is not padded, and
// a line longer than 255 characters is cut there, whatever makes it long.
TEST(ValueFormat, LabelsArePaddedToTwentyFiveAndLinesCut) {
    const std::string blank(25, ' '), full = "a label of 25 characters.";
    const std::string tooLong(300, 'L');
    const struct {
        int line;
        const char* label;
        std::string opening;
    } rows[] = {
        {__LINE__, nullptr, blank + "\t|"},
        {__LINE__, "", blank + "\t|"},
        {__LINE__, "percent", "percent" + std::string(18, ' ') + "\t|"},
        {__LINE__, full.c_str(), full + "\t|"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(Text([&](auto& os) { WriteSecondsLine(os, row.label, 12345); }),
                  row.opening + "   12.345 sec\n")
            << "line " << row.line;
        EXPECT_EQ(Text([&](auto& os) { WriteKoLine(os, row.label, 1234567890); }),
                  row.opening + " 1205 632 Ko|   1234567890\n")
            << "line " << row.line;
        EXPECT_EQ(Text([&](auto& os) { WritePercentLine(os, row.label, 12.3456); }),
                  row.opening + "    12.35 %\n")
            << "line " << row.line;
    }
    EXPECT_EQ(Text([](auto& os) { WritePercentLine(os, "", -1.5); }), blank + "\t|    -1.50 %\n");
    const std::string cut = std::string(255, 'L') + "\n";
    EXPECT_EQ(Text([&](auto& os) { WriteSecondsLine(os, tooLong.c_str(), 12345); }), cut);
    EXPECT_EQ(Text([&](auto& os) { WriteKoLine(os, tooLong.c_str(), 1234567890); }), cut);
    EXPECT_EQ(Text([&](auto& os) { WritePercentLine(os, tooLong.c_str(), 12.3456); }), cut);
    // 1e300 has 301 digits before its point: the line stops in them.
    const std::string percent = Text([](auto& os) { WritePercentLine(os, "percent", 1e300); });
    EXPECT_EQ(percent.size(), 256u) << percent;
    EXPECT_EQ(percent.rfind("percent" + std::string(18, ' ') + "\t|1000000000", 0), 0u);
    EXPECT_EQ(percent.find_first_not_of("0123456789", 27), 255u) << percent;
}

// One blank, the name, '=' and the value in quotes: a text as it is, a null
// text "_null", a null name empty, a pointer in the stream's notation, a
// count grouped.
TEST(ValueFormat, AttributesAreWrittenAsTheyAre) {
    const void* pointer = &kOpening;
    std::ostringstream notation;
    notation << pointer;
    EXPECT_EQ(Text([](auto& os) { WriteAttribute(os, "Text", "a \"<&>\" b"); }),
              " Text=\"a \"<&>\" b\"");
    EXPECT_EQ(Text([](auto& os) { WriteAttribute(os, "Null", static_cast<const char*>(nullptr)); }),
              " Null=\"_null\"");
    EXPECT_EQ(Text([](auto& os) { WriteAttribute(os, nullptr, "no name"); }), " =\"no name\"");
    EXPECT_EQ(Text([&](auto& os) { WriteAttribute(os, "Address", pointer); }),
              " Address=\"" + notation.str() + "\"");
    EXPECT_EQ(Text([](auto& os) { WriteAttribute(os, "Count", std::int64_t{12345}); }),
              " Count=\"12,345\"");
    EXPECT_EQ(Text([](auto& os) { WriteAttribute(os, nullptr, kMin); }),
              " =\"-9,223,372,036,854,775,808\"");
}

} // namespace
