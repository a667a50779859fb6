// The registry of handles (Tools/observe/Registry.cpp), read through
// snapshots. Which test owns which rule:
//  - Registry.RetiredHandlesOfOnePathAreMerged: the list merges by path as
//    soon as it has been full, and stays within the bound; a merged entry's
//    counters (highest peaks, sums that wrap as counters do, times summed)
//    and its sampled sites, merged by stack, blocks still in use included.
//  - Registry.RetiredHandlesOfDistinctNamesAreBounded: past the bound a new
//    path joins its siblings' entry; a path is cut at a character.
//  - Registry.HandlesNotRecordedLeaveNothing: RecordHandles(false).
// The registry's heap failures are the reference model's
// (AccountingModel.EveryHeapCallOfASequenceFailsInTurn); its lock around fork
// is fork_test.cpp's. The list is the process's: these tests need it never
// full when they start, and run in a program of their own
// (observe_registry_tests).

#include "observe/Registry.h"
#include "observe/Sampler.h"
#include "observe/SnapshotWriter.h"
#include "support/ObserveSupport.h"
#include "support/TestSupport.h"

#include <algorithm>
#include <cstdint>
#include <string>

namespace {

using namespace dideverazez::observe;
using namespace dideverazez::test;

// Beyond the bound, handles of one path make one entry: the highest peaks,
// the cumulative and current counters and the times summed (the last ten
// handles each spend 2 ms and die holding a 16-byte block and 100 declared
// bytes, and four of the odd ones 2^62 more: the sums wrap past 2^63 and back,
// as counters do), and their sampled sites, merged by stack. The list merges
// as soon as it has been full: one handle more leaves it at most at the bound.
TEST(Registry, RetiredHandlesOfOnePathAreMerged) {
    constexpr std::int64_t kQuarter = std::int64_t{1} << 62;
    const TraceCapture trace; // the last ten report that they die holding memory
    dideverazez::observe::testing::SampleEvery(1);
    const std::size_t before = TakeSnapshot(dideverazez::GlobalAllocSizes()).Retired.size();
    zu_allocator root("Merged");
    for (std::size_t i = 0; i < RetiredBound + 10; ++i) {
        {
            zu_allocator child(root, i % 2 ? "odd" : "even");
            zu_free(child.Alloc(i < RetiredBound ? 8 : 1000), nullptr); // 32, then 1048
            for (const std::int64_t start = ProcessTime();
                 i >= RetiredBound && ProcessTime() < start + 2;) {
            }
            if (i >= RetiredBound) {
                child.Alloc(16); // 40, never freed: its handle is gone
                child.IncMemoryUsed(100 + (i >= RetiredBound + 2 && i % 2 == 1 ? kQuarter : 0));
            }
        }
        if (before + i == RetiredBound) {
            EXPECT_LE(TakeSnapshot(dideverazez::GlobalAllocSizes()).Retired.size(), RetiredBound);
        }
    }
    const Snapshot snapshot = Only(TakeSnapshot(dideverazez::GlobalAllocSizes()), "Merged/");
    dideverazez::observe::testing::SampleEvery(0);
    ASSERT_EQ(snapshot.Retired.size(), 2u);
    for (const RetiredHandle& r : snapshot.Retired) {
        // Every handle allocated from the same two stacks: two sites, one
        // holding the blocks that outlived their handles.
        const auto [first, end] = snapshot.Samples.SitesOf(r.Sites);
        ASSERT_EQ(end - first, 2) << r.Path;
        const bool heldFirst = first->InUseBlocks != 0.0;
        const auto& freed = first[heldFirst ? 1 : 0];
        const auto& held = first[heldFirst ? 0 : 1];
        EXPECT_EQ(freed.AllocatedBlocks, static_cast<double>(RetiredBound / 2 + 5)) << r.Path;
        EXPECT_EQ(freed.AllocatedBytes, static_cast<double>(8 * (RetiredBound / 2) + 1000 * 5));
        EXPECT_EQ(freed.InUseBlocks, 0.0) << r.Path;
        EXPECT_EQ(held.AllocatedBlocks, 5.0) << r.Path;
        EXPECT_EQ(held.InUseBlocks, 5.0) << r.Path;
        EXPECT_EQ(held.InUseBytes, 16.0 * 5) << r.Path;
        EXPECT_EQ(r.Handles, RetiredBound / 2 + 5) << r.Path;
        EXPECT_EQ(r.Figures.MemoryPeak, r.Path == "Merged/odd" ? kQuarter + 140 : 1048) << r.Path;
        EXPECT_EQ(r.Figures.MemoryCumul, 32 * (RetiredBound / 2) + (1048 + 40 + 100) * 5) << r.Path;
        EXPECT_EQ(r.Figures.MemoryCurrent, 140 * 5) << r.Path;
        EXPECT_EQ(r.Figures.CountCurrent, 2 * 5) << r.Path;
        EXPECT_EQ(r.Figures.CountCumul, RetiredBound / 2 + 3 * 5) << r.Path;
        EXPECT_GE(r.Figures.TimeTotal, 5 * 2) << r.Path;
    }
}

// Handles of distinct names past the bound join their siblings' entry
// ("<parent path>/*", with their count), and a path is kept cut to
// RetiredPathBytes at the start of a character, "..." included (a siblings'
// entry: its parent's path cut so, then "/*"): the list stays bounded
// whatever the names.
TEST(Registry, RetiredHandlesOfDistinctNamesAreBounded) {
    {
        zu_allocator filler("Filler"); // the list full at least once: merging
        for (std::size_t i = 0; i < RetiredBound; ++i) {
            zu_allocator one(filler, "one");
        }
    }
    zu_allocator root("Distinct");
    const std::string longName(1000, 'n');
    for (int i = 0; i < 300; ++i) {
        const std::string name = (i == 0 ? longName : "request-") + std::to_string(i);
        zu_allocator child(root, name.c_str());
    }
    // A two-byte character across the cut: it goes whole.
    const std::string longPath = std::string(252, 'r') + "\xc3\xa9" + std::string(46, 'r');
    zu_allocator longRoot(longPath.c_str());
    { zu_allocator sibling(longRoot, "sibling"); }
    const Snapshot snapshot = Only(TakeSnapshot(dideverazez::GlobalAllocSizes()), "Distinct/");
    ASSERT_EQ(snapshot.Retired.size(), 1u);
    EXPECT_EQ(snapshot.Retired[0].Path, "Distinct/*");
    EXPECT_EQ(snapshot.Retired[0].Handles, 300u);
    const Snapshot cut = Only(TakeSnapshot(dideverazez::GlobalAllocSizes()), "rrr");
    ASSERT_EQ(cut.Retired.size(), 1u);
    EXPECT_EQ(std::string(cut.Retired[0].Path), std::string(252, 'r') + ".../*");
    for (const RetiredHandle& r : TakeSnapshot(dideverazez::GlobalAllocSizes()).Retired) {
        EXPECT_LE(r.Path.size(), RetiredPathBytes + 2) << r.Path;
    }
}

// Not recorded, a child is not listed and a destroyed handle leaves nothing;
// a root is listed all the same (fork takes its lock).
TEST(Registry, HandlesNotRecordedLeaveNothing) {
    RecordHandles(false);
    {
        zu_allocator root("Unrecorded");
        zu_allocator child(root, "Child");
        const Snapshot live = Only(TakeSnapshot(dideverazez::GlobalAllocSizes()), "Unrecorded");
        ASSERT_EQ(live.Trees.size(), 1u);
        EXPECT_EQ(live.Trees[0].Engines.size(), 1u);
    }
    RecordHandles(true);
    const Snapshot after = Only(TakeSnapshot(dideverazez::GlobalAllocSizes()), "Unrecorded");
    EXPECT_TRUE(after.Trees.empty());
    EXPECT_TRUE(
        std::none_of(after.Retired.begin(), after.Retired.end(),
                     [](const RetiredHandle& r) { return r.Path.rfind("Unrecorded", 0) == 0; }));
}

} // namespace
