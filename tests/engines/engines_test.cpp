// The engines. Which test owns which rule:
//  - EngineContract (both engines): impossible sizes and heap refusals raise
//    "bad allocation" and change nothing; handed-out bytes are filled with
//    0xCD when the tree fills.
//  - BasicEngine: a block's header; charges to its root and itself only.
//  - StatValue: signed peaks, figures that wrap.
//  - EngineBase: names, roots, fill inheritance, the time measurement, the
//    pending test, the global engine's error at destruction.
//  - PagedEdges: a depth past the ancestors an engine keeps at hand, the fill
//    of a block given back.
// Every figure of every operation of paged trees (the class boundaries, 1024
// and 1025 bytes among them), the pool's lists, order and cache (the fifth
// emptied page), and heap refusals at every heap call are the reference
// model's (tests/reliability); the pool's invariants are checked by the
// library itself in the checking build (checks_test.cpp).

#include "engines/MemoryCheckers.h"
#include "engines/kdideverazez_impl.h"
#include "platform/Platform.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <tuple>
#include <vector>

namespace {

using namespace dideverazez::test;
namespace seams = dideverazez::testing;

// Bytes [0, n) of `p` all read `value`.
bool Filled(const void* p, std::size_t n, unsigned char value) {
    const auto* bytes = static_cast<const unsigned char*>(p);
    return std::all_of(bytes, bytes + n, [value](unsigned char c) { return c == value; });
}

template <class Engine> struct Tree {
    Engine root{"root", nullptr, false};
    Engine child{"child", &root, false};
    Engine grandchild{"grandchild", &child, false};
};
template <class Engine> struct EngineContract : ::testing::Test, Tree<Engine> {};
using BothEngines = ::testing::Types<allocator_none, allocator_data>;
TYPED_TEST_SUITE(EngineContract, BothEngines);

// Beyond 2^64 - 25 the block size does not fit: refused before the heap is
// asked. 2^64 - 25 and 2^62 reach the heap, which refuses them; so does a
// request when the heap fails. Nothing changes, and the engine works after.
TYPED_TEST(EngineContract, RefusalsChangeNothing) {
    const auto before = AllFigures(this->root);
    const std::uint64_t calls = seams::HeapCalls();
    const struct {
        std::uint64_t size;
        std::uint64_t heapCalls; // made by the refused request
        bool heapFails;
    } rows[] = {{UINT64_MAX, 0, false},
                {UINT64_MAX - 23, 0, false},
                {UINT64_MAX - 24, 1, false},
                {std::uint64_t{1} << 62, 1, false},
                {100, 1, true},
                {5000, 1, true}};
    std::uint64_t expectedCalls = calls;
    for (const auto& row : rows) {
        HeapFault fault(row.heapFails ? 1 : 0);
        EXPECT_TRUE(RaisesBadAllocation([&] {
            this->grandchild.Alloc(row.size, nullptr, nullptr);
        })) << row.size;
        expectedCalls += row.heapCalls;
        EXPECT_EQ(seams::HeapCalls(), expectedCalls) << row.size;
    }
    EXPECT_EQ(AllFigures(this->root), before);
    EXPECT_TRUE(this->grandchild.IsEmpty());
    zu_free(this->grandchild.Alloc(100, nullptr, nullptr), nullptr);
}

// A tree whose root fills: every byte asked for reads 0xCD, and a child built
// afterwards fills too.
TYPED_TEST(EngineContract, FillingTreeHandsOutCD) {
    this->root.DebugFill = true;
    TypeParam late("late", &this->root, false);
    EXPECT_FALSE(this->child.DebugFill); // copied at construction
    for (std::uint64_t size : {1, 40, 2000}) {
        void* p = late.Alloc(size, nullptr, nullptr);
        EXPECT_TRUE(Filled(p, size, 0xCD)) << size;
        zu_free(p, nullptr);
    }
}

// A basic engine charges every amount to its root's GlobalStat and its own,
// never to the engines between, and keeps no other statistic. Reserve and
// IncMemoryUsed have the same effect, as have UnReserve and DecMemoryUsed.
TEST(BasicEngine, ChargesItsRootAndItselfOnly) {
    Tree<allocator_none> tree;
    void* p = tree.grandchild.Alloc(100, nullptr, nullptr); // 124
    EXPECT_EQ(HeaderOf(p)->Owner, &tree.grandchild);
    EXPECT_EQ(HeaderOf(p)->Size, 124u);
    tree.grandchild.IncMemoryUsed(10);
    tree.grandchild.Reserve(20);
    tree.grandchild.UnReserve(5);
    const std::array<Triple, 2> charged{{{149, 154, 154}, {2, 3, 3}}}; // 124 + 10 + 20 - 5
    EXPECT_EQ(Of(tree.grandchild.GlobalStat), charged);
    EXPECT_EQ(Of(tree.root.GlobalStat), charged);
    EXPECT_TRUE(tree.child.IsEmpty());
    tree.grandchild.DecMemoryUsed(25);
    tree.grandchild.Free(p);
    EXPECT_EQ(Of(tree.root.GlobalStat), (std::array<Triple, 2>{{{0, 154, 154}, {0, 3, 3}}}));
    EXPECT_EQ(AllFigures(tree.grandchild).front(), (Triple{0, 0, 0})); // ReservedStat
    tree.grandchild.GlobalStat = {};
    EXPECT_EQ(AllFigures(tree.grandchild), AllFigures(tree.child));
}

// Adding raises Current and Cumul and, in a signed comparison, Peak;
// subtracting lowers Current only. Figures wrap modulo 2^64.
TEST(StatValue, SignedPeakAndWrappingFigures) {
    StatValue v;
    v.Subtract(5);
    v.Add(3);
    EXPECT_EQ(Of(v), (Triple{-2, 0, 3}));
    v.Add(INT64_MAX);
    EXPECT_EQ(Of(v), (Triple{INT64_MAX - 2, INT64_MAX - 2, INT64_MIN + 2}));
    v.Add(3); // Current wraps below the peak
    EXPECT_EQ(Of(v), (Triple{INT64_MIN, INT64_MAX - 2, INT64_MIN + 5}));
    StatAlloc s;
    s.Charge(0);
    EXPECT_FALSE(s.IsEmpty()); // an item of no bytes is pending
    s.Discharge(0);
    EXPECT_TRUE(s.IsEmpty());
    EXPECT_EQ(Of(s), (std::array<Triple, 2>{{{0, 0, 0}, {0, 1, 1}}}));
}

// A null name reads "<unknown>"; a name is kept as the caller's pointer. Each
// engine knows its tree's root, and takes its parent's fill at construction.
TEST(EngineBase, NamesRootsAndKinds) {
    const char* name = "named";
    Tree<allocator_data> tree;
    allocator_none unnamed(nullptr, nullptr, false);
    allocator_data named(name, &tree.grandchild, false);
    EXPECT_STREQ(unnamed.Name, "<unknown>");
    EXPECT_EQ(named.Name, name);
    EXPECT_EQ(named.Root, &tree.root);
    EXPECT_EQ(tree.root.Root, &tree.root);
    EXPECT_THROW(allocator_data("paged", &unnamed, false), std::invalid_argument);
}

// A non-global engine measures the process's processor time from its
// construction to its first Flush; later Flushes change nothing. A global
// engine never runs and keeps the times at its construction.
TEST(EngineBase, TimeFromConstructionToTheFirstFlush) {
    const auto now = [] {
        std::uint64_t user = 0, kernel = 0;
        dideverazez::platform::ProcessTimes(dideverazez::platform::CurrentProcess(), user, kernel);
        return user + kernel;
    };
    for (bool global : {false, true}) {
        const std::uint64_t before = now();
        allocator_none engine("e", nullptr, global);
        const std::uint64_t after = now();
        EXPECT_EQ(engine.Process.Running, !global);
        EXPECT_GE(engine.GetTimeTotal(), before);
        EXPECT_LE(engine.GetTimeTotal(), after);
        const std::uint64_t atConstruction = engine.GetTimeTotal();
        for (const std::uint64_t start = now(); now() < start + 30;) {
        }
        const std::uint64_t beforeFlush = now();
        engine.Flush();
        const std::uint64_t measured = engine.GetTimeTotal();
        EXPECT_FALSE(engine.Process.Running);
        if (global) {
            EXPECT_EQ(measured, atConstruction);
        } else {
            EXPECT_GE(measured, beforeFlush - after);
            EXPECT_LE(measured, now() - before);
        }
        for (const std::uint64_t start = now(); now() < start + 10;) {
        }
        engine.Flush();
        EXPECT_EQ(engine.GetTimeTotal(), measured);
        EXPECT_EQ(engine.GetTimeTotal(), engine.Process.UserTime + engine.Process.KernelTime);
    }
}

// An engine is empty only when every statistic's Currents are 0 — a global
// one ignores its GlobalStat. One item of 0 bytes in any statistic is pending.
TEST(EngineBase, PendingTestLooksAtEveryStatistic) {
    StatAlloc allocator_impl::*const stats[] = {
        &allocator_impl::GlobalStat, &allocator_impl::SelfStat, &allocator_impl::LargeStat,
        &allocator_impl::UsedStat,   &allocator_impl::PageStat, &allocator_impl::PooledStat};
    for (bool global : {false, true}) {
        for (auto stat : stats) {
            allocator_none engine("e", nullptr, global);
            (engine.*stat).Charge(0);
            EXPECT_EQ(engine.IsEmpty(), global && stat == &allocator_impl::GlobalStat);
            (engine.*stat).Discharge(0);
        }
        allocator_none engine("e", nullptr, global);
        engine.ReservedStat.Add(1);
        EXPECT_FALSE(engine.IsEmpty());
        engine.ReservedStat.Subtract(1);
        EXPECT_TRUE(engine.IsEmpty());
    }
}

// A global engine destroyed with any own statistic pending writes one error
// with its GlobalStat count; with only GlobalStat pending, or a non-global
// engine, nothing. A paged global root frees its cached pages first.
TEST(EngineBase, GlobalEngineReportsPendingMemoryOnce) {
    TraceCapture trace;
    for (bool global : {false, true}) {
        allocator_data engine("e", nullptr, global);
        engine.GlobalStat.Charge(3);
        engine.GlobalStat.Charge(4);
        zu_free(engine.Alloc(8, nullptr, nullptr), nullptr); // its page stays cached
    }
    {
        allocator_none engine("e", nullptr, true);
        engine.UsedStat.Charge(0);
        engine.GlobalStat.Charge(1);
    }
    EXPECT_EQ(trace.Text(), "0 kdideverazez_impl(105): ERROR R9_ALLOCATOR: ~allocator_impl: "
                            "MEMORY ERROR : Release global allocator with pending memory blocks "
                            ": 1\n");
}

// An engine keeps its first eight ancestors at hand and walks the rest: at
// depths 1 to 12 a pooled block (88), a heap block (2024) and a reservation
// (10) of the deepest engine reach every engine of its chain, the root only
// with the page (4036) instead of the pooled block.
TEST(PagedEdges, EveryDepthChargesEveryAncestor) {
    for (std::size_t depth = 1; depth <= 12; ++depth) {
        std::vector<std::unique_ptr<allocator_data>> chain;
        chain.push_back(std::make_unique<allocator_data>("root", nullptr, false));
        while (chain.size() <= depth) {
            chain.push_back(std::make_unique<allocator_data>("level", chain.back().get(), false));
        }
        allocator_data& deepest = *chain.back();
        void* pooled = deepest.Alloc(64, nullptr, nullptr);
        void* large = deepest.Alloc(2000, nullptr, nullptr);
        deepest.Reserve(10);
        for (std::size_t level = 0; level <= depth; ++level) {
            const std::int64_t held = level == 0 ? 6070 : 2122;
            EXPECT_EQ(Of(chain[level]->GlobalStat.Memory), (Triple{held, held, held}))
                << depth << " " << level;
        }
        deepest.Free(pooled);
        deepest.Free(large);
        deepest.UnReserve(10);
        for (std::size_t level = 1; level <= depth; ++level) {
            EXPECT_EQ(Of(chain[level]->GlobalStat.Memory)[0], 0) << depth << " " << level;
        }
        while (!chain.empty()) {
            chain.pop_back();
        }
    }
}

// A filling tree fills a pooled block's whole class with 0xFE when it comes
// back, and the next request of the class gets it again: the bytes beyond the
// new request still read 0xFE, the header is left alone.
TEST(PagedEdges, ReturnedBlockIsFilledWithFE) {
    allocator_data root("root", nullptr, false);
    root.DebugFill = true;
    void* neighbour = root.Alloc(40, nullptr, nullptr); // keeps the page listed
    void* p = root.Alloc(40, nullptr, nullptr);         // class 48
    root.Free(p);
    dideverazez::detail::Show(HeaderOf(p), 64); // free now: hidden from the checkers
    EXPECT_TRUE(Filled(p, 48, 0xFE));
    EXPECT_EQ(HeaderOf(p)->Size, 0u);
    ASSERT_EQ(root.Alloc(33, nullptr, nullptr), p);
    EXPECT_TRUE(Filled(p, 33, 0xCD));
    dideverazez::detail::Show(static_cast<char*>(p) + 33, 15);
    EXPECT_TRUE(Filled(static_cast<char*>(p) + 33, 15, 0xFE));
    root.Free(p);
    root.Free(neighbour);
}

// A large block of a filling tree is filled with 0xFE, its header too, just
// before it goes back to the heap.
TEST(PagedEdges, ReturnedLargeBlockIsFilledWithFE) {
    allocator_data root("root", nullptr, false);
    root.DebugFill = true;
    void* p = root.Alloc(5000, nullptr, nullptr);
    static const void* expected;
    static std::uint64_t bytes;
    static bool filled;
    expected = static_cast<char*>(p) - 24; // the C heap's block, header first
    bytes = HeaderOf(p)->Size;
    filled = false;
    dideverazez::testing::WatchHeapFrees([](const void* block) {
        filled = filled || (block == expected && Filled(block, bytes, 0xFE));
    });
    root.Free(p);
    dideverazez::testing::WatchHeapFrees(nullptr);
    EXPECT_GE(bytes, 5000u);
    EXPECT_TRUE(filled);
}

} // namespace
