// A cached page taken back by a class of the same stride may skip rewriting its
// blocks when its free list is still in the order a rebuild gives. These tests
// show that nothing observable differs: the header fields, the free list order
// and every Size word are those of a freshly laid-out page, whether the frees
// kept that order or disturbed it.

#include "engines/kdideverazez_impl.h"
#include "support/EngineFigures.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace {

using dideverazez::test::At;
using dideverazez::test::Sound;

constexpr std::size_t k64 = 4, k128 = 7;

// What laying out `page` afresh for `manager` and taking one block gives:
// block 0 handed out, blocks 1 .. capacity-1 free in ascending order, every
// free block's Size word 0, the page alone at the head of the list.
::testing::AssertionResult FreshlyLaidOut(Page* page, MemoryManager* manager, std::uint64_t stride,
                                          std::uint64_t capacity) {
    if (page->Manager != manager || page->Prev != nullptr || page->Next != nullptr ||
        manager->FirstPage != page) {
        return ::testing::AssertionFailure() << "manager or list links";
    }
    if (page->Stride != stride || page->Capacity != capacity || page->UsedCount != 1 ||
        page->FreeCount != capacity - 1) {
        return ::testing::AssertionFailure()
               << "Stride " << page->Stride << " Capacity " << page->Capacity << " UsedCount "
               << page->UsedCount << " FreeCount " << page->FreeCount;
    }
    const PooledBlock* block = page->FreeList;
    for (std::uint64_t i = 1; i < capacity; ++i) {
        if (reinterpret_cast<const char*>(block) != At(page, 64 + i * stride)) {
            return ::testing::AssertionFailure() << "free block " << i << " out of place";
        }
        if (block->Size != 0) {
            return ::testing::AssertionFailure() << "free block " << i << " Size word";
        }
        block = static_cast<const PooledBlock*>(block->Link);
    }
    if (block != nullptr) {
        return ::testing::AssertionFailure() << "free list does not end after the last block";
    }
    return ::testing::AssertionSuccess();
}

class PageReuse : public ::testing::Test {
protected:
    // Takes `count` blocks of `cls` from one page.
    std::vector<PooledBlock*> TakeMany(std::size_t cls, std::size_t count) {
        std::vector<PooledBlock*> blocks;
        for (std::size_t i = 0; i < count; ++i) {
            blocks.push_back(pool.Managers[cls].TakeBlock());
        }
        return blocks;
    }

    void Return(PooledBlock* block) {
        PagedMemory::ReturnBlock(block);
        EXPECT_TRUE(Sound(pool));
    }

    allocator_none owner{"owner", nullptr, false};
    PagedMemory pool{&owner};
};

} // namespace

// Frees that keep the build order (each one below the current head) leave a
// page that, taken back by its class, looks exactly freshly laid out.
TEST_F(PageReuse, OrderKeptGivesTheFreshLayout) {
    std::vector<PooledBlock*> blocks = TakeMany(k64, 5);
    Page* page = static_cast<Page*>(blocks[0]->Link);
    for (std::size_t i = 5; i-- > 0;) {
        Return(blocks[i]); // 4, 3, 2, 1, 0: each below the head
    }
    ASSERT_EQ(pool.FreePageCount, 1u);

    PooledBlock* again = pool.Managers[k64].TakeBlock();
    EXPECT_EQ(reinterpret_cast<char*>(again), At(page, 64));
    EXPECT_EQ(again->Link, page);
    // stride 64 + 24 = 88; capacity 3972 / 88 = 45
    EXPECT_TRUE(FreshlyLaidOut(page, &pool.Managers[k64], 88, 45));
    EXPECT_TRUE(Sound(pool));
    Return(again);
}

// Frees in a disturbing order (a block above the current head) leave a page
// that, taken back by its class, still looks exactly freshly laid out.
TEST_F(PageReuse, DisturbedOrderGivesTheFreshLayout) {
    std::vector<PooledBlock*> blocks = TakeMany(k64, 5);
    Page* page = static_cast<Page*>(blocks[0]->Link);
    for (PooledBlock* block : blocks) {
        Return(block); // 0, 1 (above 0), 2, 3, 4: the list ends up 4, 3, 2, 1, 0, 5, ...
    }
    ASSERT_EQ(pool.FreePageCount, 1u);
    EXPECT_EQ(page->FreeList, blocks[4]);

    PooledBlock* again = pool.Managers[k64].TakeBlock();
    EXPECT_EQ(reinterpret_cast<char*>(again), At(page, 64)); // block 0, not block 4
    EXPECT_TRUE(FreshlyLaidOut(page, &pool.Managers[k64], 88, 45));
    Return(again);
}

// A full page emptied in a scrambled order is laid out afresh as well.
TEST_F(PageReuse, ScrambledFullPageGivesTheFreshLayout) {
    std::vector<PooledBlock*> blocks = TakeMany(k64, 45); // the whole page
    Page* page = static_cast<Page*>(blocks[0]->Link);
    for (std::size_t step = 0; step < 45; ++step) {
        Return(blocks[(step * 17) % 45]); // 17 and 45 are coprime: each block once
    }
    ASSERT_EQ(pool.FreePageCount, 1u);
    PooledBlock* again = pool.Managers[k64].TakeBlock();
    EXPECT_EQ(reinterpret_cast<char*>(again), At(page, 64));
    EXPECT_TRUE(FreshlyLaidOut(page, &pool.Managers[k64], 88, 45));
    Return(again);
}

// A full page emptied from the last block to the first keeps the order and is
// reused as it stands, with the same result.
TEST_F(PageReuse, FullPageEmptiedBackwardsGivesTheFreshLayout) {
    std::vector<PooledBlock*> blocks = TakeMany(k64, 45);
    Page* page = static_cast<Page*>(blocks[0]->Link);
    for (std::size_t i = 45; i-- > 0;) {
        Return(blocks[i]);
    }
    PooledBlock* again = pool.Managers[k64].TakeBlock();
    EXPECT_EQ(reinterpret_cast<char*>(again), At(page, 64));
    EXPECT_TRUE(FreshlyLaidOut(page, &pool.Managers[k64], 88, 45));
    Return(again);
}

// A page that served another class in between is laid out for the class that
// takes it, in both directions.
TEST_F(PageReuse, PageBackFromAnotherClassGivesTheFreshLayout) {
    PooledBlock* first = pool.Managers[k64].TakeBlock();
    Page* page = static_cast<Page*>(first->Link);
    Return(first); // cached in build order, stride 88

    PooledBlock* other = pool.Managers[k128].TakeBlock();
    ASSERT_EQ(other->Link, page);
    // stride 128 + 24 = 152; capacity 3972 / 152 = 26
    EXPECT_TRUE(FreshlyLaidOut(page, &pool.Managers[k128], 152, 26));
    Return(other);

    PooledBlock* back = pool.Managers[k64].TakeBlock();
    ASSERT_EQ(back->Link, page);
    EXPECT_TRUE(FreshlyLaidOut(page, &pool.Managers[k64], 88, 45));
    Return(back);
}

// A page reused in build order while another page of its class is full comes
// back alone at the head of the list, as a fresh page would.
TEST_F(PageReuse, ReusedBesideAFullPageGivesTheFreshLayout) {
    std::vector<PooledBlock*> full = TakeMany(k64, 45); // page A, full
    PooledBlock* onB = pool.Managers[k64].TakeBlock();  // page B, listed head
    PooledBlock* onB2 = pool.Managers[k64].TakeBlock();
    Page* pageB = static_cast<Page*>(onB->Link);
    Return(onB2);
    Return(onB); // B emptied in build order and cached
    ASSERT_EQ(pool.FreePageCount, 1u);

    // A back to listed with one free block, then that block taken again and
    // A full once more: no listed page, so the next request takes B back.
    Return(full[44]);
    full[44] = pool.Managers[k64].TakeBlock();
    PooledBlock* again = pool.Managers[k64].TakeBlock();
    EXPECT_EQ(again->Link, pageB);
    EXPECT_TRUE(FreshlyLaidOut(pageB, &pool.Managers[k64], 88, 45));
    EXPECT_TRUE(Sound(pool));
    Return(again);
    for (PooledBlock* block : full) {
        Return(block);
    }
}
