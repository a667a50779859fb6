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
#include <vector>

namespace {

using namespace dideverazez::test;
namespace seams = dideverazez::testing;

} // namespace

// Each engine of a tree uses the root's pool; only the root owns it.
TEST(PagedEngine, TreeSharesTheRootsPool) {
    PagedTree tree;
    for (allocator_data* e : tree.All()) {
        EXPECT_EQ(e->Pool, &tree.root.OwnPool);
    }
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

// Declared use and a reservation on any engine of the tree go to its SelfStat,
// UsedStat or ReservedStat, and to the GlobalStat of it and every ancestor;
// taking them back brings every Current back to 0.
TEST(PagedEngine, DeclaredAmountsReachEveryAncestor) {
    for (int which = 0; which < 3; ++which) {
        SCOPED_TRACE(which);
        PagedTree tree;
        allocator_data& e = *tree.All()[which];
        e.IncMemoryUsed(64);
        e.Reserve(36);
        EXPECT_TRUE(StatIs(e.SelfStat, {100, 100, 100}, {2, 2, 2})); // 64 + 36
        EXPECT_TRUE(StatIs(e.UsedStat, {64, 64, 64}, {1, 1, 1}));
        EXPECT_TRUE(ValueIs(e.ReservedStat, {36, 36, 36}));
        for (int a = 0; a < 3; ++a) {
            const allocator_data& other = *tree.All()[a];
            if (a <= which) {
                EXPECT_TRUE(StatIs(other.GlobalStat, {100, 100, 100}, {2, 2, 2})) << a;
            } else {
                EXPECT_TRUE(IsZero(other.GlobalStat)) << a;
            }
            if (a != which) {
                EXPECT_TRUE(IsZero(other.SelfStat)) << a;
            }
        }
        EXPECT_FALSE(e.IsEmpty());
        e.DecMemoryUsed(64);
        e.UnReserve(36);
        EXPECT_TRUE(StatIs(e.SelfStat, {0, 100, 100}, {0, 2, 2}));
        EXPECT_TRUE(ValueIs(e.ReservedStat, {0, 36, 36}));
        EXPECT_TRUE(StatIs(tree.root.GlobalStat, {0, 100, 100}, {0, 2, 2}));
        for (const allocator_impl* engine : tree.All()) {
            EXPECT_TRUE(engine->IsEmpty()) << engine->Name;
        }
    }
}

// Chains longer than the ancestors an engine keeps at hand (it walks the rest):
// at every depth from 1 to 12, a pooled block, a heap block and a declared
// amount on the deepest engine reach the GlobalStat of exactly the engines
// they should, and leave every one at Current 0 when taken back.
TEST(PagedEngine, EveryDepthChargesEveryAncestor) {
    for (std::size_t depth = 1; depth <= 12; ++depth) {
        SCOPED_TRACE(depth);
        std::vector<std::unique_ptr<allocator_data>> chain;
        chain.push_back(std::make_unique<allocator_data>("root", nullptr, false));
        for (std::size_t level = 1; level <= depth; ++level) {
            chain.push_back(std::make_unique<allocator_data>("level", chain.back().get(), false));
        }
        allocator_data& deepest = *chain.back();
        void* pooled = deepest.Alloc(64, nullptr, nullptr);  // stride 88
        void* large = deepest.Alloc(2000, nullptr, nullptr); // 2024 from the heap
        deepest.Reserve(10);
        for (std::size_t level = 1; level <= depth; ++level) {
            EXPECT_TRUE(StatIs(chain[level]->GlobalStat, {2122, 2122, 2122}, {3, 3, 3})) << level;
        }
        // The root holds the page and the heap block and the reservation.
        EXPECT_TRUE(StatIs(chain[0]->GlobalStat, {6070, 6070, 6070}, {3, 3, 3}));
        deepest.Free(pooled);
        deepest.Free(large);
        deepest.UnReserve(10);
        for (std::size_t level = 1; level <= depth; ++level) {
            EXPECT_TRUE(StatIs(chain[level]->GlobalStat, {0, 2122, 2122}, {0, 3, 3})) << level;
        }
        EXPECT_TRUE(StatIs(chain[0]->GlobalStat, {4036, 6070, 6070}, {1, 3, 3}));
        while (!chain.empty()) {
            chain.pop_back();
        }
    }
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
// the points where it moves. A root pays for its pooled blocks' pages only in
// SelfStat; a pooled block of a child is charged to the child alone, one of a
// grandchild to the grandchild and the child's GlobalStat, never the root's.
TEST(PagedEngine, MixedSequenceChargingTable) {
    PagedTree tree;
    allocator_data& r = tree.root;
    allocator_data& c = tree.child;
    allocator_data& g = tree.grandchild;

    // 1. c: 8 bytes, class 8, stride 32, on a new page P1 (4036 to r).
    void* c8 = c.Alloc(8, nullptr, nullptr);
    EXPECT_TRUE(StatIs(c.SelfStat, {32, 32, 32}, {1, 1, 1}));
    EXPECT_TRUE(StatIs(r.GlobalStat, {4036, 4036, 4036}, {1, 1, 1})); // the page alone
    EXPECT_EQ(HeaderOf(c8)->Owner, &c);
    // 2. g: 64 bytes, class 64, stride 88, on a new page P2.
    void* g64 = g.Alloc(64, nullptr, nullptr);
    EXPECT_TRUE(StatIs(g.PooledStat, {88, 88, 88}, {1, 1, 1}));
    EXPECT_TRUE(StatIs(g.GlobalStat, {88, 88, 88}, {1, 1, 1}));
    EXPECT_TRUE(StatIs(c.SelfStat, {32, 32, 32}, {1, 1, 1})); // not the child's SelfStat
    // 3. r: 9 bytes, class 16, stride 40, on a new page P3.
    void* r9 = r.Alloc(9, nullptr, nullptr);
    EXPECT_TRUE(StatIs(r.PageStat, {12108, 12108, 12108}, {3, 3, 3})); // 3 * 4036
    EXPECT_TRUE(StatIs(r.SelfStat, {12108, 12108, 12108}, {3, 3, 3}));
    EXPECT_TRUE(StatIs(r.GlobalStat, {12108, 12108, 12108}, {3, 3, 3}));
    EXPECT_TRUE(StatIs(r.PooledStat, {40, 40, 40}, {1, 1, 1}));
    EXPECT_TRUE(StatIs(c.GlobalStat, {120, 120, 120}, {2, 2, 2})); // 32 + 88
    EXPECT_TRUE(StatIs(c.PooledStat, {32, 32, 32}, {1, 1, 1}));

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
// 449 to the 512-byte one, 1024 is still pooled and 1025 goes to the heap. The
// class's manager counts the block and its page.
TEST(PagedEngine, ClassBoundaries) {
    struct Row {
        std::uint64_t request;
        std::int64_t charged; // to the child's SelfStat
        std::size_t cls;      // manager index; 18 for the heap
    };
    const Row rows[] = {
        {0, 32, 0},       // class 8: 8 + 24
        {8, 32, 0},       // class 8
        {9, 40, 1},       // class 16: 16 + 24
        {449, 536, 14},   // class 512: 512 + 24 (no class between 384 and 512)
        {1024, 1048, 17}, // class 1024: 1024 + 24
        {1025, 1049, 18}, // heap: 1025 + 24
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.request);
        PagedTree tree;
        void* p = tree.grandchild.Alloc(row.request, nullptr, nullptr);
        const bool pooled = row.cls < 18;
        const StatValue charged{row.charged, row.charged, row.charged};
        EXPECT_EQ(HeaderOf(p)->Owner, &tree.grandchild);
        EXPECT_EQ(HeaderOf(p)->Size, pooled ? 0u : static_cast<std::uint64_t>(row.charged));
        EXPECT_TRUE(StatIs(tree.grandchild.SelfStat, charged, {1, 1, 1}));
        EXPECT_TRUE(StatIs(pooled ? tree.grandchild.PooledStat : tree.grandchild.LargeStat, charged,
                           {1, 1, 1}));
        EXPECT_TRUE(IsZero(pooled ? tree.grandchild.LargeStat : tree.grandchild.PooledStat));
        EXPECT_TRUE(StatIs(tree.root.PageStat, pooled ? StatValue{4036, 4036, 4036} : StatValue{},
                           pooled ? StatValue{1, 1, 1} : StatValue{}));
        for (std::size_t m = 0; m < 18; ++m) {
            const std::int64_t n = m == row.cls ? 1 : 0;
            EXPECT_TRUE(ValueIs(tree.pool().Managers[m].Blocks, {n, n, n})) << m;
            EXPECT_TRUE(ValueIs(tree.pool().Managers[m].Pages, {n, n, n})) << m;
        }
        if (pooled) {
            EXPECT_EQ(PageOfPooled(p)->Stride, static_cast<std::uint64_t>(row.charged));
        }
        tree.grandchild.Free(p);
        EXPECT_TRUE(tree.grandchild.IsEmpty());
        if (pooled) {
            EXPECT_TRUE(ValueIs(tree.pool().Managers[row.cls].Blocks, {0, 1, 1}));
        }
    }
}

// Flush on any engine of a tree frees the tree's cached pages: the root is
// discharged by 4036 bytes and one item per page; only the flushed engine's
// time measurement stops.
TEST(PagedEngine, FlushFromAnyEngineFreesTheTreesCache) {
    for (int which = 0; which < 3; ++which) {
        SCOPED_TRACE(which);
        PagedTree tree;
        void* a = tree.grandchild.Alloc(8, nullptr, nullptr);
        void* b = tree.child.Alloc(200, nullptr, nullptr);
        void* kept = tree.root.Alloc(300, nullptr, nullptr);
        FreeBlock(a);
        FreeBlock(b);
        ASSERT_EQ(tree.pool().FreePageCount, 2u);
        EXPECT_TRUE(StatIs(tree.root.PageStat, {12108, 12108, 12108}, {3, 3, 3}));

        tree.All()[which]->Flush();
        EXPECT_EQ(tree.pool().FreePageCount, 0u);
        // 12108 - 2 * 4036 = 4036: the page of the block still in use
        EXPECT_TRUE(StatIs(tree.root.PageStat, {4036, 12108, 12108}, {1, 3, 3}));
        EXPECT_TRUE(StatIs(tree.root.SelfStat, {4036, 12108, 12108}, {1, 3, 3}));
        EXPECT_TRUE(StatIs(tree.root.GlobalStat, {4036, 12108, 12108}, {1, 3, 3}));
        for (int e = 0; e < 3; ++e) {
            EXPECT_EQ(tree.All()[e]->Process.Running, e != which);
        }
        EXPECT_TRUE(Sound(tree.pool()));
        EXPECT_TRUE(Unlocked(tree.root));
        tree.root.Free(kept);
    }
}

// With DebugFill set on the root, the requested bytes of a block handed out are
// 0xCD and the whole user part of a pooled block given back is 0xFE; the
// headers are not touched. A heap block's requested bytes are 0xCD too.
TEST(PagedEngine, DebugFillPatterns) {
    allocator_data root("root", nullptr, false);
    root.DebugFill = true;
    allocator_data child("child", &root, false);
    ASSERT_TRUE(child.DebugFill);

    void* heap = root.Alloc(2000, nullptr, nullptr);
    EXPECT_TRUE(Filled(heap, 0, 2000, 0xCD));
    EXPECT_EQ(HeaderOf(heap)->Size, 2024u);
    root.Free(heap);
    EXPECT_TRUE(root.IsEmpty());

    void* neighbour = child.Alloc(40, nullptr, nullptr); // keeps the page in use
    auto* p = static_cast<unsigned char*>(child.Alloc(40, nullptr, nullptr)); // class 48
    EXPECT_TRUE(Filled(p, 0, 40, 0xCD));
    child.Free(p);
    // The block stays in the page: all 48 user bytes read 0xFE, the header is
    // the free list link and the 0 Size word.
    EXPECT_TRUE(Filled(p, 0, 48, 0xFE));
    EXPECT_EQ(HeaderOf(p)->Size, 0u);
    EXPECT_EQ(PageOfPooled(neighbour)->FreeList,
              reinterpret_cast<PooledBlock*>(p - 24)); // the freed block heads the list

    // Taken again for 40 bytes: 40 bytes 0xCD, the 8 beyond still 0xFE.
    void* again = child.Alloc(40, nullptr, nullptr);
    ASSERT_EQ(again, p);
    EXPECT_TRUE(Filled(again, 0, 40, 0xCD));
    EXPECT_TRUE(Filled(again, 40, 48, 0xFE));
    EXPECT_EQ(HeaderOf(again)->Owner, &child);
    child.Free(again);
    child.Free(neighbour);
}

// The heap refusing a page or a heap block: "bad allocation", the tree lock
// free, no figure of any engine and nothing of the pool changed; the same
// request succeeds afterwards.
TEST(PagedEngine, RefusedPageOrHeapBlockChangesNothing) {
    struct Row {
        int kept, asking; // engines: 0 root, 1 child, 2 grandchild
        std::uint64_t keptSize, request;
        std::int64_t charged; // the request's charge once it succeeds
    };
    const Row rows[] = {
        {2, 1, 3000, 8, 32},    // a page: class 8, stride 8 + 24
        {1, 2, 16, 5000, 5024}, // a heap block: 5000 + 24
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.request);
        PagedTree tree;
        void* kept = tree.All()[row.kept]->Alloc(row.keptSize, nullptr, nullptr);
        const TreeFigures before = FiguresOf(tree);
        const PoolFigures pool = FiguresOf(tree.pool());
        allocator_data& asking = *tree.All()[row.asking];
        {
            HeapFault fault(1);
            EXPECT_TRUE(RaisesBadAllocation([&] { asking.Alloc(row.request, nullptr, nullptr); }));
        }
        EXPECT_TRUE(Unlocked(tree.root));
        EXPECT_TRUE(SameFigures(FiguresOf(tree), before));
        EXPECT_TRUE(SamePool(FiguresOf(tree.pool()), pool));
        EXPECT_TRUE(Sound(tree.pool()));

        void* p = asking.Alloc(row.request, nullptr, nullptr);
        EXPECT_TRUE(StatIs(asking.SelfStat, {row.charged, row.charged, row.charged}, {1, 1, 1}));
        FreeBlock(p);
        FreeBlock(kept);
    }
}

// Impossible sizes: beyond 2^64 - 1 - 24 the engine refuses before the heap;
// 2^64 - 1 - 24 and 1<<62 reach the heap, which refuses. Nothing changes, the
// lock is free.
TEST(PagedEngine, ImpossibleSizesChangeNothing) {
    PagedTree tree;
    const TreeFigures before = FiguresOf(tree);
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
    EXPECT_TRUE(SameFigures(FiguresOf(tree), before));
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

// A global root destroyed with one pooled or heap block in use writes exactly
// one error, counting that block's page or the block itself but not the
// cached page freed first; the block stays on the heap untouched.
TEST(PagedEngineDestruction, GlobalRootWithOneBlockWritesOneError) {
    for (std::uint64_t request : {30, 2048}) {
        SCOPED_TRACE(request);
        const bool pooled = request <= 1024;
        TraceCapture capture;
        void* block = nullptr;
        {
            auto root = std::make_unique<allocator_data>("DEBUG", nullptr, true);
            void* freed = root->Alloc(500, nullptr, nullptr); // a page, cached below
            block = root->Alloc(request, nullptr, nullptr);
            std::memset(block, 0x5A, request);
            root->Free(freed);
            // 4036 + 4036 for two pages, or 4036 + 2048 + 24 for a page and a block
            const std::int64_t held = pooled ? 8072 : 6108;
            EXPECT_TRUE(StatIs(root->GlobalStat, {held, held, held}, {2, 2, 2}));
            root.reset();
        }
        ASSERT_EQ(capture.Records().size(), 1u);
        EXPECT_TRUE(IsPendingError(capture.Records()[0], 1)); // 2 items - the cached page
        EXPECT_TRUE(Filled(block, 0, request, 0x5A));         // neither freed nor filled
        if (pooled) {
            EXPECT_EQ(PageOfPooled(block)->UsedCount, 1u);
            dbg_free(PageOfPooled(block));
        } else {
            dbg_free(static_cast<char*>(block) - 24); // a heap block starts 24 bytes before p
        }
    }
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
