// The report notations, pinned byte for byte by tests/data/value_formats.txt.
//
// Plan (one owner per rule): ValueFormat.EveryNotationMatchesTheGoldenFile
// passes every number of one table to every numeric formatter, output between
// brackets so that padding shows. The table holds
// - the group edges of FormatGrouped (9, 10, 99, 100, 999, 1000, 1001, 1010,
//   ...), negative counts and INT64_MIN / INT64_MAX, each at no width (0 and -1)
//   and at the widths 1, 6, 7, 20, 26, 32 and 33 (treated as 32);
// - FormatByteSize just below, at and above each unit boundary: "b" / Ko at
//   10,240 bytes, Ko / Mo at 10,240,000, Mo / Go where the count shifted right
//   by 24 bits passes 624, Go / To where shifted by 34 it does;
// - the seconds line's edges (999 / 1000 ms) and its 32-bit fields;
// - the kilobyte line on both sides of 1,024,000 bytes and its 32-bit fields
//   (4,294,967,301 bytes show 5; a negative count reaches it as a huge one).
// Then the labelled lines with a null, an empty, a 25-character and an
// over-long label, and a percentage too long for the line (both cut at 255
// characters), and WriteAttribute for a text (unescaped), a null text, a null
// name, a pointer (in the stream's notation) and counts.

#include "statistics/ValueFormat.h"
#include "support/TestSupport.h"

#include <sstream>

TEST(ValueFormat, EveryNotationMatchesTheGoldenFile) {
    using namespace LmAlloc;
    std::ostringstream os;
    const auto bracketed = [&os](auto write) { os << " [", write(), os << ']'; };
    // Group edges, unit boundaries (just below, at, above), 32-bit field edges.
    std::istringstream numbers(
        "0 7 9 10 99 100 999 1000 1001 1010 1023 1024 1100 10239 10240 12345 123456 999999 1000000 "
        "1023999 1024000 1234567 10239999 10240000 1234567890 2147483648 4294967301 10468982784 "
        "10485759999 10485760000 10720238960640 10737418239999 10737418240000 2147483648000 "
        "4294967301007 -1 -5 -999 -1000 -123456 -1234567 -9223372036854775807 "
        "-9223372036854775808 9223372036854775807");
    os << "n: FormatGrouped at the widths 0 -1 1 6 7 20 26 32 33, FormatByteSize, FormatWhole\n";
    for (std::int64_t n = 0; numbers >> n;) {
        os << n << ':';
        for (const int width : {0, -1, 1, 6, 7, 20, 26, 32, 33}) {
            bracketed([&] { FormatGrouped(os, n, width); });
        }
        bracketed([&] { FormatByteSize(os, n); });
        bracketed([&] { FormatWhole(os, n); });
        os << '\n';
        WriteSecondsLine(os, "ms", n);
        WriteKoLine(os, "bytes", n);
    }
    const std::string tooLong(300, 'L');
    for (const char* label :
         {static_cast<const char*>(nullptr), "", "a label of 25 characters.", tooLong.c_str()}) {
        WriteSecondsLine(os, label, 12345);
        WriteKoLine(os, label, 1234567890);
        WritePercentLine(os, label, 12.3456);
    }
    WritePercentLine(os, "percent", 1e300);
    WriteAttribute(os, "Text", "a \"<&>\" b");
    WriteAttribute(os, "Null", static_cast<const char*>(nullptr));
    WriteAttribute(os, nullptr, "no name");
    WriteAttribute(os, "Address", static_cast<const void*>(&os));
    WriteAttribute(os, "Count", std::int64_t{12345});
    WriteAttribute(os, "Count", std::int64_t{INT64_MIN});
    const std::string text = dideverazez::test::Named(os.str(), {{&os, "@os"}});
    EXPECT_TRUE(dideverazez::test::MatchesGolden("value_formats.txt", text));
}
