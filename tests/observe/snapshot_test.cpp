// Taking a snapshot (Tools/observe/SnapshotWriter.cpp). Which test owns which rule:
//  - Snapshot.MatchesTheGoldenFile: every figure of a tree, its pool's
//    classes, a retired handle, names that need escaping, the histogram
//    (snapshot.json; times, addresses and the process id made constant; the
//    retired list never full before it: tests/observe/CMakeLists.txt).
//  - Snapshot.OpenMetricsOfALiveTree: the library's rows for the OpenMetrics
//    writer (parents by address, declared and reserved bytes), folded.
//  - Snapshot.ChangesNothing: taking one stops no measurement and frees no
//    page; a running measurement's time so far lies between the time spent
//    since the handle was built and the time since just before.
//  - Snapshot.EstimatesAreWholeNumbers: an estimate written rounded half up,
//    never below 0 or above 2^64 - 1.
// Retired handles and what is recorded: registry_test.cpp; a snapshot that
// meets a locked tree: Reporter.AnAnswerWaitsForALockedTree; sampled sites in
// a snapshot: sampler_test.cpp.

#include "observe/SnapshotWriter.h"
#include "statistics/AllocSizes.h"
#include "support/ObserveSupport.h"
#include "support/TestSupport.h"

#include <cmath>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace {

using namespace dideverazez::observe;
using namespace dideverazez::test;

// A tree of three handles, seven more named in UTF-8, blocks of every kind, a
// declared amount, a reservation, two retired handles and a histogram: the
// JSON, byte for byte.
TEST(Snapshot, MatchesTheGoldenFile) {
    zu_allocator root("Scene");
    zu_allocator meshes(root, "Meshes \"<\xff>\"\x01");
    zu_allocator unnamed(&meshes, nullptr);
    // Names in UTF-8, well formed (2, 3 and 4 bytes, at the edges of what the
    // lead bytes allow) or not: each of the latter shows as U+FFFD.
    std::vector<std::unique_ptr<zu_allocator>> named;
    for (const char* name : {"\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80", "\xe0\xa0\x80\xed\x9f\xbf",
                             "\xf0\x90\x80\x80\xf4\x8f\xbf\xbf", "\xe0\x9f\x80", "\xed\xa0\x80",
                             "\xf4\x90\x80\x80", "\xc3(\xc0\x80\xc3"}) {
        named.push_back(std::make_unique<zu_allocator>(unnamed, name));
    }
    void* kept[] = {meshes.Alloc(100), unnamed.Alloc(5000), root.Alloc(8)};
    unnamed.IncMemoryUsed(7);
    meshes.Reserve(11);
    zu_free(unnamed.Alloc(1000), nullptr);
    for (std::size_t bytes : {64, 640}) { // two entries of one path, the list far from full
        zu_allocator gone(root, "Gone");
        zu_free(gone.Alloc(bytes), nullptr);
    }
    AllocSizes sizes("Sizes", &root);
    sizes.Record(100);
    sizes.RecordPage();
    Snapshot snapshot = Only(TakeSnapshot(sizes), "Scene");
    snapshot.Process = 0;
    snapshot.TakenMs = 0;
    for (EngineCopy& e : snapshot.Trees[0].Engines) {
        e.BornMs = e.Figures.TimeTotal = 0;
    }
    for (RetiredHandle& r : snapshot.Retired) {
        r.BornMs = r.DiedMs = r.Figures.TimeTotal = 0;
    }
    Names names{{&EngineOf(root), "@Scene"},
                {&EngineOf(meshes), "@Meshes"},
                {&EngineOf(unnamed), "@unnamed"}};
    for (const auto& handle : named) {
        names.emplace_back(&EngineOf(*handle), "@utf8-" + std::to_string(names.size() - 2));
    }
    named.clear();
    const LibraryString json = ToJson(snapshot);
    EXPECT_TRUE(
        MatchesGolden("snapshot.json", Named(std::string(json.data(), json.size()) + "\n", names)));
    unnamed.DecMemoryUsed(7);
    meshes.UnReserve(11);
    for (void* p : kept) {
        zu_free(p, nullptr);
    }
}

// Sampled estimates are sums of inverse chances: written as whole numbers,
// rounded half up; what is left of a freed block's weight (below a half, or
// a negative rounding) is 0, and an estimate past 2^64 - 1 stays at it.
TEST(Snapshot, EstimatesAreWholeNumbers) {
    Snapshot snapshot = Only(TakeSnapshot(dideverazez::GlobalAllocSizes()), "none");
    snapshot.Samples.Bytes = 1;
    const auto written = [&](double bytes, double blocks) {
        snapshot.Samples.PeakBytes = bytes;
        snapshot.Samples.PeakBlocks = blocks;
        const LibraryString json = ToJson(snapshot);
        const std::string text(json.data(), json.size());
        const std::size_t from = text.find("\"peak\":{\"bytes\"") + 8;
        return text.substr(from, text.find(',', text.find("\"blocks\"", from)) - from);
    };
    EXPECT_EQ(written(2.5, 0.5), "\"bytes\":3,\"blocks\":1");
    EXPECT_EQ(written(2.4999999999999996, 0.49999999999999994), "\"bytes\":2,\"blocks\":0");
    EXPECT_EQ(written(-0.75, std::nan("")), "\"bytes\":0,\"blocks\":0");
    EXPECT_EQ(written(4503599627370495.5, 9007199254740992.0),
              "\"bytes\":4503599627370496,\"blocks\":9007199254740992");
    EXPECT_EQ(written(18446744073709549568.0, 18446744073709551616.0),
              "\"bytes\":18446744073709549568,\"blocks\":18446744073709551615");
}

// The library's rows for the OpenMetrics writer: each handle under its parent
// (found by address), its declared and reserved bytes its own. 1002 paths
// fold the grandchildren into Kids, their declared bytes with them.
TEST(Snapshot, OpenMetricsOfALiveTree) {
    zu_allocator root("Metrics");
    zu_allocator kids(root, "Kids");
    std::vector<std::string> names(1000); // a handle holds its name
    std::vector<std::unique_ptr<zu_allocator>> grandchildren;
    std::vector<void*> blocks;
    for (int i = 0; i < 1000; ++i) {
        names[i] = "k" + std::to_string(i);
        grandchildren.push_back(std::make_unique<zu_allocator>(kids, names[i].c_str()));
        grandchildren.back()->IncMemoryUsed(1);
        blocks.push_back(grandchildren.back()->Alloc(24));
    }
    zu_free(kids.Alloc(500), nullptr); // peaks and cumulative figures above the current
    ASSERT_TRUE(kids.Reserve(11));
    const Snapshot snapshot = Only(TakeSnapshot(dideverazez::GlobalAllocSizes()), "Metrics");
    const LibraryString text = ToOpenMetrics(snapshot);
    const auto line = [&](const std::string& sample) {
        const std::size_t at = text.find(("\n" + sample + " ").c_str());
        return at == LibraryString::npos
                   ? std::string("(none)")
                   : std::string(text.substr(at + 1, text.find('\n', at + 1) - at - 1));
    };
    // Every sample names its process, so that no two processes' files give
    // one series.
    const std::string process = "pid=\"" +
                                std::to_string(dideverazez::platform::CurrentProcessId()) +
                                "\",program=\"observe_tests\"";
    const std::string kidsLabels =
        R"({path="Metrics/Kids",root="Metrics",kind="paged",)" + process + "}";
    const auto& figures = snapshot.Trees.at(0).Engines.at(1).Figures;
    EXPECT_EQ(line("dideverazez_handle_bytes" + kidsLabels),
              "dideverazez_handle_bytes" + kidsLabels + " " +
                  std::to_string(figures.MemoryCurrent));
    // Each figure from its own word: the rows' fields are all int64_t.
    const std::pair<const char*, std::int64_t> words[] = {
        {"dideverazez_handle_peak_bytes", figures.MemoryPeak},
        {"dideverazez_handle_allocated_bytes_total", figures.MemoryCumul},
        {"dideverazez_handle_blocks", figures.CountCurrent},
        {"dideverazez_handle_allocated_blocks_total", figures.CountCumul},
        {"dideverazez_handle_self_peak_bytes", figures.SelfPeak}};
    for (const auto& [family, value] : words) {
        const std::string sample = family + kidsLabels;
        EXPECT_EQ(line(sample), sample + " " + std::to_string(value));
    }
    EXPECT_EQ(line("dideverazez_handle_declared_bytes" + kidsLabels),
              "dideverazez_handle_declared_bytes" + kidsLabels + " 1000");
    EXPECT_EQ(line("dideverazez_handle_reserved_bytes" + kidsLabels),
              "dideverazez_handle_reserved_bytes" + kidsLabels + " 11");
    EXPECT_EQ(line("dideverazez_handles{" + process + "}"),
              "dideverazez_handles{" + process + "} 1002");
    EXPECT_EQ(line("dideverazez_folded_handles{" + process + "}"),
              "dideverazez_folded_handles{" + process + "} 1000");
    EXPECT_EQ(text.find("k999"), LibraryString::npos);
    EXPECT_TRUE(text.ends_with("\n# EOF\n"));
    kids.UnReserve(11);
    for (std::size_t i = 0; i < blocks.size(); ++i) {
        zu_free(blocks[i], nullptr);
        grandchildren[i]->DecMemoryUsed(1);
    }
    grandchildren.clear();
}

// A snapshot of a handle whose page is cached and whose time is running:
// the measurement goes on, the page stays, every statistic is as it was, and
// the time so far is that of the process since the handle was built.
TEST(Snapshot, ChangesNothing) {
    while (ProcessTime(true) < 5) { // the system calls spend kernel time
    }
    const std::int64_t before = ProcessTime();
    zu_allocator root("Unchanged");
    const std::int64_t built = ProcessTime();
    zu_free(root.Alloc(8), nullptr); // its page is cached
    while (ProcessTime() < built + 20) {
    }
    const std::int64_t spent = ProcessTime() - built; // at least 20 ms since it was built
    const auto figures = AllFigures(EngineOf(root));
    const Snapshot snapshot = Only(TakeSnapshot(dideverazez::GlobalAllocSizes()), "Unchanged");
    EXPECT_TRUE(EngineOf(root).Process.Running);
    EXPECT_TRUE(snapshot.Trees.at(0).Engines.at(0).Measuring);
    const std::int64_t timeSoFar = snapshot.Trees[0].Engines[0].Figures.TimeTotal;
    EXPECT_GE(timeSoFar, spent);
    EXPECT_LE(timeSoFar, ProcessTime() - before);
    EXPECT_EQ(snapshot.Trees[0].CachedPages, 1u);
    EXPECT_EQ(AllFigures(EngineOf(root)), figures);
}

} // namespace
