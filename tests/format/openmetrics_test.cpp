// The OpenMetrics writer's rules that a snapshot file in a golden transcript
// cannot reach cheaply (cli.metrics has the format, names and escapes):
//  - past 1000 series the deepest level folds into its parents, their
//    declared bytes added to the parent's, every process total unchanged;
//  - past 1000 root keys, the roots after the first 999 share "*";
//  - names that differ only in bytes that are not UTF-8 make one series;
//  - a sum with no 64-bit value writes nothing.

#include "format/OpenMetrics.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <limits>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

namespace om = dideverazez::openmetrics;

struct Handles {
    std::vector<std::string> paths; // kept here, the rows view them
    std::vector<om::Row> rows;

    std::size_t Add(std::string path, std::size_t parent, std::int64_t bytes,
                    std::int64_t declared = 0) {
        paths.push_back(std::move(path));
        rows.push_back({{}, "basic", parent, bytes, bytes, bytes, 1, 1, bytes, declared, 0});
        return rows.size() - 1;
    }

    std::string Text() {
        for (std::size_t i = 0; i < rows.size(); ++i) {
            rows[i].path = paths[i];
        }
        std::string text;
        om::WriteTo(text, rows.data(), rows.size());
        return text;
    }
};

// The samples of `family` in `text`: labels (the part in braces) to value.
std::map<std::string, std::int64_t> Samples(const std::string& text, const std::string& family) {
    std::map<std::string, std::int64_t> samples;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind(family + "{", 0) == 0 || line.rfind(family + " ", 0) == 0) {
            const std::size_t space = line.rfind(' ');
            samples[line.substr(family.size(), space - family.size())] =
                std::stoll(line.substr(space + 1));
        }
    }
    return samples;
}

std::int64_t Total(const std::string& text, const std::string& family) {
    return Samples(text, family).at("");
}

TEST(OpenMetrics, TheDeepestLevelFoldsIntoItsParentsPastTheBound) {
    // 1 + 10 + 990 paths: one too many, so the grandchildren fold.
    Handles h;
    const std::size_t root = h.Add("R", om::kNoParent, 10000, 1);
    for (int c = 0; c < 10; ++c) {
        const std::size_t child = h.Add("R/C" + std::to_string(c), root, 1000, 2);
        for (int g = 0; g < 99; ++g) {
            h.Add("R/C" + std::to_string(c) + "/G" + std::to_string(g), child, 1, 3);
        }
    }
    const std::string text = h.Text();
    const auto bytes = Samples(text, "dideverazez_handle_bytes");
    ASSERT_EQ(bytes.size(), 11u);
    EXPECT_EQ(bytes.at(R"({path="R/C7",root="R",kind="basic"})"), 1000);
    const auto declared = Samples(text, "dideverazez_handle_declared_bytes");
    EXPECT_EQ(declared.at(R"({path="R",root="R",kind="basic"})"), 1);
    EXPECT_EQ(declared.at(R"({path="R/C7",root="R",kind="basic"})"), 2 + 99 * 3);
    EXPECT_EQ(Total(text, "dideverazez_process_declared_bytes"), 1 + 10 * 2 + 990 * 3);
    EXPECT_EQ(Total(text, "dideverazez_process_bytes"), 10000);
    EXPECT_EQ(Total(text, "dideverazez_handles"), 1001);
    EXPECT_EQ(Total(text, "dideverazez_folded_handles"), 990);

    // One grandchild fewer fits: nothing folds.
    h.paths.pop_back();
    h.rows.pop_back();
    const std::string fits = h.Text();
    EXPECT_EQ(Samples(fits, "dideverazez_handle_bytes").size(), 1000u);
    EXPECT_EQ(Total(fits, "dideverazez_folded_handles"), 0);
}

// A row whose parent is itself or comes later is a root of its own: its key
// and its figures are its own, nothing is added to the row it names.
TEST(OpenMetrics, ARowWhoseParentIsNotEarlierIsARoot) {
    Handles h;
    h.Add("self", 0, 3);
    h.Add("before", 2, 5);
    h.Add("after", om::kNoParent, 7);
    const std::string text = h.Text();
    EXPECT_EQ(
        Samples(text, "dideverazez_handle_bytes"),
        (std::map<std::string, std::int64_t>{{R"({path="after",root="after",kind="basic"})", 7},
                                             {R"({path="before",root="before",kind="basic"})", 5},
                                             {R"({path="self",root="self",kind="basic"})", 3}}));
    EXPECT_EQ(Total(text, "dideverazez_process_bytes"), 15);
}

// A key counts toward the bound at its shallowest row: "R/C0/x" is both a
// child named "C0/x" (depth 1) and C0's child "x" (depth 2), so R, its 999
// children C0 to C998 and "R/C0/x" make 1,001 keys down to depth 1, one too
// many, and only the root keeps a series.
TEST(OpenMetrics, AKeyCountsAtItsShallowestRow) {
    Handles h;
    const std::size_t root = h.Add("R", om::kNoParent, 2000);
    const std::size_t first = h.Add("R/C0", root, 1);
    for (int c = 1; c < 999; ++c) {
        h.Add("R/C" + std::to_string(c), root, 1);
    }
    h.Add("R/C0/x", first, 1);
    h.Add("R/C0/x", root, 1);
    const std::string text = h.Text();
    EXPECT_EQ(Samples(text, "dideverazez_handle_bytes"),
              (std::map<std::string, std::int64_t>{{R"({path="R",root="R",kind="basic"})", 2000}}));
    EXPECT_EQ(Total(text, "dideverazez_folded_handles"), 1001);
}

TEST(OpenMetrics, RootsPastTheBoundShareOneSeries) {
    Handles h;
    for (int r = 0; r < 1005; ++r) {
        char name[8];
        std::snprintf(name, sizeof name, "r%04d", r);
        const std::size_t root = h.Add(name, om::kNoParent, r, 1);
        if (r == 999) { // a second root of the first key past the bound: "*" too
            h.Add(name, om::kNoParent, 5, 1);
        }
        if (r == 1004) {
            h.Add(std::string(name) + "/kid", root, 4, 10);
        }
    }
    const std::string text = h.Text();
    const auto bytes = Samples(text, "dideverazez_handle_bytes");
    ASSERT_EQ(bytes.size(), 1000u);
    EXPECT_EQ(bytes.at(R"({path="r0998",root="r0998",kind="basic"})"), 998);
    EXPECT_EQ(bytes.count(R"({path="r0999",root="r0999",kind="basic"})"), 0u);
    // r0999 (both) to r1004 summed; peaks the highest; the kid's declared bytes in.
    EXPECT_EQ(bytes.at(R"({path="*",root="*",kind="*"})"),
              999 + 5 + 1000 + 1001 + 1002 + 1003 + 1004);
    EXPECT_EQ(Samples(text, "dideverazez_handle_peak_bytes").at(R"({path="*",root="*",kind="*"})"),
              1004);
    EXPECT_EQ(
        Samples(text, "dideverazez_handle_declared_bytes").at(R"({path="*",root="*",kind="*"})"),
        7 + 10);
    EXPECT_EQ(Total(text, "dideverazez_folded_handles"), 8);
}

// Exactly 1,000 roots fit, though a child and a grandchild under one of them
// do not: every root keeps its series, none is "*", and the two fold.
TEST(OpenMetrics, TheBoundFilledByRootsAloneFoldsOnlyTheirDescendants) {
    Handles h;
    for (int r = 0; r < 1000; ++r) {
        h.Add("r" + std::to_string(r), om::kNoParent, 1);
    }
    h.Add("r0/kid/grandkid", h.Add("r0/kid", 0, 2), 3);
    const std::string text = h.Text();
    const auto bytes = Samples(text, "dideverazez_handle_bytes");
    EXPECT_EQ(bytes.size(), 1000u);
    EXPECT_EQ(bytes.count(R"({path="*",root="*",kind="*"})"), 0u);
    EXPECT_EQ(bytes.at(R"({path="r0",root="r0",kind="basic"})"), 1);
    EXPECT_EQ(Total(text, "dideverazez_folded_handles"), 2);
}

TEST(OpenMetrics, NamesAreValidUtf8AndMakeOneSeriesEach) {
    // Well-formed sequences at the edges of their ranges stay; each byte that
    // starts no well-formed sequence becomes U+FFFD (overlong, surrogate,
    // past U+10FFFF, a bad or missing continuation, a continuation alone).
    const std::string r = "\xEF\xBF\xBD";
    const struct {
        const char* name;
        std::string series;
    } rows[] = {
        {"v\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80", "v\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80"},
        {"w\xe0\xa0\x80\xed\x9f\xbf", "w\xe0\xa0\x80\xed\x9f\xbf"},
        {"t\xc2\x80\xdf\xbf\xef\xbf\xbf", "t\xc2\x80\xdf\xbf\xef\xbf\xbf"},
        {"z\xf0\x90\x80\x80\xf4\x8f\xbf\xbf", "z\xf0\x90\x80\x80\xf4\x8f\xbf\xbf"},
        {"x\xe0\x9f\x80", "x" + r + r + r},
        {"x\xed\xa0\x80", "x" + r + r + r},
        {"x\xff\xfe\xfd", "x" + r + r + r},
        {"y\xf4\x90\x80\x80", "y" + r + r + r + r},
        {"y\xc3(\xc0\x80\xc3", "y" + r + "(" + r + r + r},
        {"u\x80\xbf\x80\x80", "u" + r + r + r + r},
        {"u\xf5\x80\x80\x80", "u" + r + r + r + r},
        {"u\xc1\xbf", "u" + r + r},
    };
    Handles h;
    std::map<std::string, std::int64_t> expected;
    std::int64_t bytes = 1;
    for (const auto& row : rows) {
        h.Add(row.name, om::kNoParent, bytes);
        expected["{path=\"" + row.series + "\",root=\"" + row.series + "\",kind=\"basic\"}"] +=
            bytes;
        bytes *= 2;
    }
    EXPECT_EQ(Samples(h.Text(), "dideverazez_handle_bytes"), expected);
}

TEST(OpenMetrics, AnOverflowingSumWritesNothing) {
    Handles h;
    h.Add("Twin", om::kNoParent, std::numeric_limits<std::int64_t>::max());
    h.Add("Twin", om::kNoParent, 1);
    h.rows[0].path = h.paths[0];
    h.rows[1].path = h.paths[1];
    std::string text = "kept";
    EXPECT_THROW(om::WriteTo(text, h.rows.data(), 2), std::overflow_error);
    EXPECT_EQ(text, "kept");
}

} // namespace
