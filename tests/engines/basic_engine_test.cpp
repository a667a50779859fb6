// The basic engine: every block straight from the C heap with a 16-byte header,
// charged at request + 24 to the engine's root and to the engine itself.

#include "engines/kdideverazez_impl.h"
#include "handle/Internals.h"
#include "support/EngineFigures.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

namespace {

using namespace dideverazez::test;
namespace seams = dideverazez::testing;

} // namespace

// A block of the root or of the grandchild: the header names the engine and
// the bytes taken (request + 24), the whole request is usable, and the charge
// goes once to the engine and once to the root, never to the child between.
TEST(BasicEngine, BlockChargedToItsEngineAndTheRootOnly) {
    struct Row {
        int engine; // 0 root, 2 grandchild
        std::uint64_t request;
        std::int64_t size; // request + 24
    };
    const Row rows[] = {{0, 0, 24}, {0, 100, 124}, {2, 100, 124}, {2, 1000, 1024}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.request);
        BasicTree tree;
        allocator_none& e = *tree.All()[row.engine];
        void* p = e.Alloc(row.request, "n", "c");
        ASSERT_NE(p, nullptr);
        std::memset(p, 0x11, row.request);
        EXPECT_EQ(HeaderOf(p)->Owner, &e);
        EXPECT_EQ(HeaderOf(p)->Size, static_cast<std::uint64_t>(row.size));
        for (allocator_none* charged : {&tree.root, &e}) {
            EXPECT_TRUE(StatIs(charged->GlobalStat, {row.size, row.size, row.size}, {1, 1, 1}));
            EXPECT_FALSE(charged->IsEmpty());
        }
        EXPECT_TRUE(IsZero(tree.child.GlobalStat));
        EXPECT_TRUE(tree.child.IsEmpty());
        e.Free(p);
        for (allocator_none* charged : {&tree.root, &e}) {
            EXPECT_TRUE(StatIs(charged->GlobalStat, {0, row.size, row.size}, {0, 1, 1}));
            EXPECT_TRUE(charged->IsEmpty()); // a non-global basic engine: GlobalStat decides
        }
        for (allocator_none* engine : tree.All()) {
            EXPECT_TRUE(OnlyGlobalStatUsed(*engine));
        }
    }
}

// A mixed sequence on the three engines, figure by figure.
TEST(BasicEngine, MixedSequenceFigures) {
    BasicTree tree;
    allocator_none& r = tree.root;
    allocator_none& c = tree.child;
    allocator_none& g = tree.grandchild;

    void* p1 = g.Alloc(100, nullptr, nullptr);  // 124 to g and r
    void* p2 = c.Alloc(10, nullptr, nullptr);   // 34 to c and r
    void* p3 = r.Alloc(1000, nullptr, nullptr); // 1024 to r
    // r: 124 + 34 + 1024 = 1182 in 3 items
    EXPECT_TRUE(StatIs(r.GlobalStat, {1182, 1182, 1182}, {3, 3, 3}));
    EXPECT_TRUE(StatIs(c.GlobalStat, {34, 34, 34}, {1, 1, 1}));
    EXPECT_TRUE(StatIs(g.GlobalStat, {124, 124, 124}, {1, 1, 1}));

    g.Free(p1); // r: 1182 - 124 = 1058
    EXPECT_TRUE(StatIs(r.GlobalStat, {1058, 1182, 1182}, {2, 3, 3}));
    EXPECT_TRUE(StatIs(g.GlobalStat, {0, 124, 124}, {0, 1, 1}));

    g.IncMemoryUsed(500); // r: 1058 + 500 = 1558 > 1182 new peak; cumul 1182 + 500 = 1682
    EXPECT_TRUE(StatIs(r.GlobalStat, {1558, 1558, 1682}, {3, 3, 4}));
    EXPECT_TRUE(StatIs(g.GlobalStat, {500, 500, 624}, {1, 1, 2})); // cumul 124 + 500
    EXPECT_TRUE(StatIs(c.GlobalStat, {34, 34, 34}, {1, 1, 1}));

    g.DecMemoryUsed(500);
    EXPECT_TRUE(StatIs(r.GlobalStat, {1058, 1558, 1682}, {2, 3, 4}));
    EXPECT_TRUE(StatIs(g.GlobalStat, {0, 500, 624}, {0, 1, 2}));

    c.Free(p2); // r: 1058 - 34 = 1024
    r.Free(p3); // r: 1024 - 1024 = 0
    EXPECT_TRUE(StatIs(r.GlobalStat, {0, 1558, 1682}, {0, 3, 4}));
    EXPECT_TRUE(StatIs(c.GlobalStat, {0, 34, 34}, {0, 1, 1}));
    for (const allocator_impl* e : tree.All()) {
        EXPECT_TRUE(OnlyGlobalStatUsed(*e));
        EXPECT_TRUE(e->IsEmpty());
    }
}

// Reserve and IncMemoryUsed leave the same figures, and so do UnReserve and
// DecMemoryUsed: two identical trees driven one way and the other agree.
TEST(BasicEngine, ReserveActsAsIncMemoryUsed) {
    BasicTree declared;
    BasicTree reserved;
    declared.grandchild.IncMemoryUsed(300);
    reserved.grandchild.Reserve(300);
    declared.child.IncMemoryUsed(50);
    reserved.child.Reserve(50);
    declared.grandchild.DecMemoryUsed(300);
    reserved.grandchild.UnReserve(300);

    // root: 300 + 50 - 300 = 50, peak 350, cumul 350, items 1/2/2.
    EXPECT_TRUE(StatIs(reserved.root.GlobalStat, {50, 350, 350}, {1, 2, 2}));
    EXPECT_TRUE(StatIs(reserved.child.GlobalStat, {50, 50, 50}, {1, 1, 1}));
    EXPECT_TRUE(StatIs(reserved.grandchild.GlobalStat, {0, 300, 300}, {0, 1, 1}));
    EXPECT_TRUE(SameFigures(FiguresOf(declared), FiguresOf(reserved)));
    for (const allocator_impl* e : reserved.All()) {
        EXPECT_TRUE(OnlyGlobalStatUsed(*e)); // no ReservedStat, no UsedStat
    }
    declared.child.DecMemoryUsed(50);
    reserved.child.UnReserve(50);
}

// With DebugFill set on the root, its descendants fill the requested bytes of
// each block they hand out with 0xCD, and nothing beyond them.
TEST(BasicEngine, DebugFillMarksHandedOutBytes) {
    allocator_none root("root", nullptr, false);
    root.DebugFill = true;
    allocator_none child("child", &root, false);
    for (allocator_none* engine : {&root, &child}) {
        void* p = engine->Alloc(40, nullptr, nullptr);
        EXPECT_TRUE(Filled(p, 0, 40, 0xCD));
        EXPECT_EQ(HeaderOf(p)->Owner, engine); // the header is not filled
        EXPECT_EQ(HeaderOf(p)->Size, 64u);     // 40 + 24
        engine->Free(p);
    }
}

// Requests whose block size (request + 24) would pass 2^64 - 1 raise "bad
// allocation" before the heap is asked; the largest representable one and
// 1<<62 reach the heap, which refuses them. No figure of the tree changes.
TEST(BasicEngine, ImpossibleSizesRaiseWithNothingChanged) {
    BasicTree tree;
    void* kept = tree.grandchild.Alloc(10, nullptr, nullptr);
    const TreeFigures before = FiguresOf(tree);
    const std::uint64_t calls = seams::HeapCalls();
    for (std::uint64_t size : {UINT64_MAX, UINT64_MAX - 1, UINT64_MAX - 23}) {
        EXPECT_TRUE(RaisesBadAllocation([&] { tree.child.Alloc(size, nullptr, nullptr); })) << size;
    }
    EXPECT_EQ(seams::HeapCalls(), calls); // never asked
    // UINT64_MAX - 24 + 24 = UINT64_MAX: representable, so the heap is asked.
    for (std::uint64_t size : {UINT64_MAX - 24, std::uint64_t{1} << 62}) {
        EXPECT_TRUE(RaisesBadAllocation([&] { tree.grandchild.Alloc(size, nullptr, nullptr); }));
    }
    EXPECT_EQ(seams::HeapCalls(), calls + 2);
    EXPECT_TRUE(SameFigures(FiguresOf(tree), before));
    tree.grandchild.Free(kept);
}

// The heap refusing an ordinary block raises "bad allocation" with nothing
// changed; the engine works again afterwards.
TEST(BasicEngine, HeapFailureChangesNothing) {
    BasicTree tree;
    void* kept = tree.child.Alloc(5, nullptr, nullptr); // 29 to child and root
    const TreeFigures before = FiguresOf(tree);
    {
        HeapFault fault(1);
        EXPECT_TRUE(RaisesBadAllocation([&] { tree.child.Alloc(64, nullptr, nullptr); }));
    }
    EXPECT_TRUE(SameFigures(FiguresOf(tree), before));
    void* next = tree.child.Alloc(64, nullptr, nullptr);                    // 88
    EXPECT_TRUE(StatIs(tree.child.GlobalStat, {117, 117, 117}, {2, 2, 2})); // 29 + 88
    tree.child.Free(next);
    tree.child.Free(kept);
}
