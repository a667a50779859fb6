// The request-size histogram: its 52 classes, where each size is counted, the
// one block its table takes from its allocator, and Reset.

#include "statistics/AllocSizes.h"

#include "handle/HandleTesting.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

using dideverazez::test::Engine;
using dideverazez::test::EngineSwap;
using dideverazez::test::SpyEngine;

namespace {

struct Row {
    std::uint64_t bound;
    const char* label;
};

// Written out by hand: 0, 2, 4; every 4 to 32; every 8 to 64; every 16 to 256;
// every 64 to 512; powers of two to 2^31.
const Row kExpectedRows[52] = {
    {0, "  0 b "},         {2, "  2 b "},         {4, "  4 b "},          {8, "  8 b "},
    {12, " 12 b "},        {16, " 16 b "},        {20, " 20 b "},         {24, " 24 b "},
    {28, " 28 b "},        {32, " 32 b "},        {40, " 40 b "},         {48, " 48 b "},
    {56, " 56 b "},        {64, " 64 b "},        {80, " 80 b "},         {96, " 96 b "},
    {112, "112 b "},       {128, "128 b "},       {144, "144 b "},        {160, "160 b "},
    {176, "176 b "},       {192, "192 b "},       {208, "208 b "},        {224, "224 b "},
    {240, "240 b "},       {256, "256 b "},       {320, "320 b "},        {384, "384 b "},
    {448, "448 b "},       {512, "512 b "},       {1024, "  1 Ko"},       {2048, "  2 Ko"},
    {4096, "  4 Ko"},      {8192, "  8 Ko"},      {16384, " 16 Ko"},      {32768, " 32 Ko"},
    {65536, " 64 Ko"},     {131072, "128 Ko"},    {262144, "256 Ko"},     {524288, "512 Ko"},
    {1048576, "  1 Mo"},   {2097152, "  2 Mo"},   {4194304, "  4 Mo"},    {8388608, "  8 Mo"},
    {16777216, " 16 Mo"},  {33554432, " 32 Mo"},  {67108864, " 64 Mo"},   {134217728, "128 Mo"},
    {268435456, "256 Mo"}, {536870912, "512 Mo"}, {1073741824, "  1 Go"}, {2147483648u, "  2 Go"},
};

std::uint64_t TotalCount(const AllocSizes& sizes) {
    std::uint64_t total = 0;
    for (const AllocSizeClass& row : sizes.classes) {
        total += row.count;
    }
    return total;
}

// A paged root and child: the child's figures show exactly what the histogram
// took, since nothing else allocates through it.
struct Bench {
    zu_allocator root{"R"};
    zu_allocator child{root, "C"};
};

} // namespace

// A new histogram has no classes, no storage and no pages, and took nothing.
TEST(AllocSizes, NewHistogramIsEmpty) {
    Bench bench;
    AllocSizes sizes("fresh", &bench.child);
    EXPECT_STREQ(sizes.name, "fresh");
    EXPECT_EQ(sizes.allocator, &bench.child);
    EXPECT_TRUE(sizes.classes.empty());
    EXPECT_EQ(sizes.classes.capacity(), 0u);
    EXPECT_EQ(sizes.pages, 0u);
    EXPECT_EQ(Engine(bench.child).GlobalStat.Counter.Cumul, 0);
}

// Without a name the histogram is "unknown"; without an allocator it uses the
// module's "DEBUG" root.
TEST(AllocSizes, DefaultsAreUnknownAndDebugRoot) {
    AllocSizes sizes;
    EXPECT_STREQ(sizes.name, "unknown");
    EXPECT_EQ(sizes.allocator, &dideverazez::DebugRootAllocator());
    AllocSizes named("N");
    EXPECT_EQ(named.allocator, &dideverazez::DebugRootAllocator());
}

// Reset builds the 52 classes with their documented bounds and labels, in
// order, all counts 0.
TEST(AllocSizes, ResetBuildsTheFiftyTwoClasses) {
    Bench bench;
    AllocSizes sizes("rows", &bench.child);
    sizes.Reset();
    ASSERT_EQ(sizes.classes.size(), 52u);
    for (std::size_t i = 0; i < 52; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(sizes.classes[i].bound, kExpectedRows[i].bound);
        EXPECT_EQ(std::string(sizes.classes[i].label), kExpectedRows[i].label);
        EXPECT_EQ(std::string(sizes.classes[i].label).size(), 6u);
        EXPECT_EQ(sizes.classes[i].count, 0u);
    }
}

// Each size lands in the first class whose bound is at least the size.
TEST(AllocSizes, RecordFindsTheClassAtEveryBoundary) {
    struct Case {
        std::uint64_t size;
        std::size_t row;
    };
    const Case cases[] = {
        {0, 0},       {1, 1},           {2, 1},
        {3, 2},       {4, 2},           {5, 3},
        {9, 4},       {32, 9},          {33, 10},
        {64, 13},     {65, 14},         {256, 25},
        {257, 26},    {449, 29},        {512, 29},
        {513, 30},    {1024, 30},       {1025, 31},
        {524289, 40}, {1073741825, 51}, {2147483648u, 51},
    };
    Bench bench;
    for (const Case& c : cases) {
        AllocSizes sizes("b", &bench.child);
        AllocSizeClass* row = sizes.Record(c.size);
        ASSERT_NE(row, nullptr) << c.size;
        EXPECT_EQ(row, &sizes.classes[c.row]) << c.size;
        EXPECT_EQ(row->count, 1u) << c.size;
        EXPECT_STREQ(row->label, kExpectedRows[c.row].label) << c.size;
        EXPECT_EQ(TotalCount(sizes), 1u) << c.size;
    }
}

// Every bound is counted in its own class; one byte more goes to the next.
TEST(AllocSizes, EveryBoundAndTheByteAbove) {
    Bench bench;
    AllocSizes sizes("b", &bench.child);
    sizes.Reset();
    for (std::size_t i = 0; i < 52; ++i) {
        EXPECT_EQ(sizes.Record(kExpectedRows[i].bound), &sizes.classes[i]) << i;
        if (i + 1 < 52) {
            EXPECT_EQ(sizes.Record(kExpectedRows[i].bound + 1), &sizes.classes[i + 1]) << i;
        }
    }
    // Class 0 got its bound; every later class its bound and the byte above the
    // previous bound.
    EXPECT_EQ(sizes.classes[0].count, 1u);
    for (std::size_t i = 1; i < 52; ++i) {
        EXPECT_EQ(sizes.classes[i].count, 2u) << i;
    }
}

// Sizes above 2 GiB are counted nowhere.
TEST(AllocSizes, SizesAboveTheLastBoundAreLeftOut) {
    Bench bench;
    AllocSizes sizes("b", &bench.child);
    EXPECT_EQ(sizes.Record(2147483649u), nullptr);
    EXPECT_EQ(sizes.Record(UINT64_MAX), nullptr);
    EXPECT_EQ(sizes.classes.size(), 52u); // the table was built all the same
    EXPECT_EQ(TotalCount(sizes), 0u);
}

// The first Record takes one block of 52 rows (1,248 bytes) from the bound
// allocator: above 1024 bytes, a heap block charged at 1,248 + 24 = 1,272.
TEST(AllocSizes, FirstRecordTakesOneBlockFromItsAllocator) {
    Bench bench;
    {
        AllocSizes sizes("b", &bench.child);
        sizes.Record(100);
        EXPECT_EQ(sizes.classes.capacity(), 52u);
        const allocator_impl& child = Engine(bench.child);
        EXPECT_EQ(child.SelfStat.Memory.Current, 1272);
        EXPECT_EQ(child.LargeStat.Memory.Current, 1272);
        EXPECT_EQ(child.LargeStat.Counter.Cumul, 1);
        EXPECT_EQ(child.PooledStat.Counter.Cumul, 0);
        EXPECT_EQ(Engine(bench.root).GlobalStat.Memory.Current, 1272);
        sizes.Record(100);
        sizes.RecordPage();
        EXPECT_EQ(child.LargeStat.Counter.Cumul, 1); // still the one block
    }
    // Destroying the histogram gives the block back.
    EXPECT_EQ(Engine(bench.child).SelfStat.Memory.Current, 0);
    EXPECT_EQ(Engine(bench.child).SelfStat.Counter.Current, 0);
    EXPECT_EQ(Engine(bench.root).GlobalStat.Memory.Current, 0);
}

// The table's block is requested as 1,248 bytes under "lmstl_allocator"/"STL"
// and given back to the same engine.
TEST(AllocSizes, TableBlockNamedLmstlAllocatorSTL) {
    zu_allocator handle("H");
    SpyEngine spy;
    EngineSwap swap(handle, spy);
    void* table = nullptr;
    {
        AllocSizes sizes("b", &handle);
        sizes.Reset();
        table = sizes.classes.data();
        ASSERT_EQ(spy.requests.size(), 1u);
        EXPECT_EQ(spy.requests[0].size, 1248u);
        EXPECT_STREQ(spy.requests[0].name, "lmstl_allocator");
        EXPECT_STREQ(spy.requests[0].category, "STL");
        EXPECT_TRUE(spy.freed.empty());
    }
    ASSERT_EQ(spy.freed.size(), 1u);
    EXPECT_EQ(spy.freed[0], table);
}

// A histogram without an allocator takes its block from "DEBUG".
TEST(AllocSizes, DefaultAllocatorChargesDebugRoot) {
    const allocator_impl& debug = Engine(dideverazez::DebugRootAllocator());
    const std::int64_t before = debug.LargeStat.Memory.Current;
    {
        AllocSizes sizes;
        sizes.Record(1);
        EXPECT_EQ(debug.LargeStat.Memory.Current, before + 1272);
        EXPECT_EQ(debug.GlobalStat.Memory.Current, before + 1272);
    }
    EXPECT_EQ(debug.LargeStat.Memory.Current, before);
}

// Reset on a built table keeps its rows and its block and clears every count
// and the page count.
TEST(AllocSizes, ResetKeepsStorageAndClearsCounts) {
    Bench bench;
    AllocSizes sizes("b", &bench.child);
    sizes.Record(7);
    sizes.Record(7000);
    sizes.RecordPage();
    sizes.RecordPage();
    const AllocSizeClass* storage = sizes.classes.data();
    sizes.Reset();
    EXPECT_EQ(sizes.classes.data(), storage);
    EXPECT_EQ(sizes.classes.size(), 52u);
    EXPECT_EQ(TotalCount(sizes), 0u);
    EXPECT_EQ(sizes.pages, 0u);
    EXPECT_EQ(sizes.classes[3].bound, 8u);
    // No second block was taken.
    EXPECT_EQ(Engine(bench.child).LargeStat.Counter.Cumul, 1);
}

// Pages recorded before the table is built are lost: the first Record builds
// it through Reset, which clears the page count.
TEST(AllocSizes, PagesBeforeFirstRecordAreLost) {
    Bench bench;
    AllocSizes sizes("b", &bench.child);
    sizes.RecordPage();
    sizes.RecordPage();
    sizes.RecordPage();
    EXPECT_EQ(sizes.pages, 3u);
    EXPECT_TRUE(sizes.classes.empty());
    sizes.Record(10);
    EXPECT_EQ(sizes.pages, 0u);
    sizes.RecordPage();
    EXPECT_EQ(sizes.pages, 1u);
    EXPECT_EQ(sizes.classes[4].count, 1u); // 10 is in " 12 b "
}

// When the block cannot be had, Reset raises std::bad_alloc and the table
// stays without classes or storage, with nothing charged.
TEST(AllocSizes, ResetFailureLeavesTableEmpty) {
    Bench bench;
    AllocSizes sizes("b", &bench.child);
    sizes.RecordPage();
    dideverazez::testing::FailHeapCall(1);
    EXPECT_THROW(sizes.Reset(), std::bad_alloc);
    dideverazez::testing::FailHeapCall(1);
    EXPECT_THROW(sizes.Record(5), std::bad_alloc);
    dideverazez::testing::FailHeapCall(0);
    EXPECT_TRUE(sizes.classes.empty());
    EXPECT_EQ(sizes.classes.capacity(), 0u);
    EXPECT_EQ(Engine(bench.child).GlobalStat.Counter.Cumul, 0);
    // A later attempt succeeds.
    const AllocSizeClass* row = sizes.Record(5);
    EXPECT_EQ(row, &sizes.classes[3]);
}
