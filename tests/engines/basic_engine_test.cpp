// The basic engine: every block straight from the C heap with a 16-byte header,
// charged at request + 24 to the engine's root and to the engine itself.

#include "engines/kdideverazez_impl.h"
#include "handle/Internals.h"
#include "support/EngineFigures.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

namespace {

using dideverazez::test::EngineFigures;
using dideverazez::test::FiguresOf;
using dideverazez::test::HeapFault;
using dideverazez::test::IsZero;
using dideverazez::test::SameFigures;
using dideverazez::test::StatIs;
using dideverazez::test::ValueIs;
namespace seams = dideverazez::testing;

// Root, child and grandchild basic engines.
struct BasicTree {
    allocator_none root{"root", nullptr, false};
    allocator_none child{"child", &root, false};
    allocator_none grandchild{"grandchild", &child, false};
};

// Every statistic but GlobalStat is untouched.
::testing::AssertionResult OnlyGlobalStatUsed(const allocator_impl& engine) {
    const EngineFigures f = FiguresOf(engine);
    if (IsZero(f.Self) && IsZero(f.Large) && IsZero(f.Used) && ValueIs(f.Reserved, {0, 0, 0}) &&
        IsZero(f.Page) && IsZero(f.Pooled)) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << engine.Name << " has figures beside GlobalStat";
}

// Expects std::bad_alloc with the library's message from `call`.
template <class Call>::testing::AssertionResult RaisesBadAllocation(Call call) {
    try {
        call();
    } catch (const std::bad_alloc& failure) {
        if (std::string(failure.what()) == "bad allocation") {
            return ::testing::AssertionSuccess();
        }
        return ::testing::AssertionFailure() << "what() is \"" << failure.what() << '"';
    }
    return ::testing::AssertionFailure() << "nothing raised";
}

} // namespace

// Alloc(0) takes a 24-byte block: Owner and Size first, user pointer 16 bytes
// in; one charge of 24 bytes.
TEST(BasicEngine, AllocZeroTakes24Bytes) {
    allocator_none root("root", nullptr, false);
    void* p = root.Alloc(0, "n", "c");
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(HeaderOf(p)->Owner, &root);
    EXPECT_EQ(HeaderOf(p)->Size, 24u); // 0 + 24
    EXPECT_TRUE(StatIs(root.GlobalStat, {24, 24, 24}, {1, 1, 1}));
    root.Free(p);
    EXPECT_TRUE(StatIs(root.GlobalStat, {0, 24, 24}, {0, 1, 1}));
    EXPECT_TRUE(OnlyGlobalStatUsed(root));
}

// The header names the engine and the bytes taken; the user bytes follow it.
TEST(BasicEngine, BlockCarriesOwnerAndSize) {
    BasicTree tree;
    void* p = tree.grandchild.Alloc(1000, nullptr, nullptr);
    EXPECT_EQ(HeaderOf(p)->Owner, &tree.grandchild);
    EXPECT_EQ(HeaderOf(p)->Size, 1024u); // 1000 + 24
    std::memset(p, 0x11, 1000);          // the whole request is usable
    tree.grandchild.Free(p);
}

// A root's block is charged to the root once, not twice.
TEST(BasicEngine, RootChargedOnce) {
    allocator_none root("root", nullptr, false);
    void* p = root.Alloc(100, nullptr, nullptr);
    EXPECT_TRUE(StatIs(root.GlobalStat, {124, 124, 124}, {1, 1, 1})); // 100 + 24
    root.Free(p);
}

// A grandchild's block is charged to the grandchild and the root; the child in
// between is not touched.
TEST(BasicEngine, GrandchildChargesSelfAndRootNotMiddle) {
    BasicTree tree;
    void* p = tree.grandchild.Alloc(100, nullptr, nullptr); // 100 + 24 = 124
    EXPECT_TRUE(StatIs(tree.root.GlobalStat, {124, 124, 124}, {1, 1, 1}));
    EXPECT_TRUE(IsZero(tree.child.GlobalStat));
    EXPECT_TRUE(StatIs(tree.grandchild.GlobalStat, {124, 124, 124}, {1, 1, 1}));
    tree.grandchild.Free(p);
    EXPECT_TRUE(StatIs(tree.root.GlobalStat, {0, 124, 124}, {0, 1, 1}));
    EXPECT_TRUE(IsZero(tree.child.GlobalStat));
    EXPECT_TRUE(StatIs(tree.grandchild.GlobalStat, {0, 124, 124}, {0, 1, 1}));
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
    for (const allocator_impl* e : {&tree.root, &tree.child, &tree.grandchild}) {
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
    const allocator_impl* left[] = {&declared.root, &declared.child, &declared.grandchild};
    const allocator_impl* right[] = {&reserved.root, &reserved.child, &reserved.grandchild};
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(SameFigures(FiguresOf(*left[i]), FiguresOf(*right[i])));
        EXPECT_TRUE(OnlyGlobalStatUsed(*right[i])); // no ReservedStat, no UsedStat
    }
    declared.child.DecMemoryUsed(50);
    reserved.child.UnReserve(50);
}

// For a non-global basic engine IsEmpty follows GlobalStat exactly.
TEST(BasicEngine, EmptyExactlyWhenGlobalStatEmpty) {
    BasicTree tree;
    void* p = tree.grandchild.Alloc(1, nullptr, nullptr);
    EXPECT_FALSE(tree.grandchild.IsEmpty());
    EXPECT_TRUE(tree.child.IsEmpty()); // the middle holds nothing
    EXPECT_FALSE(tree.root.IsEmpty());
    tree.grandchild.Free(p);
    EXPECT_TRUE(tree.grandchild.IsEmpty());
    EXPECT_TRUE(tree.root.IsEmpty());
}

// With DebugFill set on the root, its descendants fill the requested bytes of
// each block they hand out with 0xCD, and nothing beyond them.
TEST(BasicEngine, DebugFillMarksHandedOutBytes) {
    allocator_none root("root", nullptr, false);
    root.DebugFill = true;
    allocator_none child("child", &root, false);
    for (allocator_none* engine : {&root, &child}) {
        auto* p = static_cast<unsigned char*>(engine->Alloc(40, nullptr, nullptr));
        for (int i = 0; i < 40; ++i) {
            ASSERT_EQ(p[i], 0xCD) << "byte " << i;
        }
        EXPECT_EQ(HeaderOf(p)->Owner, engine); // the header is not filled
        EXPECT_EQ(HeaderOf(p)->Size, 64u);     // 40 + 24
        engine->Free(p);
    }
}

// A request of 1<<62 bytes that the heap refuses raises "bad allocation" and
// changes no figure of any engine of the tree.
TEST(BasicEngine, HugeRequestRaisesWithNothingChanged) {
    BasicTree tree;
    void* kept = tree.grandchild.Alloc(10, nullptr, nullptr);
    const EngineFigures r = FiguresOf(tree.root);
    const EngineFigures c = FiguresOf(tree.child);
    const EngineFigures g = FiguresOf(tree.grandchild);
    EXPECT_TRUE(RaisesBadAllocation(
        [&] { tree.grandchild.Alloc(std::uint64_t{1} << 62, nullptr, nullptr); }));
    EXPECT_TRUE(SameFigures(FiguresOf(tree.root), r));
    EXPECT_TRUE(SameFigures(FiguresOf(tree.child), c));
    EXPECT_TRUE(SameFigures(FiguresOf(tree.grandchild), g));
    tree.grandchild.Free(kept);
}

// Requests whose block size (request + 24) would pass 2^64 - 1 raise before
// the heap is asked; the largest representable one reaches the heap, which
// refuses it.
TEST(BasicEngine, BlockSizeBeyond64BitsRaisesBeforeTheHeap) {
    BasicTree tree;
    const EngineFigures before = FiguresOf(tree.child);
    const std::uint64_t calls = seams::HeapCalls();
    for (std::uint64_t size : {UINT64_MAX, UINT64_MAX - 1, UINT64_MAX - 23}) {
        EXPECT_TRUE(RaisesBadAllocation([&] { tree.child.Alloc(size, nullptr, nullptr); })) << size;
    }
    EXPECT_EQ(seams::HeapCalls(), calls); // never asked
    // UINT64_MAX - 24 + 24 = UINT64_MAX: representable, so the heap is asked.
    EXPECT_TRUE(RaisesBadAllocation([&] { tree.child.Alloc(UINT64_MAX - 24, nullptr, nullptr); }));
    EXPECT_EQ(seams::HeapCalls(), calls + 1);
    EXPECT_TRUE(SameFigures(FiguresOf(tree.child), before));
    EXPECT_TRUE(IsZero(tree.root.GlobalStat));
}

// The heap refusing an ordinary block raises "bad allocation" with nothing
// changed; the engine works again afterwards.
TEST(BasicEngine, HeapFailureChangesNothing) {
    BasicTree tree;
    void* kept = tree.child.Alloc(5, nullptr, nullptr); // 29 to child and root
    const EngineFigures r = FiguresOf(tree.root);
    const EngineFigures c = FiguresOf(tree.child);
    {
        HeapFault fault(1);
        EXPECT_TRUE(RaisesBadAllocation([&] { tree.child.Alloc(64, nullptr, nullptr); }));
    }
    EXPECT_TRUE(SameFigures(FiguresOf(tree.root), r));
    EXPECT_TRUE(SameFigures(FiguresOf(tree.child), c));
    void* next = tree.child.Alloc(64, nullptr, nullptr);                    // 88
    EXPECT_TRUE(StatIs(tree.child.GlobalStat, {117, 117, 117}, {2, 2, 2})); // 29 + 88
    tree.child.Free(next);
    tree.child.Free(kept);
}
