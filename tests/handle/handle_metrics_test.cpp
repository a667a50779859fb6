// Handle trees against the real engines: exact metrics after known sequences
// of operations, blocks freed through other handles or none, declared amounts,
// and the failures a client sees.
//
// Figures used below: a pooled block is charged at its stride (class size +
// 24), only to the engines of its chain that are not the root; a heap block
// (request above 1024) at request + 24 to its engine and every ancestor; a
// page at 4036 to the root; declared amounts to the engine and every ancestor.

#include "HandleTesting.h"

#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <stdexcept>

using dideverazez::test::Engine;
using dideverazez::test::MetricsOf;

namespace {

void ExpectFigures(const zu_allocator::Metrics& m, std::int64_t selfPeak, std::int64_t peak,
                   std::int64_t current, std::int64_t cumul, std::int64_t countCurrent,
                   std::int64_t countCumul) {
    EXPECT_EQ(m.SelfPeak, selfPeak);
    EXPECT_EQ(m.MemoryPeak, peak);
    EXPECT_EQ(m.MemoryCurrent, current);
    EXPECT_EQ(m.MemoryCumul, cumul);
    EXPECT_EQ(m.CountCurrent, countCurrent);
    EXPECT_EQ(m.CountCumul, countCumul);
}

// The arithmetic of the three-level scenario used by several tests below.
struct ThreeLevelTree {
    zu_allocator root{"R"};
    zu_allocator child{root, "C"};
    zu_allocator grandchild{&child, "G"};

    // 1. G.Alloc(100): 128-byte class, stride 152, charged to G and C; the new
    //    page (4036) to R.            C.Global 152,  R.Global 4036
    // 2. R.Free(g1): discharges G and C; the empty page is cached.
    //                                 C.Global 0,    R.Global 4036
    // 3. C.Alloc(2000): heap block 2024 to C (self) and R.
    //                                 C.Global 2024, R.Global 6060
    // 4. G.IncMemoryUsed(500): G, C and R.
    //                                 C.Global 2524, R.Global 6560
    // 5. zu_free(c1, nullptr): discharges C and R.
    //                                 C.Global 500,  R.Global 4536
    void Run() {
        void* g1 = grandchild.Alloc(100);
        root.Free(g1);
        void* c1 = child.Alloc(2000);
        grandchild.IncMemoryUsed(500);
        zu_free(c1, nullptr);
    }
    ~ThreeLevelTree() { grandchild.DecMemoryUsed(500); }
};

} // namespace

// The words of Metrics stand in their documented order, each 64 bits wide.
TEST(HandleMetrics, SevenSignedWordsInDocumentedOrder) {
    static_assert(sizeof(zu_allocator::Metrics) == 7 * sizeof(std::int64_t));
    static_assert(offsetof(zu_allocator::Metrics, TimeTotal) == 0);
    static_assert(offsetof(zu_allocator::Metrics, SelfPeak) == 8);
    static_assert(offsetof(zu_allocator::Metrics, MemoryPeak) == 16);
    static_assert(offsetof(zu_allocator::Metrics, MemoryCurrent) == 24);
    static_assert(offsetof(zu_allocator::Metrics, MemoryCumul) == 32);
    static_assert(offsetof(zu_allocator::Metrics, CountCurrent) == 40);
    static_assert(offsetof(zu_allocator::Metrics, CountCumul) == 48);
    static_assert(sizeof(zu_allocator) == 5 * sizeof(void*), "five pointer-wide fields");
    SUCCEED();
}

// Every level's metrics after the scenario. The middle handle shows six
// different figures, each in its own word; the leaf sees its own block and
// declared amount only; the root holds the page and every heap block and
// declared amount of its tree, but not the pooled blocks, and its GetMetrics
// releases the cached page.
TEST(HandleMetrics, EveryLevelOfThreeLevelTree) {
    ThreeLevelTree tree;
    tree.Run();
    // Root: Self is the page, 4036. Peak 4036 + 2024 + 500 = 6560 = Cumul.
    // Its GetMetrics flushes the page cached since step 2: Current 4536 - 4036
    // = 500. Counts: page, heap block, declared amount ever; the last now.
    ExpectFigures(MetricsOf(tree.root), 4036, 6560, 500, 6560, 1, 3);
    EXPECT_EQ(Engine(tree.root).PageStat.Memory.Current, 0);
    const zu_allocator::Metrics m = MetricsOf(tree.child);
    std::int64_t words[7];
    std::memcpy(words, &m, sizeof words);
    // SelfPeak: C's own heap block, 2024. Peak 2524 (step 4). Current 500.
    // Cumul 152 + 2024 + 500 = 2676. Counts: 1 now (the declared amount),
    // 3 ever (block, heap block, declared amount).
    EXPECT_EQ(words[1], 2024);
    EXPECT_EQ(words[2], 2524);
    EXPECT_EQ(words[3], 500);
    EXPECT_EQ(words[4], 2676);
    EXPECT_EQ(words[5], 1);
    EXPECT_EQ(words[6], 3);
    // Leaf: Self and Global alike: 152, back to 0, then 500. Cumul 152 + 500.
    ExpectFigures(MetricsOf(tree.grandchild), 500, 500, 500, 652, 1, 2);
}

// GetMetrics on any handle of a tree releases the tree's cached pages.
TEST(HandleMetrics, ChildMetricsReleaseRootsCachedPages) {
    zu_allocator root("R");
    zu_allocator child(root, "C");
    child.Free(child.Alloc(8)); // the page of the 8-byte class is now cached
    EXPECT_EQ(Engine(root).GlobalStat.Memory.Current, 4036);
    // The child's own figures: one 8-byte block at stride 32, given back.
    ExpectFigures(MetricsOf(child), 32, 32, 0, 32, 0, 1);
    EXPECT_EQ(Engine(root).GlobalStat.Memory.Current, 0);
    EXPECT_EQ(Engine(root).PageStat.Counter.Current, 0);
}

// Repeated GetMetrics report the same processor time: the first one stopped
// the measurement.
TEST(HandleMetrics, TimeTotalFixedByFirstMetrics) {
    zu_allocator root("R");
    const zu_allocator::Metrics first = MetricsOf(root);
    volatile std::uint64_t spin = 0;
    for (int i = 0; i < 2000000; ++i) {
        spin = spin + static_cast<std::uint64_t>(i);
    }
    const zu_allocator::Metrics second = MetricsOf(root);
    EXPECT_EQ(second.TimeTotal, first.TimeTotal);
}

// A block of one tree freed through a handle of another tree goes back to the
// engine named in its header.
TEST(HandleMetrics, BlockFreedThroughHandleOfAnotherTree) {
    zu_allocator first("A");
    zu_allocator firstChild(first, "A1");
    zu_allocator second("B");
    void* p = firstChild.Alloc(1500); // heap block, 1524 to A1 and A
    ExpectFigures(MetricsOf(firstChild), 1524, 1524, 1524, 1524, 1, 1);
    second.Free(p);
    ExpectFigures(MetricsOf(firstChild), 1524, 1524, 0, 1524, 0, 1);
    ExpectFigures(MetricsOf(first), 0, 1524, 0, 1524, 0, 1);
    ExpectFigures(MetricsOf(second), 0, 0, 0, 0, 0, 0);
}

// zu_free and zu_free_array need no handle: a null one frees the block all
// the same.
TEST(HandleMetrics, FreeFunctionsWithNullHandle) {
    zu_allocator root("R");
    zu_allocator child(root, "C");
    void* a = zu_alloc(40, &child, "a");         // 48-byte class, stride 72
    void* b = zu_alloc_array(3000, &child, "b"); // heap block, 3024
    EXPECT_EQ(MetricsOf(child).MemoryCurrent, 72 + 3024);
    zu_free(a, nullptr);
    zu_free_array(b, nullptr);
    // Peak 3096, Cumul 3096, 2 counts ever, nothing now.
    ExpectFigures(MetricsOf(child), 3096, 3096, 0, 3096, 0, 2);
}

// Null blocks are ignored by every free path.
TEST(HandleMetrics, NullBlocksAreIgnored) {
    zu_allocator root("R");
    void* kept = root.Alloc(2000);
    root.Free(nullptr);
    zu_free(nullptr, &root);
    zu_free(nullptr, nullptr);
    zu_free_array(nullptr, &root);
    // Only the heap block: 2024, one count.
    ExpectFigures(MetricsOf(root), 2024, 2024, 2024, 2024, 1, 1);
    root.Free(kept);
}

// Reserve always answers true and charges the chain; UnReserve takes it back.
TEST(HandleMetrics, ReserveAndUnReserveChargeTheChain) {
    zu_allocator root("R");
    zu_allocator child(root, "C");
    EXPECT_TRUE(child.Reserve(1000));
    EXPECT_EQ(Engine(child).ReservedStat.Current, 1000);
    ExpectFigures(MetricsOf(root), 0, 1000, 1000, 1000, 1, 1);
    child.UnReserve(1000);
    ExpectFigures(MetricsOf(child), 1000, 1000, 0, 1000, 0, 1);
    ExpectFigures(MetricsOf(root), 0, 1000, 0, 1000, 0, 1);
}

// CheckLimits answers true and changes no figure.
TEST(HandleMetrics, CheckLimitsAlwaysTrue) {
    zu_allocator root("R");
    root.IncMemoryUsed(64);
    EXPECT_TRUE(root.CheckLimits());
    ExpectFigures(MetricsOf(root), 64, 64, 64, 64, 1, 1);
    EXPECT_TRUE(root.CheckLimits());
    root.DecMemoryUsed(64);
}

// GetRootAllocator follows the parents to the top; a root returns itself.
TEST(HandleMetrics, GetRootAllocatorFindsTopmostHandle) {
    zu_allocator root("R");
    zu_allocator child(&root, "C");
    zu_allocator grandchild(child, "G");
    zu_allocator loneRoot(static_cast<zu_allocator*>(nullptr), "L");
    EXPECT_EQ(&grandchild.GetRootAllocator(), &root);
    EXPECT_EQ(&child.GetRootAllocator(), &root);
    EXPECT_EQ(&root.GetRootAllocator(), &root);
    EXPECT_EQ(&loneRoot.GetRootAllocator(), &loneRoot);
    EXPECT_EQ(Engine(grandchild).Root, &Engine(root));
}

// Every handle of a tree is paged; a pointer constructor with a null parent
// gives an ordinary (not global) root; only a handle built with the global
// flag has a global engine.
TEST(HandleMetrics, EngineKindsAndFlags) {
    zu_allocator root;
    zu_allocator child(root, "C");
    zu_allocator loneRoot(static_cast<zu_allocator*>(nullptr), "L");
    zu_allocator global("G", true);
    zu_allocator globalChild(global, "GC");
    EXPECT_EQ(Engine(root).GetKind(), 1);
    EXPECT_EQ(Engine(child).GetKind(), 1);
    EXPECT_FALSE(Engine(root).IsGlobal);
    EXPECT_FALSE(Engine(loneRoot).IsGlobal);
    EXPECT_TRUE(Engine(global).IsGlobal);
    EXPECT_FALSE(Engine(globalChild).IsGlobal);
    EXPECT_EQ(Engine(loneRoot).Parent, nullptr);
    EXPECT_STREQ(Engine(root).Name, "<unknown>"); // a null name reaches the engine as null
    EXPECT_EQ(Engine(child).Parent, &Engine(root));
}

// The allocating free functions refuse a null handle with std::invalid_argument.
TEST(HandleFailures, NullHandleToAllocatingFunctions) {
    EXPECT_THROW(zu_alloc(8, nullptr, "x"), std::invalid_argument);
    EXPECT_THROW(zu_alloc(8, nullptr, "x", "c"), std::invalid_argument);
    EXPECT_THROW(zu_alloc_array(8, nullptr, "x"), std::invalid_argument);
    EXPECT_THROW(zu_alloc_array(8, nullptr, "x", "c"), std::invalid_argument);
}

// A heap refusal inside the engine reaches the caller as the engine raised it,
// with no figure changed.
TEST(HandleFailures, HeapRefusalPassesUnchanged) {
    zu_allocator root("R");
    zu_allocator child(root, "C");
    void* kept = child.Alloc(16); // the 16-byte class page exists now
    dideverazez::testing::FailHeapCall(1);
    try {
        child.Alloc(5000);
        FAIL() << "no exception";
    } catch (const allocation_failure& failure) {
        EXPECT_STREQ(failure.what(), "bad allocation");
    }
    dideverazez::testing::FailHeapCall(1);
    EXPECT_THROW(zu_alloc(100, &child, "n"), std::bad_alloc); // needs a page of its class
    dideverazez::testing::FailHeapCall(1);
    EXPECT_THROW(zu_alloc_array(2000, &child, "n", "c"), std::bad_alloc);
    dideverazez::testing::FailHeapCall(0);
    // Only the 16-byte block (stride 40) and the page are charged.
    ExpectFigures(MetricsOf(child), 40, 40, 40, 40, 1, 1);
    EXPECT_EQ(Engine(root).GlobalStat.Memory.Cumul, 4036);
    child.Free(kept);
}

// When the heap refuses the engine's storage, construction raises
// std::bad_alloc and the live-handle count is as before.
TEST(HandleFailures, EngineStorageRefused) {
    const std::int32_t live = dideverazez::LiveHandleCount();
    const std::uint64_t starts = dideverazez::testing::ProfileStarts();
    const std::uint64_t stops = dideverazez::testing::ProfileStops();
    dideverazez::testing::FailHeapCall(1);
    EXPECT_THROW({ zu_allocator handle("refused"); }, std::bad_alloc);
    dideverazez::testing::FailHeapCall(0);
    EXPECT_EQ(dideverazez::LiveHandleCount(), live);
    EXPECT_EQ(dideverazez::testing::ProfileStarts(), starts);
    EXPECT_EQ(dideverazez::testing::ProfileStops(), stops);
}
