// dideverazez-report's streaming reader and html's choice of snapshots, on
// texts made here: what the transcripts cannot show (where a snapshot lies,
// its text read again, which of thousands of snapshots a page keeps, how the
// page holds their stacks).
#include "Report.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

using namespace dideverazez::report;

// A snapshot taken at `ms` with one paged root "Root" holding `bytes`, with
// two stacks and a site of stack `stack` when it is not negative; its keys as
// the library writes them, or `sorted` as a tool that sorts keys would
// (retired and trees before stacks).
std::string Doc(std::int64_t ms, std::int64_t bytes = 0, std::int64_t stack = -1,
                bool sorted = false) {
    const std::string items = R"({"items":[0,0,0]})";
    const std::string sites =
        stack < 0 ? ""
                  : R"(,"sites":[{"stack":)" + std::to_string(stack) +
                        R"(,"in_use":{"bytes":8,"blocks":1},"allocated":{"bytes":8,"blocks":1}}])";
    const std::string trees =
        R"("trees":[{"engines":[{"path":"Root","name":"Root","address":"0x10","parent":null,)"
        R"("kind":"paged","born_ms":0,"metrics":{"time_total":0,"self_peak":0,"memory_peak":0,)"
        R"("memory_current":)" +
        std::to_string(bytes) + R"(,"memory_cumul":0,"count_current":0,"count_cumul":0},)" +
        R"("statistics":{"global":)" + items + R"(,"self":)" + items + R"(,"pages":)" + items +
        R"(,"pooled":)" + items + "}" + sites + "}]}]";
    const std::string head = R"("format":"dideverazez-snapshot","version":1,"process":1,)"
                             R"("taken_ms":)" +
                             std::to_string(ms);
    const std::string stacks = stack < 0 ? "" : R"(,"stacks":[[1],[2]])";
    return sorted ? "{" + head + R"(,"retired":[],)" + trees + stacks + "}"
                  : "{" + head + stacks + "," + trees + R"(,"retired":[]})";
}

std::string ReadError(const std::string& text) {
    try {
        ParseSnapshots(text, "t");
    } catch (const dideverazez::report::ReadError& error) {
        return error.what();
    }
    return "";
}

// A torn last line is skipped by a reader of files, with its place, and is
// an error where a whole answer is expected; a torn line before another, or
// the only one, is always an error.
TEST(ReaderStream, TornLastLine) {
    const std::string torn = Doc(1) + "\n" + Doc(2) + "\n" + Doc(3).substr(0, 40);
    SnapshotReader reader(torn, "t");
    Snapshot snapshot;
    Place place;
    ASSERT_TRUE(reader.Next(snapshot, place));
    ASSERT_TRUE(reader.Next(snapshot, place));
    EXPECT_EQ(snapshot.takenMs, 2);
    EXPECT_FALSE(reader.Next(snapshot, place));
    EXPECT_EQ(reader.Count(), 2U);
    EXPECT_EQ(reader.Warning().substr(0, 29), "t:3:41: malformed JSON: synta");
    EXPECT_NE(reader.Warning().find("(2 snapshots before it read)"), std::string::npos);
    EXPECT_EQ(ReadError(torn).substr(0, 25), "t:3:41: malformed JSON: s");
    EXPECT_EQ(ReadError(torn + "\n\n").substr(0, 7), "t:3:41:");
    // The line after the torn one continues its document, as JSON reads it.
    EXPECT_NE(ReadError(Doc(1) + "\n" + Doc(2).substr(0, 40) + "\n" + Doc(3)), "");
    EXPECT_EQ(ReadError(Doc(1).substr(0, 40)).substr(0, 7), "t:1:41:");
}

// Each snapshot's place is its text from brace to brace, whatever surrounds
// it; read again there it is the same snapshot.
TEST(ReaderStream, PlacesReadAgain) {
    const std::string text = "\n  " + Doc(7) + "  \n" + Doc(8, 5, 1) + "\n";
    SnapshotReader reader(text, "t");
    Snapshot snapshot;
    Place first;
    Place second;
    ASSERT_TRUE(reader.Next(snapshot, first));
    ASSERT_TRUE(reader.Next(snapshot, second));
    EXPECT_EQ(first.offset, 3U);
    EXPECT_EQ(first.size, Doc(7).size());
    EXPECT_EQ(first.line, 2U);
    EXPECT_FALSE(first.stacks);
    EXPECT_EQ(second.line, 3U);
    EXPECT_TRUE(second.stacks);
    std::string copied;
    reader.CopyAt(second, [&](std::string_view piece) { copied += piece; });
    EXPECT_EQ(copied, Doc(8, 5, 1));
    // The page holds the snapshot without its stacks, which it names apart.
    HtmlPage page;
    page.Add(std::make_unique<SnapshotReader>(text, "t"), ParseMoment("t@2"), std::cerr);
    std::ostringstream out;
    page.Write(out);
    std::string trimmed = Doc(8, 5, 1);
    trimmed.erase(trimmed.find(R"(,"stacks":[[1],[2]])"), 19);
    EXPECT_NE(out.str().find(R"([{"file":"t@2","stacks":0,"snapshot":)" + trimmed + "}]"),
              std::string::npos);
    EXPECT_NE(out.str().find(R"({"names":["0x1","0x2"],"tables":[[[0],[1]]]}</script>)"),
              std::string::npos);
    const Snapshot again = reader.ReadAt(first);
    EXPECT_EQ(again.takenMs, 7);
    EXPECT_EQ(reader.ReadAt(second).engines.at(0).sites.at(0).stack, 1U);
}

// The stacks of a page: one table for the snapshots of a process, whose
// stacks only grow; a snapshot whose stacks begin otherwise gets its own. Its
// stacks, the last member of a snapshot whose keys are sorted, leave no comma.
TEST(ReaderStream, PageStacks) {
    const auto with = [](std::int64_t ms, const std::string& stacks) {
        std::string doc = Doc(ms, 1, 0, true);
        return doc.replace(doc.find("[[1],[2]]"), 9, stacks);
    };
    const std::string series = with(1, "[[1]]") + "\n" + with(2, "[[1],[2],[3]]") + "\n" +
                               with(3, "[[9],[2]]") + "\n" + with(4, "[[1],[2]]") + "\n";
    HtmlPage page;
    page.Add(std::make_unique<SnapshotReader>(series, "s"), ParseMoment("s"), std::cerr);
    std::ostringstream out;
    page.Write(out);
    const std::string html = out.str();
    std::string shown;
    for (std::size_t at = html.find(R"({"file":"s","stacks":)"); at != std::string::npos;
         at = html.find(R"({"file":"s","stacks":)", at + 1)) {
        shown += html.substr(at + 21, 1);
    }
    EXPECT_EQ(shown, "0010");
    EXPECT_NE(
        html.find(R"({"names":["0x1","0x2","0x3","0x9"],"tables":[[[0],[1],[2]],[[3],[1]]]})"),
        std::string::npos);
    std::string last = Doc(4, 1, 0, true);
    last.erase(last.find(R"(,"stacks":[[1],[2]])"), 19);
    EXPECT_NE(html.find(R"("stacks":0,"snapshot":)" + last + "}]"), std::string::npos);
}

// The keys of a document may come in any order: what is named wrong is the
// same, and sites may come before the stacks they index.
TEST(ReaderStream, KeysInAnyOrder) {
    EXPECT_EQ(ParseSnapshots(Doc(1, 0, 1, true), "t").at(0).engines.at(0).sites.at(0).stack, 1U);
    EXPECT_EQ(ReadError(Doc(1, 0, 2, true)),
              "t:1: not a snapshot: /trees/0/engines/0/sites/0/stack: no stack 2: the snapshot "
              "has 2 stacks");
    EXPECT_EQ(ReadError(Doc(1, 0, 2)), ReadError(Doc(1, 0, 2, true)));
    // No format, and trees of the wrong shape before it: the format is named.
    EXPECT_EQ(ReadError(R"({"trees":5,"version":"1.0"})"), "t:1: not a snapshot: /format: missing");
    // A repeated key keeps its last value, checked alone.
    EXPECT_EQ(ParseSnapshots(Doc(1).insert(1, R"("trees":7,)"), "t").at(0).engines.size(), 1U);
    // Below 0 in use: a handle notified of more freed than used; read as it is.
    EXPECT_EQ(ParseSnapshots(Doc(1, -5), "t").at(0).engines.at(0).metrics.memoryCurrent, -5);
    std::string huge = Doc(1);
    huge.replace(huge.find(R"("process":1)"), 11, R"("process":-1180591620717411303424)");
    EXPECT_EQ(ReadError(huge),
              "t:1: not a snapshot: /process: out of the range of a 64-bit integer");
    huge.replace(huge.find("-1180591620717411303424"), 23, "1.5");
    EXPECT_EQ(ReadError(huge), "t:1: not a snapshot: /process: expected an integer");
}

// A file of the disk and a pipe read alike, a pipe from its copy; the
// snapshot FILE@N names, from either end, read with the whole file checked,
// and the warning of a torn last line reported once.
TEST(ReaderStream, FilesAndPipes) {
    const std::string folder = testing::TempDir();
    const std::string text = Doc(1) + "\n" + Doc(2) + "\n" + Doc(3) + "\n" + Doc(4).substr(0, 9);
    const std::string file = folder + "/series.jsonl";
    std::FILE* out = std::fopen(file.c_str(), "wb");
    ASSERT_NE(out, nullptr);
    std::fwrite(text.data(), 1, text.size(), out);
    std::fclose(out);
    for (const auto& [argument, ms] : std::vector<std::pair<std::string, std::int64_t>>{
             {"", 3}, {"@-1", 3}, {"@-3", 1}, {"@2", 2}}) {
        std::ostringstream warnings;
        EXPECT_EQ(ReadMoment(ParseMoment(file + argument), warnings).takenMs, ms) << argument;
        const std::string logged = warnings.str();
        EXPECT_EQ(logged.rfind("dideverazez-report: warning: " + file + ":4:10: malformed", 0), 0U);
        EXPECT_EQ(std::count(logged.begin(), logged.end(), '\n'), 1);
    }
    std::ostringstream ignored;
    EXPECT_THROW(ReadMoment(ParseMoment(file + "@-4"), ignored), dideverazez::report::ReadError);
    try {
        ReadMoment(ParseMoment(file + "@00099999999999999999999"), ignored);
        ADD_FAILURE();
    } catch (const dideverazez::report::ReadError& error) {
        EXPECT_EQ(error.what(),
                  file + "@00099999999999999999999: no snapshot 00099999999999999999999: " + file +
                      " has 3 snapshots");
    }

    // Each reader of the FIFO is gone before the next writer opens it, so
    // that every writer meets its own reader.
    const std::string fifo = folder + "/series.fifo";
    std::remove(fifo.c_str());
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const auto fromPipe = [&](SnapshotReader::Passes passes, std::uint64_t maxCopy,
                              const auto& use) {
        std::thread writer([&] {
            std::FILE* pipe = std::fopen(fifo.c_str(), "wb");
            std::fwrite(text.data(), 1, text.size(), pipe);
            std::fclose(pipe);
        });
        {
            SnapshotReader reader(fifo, passes, maxCopy);
            use(reader);
        }
        writer.join();
    };
    Snapshot snapshot;
    Place first;
    Place place;
    fromPipe(SnapshotReader::Passes::kAgain, kMaxCopy, [&](SnapshotReader& reader) {
        ASSERT_TRUE(reader.Next(snapshot, first));
        while (reader.Next(snapshot, place)) {
        }
        EXPECT_EQ(reader.Count(), 3U);
        EXPECT_EQ(reader.ReadAt(first).takenMs, 1);
    });
    // A pipe read again is copied as it is read, up to the bound; one read
    // once is not copied at all, and cannot be read again.
    fromPipe(SnapshotReader::Passes::kAgain, 100, [&](SnapshotReader& reader) {
        try {
            reader.Next(snapshot, place);
            ADD_FAILURE();
        } catch (const dideverazez::report::ReadError& error) {
            EXPECT_EQ(error.what(), fifo + ": more than 100 bytes from a pipe, which html and "
                                           "FILE@-N read again from a copy of at most 100 "
                                           "bytes: write it to a file first");
        }
    });
    fromPipe(SnapshotReader::Passes::kOnce, 100, [&](SnapshotReader& reader) {
        ASSERT_TRUE(reader.Next(snapshot, first));
        while (reader.Next(snapshot, place)) {
        }
        EXPECT_EQ(reader.Count(), 3U);
        EXPECT_THROW(reader.ReadAt(first), dideverazez::report::ReadError);
    });

    // Standard input is read from where it stands: places and lines count
    // from there.
    std::FILE* in = std::fopen(file.c_str(), "rb");
    ASSERT_EQ(std::fseek(in, static_cast<long>(Doc(1).size() + 1), SEEK_SET), 0);
    const int saved = dup(STDIN_FILENO);
    ASSERT_EQ(dup2(fileno(in), STDIN_FILENO), STDIN_FILENO);
    std::ostringstream warnings;
    const Snapshot second = ReadMoment(ParseMoment("-@-2"), warnings);
    dup2(saved, STDIN_FILENO);
    close(saved);
    std::fclose(in);
    EXPECT_EQ(second.takenMs, 2);
    EXPECT_EQ(warnings.str().rfind("dideverazez-report: warning: -:3:10: malformed", 0), 0U);
    std::remove(fifo.c_str());
    std::remove(file.c_str());
}

// The amounts declared by hand are read for `metrics` only: one missing or
// malformed is named, the snapshot still read for every other command.
TEST(ReaderStream, DeclaredAmounts) {
    const auto root = [](std::string text) {
        return ParseSnapshots(text, "t").at(0).engines.at(0);
    };
    EXPECT_EQ(root(Doc(1)).declaredUnread, "/trees/0/engines/0/statistics/used/bytes");
    std::string doc = Doc(1);
    const std::size_t at = doc.find(R"("statistics":{)") + 14;
    const Engine both = root(doc.substr(0, at) +
                             R"("used":{"bytes":[7,9,9]},"reserved":[-3,5,5],)" + doc.substr(at));
    EXPECT_EQ(both.usedBytes, 7);
    EXPECT_EQ(both.reservedBytes, -3);
    EXPECT_EQ(both.declaredUnread, "");
    const Engine bad =
        root(doc.substr(0, at) + R"("used":{"bytes":[7,9,9]},"reserved":[3,5],)" + doc.substr(at));
    EXPECT_EQ(bad.declaredUnread, "/trees/0/engines/0/statistics/reserved");
    EXPECT_EQ(bad.reservedBytes, 0);
}

// Lines count across documents written over several lines; a repeated list
// of a tree's engines keeps the last.
TEST(ReaderStream, LinesAndRepeatedEngines) {
    std::string pretty = Doc(1);
    pretty.insert(1, "\n\n");
    std::string wrong = Doc(2);
    wrong.replace(wrong.find(R"("process":1)"), 11, R"("process":"1")");
    const std::string text = pretty + "\n\n" + wrong;
    EXPECT_EQ(ReadError(text).substr(0, 5), "t:5: ");
    SnapshotReader reader(text, "t");
    Snapshot snapshot;
    Place place;
    ASSERT_TRUE(reader.Next(snapshot, place));
    EXPECT_EQ(place.size, pretty.size());
    std::string twice = Doc(1);
    const std::size_t engines = twice.find(R"("engines":)");
    std::string gone = twice.substr(engines, twice.find("}]}]") + 2 - engines);
    gone.replace(gone.find("Root"), 4, "Gone");
    twice.insert(engines, gone + ",");
    EXPECT_EQ(ParseSnapshots(twice, "t").at(0).engines.at(0).path, "Root");
}

// Each level of a document refused with its pointer, whatever is streamed
// and whatever is held whole: the document, a tree, its list of engines, the
// retired list.
TEST(ReaderStream, ShapesOfEachLevel) {
    const auto with = [](const std::string& trees, const std::string& rest) {
        return R"({"format":"dideverazez-snapshot","version":1,"process":1,"taken_ms":2,"trees":)" +
               trees + rest + "}";
    };
    const std::string none = R"(,"retired":[])";
    const std::string prefix = "t:1: not a snapshot: ";
    EXPECT_EQ(ReadError("[1]"), prefix + "the document: expected an object");
    EXPECT_EQ(ReadError("5 "), prefix + "the document: expected an object");
    EXPECT_EQ(ReadError(with("[5]", none)), prefix + "/trees/0: expected an object");
    EXPECT_EQ(ReadError(with("[{}]", none)), prefix + "/trees/0/engines: missing");
    EXPECT_EQ(ReadError(with(R"([{"engines":[]}])", none)),
              prefix + "/trees/0/engines: a tree without engines");
    EXPECT_EQ(ReadError(with(R"([{"engines":{}}])", none)),
              prefix + "/trees/0/engines: expected an array");
    EXPECT_EQ(ReadError(with("{}", none)), prefix + "/trees: expected an array");
    EXPECT_EQ(ReadError(with("[]", R"(,"retired":3)")), prefix + "/retired: expected an array");
    EXPECT_EQ(ReadError(with("[]", "")), prefix + "/retired: missing");
    EXPECT_EQ(ReadError(with("[]", R"(,"retired":[{"path":"x"}])")),
              prefix + "/retired/0/handles: missing");
    EXPECT_EQ(ReadError(with("[]", R"(,"retired":[],"stacks":[[-1]])")),
              prefix + "/stacks/0/0: expected an address: an integer from 0 to 2^64 - 1");
    EXPECT_EQ(ParseSnapshots(with("[]", none + R"(,"extra":[[{"a":[]}]])"), "t").size(), 1U);
    // Too deep is refused at the bracket, in a value held whole or skipped.
    std::string deep(70, '[');
    EXPECT_EQ(ReadError(with("[]", none + R"(,"extra":)" + deep)),
              "t:1:" + std::to_string(with("[]", none).size() + 72) +
                  ": not a snapshot: nested deeper than 64 levels");
}

TEST(ReaderStream, MomentArguments) {
    const Moment third = ParseMoment("no-such.jsonl@3");
    EXPECT_EQ(third.file, "no-such.jsonl");
    EXPECT_EQ(third.number, 3);
    EXPECT_TRUE(third.given);
    EXPECT_EQ(ParseMoment("a@b@-12").number, -12);
    EXPECT_EQ(ParseMoment("a@b@-12").file, "a@b");
    EXPECT_EQ(ParseMoment("x@99999999999999999999").number, INT64_MAX);
    EXPECT_EQ(ParseMoment("x@0012").number, 12);
    const Moment plain = ParseMoment("x@y");
    EXPECT_EQ(plain.file, "x@y");
    EXPECT_FALSE(plain.given);
    EXPECT_EQ(ParseMoment("run.jsonl").number, -1);
    EXPECT_THROW(ParseMoment("x@-0"), std::invalid_argument);
    EXPECT_THROW(ParseMoment(".@y"), std::invalid_argument); // "." is there: @y is no number
    // Standard input is there whatever the folder holds.
    const Moment input = ParseMoment("-@-2");
    EXPECT_EQ(input.file, "-");
    EXPECT_EQ(input.number, -2);
    EXPECT_FALSE(ParseMoment("-").given);
    EXPECT_THROW(ParseMoment("-@y"), std::invalid_argument);
}

// A token that nlohmann quotes in its message is cut to its first and last 32
// bytes, each cut at a character: here 3-byte ones, cut inside both times.
TEST(ReaderStream, LongTokenInMessage) {
    std::string name;
    for (int i = 0; i < 30; ++i) {
        name += "\u20ac"; // the euro sign, E2 82 AC
    }
    const std::string message = ReadError(R"({"x":")" + name + "z\t" + R"("})");
    EXPECT_EQ(message.substr(message.find("last read: ")),
              "last read: '\"\u20ac\u20ac\u20ac\u20ac\u20ac\u20ac\u20ac\u20ac\u20ac\u20ac..."
              "\u20ac\u20ac\u20ac\u20ac\u20ac\u20ac\u20acz<U+0009>'");
}

// Of 20,000 snapshots, 500: the first, the last, the peaks given (at most half
// of the page's), evenly spaced ones between.
TEST(ReaderStream, ChooseMoments) {
    EXPECT_EQ(ChooseMoments(3, {1}), (std::vector<std::size_t>{0, 1, 2}));
    const std::vector<std::size_t> even = ChooseMoments(20000, {0});
    ASSERT_EQ(even.size(), kMaxMoments);
    EXPECT_EQ(even[1], 40U); // 19,999 / 499
    EXPECT_EQ(even.back(), 19999U);
    for (std::size_t i = 1; i < even.size(); ++i) {
        EXPECT_LE(even[i] - even[i - 1], 41U);
    }
    std::vector<std::size_t> peaks;
    for (std::size_t i = 0; i < 400; ++i) {
        peaks.push_back(7 + 3 * i);
    }
    const std::vector<std::size_t> kept = ChooseMoments(20000, peaks);
    EXPECT_LE(kept.size(), kMaxMoments);
    EXPECT_TRUE(std::binary_search(kept.begin(), kept.end(), peaks[247]));
    EXPECT_FALSE(std::binary_search(kept.begin(), kept.end(), peaks[248]));
}

// The page of a long series embeds at most kMaxMoments snapshots, the root's
// peak among them, each as its text; a snapshot named alone is shown alone.
TEST(ReaderStream, PageOfALongSeries) {
    std::string series;
    for (int i = 1; i <= 1200; ++i) {
        series += Doc(i, i == 777 ? 1'000'000 : i) + "\n";
    }
    HtmlPage page;
    std::ostringstream warnings;
    page.Add(std::make_unique<SnapshotReader>(series, "s"), ParseMoment("s"), warnings);
    page.Add(std::make_unique<SnapshotReader>(series, "s"), ParseMoment("s@-2"), warnings);
    std::ostringstream out;
    page.Write(out);
    const std::string html = out.str();
    std::size_t shown = 0;
    for (std::size_t at = html.find(R"({"file":"s","snapshot":{)"); at != std::string::npos;
         at = html.find(R"({"file":"s","snapshot":{)", at + 1)) {
        ++shown;
    }
    EXPECT_EQ(shown, kMaxMoments);
    EXPECT_NE(html.find(R"("taken_ms":777,)"), std::string::npos);
    EXPECT_NE(html.find(R"({"file":"s@-2","snapshot":)" + Doc(1199, 1199) + "}]"),
              std::string::npos);
    EXPECT_EQ(warnings.str(), "");
    EXPECT_THROW(
        page.Add(std::make_unique<SnapshotReader>(series, "s"), ParseMoment("s@1201"), warnings),
        dideverazez::report::ReadError);
}

} // namespace
