// The paged memory manager on its own: a pool whose pages are charged to a
// basic owner engine, driven through TakeBlock, ReturnBlock and FlushCache.
// Every step is followed by the pool's invariant check.

#include "engines/kdideverazez_impl.h"
#include "handle/Internals.h"
#include "support/EngineFigures.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <random>
#include <set>
#include <vector>

namespace {

using namespace dideverazez::test;
namespace seams = dideverazez::testing;

// Indices of the classes used below, and the size of every class.
constexpr std::size_t k8 = 0, k16 = 1, k32 = 2, k64 = 4, k128 = 7, k256 = 11, k1024 = 17;
constexpr std::uint64_t kClassSizes[18] = {8,   16,  32,  48,  64,  80,  96,  128, 160,
                                           192, 224, 256, 320, 384, 512, 640, 768, 1024};

// A pool owned by a basic root engine. Blocks still taken when a test ends are
// given back, so that the pool's destruction frees every page.
class PagedMemoryTest : public ::testing::Test {
protected:
    ~PagedMemoryTest() override {
        for (PooledBlock* block : live_) {
            PagedMemory::ReturnBlock(block);
        }
    }

    PooledBlock* Take(std::size_t cls) {
        PooledBlock* block = pool.Managers[cls].TakeBlock();
        live_.insert(block);
        EXPECT_TRUE(Sound(pool));
        return block;
    }

    void Return(PooledBlock* block) {
        live_.erase(block);
        PagedMemory::ReturnBlock(block);
        EXPECT_TRUE(Sound(pool));
    }

    MemoryManager& M(std::size_t cls) { return pool.Managers[cls]; }

    static Page* PageOf(const PooledBlock* block) { return static_cast<Page*>(block->Link); }

    // The owner's three page-charged statistics all read {bytes} and {items}.
    ::testing::AssertionResult OwnerHolds(StatValue bytes, StatValue items) {
        for (const StatAlloc* stat : {&owner.SelfStat, &owner.PageStat, &owner.GlobalStat}) {
            if (auto result = StatIs(*stat, bytes, items); !result) {
                return result;
            }
        }
        return ::testing::AssertionSuccess();
    }

    // The class's list of pages is exactly `pages`, head first, linked both ways.
    ::testing::AssertionResult ListIs(std::size_t cls, std::initializer_list<Page*> pages) {
        const Page* prev = nullptr;
        const Page* at = M(cls).FirstPage;
        for (Page* expected : pages) {
            if (at != expected || at->Prev != prev) {
                return ::testing::AssertionFailure() << "list differs at page " << prev;
            }
            prev = at;
            at = at->Next;
        }
        if (at != nullptr) {
            return ::testing::AssertionFailure() << "the list goes on after the last page";
        }
        return ::testing::AssertionSuccess();
    }

    allocator_none owner{"owner", nullptr, false};
    PagedMemory pool{&owner};

private:
    std::set<PooledBlock*> live_;
};

} // namespace

// A new pool: owner set, nothing cached, each manager with its class and
// nothing else.
TEST_F(PagedMemoryTest, ConstructionSetsClassesOnly) {
    EXPECT_EQ(pool.Owner, &owner);
    EXPECT_EQ(pool.FreePageCount, 0u);
    for (std::size_t i = 0; i < 18; ++i) {
        EXPECT_EQ(M(i).Pool, &pool);
        EXPECT_EQ(M(i).BlockSize, kClassSizes[i]);
        EXPECT_EQ(M(i).FirstPage, nullptr);
        EXPECT_TRUE(ValueIs(M(i).Blocks, {0, 0, 0}));
        EXPECT_TRUE(ValueIs(M(i).Pages, {0, 0, 0}));
    }
    EXPECT_TRUE(Sound(pool));
}

// The first request of a class takes one page from the heap, charged to the
// owner, and lists it for the class.
TEST_F(PagedMemoryTest, FirstRequestTakesOnePage) {
    const std::uint64_t calls = seams::HeapCalls();
    PooledBlock* block = Take(k8);
    Page* page = PageOf(block);
    EXPECT_EQ(seams::HeapCalls(), calls + 1);
    EXPECT_TRUE(OwnerHolds({4036, 4036, 4036}, {1, 1, 1}));
    EXPECT_TRUE(IsZero(owner.PooledStat)); // blocks are the engine's to charge
    EXPECT_TRUE(ValueIs(M(k8).Pages, {1, 1, 1}));
    EXPECT_TRUE(ValueIs(M(k8).Blocks, {1, 1, 1}));
    EXPECT_TRUE(ListIs(k8, {page}));
    EXPECT_EQ(page->Manager, &M(k8));
}

// Pages are charged to the owner's SelfStat and PageStat and to GlobalStat
// along the chain up to the owner's root; the root's own SelfStat and PageStat
// are not touched.
TEST(PagedMemoryCharging, PageChargedAlongTheOwnersChain) {
    allocator_none top("top", nullptr, false);
    allocator_none owner("owner", &top, false);
    {
        PagedMemory pool(&owner);
        PooledBlock* block = pool.Managers[k64].TakeBlock();
        EXPECT_TRUE(StatIs(owner.SelfStat, {4036, 4036, 4036}, {1, 1, 1}));
        EXPECT_TRUE(StatIs(owner.PageStat, {4036, 4036, 4036}, {1, 1, 1}));
        EXPECT_TRUE(StatIs(owner.GlobalStat, {4036, 4036, 4036}, {1, 1, 1}));
        EXPECT_TRUE(StatIs(top.GlobalStat, {4036, 4036, 4036}, {1, 1, 1}));
        EXPECT_TRUE(IsZero(top.SelfStat));
        EXPECT_TRUE(IsZero(top.PageStat));
        PagedMemory::ReturnBlock(block); // cached: no change
        EXPECT_TRUE(StatIs(top.GlobalStat, {4036, 4036, 4036}, {1, 1, 1}));
        pool.FlushCache();
        EXPECT_TRUE(Sound(pool));
    }
    EXPECT_TRUE(StatIs(owner.PageStat, {0, 4036, 4036}, {0, 1, 1}));
    EXPECT_TRUE(StatIs(top.GlobalStat, {0, 4036, 4036}, {0, 1, 1}));
}

// Every class: a new page hands out its blocks in ascending address order, one
// stride apart from the end of the header, Capacity of them; then the page is
// full and off the list, and the next request takes a new page as the head.
TEST_F(PagedMemoryTest, EveryClassCarvesItsPageAsDocumented) {
    struct Row {
        std::uint64_t size, stride, capacity;
    };
    // stride = size + 24; capacity = 3972 / stride.
    const Row rows[18] = {{8, 32, 124},   {16, 40, 99},   {32, 56, 70},   {48, 72, 55},
                          {64, 88, 45},   {80, 104, 38},  {96, 120, 33},  {128, 152, 26},
                          {160, 184, 21}, {192, 216, 18}, {224, 248, 16}, {256, 280, 14},
                          {320, 344, 11}, {384, 408, 9},  {512, 536, 7},  {640, 664, 5},
                          {768, 792, 5},  {1024, 1048, 3}};
    for (std::size_t cls = 0; cls < 18; ++cls) {
        const Row& row = rows[cls];
        SCOPED_TRACE(row.size);
        std::vector<PooledBlock*> blocks;
        blocks.push_back(Take(cls));
        Page* page = PageOf(blocks[0]);
        EXPECT_EQ(page->Stride, row.stride);
        EXPECT_EQ(page->Capacity, row.capacity);
        // The first block is handed out, the rest are free from block 1 on.
        EXPECT_EQ(page->UsedCount, 1u);
        EXPECT_EQ(page->FreeCount, row.capacity - 1);
        EXPECT_EQ(reinterpret_cast<char*>(page->FreeList), At(page, 64 + row.stride));
        EXPECT_EQ(blocks[0]->Size, 0u);
        for (std::uint64_t i = 1; i < row.capacity; ++i) {
            blocks.push_back(Take(cls));
        }
        for (std::uint64_t i = 0; i < row.capacity; ++i) {
            ASSERT_EQ(reinterpret_cast<char*>(blocks[i]), At(page, 64 + i * row.stride))
                << "block " << i;
            ASSERT_EQ(blocks[i]->Link, page);
        }
        EXPECT_EQ(page->UsedCount, row.capacity);
        EXPECT_EQ(page->FreeCount, 0u);
        EXPECT_EQ(page->FreeList, nullptr);
        EXPECT_TRUE(ListIs(cls, {})); // full: off the list
        EXPECT_EQ(page->Prev, nullptr);
        EXPECT_EQ(page->Next, nullptr);

        PooledBlock* next = Take(cls);
        Page* second = PageOf(next);
        EXPECT_NE(second, page);
        EXPECT_TRUE(ListIs(cls, {second})); // the full page is not linked behind it
        EXPECT_TRUE(ValueIs(M(cls).Pages, {2, 2, 2}));
        const auto blocksTaken = static_cast<std::int64_t>(row.capacity + 1);
        EXPECT_TRUE(ValueIs(M(cls).Blocks, {blocksTaken, blocksTaken, blocksTaken}));

        Return(next);
        for (PooledBlock* block : blocks) {
            Return(block);
        }
        EXPECT_TRUE(ValueIs(M(cls).Pages, {0, 2, 2}));
        EXPECT_TRUE(ValueIs(M(cls).Blocks, {0, blocksTaken, blocksTaken}));
        EXPECT_EQ(M(cls).FirstPage, nullptr);
    }
    // Two pages serve each class in turn and go back to the cache each time, so
    // only two were ever taken from the heap.
    EXPECT_EQ(pool.FreePageCount, 2u);
    EXPECT_TRUE(OwnerHolds({8072, 8072, 8072}, {2, 2, 2})); // 2 * 4036
}

// One block back to a full page puts that page at the head of the list, and
// the next request gets that very block.
TEST_F(PagedMemoryTest, BlockBackToFullPageComesOutNext) {
    PooledBlock* a[3] = {Take(k1024), Take(k1024), Take(k1024)}; // page A full
    Page* pageA = PageOf(a[0]);
    Page* pageB = PageOf(Take(k1024)); // page B, the head
    EXPECT_TRUE(ListIs(k1024, {pageB}));
    EXPECT_TRUE(OwnerHolds({8072, 8072, 8072}, {2, 2, 2}));

    Return(a[1]);
    EXPECT_TRUE(ListIs(k1024, {pageA, pageB}));
    EXPECT_EQ(pageA->FreeList, a[1]);

    EXPECT_EQ(Take(k1024), a[1]);
    EXPECT_TRUE(ListIs(k1024, {pageB})); // A is full again and leaves the list
    EXPECT_EQ(pageA->Prev, nullptr);
    EXPECT_EQ(pageA->Next, nullptr);
    EXPECT_TRUE(ValueIs(M(k1024).Blocks, {4, 4, 5})); // 3 + 1 - 1 + 1 in use; 5 handed out
}

// The most recently freed block of a page is handed out next, then the one
// freed before it, then the untouched blocks in address order.
TEST_F(PagedMemoryTest, MostRecentlyFreedBlockIsNext) {
    PooledBlock* b[5];
    for (PooledBlock*& block : b) {
        block = Take(k64);
    }
    Page* page = PageOf(b[0]);
    Return(b[3]);
    Return(b[1]);
    EXPECT_EQ(Take(k64), b[1]);
    EXPECT_EQ(Take(k64), b[3]);
    EXPECT_EQ(reinterpret_cast<char*>(Take(k64)), At(page, 64 + 5 * 88)); // block 5
}

// A listed page that gets a block back moves to the head, whether it stood in
// the middle or at the tail, and its neighbours are joined; a head page with
// free blocks stays in place; an emptied head page leaves for the cache.
TEST_F(PagedMemoryTest, ListedPageMovesToTheHead) {
    std::vector<PooledBlock*> blocks;
    for (int i = 0; i < 9; ++i) {
        blocks.push_back(Take(k1024)); // pages P1, P2, P3, all full
    }
    Page* p1 = PageOf(blocks[0]);
    Page* p2 = PageOf(blocks[3]);
    Page* p3 = PageOf(blocks[6]);
    EXPECT_TRUE(ListIs(k1024, {}));
    Return(blocks[0]);
    Return(blocks[3]);
    Return(blocks[6]);
    EXPECT_TRUE(ListIs(k1024, {p3, p2, p1}));
    Return(blocks[7]); // P3 is the head already and stays in place
    EXPECT_TRUE(ListIs(k1024, {p3, p2, p1}));
    EXPECT_EQ(p3->UsedCount, 1u);
    EXPECT_EQ(p3->FreeCount, 2u);
    Return(blocks[4]); // P2 from the middle
    EXPECT_TRUE(ListIs(k1024, {p2, p3, p1}));
    Return(blocks[1]); // P1 from the tail
    EXPECT_TRUE(ListIs(k1024, {p1, p2, p3}));
    Return(blocks[2]); // P1's last block: emptied and cached
    EXPECT_TRUE(ListIs(k1024, {p2, p3}));
    EXPECT_EQ(pool.FreePageCount, 1u);
    EXPECT_EQ(pool.FreePages[0], p1);
    EXPECT_EQ(p1->Prev, nullptr);
    EXPECT_EQ(p1->Next, nullptr);
}

// The last block in use coming back caches the page: the manager gives it up,
// the owner keeps paying for it. The cache holds four pages; the fifth page
// emptied goes back to the heap and is discharged from the owner.
TEST_F(PagedMemoryTest, CacheHoldsFourAndTheFifthIsFreed) {
    std::vector<PooledBlock*> blocks;
    for (int i = 0; i < 15; ++i) {
        blocks.push_back(Take(k1024)); // 5 pages of 3 blocks
    }
    Page* pages[5];
    for (int p = 0; p < 5; ++p) {
        pages[p] = PageOf(blocks[3 * p]);
    }
    EXPECT_TRUE(OwnerHolds({20180, 20180, 20180}, {5, 5, 5})); // 5 * 4036

    for (int p = 0; p < 4; ++p) {
        for (int i = 0; i < 3; ++i) {
            Return(blocks[3 * p + i]);
        }
        EXPECT_EQ(pool.FreePageCount, static_cast<std::uint64_t>(p + 1));
        EXPECT_EQ(pool.FreePages[p], pages[p]);
        EXPECT_EQ(pages[p]->Prev, nullptr); // the manager gives the page up
        EXPECT_EQ(pages[p]->Next, nullptr);
        EXPECT_TRUE(ValueIs(M(k1024).Pages, {4 - p, 5, 5}));
    }
    EXPECT_TRUE(OwnerHolds({20180, 20180, 20180}, {5, 5, 5})); // caching costs nothing

    for (int i = 12; i < 15; ++i) {
        Return(blocks[i]);
    }
    EXPECT_EQ(pool.FreePageCount, 4u);
    for (int p = 0; p < 4; ++p) {
        EXPECT_EQ(pool.FreePages[p], pages[p]);
    }
    // 20180 - 4036 = 16144 in 4 pages
    EXPECT_TRUE(OwnerHolds({16144, 20180, 20180}, {4, 5, 5}));
    EXPECT_TRUE(ValueIs(M(k1024).Pages, {0, 5, 5}));
    EXPECT_TRUE(ValueIs(M(k1024).Blocks, {0, 15, 15}));
    EXPECT_TRUE(ListIs(k1024, {}));
}

// A page request takes the newest cached page first, and a cached page asks
// nothing of the heap: an armed fault does not fire.
TEST_F(PagedMemoryTest, NewestCachedPageIsReusedFirst) {
    PooledBlock* a = Take(k8);
    PooledBlock* b = Take(k16);
    Page* pageA = PageOf(a);
    Page* pageB = PageOf(b);
    Return(a); // cache [A]
    Return(b); // cache [A, B]
    const std::uint64_t calls = seams::HeapCalls();
    HeapFault fault(1);

    PooledBlock* first = nullptr;
    EXPECT_NO_THROW(first = Take(k32));
    EXPECT_EQ(PageOf(first), pageB);
    EXPECT_EQ(pool.FreePageCount, 1u);
    EXPECT_EQ(pool.FreePages[0], pageA);
    EXPECT_EQ(PageOf(Take(k256)), pageA);
    EXPECT_EQ(pool.FreePageCount, 0u);

    EXPECT_EQ(seams::HeapCalls(), calls);
    EXPECT_TRUE(OwnerHolds({8072, 8072, 8072}, {2, 2, 2}));
    EXPECT_TRUE(ValueIs(M(k32).Pages, {1, 1, 1}));
    EXPECT_TRUE(ValueIs(M(k256).Pages, {1, 1, 1}));
}

// FlushCache frees every cached page and discharges the owner for each; the
// next page comes from the heap again. With nothing cached it changes nothing.
TEST_F(PagedMemoryTest, FlushCacheFreesEveryCachedPage) {
    PooledBlock* blocks[3] = {Take(k8), Take(k16), Take(k32)};
    for (PooledBlock* block : blocks) {
        Return(block);
    }
    EXPECT_EQ(pool.FreePageCount, 3u);
    pool.FlushCache();
    EXPECT_TRUE(Sound(pool));
    EXPECT_EQ(pool.FreePageCount, 0u);
    EXPECT_TRUE(OwnerHolds({0, 12108, 12108}, {0, 3, 3})); // 3 * 4036 taken, all back
    const std::uint64_t calls = seams::HeapCalls();
    Take(k8);
    EXPECT_EQ(seams::HeapCalls(), calls + 1);
    EXPECT_TRUE(OwnerHolds({4036, 12108, 16144}, {1, 3, 4}));

    const PoolFigures before = FiguresOf(pool);
    pool.FlushCache(); // empty cache
    EXPECT_TRUE(SamePool(FiguresOf(pool), before));
    EXPECT_TRUE(OwnerHolds({4036, 12108, 16144}, {1, 3, 4}));
}

// Destroying a pool frees its cached pages only: a page with a block in use
// stays on the heap, charged to the owner.
TEST(PagedMemoryDestruction, FreesOnlyCachedPages) {
    allocator_none owner("owner", nullptr, false);
    auto pool = std::make_unique<PagedMemory>(&owner);
    PooledBlock* kept = pool->Managers[k64].TakeBlock();
    PooledBlock* released = pool->Managers[k128].TakeBlock();
    Page* keptPage = static_cast<Page*>(kept->Link);
    PagedMemory::ReturnBlock(released); // cached
    EXPECT_TRUE(StatIs(owner.PageStat, {8072, 8072, 8072}, {2, 2, 2}));

    pool.reset();
    EXPECT_TRUE(StatIs(owner.PageStat, {4036, 8072, 8072}, {1, 2, 2}));
    EXPECT_TRUE(StatIs(owner.SelfStat, {4036, 8072, 8072}, {1, 2, 2}));
    EXPECT_TRUE(StatIs(owner.GlobalStat, {4036, 8072, 8072}, {1, 2, 2}));
    EXPECT_EQ(kept->Link, keptPage); // untouched
    EXPECT_EQ(keptPage->UsedCount, 1u);
    dbg_free(keptPage); // give the page back ourselves
}

// The heap refusing a page, for an empty class or behind a full head page,
// raises "bad allocation" with nothing changed: no figure, no list, no cache;
// the pool works afterwards.
TEST_F(PagedMemoryTest, RefusedPageChangesNothing) {
    for (std::int64_t taken : {0, 3}) { // 3 blocks of 1024 fill a page
        SCOPED_TRACE(taken);
        std::vector<PooledBlock*> blocks;
        for (std::int64_t i = 0; i < taken; ++i) {
            blocks.push_back(Take(k1024));
        }
        const PoolFigures before = FiguresOf(pool);
        const EngineFigures ownerBefore = FiguresOf(owner);
        {
            HeapFault fault(1);
            EXPECT_TRUE(RaisesBadAllocation([&] { M(k1024).TakeBlock(); }));
        }
        EXPECT_TRUE(SamePool(FiguresOf(pool), before));
        EXPECT_TRUE(SameFigures(FiguresOf(owner), ownerBefore));
        const std::int64_t pages = taken / 3;
        EXPECT_EQ(M(k1024).Pages.Current, pages);
        EXPECT_EQ(M(k1024).Blocks.Current, taken);
        EXPECT_TRUE(ListIs(k1024, {}));
        EXPECT_TRUE(Sound(pool));
        blocks.push_back(Take(k1024));
        EXPECT_EQ(owner.PageStat.Memory.Current, 4036 * (pages + 1));
        for (PooledBlock* block : blocks) {
            Return(block);
        }
        pool.FlushCache();
    }
}

// The invariant check is not vacuous: it reports a broken count, a free block
// whose Size word is not 0, and an owner charged for a page the pool lacks.
TEST_F(PagedMemoryTest, InvariantCheckReportsCorruption) {
    PooledBlock* a = Take(k64);
    PooledBlock* b = Take(k64);
    Return(a); // page listed with one used and 44 free blocks
    Page* page = PageOf(b);

    ++page->UsedCount;
    EXPECT_FALSE(Sound(pool));
    --page->UsedCount;
    EXPECT_TRUE(Sound(pool));

    page->FreeList->Size = 8;
    EXPECT_FALSE(Sound(pool));
    page->FreeList->Size = 0;

    owner.PageStat.Charge(4036);
    EXPECT_FALSE(Sound(pool));
    owner.PageStat.Discharge(4036);
    EXPECT_TRUE(Sound(pool));
}

// Every request from 0 to 1024 gets the first class whose size holds it: 0 and
// 8 the 8-byte class, 9 the 16-byte one, 385 to 512 the 512-byte one (there is
// no class between 384 and 512), 1024 the last. ManagerFor finds that class's
// manager of the pool.
TEST(PagedMemoryClasses, EveryRequestUpTo1024) {
    EXPECT_EQ(PagedMemory::ClassIndex(0), 0u);
    EXPECT_EQ(PagedMemory::ClassIndex(9), 1u);
    EXPECT_EQ(PagedMemory::ClassIndex(449), 14u);
    PagedMemory pool(nullptr);
    for (std::uint64_t request = 0; request <= 1024; ++request) {
        std::size_t expected = 0;
        while (kClassSizes[expected] < request) {
            ++expected;
        }
        ASSERT_EQ(PagedMemory::ClassIndex(request), expected) << request;
        ASSERT_EQ(&pool.ManagerFor(request), &pool.Managers[expected]) << request;
    }
}

// Ten thousand random takes and returns over five classes, checked step by
// step against a plain model: no block is handed out twice, every block lies on
// a stride boundary of a page of its class, the bytes a client wrote stay
// intact until the block comes back, a block returned to a page that keeps
// blocks in use is the next one its class hands out, the figures match the
// model, and the pool's invariants hold.
TEST(PagedMemoryRandomised, AgreesWithAModel) {
    const std::size_t classes[5] = {0, 4, 7, 13, 17}; // 8, 64, 128, 384, 1024
    const std::uint64_t sizes[5] = {8, 64, 128, 384, 1024};
    allocator_none owner("owner", nullptr, false);
    PagedMemory pool(&owner);
    std::mt19937_64 random(20261206);
    std::vector<PooledBlock*> live[5];
    std::set<PooledBlock*> all;
    PooledBlock* expectedNext[5] = {};
    std::int64_t handedOut[5] = {};
    auto signature = [](const PooledBlock* block) {
        return static_cast<unsigned char>(reinterpret_cast<std::uintptr_t>(block) >> 3);
    };

    for (int step = 0; step < 10000; ++step) {
        const std::size_t c = random() % 5;
        MemoryManager& manager = pool.Managers[classes[c]];
        const std::uint64_t stride = sizes[c] + 24;
        if (live[c].empty() || random() % 100 < 55) {
            PooledBlock* block = manager.TakeBlock();
            ASSERT_TRUE(all.insert(block).second) << "handed out twice, step " << step;
            const Page* page = static_cast<const Page*>(block->Link);
            ASSERT_EQ(page->Manager, &manager);
            const auto offset = static_cast<std::uint64_t>(reinterpret_cast<const char*>(block) -
                                                           reinterpret_cast<const char*>(page));
            ASSERT_EQ((offset - 64) % stride, 0u);
            ASSERT_LT(offset - 64, page->Capacity * stride);
            if (expectedNext[c] != nullptr) {
                ASSERT_EQ(block, expectedNext[c]) << "step " << step;
            }
            expectedNext[c] = nullptr;
            std::memset(block + 1, signature(block), sizes[c]);
            live[c].push_back(block);
            ++handedOut[c];
        } else {
            const std::size_t index = random() % live[c].size();
            PooledBlock* block = live[c][index];
            live[c][index] = live[c].back();
            live[c].pop_back();
            const auto* bytes = reinterpret_cast<const unsigned char*>(block + 1);
            for (std::uint64_t i = 0; i < sizes[c]; ++i) {
                ASSERT_EQ(bytes[i], signature(block)) << "overwritten, step " << step;
            }
            const bool empties = static_cast<const Page*>(block->Link)->UsedCount == 1;
            all.erase(block);
            PagedMemory::ReturnBlock(block);
            expectedNext[c] = empties ? nullptr : block;
        }
        ASSERT_TRUE(Sound(pool)) << "step " << step;
        const auto inUse = static_cast<std::int64_t>(live[c].size());
        ASSERT_EQ(manager.Blocks.Current, inUse);
        ASSERT_EQ(manager.Blocks.Cumul, handedOut[c]);
        ASSERT_LE(pool.FreePageCount, 4u);
    }
    for (auto& blocks : live) {
        for (PooledBlock* block : blocks) {
            PagedMemory::ReturnBlock(block);
        }
    }
    pool.FlushCache();
    EXPECT_TRUE(Sound(pool));
    EXPECT_EQ(owner.PageStat.Memory.Current, 0);
    EXPECT_EQ(owner.PageStat.Counter.Current, 0);
}
