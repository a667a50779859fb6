// The paged engine: who is charged what for pooled blocks, heap blocks,
// declared use and reservations; the class boundaries; Flush; destruction of
// a global root; the heap refusing pages and blocks; the debug fill patterns.

#include "engines/kdideverazez_impl.h"
#include "handle/Internals.h"
#include "handle/dideverazez.h"
#include "support/EngineFigures.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using dideverazez::test::EngineFigures;
using dideverazez::test::FiguresOf;
using dideverazez::test::HeapFault;
using dideverazez::test::IsZero;
using dideverazez::test::PageOfPooled;
using dideverazez::test::PoolFigures;
using dideverazez::test::SameFigures;
using dideverazez::test::SamePool;
using dideverazez::test::Sound;
using dideverazez::test::StatIs;
using dideverazez::test::TraceCapture;
using dideverazez::test::ValueIs;
namespace seams = dideverazez::testing;

// Root, child and grandchild paged engines; all share the root's pool.
struct PagedTree {
    allocator_data root{"root", nullptr, false};
    allocator_data child{"child", &root, false};
    allocator_data grandchild{"grandchild", &child, false};

    PagedMemory& pool() { return root.OwnPool; }
};

// The free path of the library: the block's Owner decides, whichever engine
// the caller has at hand.
void FreeBlock(void* p) {
    HeaderOf(p)->Owner->Free(p);
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

// The tree lock is free: a try_lock succeeds (and is undone).
::testing::AssertionResult Unlocked(allocator_impl& root) {
    if (!root.Mutex.try_lock()) {
        return ::testing::AssertionFailure() << "the tree lock is held";
    }
    root.Mutex.unlock();
    return ::testing::AssertionSuccess();
}

} // namespace

// Each engine of a tree uses the root's pool; only the root owns it.
TEST(PagedEngine, TreeSharesTheRootsPool) {
    PagedTree tree;
    EXPECT_EQ(tree.root.Pool, &tree.root.OwnPool);
    EXPECT_EQ(tree.child.Pool, &tree.root.OwnPool);
    EXPECT_EQ(tree.grandchild.Pool, &tree.root.OwnPool);
    EXPECT_TRUE(tree.root.OwnsPool());
    EXPECT_FALSE(tree.child.OwnsPool());
    EXPECT_EQ(tree.child.OwnPool.Owner, &tree.child); // built, never used
    EXPECT_EQ(tree.root.OwnPool.Owner, &tree.root);
}

// A parent that is not a paged engine is refused.
TEST(PagedEngine, ParentOfWrongKindIsRefused) {
    allocator_none basic("basic", nullptr, false);
    EXPECT_THROW(allocator_data("paged", &basic, false), std::invalid_argument);
}

// Ten 8-byte blocks of a root: pooled at 32 bytes each; the root pays for the
// page only in SelfStat and GlobalStat.
TEST(PagedEngine, RootPooledBlocksChargeThePageOnly) {
    allocator_data root("root", nullptr, false);
    std::vector<void*> blocks;
    for (int i = 0; i < 10; ++i) {
        blocks.push_back(root.Alloc(8, nullptr, nullptr));
    }
    EXPECT_TRUE(StatIs(root.PooledStat, {320, 320, 320}, {10, 10, 10})); // 10 * 32
    EXPECT_TRUE(StatIs(root.SelfStat, {4036, 4036, 4036}, {1, 1, 1}));
    EXPECT_TRUE(StatIs(root.GlobalStat, {4036, 4036, 4036}, {1, 1, 1}));
    EXPECT_TRUE(StatIs(root.PageStat, {4036, 4036, 4036}, {1, 1, 1}));
    EXPECT_TRUE(IsZero(root.LargeStat));
    for (void* p : blocks) {
        root.Free(p);
    }
    EXPECT_TRUE(StatIs(root.PooledStat, {0, 320, 320}, {0, 10, 10}));
    EXPECT_TRUE(StatIs(root.PageStat, {4036, 4036, 4036}, {1, 1, 1})); // cached
}

// A child's 8-byte block is charged at 32 bytes to its PooledStat, SelfStat and
// GlobalStat; the root grows by the page alone.
TEST(PagedEngine, ChildPooledBlock) {
    PagedTree tree;
    void* p = tree.child.Alloc(8, nullptr, nullptr);
    EXPECT_TRUE(StatIs(tree.child.PooledStat, {32, 32, 32}, {1, 1, 1}));
    EXPECT_TRUE(StatIs(tree.child.SelfStat, {32, 32, 32}, {1, 1, 1}));
    EXPECT_TRUE(StatIs(tree.child.GlobalStat, {32, 32, 32}, {1, 1, 1}));
    EXPECT_TRUE(StatIs(tree.root.GlobalStat, {4036, 4036, 4036}, {1, 1, 1}));
    EXPECT_TRUE(IsZero(tree.root.PooledStat));
    EXPECT_EQ(HeaderOf(p)->Owner, &tree.child);
    EXPECT_EQ(HeaderOf(p)->Size, 0u);
    void* q = tree.child.Alloc(8, nullptr, nullptr); // same page: the root does not move
    EXPECT_TRUE(StatIs(tree.root.GlobalStat, {4036, 4036, 4036}, {1, 1, 1}));
    EXPECT_TRUE(StatIs(tree.child.GlobalStat, {64, 64, 64}, {2, 2, 2}));
    tree.child.Free(p);
    tree.child.Free(q);
}

// A grandchild's pooled block is charged to the grandchild and to the child's
// GlobalStat, not to the root's, and not to the child's SelfStat.
TEST(PagedEngine, GrandchildPooledBlockSkipsTheRoot) {
    PagedTree tree;
    void* p = tree.grandchild.Alloc(100, nullptr, nullptr); // class 128: 128 + 24 = 152
    EXPECT_TRUE(StatIs(tree.grandchild.PooledStat, {152, 152, 152}, {1, 1, 1}));
    EXPECT_TRUE(StatIs(tree.grandchild.SelfStat, {152, 152, 152}, {1, 1, 1}));
    EXPECT_TRUE(StatIs(tree.grandchild.GlobalStat, {152, 152, 152}, {1, 1, 1}));
    EXPECT_TRUE(StatIs(tree.child.GlobalStat, {152, 152, 152}, {1, 1, 1}));
    EXPECT_TRUE(IsZero(tree.child.SelfStat));
    EXPECT_TRUE(IsZero(tree.child.PooledStat));
    EXPECT_TRUE(StatIs(tree.root.GlobalStat, {4036, 4036, 4036}, {1, 1, 1})); // the page
    tree.grandchild.Free(p);
    EXPECT_TRUE(StatIs(tree.child.GlobalStat, {0, 152, 152}, {0, 1, 1}));
}

// A heap block, declared use and a reservation on a grandchild are charged to
// the GlobalStat of every engine up to the root.
TEST(PagedEngine, GrandchildHeapAndDeclaredReachTheRoot) {
    PagedTree tree;
    void* p = tree.grandchild.Alloc(2000, nullptr, nullptr); // 2000 + 24 = 2024
    tree.grandchild.IncMemoryUsed(100);
    tree.grandchild.Reserve(50);
    // 2024 + 100 + 50 = 2174 in three items, on each engine of the chain
    for (const allocator_impl* e : {&tree.root, &tree.child, &tree.grandchild}) {
        EXPECT_TRUE(StatIs(e->GlobalStat, {2174, 2174, 2174}, {3, 3, 3})) << e->Name;
    }
    EXPECT_TRUE(StatIs(tree.grandchild.SelfStat, {2174, 2174, 2174}, {3, 3, 3}));
    EXPECT_TRUE(StatIs(tree.grandchild.LargeStat, {2024, 2024, 2024}, {1, 1, 1}));
    EXPECT_TRUE(StatIs(tree.grandchild.UsedStat, {100, 100, 100}, {1, 1, 1}));
    EXPECT_TRUE(ValueIs(tree.grandchild.ReservedStat, {50, 50, 50}));
    EXPECT_TRUE(IsZero(tree.grandchild.PooledStat));
    EXPECT_TRUE(IsZero(tree.root.SelfStat)); // no page was needed
    EXPECT_TRUE(IsZero(tree.child.SelfStat));
    EXPECT_EQ(HeaderOf(p)->Size, 2024u);
    EXPECT_EQ(HeaderOf(p)->Owner, &tree.grandchild);
    tree.grandchild.UnReserve(50);
    tree.grandchild.DecMemoryUsed(100);
    tree.grandchild.Free(p);
    for (const allocator_impl* e : {&tree.root, &tree.child, &tree.grandchild}) {
        EXPECT_TRUE(e->IsEmpty()) << e->Name;
    }
}

// Reserve(n) then UnReserve(n) brings every Current of the chain back.
TEST(PagedEngine, ReserveThenUnReserveRestoresCurrents) {
    PagedTree tree;
    tree.child.IncMemoryUsed(10);
    tree.child.Reserve(700);
    tree.child.UnReserve(700);
    EXPECT_TRUE(StatIs(tree.child.SelfStat, {10, 710, 710}, {1, 2, 2}));
    EXPECT_TRUE(ValueIs(tree.child.ReservedStat, {0, 700, 700}));
    EXPECT_TRUE(StatIs(tree.child.GlobalStat, {10, 710, 710}, {1, 2, 2}));
    EXPECT_TRUE(StatIs(tree.root.GlobalStat, {10, 710, 710}, {1, 2, 2}));
    EXPECT_TRUE(IsZero(tree.grandchild.GlobalStat));
    EXPECT_TRUE(StatIs(tree.child.UsedStat, {10, 10, 10}, {1, 1, 1}));
    tree.child.DecMemoryUsed(10);
}

// A root's own declared use and reservation go to its SelfStat and GlobalStat
// like a child's.
TEST(PagedEngine, RootDeclaredAmounts) {
    allocator_data root("root", nullptr, false);
    root.IncMemoryUsed(64);
    root.Reserve(36);
    EXPECT_TRUE(StatIs(root.SelfStat, {100, 100, 100}, {2, 2, 2})); // 64 + 36
    EXPECT_TRUE(StatIs(root.GlobalStat, {100, 100, 100}, {2, 2, 2}));
    EXPECT_TRUE(StatIs(root.UsedStat, {64, 64, 64}, {1, 1, 1}));
    EXPECT_TRUE(ValueIs(root.ReservedStat, {36, 36, 36}));
    EXPECT_FALSE(root.IsEmpty());
    root.DecMemoryUsed(64);
    root.UnReserve(36);
    EXPECT_TRUE(root.IsEmpty());
}

// A block freed through the free path of another engine of the tree discharges
// the engine that allocated it.
TEST(PagedEngine, FreeReachesTheOwner) {
    PagedTree tree;
    void* pooled = tree.child.Alloc(64, nullptr, nullptr);  // 88
    void* large = tree.child.Alloc(4000, nullptr, nullptr); // 4024
    zu_free(pooled, nullptr);
    zu_free_array(large, nullptr);
    EXPECT_TRUE(StatIs(tree.child.SelfStat, {0, 4112, 4112}, {0, 2, 2})); // 88 + 4024
    EXPECT_TRUE(StatIs(tree.child.PooledStat, {0, 88, 88}, {0, 1, 1}));
    EXPECT_TRUE(StatIs(tree.child.LargeStat, {0, 4024, 4024}, {0, 1, 1}));
    EXPECT_TRUE(IsZero(tree.root.PooledStat));
    EXPECT_TRUE(IsZero(tree.root.LargeStat));
    // root: page 4036 then heap block 4024 → peak 8060; page stays cached
    EXPECT_TRUE(StatIs(tree.root.GlobalStat, {4036, 8060, 8060}, {1, 2, 2}));
}

// A mixed sequence on root, child and grandchild, every statistic checked at
// the points where it moves.
TEST(PagedEngine, MixedSequenceChargingTable) {
    PagedTree tree;
    allocator_data& r = tree.root;
    allocator_data& c = tree.child;
    allocator_data& g = tree.grandchild;

    // 1. c: 8 bytes, class 8, stride 32, on a new page P1 (4036 to r).
    void* c8 = c.Alloc(8, nullptr, nullptr);
    // 2. g: 64 bytes, class 64, stride 88, on a new page P2.
    void* g64 = g.Alloc(64, nullptr, nullptr);
    // 3. r: 9 bytes, class 16, stride 40, on a new page P3.
    void* r9 = r.Alloc(9, nullptr, nullptr);
    EXPECT_TRUE(StatIs(r.PageStat, {12108, 12108, 12108}, {3, 3, 3})); // 3 * 4036
    EXPECT_TRUE(StatIs(r.SelfStat, {12108, 12108, 12108}, {3, 3, 3}));
    EXPECT_TRUE(StatIs(r.GlobalStat, {12108, 12108, 12108}, {3, 3, 3}));
    EXPECT_TRUE(StatIs(r.PooledStat, {40, 40, 40}, {1, 1, 1}));
    EXPECT_TRUE(StatIs(c.GlobalStat, {120, 120, 120}, {2, 2, 2})); // 32 + 88

    // 4. g: 5000 bytes from the heap: 5024 to g (Self, Large) and every GlobalStat.
    void* g5000 = g.Alloc(5000, nullptr, nullptr);
    // 5. c declares 1000 bytes in use.
    c.IncMemoryUsed(1000);
    // 6. g reserves 300 bytes.
    g.Reserve(300);
    EXPECT_TRUE(StatIs(g.SelfStat, {5412, 5412, 5412}, {3, 3, 3})); // 88 + 5024 + 300
    EXPECT_TRUE(StatIs(g.GlobalStat, {5412, 5412, 5412}, {3, 3, 3}));
    EXPECT_TRUE(StatIs(c.SelfStat, {1032, 1032, 1032}, {2, 2, 2}));      // 32 + 1000
    EXPECT_TRUE(StatIs(c.GlobalStat, {6444, 6444, 6444}, {5, 5, 5}));    // 120 + 5024 + 1000 + 300
    EXPECT_TRUE(StatIs(r.GlobalStat, {18432, 18432, 18432}, {6, 6, 6})); // 12108 + 6324
    EXPECT_TRUE(StatIs(r.SelfStat, {12108, 12108, 12108}, {3, 3, 3}));   // pages only

    // 7. g's 64-byte block freed through the free path: P2 empties and is cached.
    FreeBlock(g64);
    EXPECT_TRUE(StatIs(g.PooledStat, {0, 88, 88}, {0, 1, 1}));
    EXPECT_TRUE(StatIs(g.SelfStat, {5324, 5412, 5412}, {2, 3, 3}));   // 5412 - 88
    EXPECT_TRUE(StatIs(c.GlobalStat, {6356, 6444, 6444}, {4, 5, 5})); // 6444 - 88
    EXPECT_TRUE(StatIs(r.GlobalStat, {18432, 18432, 18432}, {6, 6, 6}));
    EXPECT_EQ(tree.pool().FreePageCount, 1u);

    // 8. c: 1024 bytes, class 1024, stride 1048, on the cached page P2: no heap.
    void* c1024 = c.Alloc(1024, nullptr, nullptr);
    EXPECT_EQ(tree.pool().FreePageCount, 0u);
    EXPECT_TRUE(StatIs(c.PooledStat, {1080, 1080, 1080}, {2, 2, 2})); // 32 + 1048
    EXPECT_TRUE(StatIs(c.SelfStat, {2080, 2080, 2080}, {3, 3, 3}));   // 1032 + 1048
    // 6356 + 1048 = 7404 above the old peak 6444; cumul 6444 + 1048 = 7492
    EXPECT_TRUE(StatIs(c.GlobalStat, {7404, 7404, 7492}, {5, 5, 6}));
    EXPECT_TRUE(StatIs(r.GlobalStat, {18432, 18432, 18432}, {6, 6, 6}));

    // 9. g takes its reservation back.
    g.UnReserve(300);
    EXPECT_TRUE(ValueIs(g.ReservedStat, {0, 300, 300}));
    EXPECT_TRUE(StatIs(g.SelfStat, {5024, 5412, 5412}, {1, 3, 3}));
    EXPECT_TRUE(StatIs(c.GlobalStat, {7104, 7404, 7492}, {4, 5, 6}));
    EXPECT_TRUE(StatIs(r.GlobalStat, {18132, 18432, 18432}, {5, 6, 6}));

    // 10. g's heap block freed through the root.
    FreeBlock(g5000);
    EXPECT_TRUE(StatIs(g.LargeStat, {0, 5024, 5024}, {0, 1, 1}));
    EXPECT_TRUE(StatIs(g.GlobalStat, {0, 5412, 5412}, {0, 3, 3}));
    EXPECT_TRUE(StatIs(c.GlobalStat, {2080, 7404, 7492}, {3, 5, 6}));
    // r: three pages (12108) and c's declared 1000 in four items
    EXPECT_TRUE(StatIs(r.GlobalStat, {13108, 18432, 18432}, {4, 6, 6}));
    EXPECT_TRUE(g.IsEmpty());

    // 11. Everything back: the pages are cached, still charged to r.
    FreeBlock(c8);
    FreeBlock(c1024);
    FreeBlock(r9);
    c.DecMemoryUsed(1000);
    EXPECT_TRUE(c.IsEmpty());
    EXPECT_TRUE(StatIs(r.GlobalStat, {12108, 18432, 18432}, {3, 6, 6}));
    EXPECT_TRUE(StatIs(r.PooledStat, {0, 40, 40}, {0, 1, 1}));
    EXPECT_EQ(tree.pool().FreePageCount, 3u);
    EXPECT_TRUE(Sound(tree.pool()));
    r.Flush();
    EXPECT_TRUE(StatIs(r.GlobalStat, {0, 18432, 18432}, {0, 6, 6}));
    EXPECT_TRUE(r.IsEmpty());
}

// The class boundaries: 0 and 8 go to the 8-byte class, 9 to the 16-byte one,
// 449 to the 512-byte one, 1024 is still pooled and 1025 goes to the heap.
TEST(PagedEngine, ClassBoundaries) {
    struct Row {
        std::uint64_t request;
        std::int64_t charged; // to the child's SelfStat
        std::uint64_t sizeWord;
        bool pooled;
    };
    const Row rows[] = {
        {0, 32, 0, true},          // class 8: 8 + 24
        {8, 32, 0, true},          // class 8
        {9, 40, 0, true},          // class 16: 16 + 24
        {449, 536, 0, true},       // class 512: 512 + 24 (no class between 384 and 512)
        {1024, 1048, 0, true},     // class 1024: 1024 + 24
        {1025, 1049, 1049, false}, // heap: 1025 + 24
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.request);
        PagedTree tree;
        void* p = tree.child.Alloc(row.request, nullptr, nullptr);
        EXPECT_EQ(HeaderOf(p)->Size, row.sizeWord);
        EXPECT_TRUE(
            StatIs(tree.child.SelfStat, {row.charged, row.charged, row.charged}, {1, 1, 1}));
        if (row.pooled) {
            EXPECT_TRUE(
                StatIs(tree.child.PooledStat, {row.charged, row.charged, row.charged}, {1, 1, 1}));
            EXPECT_TRUE(IsZero(tree.child.LargeStat));
            EXPECT_EQ(PageOfPooled(p)->Stride, static_cast<std::uint64_t>(row.charged));
        } else {
            EXPECT_TRUE(
                StatIs(tree.child.LargeStat, {row.charged, row.charged, row.charged}, {1, 1, 1}));
            EXPECT_TRUE(IsZero(tree.child.PooledStat));
            EXPECT_TRUE(IsZero(tree.root.PageStat));
        }
        tree.child.Free(p);
        EXPECT_TRUE(tree.child.IsEmpty());
    }
}

// The right manager counts each pooled block: 449 bytes is a block of the
// 512-byte class (index 14).
TEST(PagedEngine, RequestCountedByItsManager) {
    PagedTree tree;
    void* p = tree.grandchild.Alloc(449, nullptr, nullptr);
    EXPECT_TRUE(ValueIs(tree.pool().Managers[14].Blocks, {1, 1, 1}));
    EXPECT_TRUE(ValueIs(tree.pool().Managers[14].Pages, {1, 1, 1}));
    EXPECT_TRUE(ValueIs(tree.pool().Managers[13].Blocks, {0, 0, 0}));
    tree.grandchild.Free(p);
    EXPECT_TRUE(ValueIs(tree.pool().Managers[14].Blocks, {0, 1, 1}));
}

// Flush on any engine of a tree frees the tree's cached pages: the root is
// discharged by 4036 bytes and one item per page; only the flushed engine's
// time measurement stops.
TEST(PagedEngine, FlushFromAnyEngineFreesTheTreesCache) {
    for (int which = 0; which < 3; ++which) {
        SCOPED_TRACE(which);
        PagedTree tree;
        allocator_data* engines[] = {&tree.root, &tree.child, &tree.grandchild};
        void* a = tree.grandchild.Alloc(8, nullptr, nullptr);
        void* b = tree.child.Alloc(200, nullptr, nullptr);
        void* kept = tree.root.Alloc(300, nullptr, nullptr);
        FreeBlock(a);
        FreeBlock(b);
        ASSERT_EQ(tree.pool().FreePageCount, 2u);
        EXPECT_TRUE(StatIs(tree.root.PageStat, {12108, 12108, 12108}, {3, 3, 3}));

        engines[which]->Flush();
        EXPECT_EQ(tree.pool().FreePageCount, 0u);
        // 12108 - 2 * 4036 = 4036: the page of the block still in use
        EXPECT_TRUE(StatIs(tree.root.PageStat, {4036, 12108, 12108}, {1, 3, 3}));
        EXPECT_TRUE(StatIs(tree.root.SelfStat, {4036, 12108, 12108}, {1, 3, 3}));
        EXPECT_TRUE(StatIs(tree.root.GlobalStat, {4036, 12108, 12108}, {1, 3, 3}));
        for (int e = 0; e < 3; ++e) {
            EXPECT_EQ(engines[e]->Process.Running, e != which);
        }
        EXPECT_TRUE(Sound(tree.pool()));
        EXPECT_TRUE(Unlocked(tree.root));
        tree.root.Free(kept);
    }
}

// The page life cycle seen through the engine: listed, full, cached, reused
// by another class, freed past the cache limit.
TEST(PagedEngine, PageLifeCycleThroughTheEngine) {
    PagedTree tree;
    PagedMemory& pool = tree.pool();
    MemoryManager& m1024 = pool.Managers[17];
    std::vector<void*> blocks;
    for (int i = 0; i < 3; ++i) {
        blocks.push_back(tree.child.Alloc(1000, nullptr, nullptr));
    }
    Page* page = PageOfPooled(blocks[0]);
    EXPECT_EQ(m1024.FirstPage, nullptr); // full
    EXPECT_TRUE(Sound(pool));
    tree.child.Free(blocks[1]);
    EXPECT_EQ(m1024.FirstPage, page); // listed again
    tree.child.Free(blocks[0]);
    tree.child.Free(blocks[2]);
    EXPECT_EQ(pool.FreePageCount, 1u); // cached
    EXPECT_EQ(pool.FreePages[0], page);
    void* small = tree.grandchild.Alloc(1, nullptr, nullptr);
    EXPECT_EQ(PageOfPooled(small), page); // reused by the 8-byte class
    EXPECT_EQ(page->Capacity, 124u);
    tree.grandchild.Free(small);

    // Five pages emptied: four cached, the fifth freed.
    blocks.clear();
    for (int i = 0; i < 15; ++i) {
        blocks.push_back(tree.child.Alloc(1000, nullptr, nullptr));
    }
    EXPECT_TRUE(StatIs(tree.root.PageStat, {20180, 20180, 20180}, {5, 5, 5})); // 5 * 4036
    for (void* p : blocks) {
        tree.child.Free(p);
    }
    EXPECT_EQ(pool.FreePageCount, 4u);
    EXPECT_TRUE(StatIs(tree.root.PageStat, {16144, 20180, 20180}, {4, 5, 5}));
    EXPECT_TRUE(Sound(pool));
}

// With DebugFill set on the root, the requested bytes of a block handed out are
// 0xCD and the whole user part of a pooled block given back is 0xFE; the
// headers are not touched.
TEST(PagedEngine, DebugFillPatternsOfPooledBlocks) {
    allocator_data root("root", nullptr, false);
    root.DebugFill = true;
    allocator_data child("child", &root, false);
    ASSERT_TRUE(child.DebugFill);

    void* neighbour = child.Alloc(40, nullptr, nullptr); // keeps the page in use
    auto* p = static_cast<unsigned char*>(child.Alloc(40, nullptr, nullptr)); // class 48
    for (int i = 0; i < 40; ++i) {
        ASSERT_EQ(p[i], 0xCD) << i;
    }
    child.Free(p);
    // The block stays in the page: all 48 user bytes read 0xFE, the header is
    // the free list link and the 0 Size word.
    for (int i = 0; i < 48; ++i) {
        ASSERT_EQ(p[i], 0xFE) << i;
    }
    EXPECT_EQ(HeaderOf(p)->Size, 0u);
    EXPECT_EQ(PageOfPooled(neighbour)->FreeList,
              reinterpret_cast<PooledBlock*>(p - 24)); // the freed block heads the list

    // Taken again for 40 bytes: 40 bytes 0xCD, the 8 beyond still 0xFE.
    auto* again = static_cast<unsigned char*>(child.Alloc(40, nullptr, nullptr));
    ASSERT_EQ(again, p);
    for (int i = 0; i < 40; ++i) {
        ASSERT_EQ(again[i], 0xCD) << i;
    }
    for (int i = 40; i < 48; ++i) {
        ASSERT_EQ(again[i], 0xFE) << i;
    }
    EXPECT_EQ(HeaderOf(again)->Owner, &child);
    child.Free(again);
    child.Free(neighbour);
}

// With DebugFill set, a heap block's requested bytes are 0xCD when handed out.
TEST(PagedEngine, DebugFillOfHeapBlocks) {
    allocator_data root("root", nullptr, false);
    root.DebugFill = true;
    auto* p = static_cast<unsigned char*>(root.Alloc(2000, nullptr, nullptr));
    for (int i = 0; i < 2000; ++i) {
        ASSERT_EQ(p[i], 0xCD) << i;
    }
    EXPECT_EQ(HeaderOf(p)->Size, 2024u);
    root.Free(p);
    EXPECT_TRUE(root.IsEmpty());
}

// The heap refusing a page: "bad allocation", the tree lock free, no figure of
// any engine and nothing of the pool changed; the tree works afterwards.
TEST(PagedEngine, RefusedPageChangesNothing) {
    PagedTree tree;
    void* kept = tree.grandchild.Alloc(3000, nullptr, nullptr);
    const EngineFigures r = FiguresOf(tree.root);
    const EngineFigures c = FiguresOf(tree.child);
    const EngineFigures g = FiguresOf(tree.grandchild);
    const PoolFigures pool = FiguresOf(tree.pool());
    {
        HeapFault fault(1);
        EXPECT_TRUE(RaisesBadAllocation([&] { tree.child.Alloc(8, nullptr, nullptr); }));
    }
    EXPECT_TRUE(Unlocked(tree.root));
    EXPECT_TRUE(SameFigures(FiguresOf(tree.root), r));
    EXPECT_TRUE(SameFigures(FiguresOf(tree.child), c));
    EXPECT_TRUE(SameFigures(FiguresOf(tree.grandchild), g));
    EXPECT_TRUE(SamePool(FiguresOf(tree.pool()), pool));
    EXPECT_TRUE(Sound(tree.pool()));

    void* p = tree.child.Alloc(8, nullptr, nullptr);
    EXPECT_TRUE(StatIs(tree.child.SelfStat, {32, 32, 32}, {1, 1, 1}));
    tree.child.Free(p);
    tree.grandchild.Free(kept);
}

// The heap refusing a heap block: "bad allocation", the tree lock free, nothing
// changed; the tree works afterwards.
TEST(PagedEngine, RefusedHeapBlockChangesNothing) {
    PagedTree tree;
    void* kept = tree.child.Alloc(16, nullptr, nullptr);
    const EngineFigures r = FiguresOf(tree.root);
    const EngineFigures c = FiguresOf(tree.child);
    const EngineFigures g = FiguresOf(tree.grandchild);
    const PoolFigures pool = FiguresOf(tree.pool());
    {
        HeapFault fault(1);
        EXPECT_TRUE(RaisesBadAllocation([&] { tree.grandchild.Alloc(5000, nullptr, nullptr); }));
    }
    EXPECT_TRUE(Unlocked(tree.root));
    EXPECT_TRUE(SameFigures(FiguresOf(tree.root), r));
    EXPECT_TRUE(SameFigures(FiguresOf(tree.child), c));
    EXPECT_TRUE(SameFigures(FiguresOf(tree.grandchild), g));
    EXPECT_TRUE(SamePool(FiguresOf(tree.pool()), pool));

    void* p = tree.grandchild.Alloc(5000, nullptr, nullptr);
    EXPECT_TRUE(StatIs(tree.grandchild.LargeStat, {5024, 5024, 5024}, {1, 1, 1}));
    tree.grandchild.Free(p);
    tree.child.Free(kept);
}

// Impossible sizes: beyond 2^64 - 1 - 24 the engine refuses before the heap;
// 2^64 - 1 - 24 and 1<<62 reach the heap, which refuses. Nothing changes, the
// lock is free.
TEST(PagedEngine, ImpossibleSizesChangeNothing) {
    PagedTree tree;
    const EngineFigures before = FiguresOf(tree.grandchild);
    const EngineFigures rootBefore = FiguresOf(tree.root);
    const std::uint64_t calls = seams::HeapCalls();
    for (std::uint64_t size : {UINT64_MAX, UINT64_MAX - 23}) {
        EXPECT_TRUE(RaisesBadAllocation([&] { tree.grandchild.Alloc(size, nullptr, nullptr); }));
    }
    EXPECT_EQ(seams::HeapCalls(), calls);
    for (std::uint64_t size : {UINT64_MAX - 24, std::uint64_t{1} << 62}) {
        EXPECT_TRUE(RaisesBadAllocation([&] { tree.grandchild.Alloc(size, nullptr, nullptr); }));
    }
    EXPECT_EQ(seams::HeapCalls(), calls + 2);
    EXPECT_TRUE(Unlocked(tree.root));
    EXPECT_TRUE(SameFigures(FiguresOf(tree.grandchild), before));
    EXPECT_TRUE(SameFigures(FiguresOf(tree.root), rootBefore));
}

// Failing each heap call of a sequence in turn: every failure leaves the tree
// sound and unlocked, and what was allocated before it can be given back to
// the last byte.
TEST(PagedEngine, EveryHeapFailureOfASequenceIsClean) {
    const std::uint64_t sizes[] = {8, 2000, 100, 1024, 5000, 1, 700, 3000};
    for (std::uint64_t k = 1;; ++k) {
        SCOPED_TRACE(k);
        PagedTree tree;
        std::vector<void*> blocks;
        bool failed = false;
        {
            HeapFault fault(k);
            try {
                for (int round = 0; round < 2; ++round) {
                    for (std::uint64_t size : sizes) {
                        allocator_data& engine = size % 2 == 0 ? tree.child : tree.grandchild;
                        blocks.push_back(engine.Alloc(size, nullptr, nullptr));
                    }
                }
            } catch (const std::bad_alloc&) {
                failed = true;
            }
        }
        EXPECT_TRUE(Unlocked(tree.root));
        EXPECT_TRUE(Sound(tree.pool()));
        for (void* p : blocks) {
            FreeBlock(p);
        }
        tree.root.Flush();
        for (const allocator_impl* e : {&tree.root, &tree.child, &tree.grandchild}) {
            EXPECT_TRUE(e->IsEmpty()) << e->Name;
        }
        if (!failed) {
            // Heap calls of the sequence: round 1 takes 4 pages (classes 8, 128,
            // 1024, 768) and 3 heap blocks, round 2 only 3 heap blocks: 7 + 3 = 10.
            // So calls 1 to 10 each failed once, and arming the 11th lets it run.
            EXPECT_EQ(k, 11u);
            break;
        }
    }
}

// A global root destroyed after every block was given back and its declared
// amounts taken back writes no error, although it still had cached pages.
TEST(PagedEngineDestruction, GlobalRootWithEverythingBackWritesNothing) {
    TraceCapture capture;
    {
        auto root = std::make_unique<allocator_data>("DEBUG", nullptr, true);
        {
            allocator_data child("child", root.get(), false);
            void* a = child.Alloc(100, nullptr, nullptr);
            void* b = root->Alloc(10, nullptr, nullptr);
            void* c = child.Alloc(5000, nullptr, nullptr);
            root->IncMemoryUsed(12);
            root->Reserve(34);
            FreeBlock(a);
            FreeBlock(b);
            FreeBlock(c);
            root->DecMemoryUsed(12);
            root->UnReserve(34);
        }
        EXPECT_EQ(root->OwnPool.FreePageCount, 2u);
        EXPECT_TRUE(StatIs(root->PageStat, {8072, 8072, 8072}, {2, 2, 2}));
        EXPECT_FALSE(root->IsEmpty()); // the cached pages, until destruction frees them
        root.reset();
    }
    EXPECT_TRUE(capture.Records().empty());
}

// A global root destroyed with one pooled block in use writes exactly one
// error, counting the one page still held; the page stays on the heap.
TEST(PagedEngineDestruction, GlobalRootWithOneBlockWritesOneError) {
    TraceCapture capture;
    void* block = nullptr;
    Page* page = nullptr;
    {
        auto root = std::make_unique<allocator_data>("DEBUG", nullptr, true);
        void* freed = root->Alloc(500, nullptr, nullptr); // a second page, cached below
        block = root->Alloc(30, nullptr, nullptr);
        page = PageOfPooled(block);
        root->Free(freed);
        EXPECT_TRUE(StatIs(root->GlobalStat, {8072, 8072, 8072}, {2, 2, 2}));
        root.reset();
    }
    ASSERT_EQ(capture.Records().size(), 1u);
    const Tracer::TraceRecord& record = capture.Records()[0];
    EXPECT_EQ(record.kind, Tracer::TraceRecord::Kind::Error);
    // GlobalStat after the cached page went: 8072 - 4036 in 1 item
    EXPECT_EQ(record.text,
              "MEMORY ERROR : Release global allocator with pending memory blocks : 1");
    EXPECT_STREQ(record.file, "kdideverazez_impl");
    EXPECT_EQ(record.line, 105);
    EXPECT_STREQ(record.category, "R9_ALLOCATOR:");
    EXPECT_STREQ(record.function, "~allocator_impl");
    EXPECT_EQ(page->UsedCount, 1u); // neither freed nor touched
    dbg_free(page);
}

// A global root destroyed with a heap block in use counts it too.
TEST(PagedEngineDestruction, GlobalRootWithHeapBlockWritesOneError) {
    TraceCapture capture;
    void* block = nullptr;
    {
        auto root = std::make_unique<allocator_data>("DEBUG", nullptr, true);
        block = root->Alloc(2048, nullptr, nullptr);
        root.reset();
    }
    ASSERT_EQ(capture.Records().size(), 1u);
    EXPECT_EQ(capture.Records()[0].text,
              "MEMORY ERROR : Release global allocator with pending memory blocks : 1");
    dbg_free(static_cast<char*>(block) - 24); // a heap block starts 24 bytes before p
}

// A non-global root destroyed with blocks in use writes nothing (its handle
// makes its own test).
TEST(PagedEngineDestruction, NonGlobalRootWritesNothing) {
    TraceCapture capture;
    Page* page = nullptr;
    {
        allocator_data root("root", nullptr, false);
        page = PageOfPooled(root.Alloc(64, nullptr, nullptr));
    }
    EXPECT_TRUE(capture.Records().empty());
    dbg_free(page);
}
