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
using dideverazez::test::StatIs;
using dideverazez::test::ValueIs;

constexpr std::size_t k8 = 0, k64 = 4, k1024 = 17;

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

// A page emptied in any order of frees, taken back by its class, looks exactly
// freshly laid out: frees that keep the build order (each one below the
// current head) and may be reused as they stand, and frees that disturb it.
TEST_F(PageReuse, AnyOrderOfFreesGivesTheFreshLayout) {
    enum class Order { Backward, Forward, Scrambled };
    struct Row {
        const char* name;
        std::size_t taken; // 45 fill a page of the 64-byte class
        Order order;
    };
    const Row rows[] = {
        {"5 freed 4, 3, 2, 1, 0: each below the head", 5, Order::Backward},
        {"5 freed 0, 1, 2, 3, 4: the list ends 4, 3, 2, 1, 0, 5, ...", 5, Order::Forward},
        {"full page freed in steps of 17 (coprime to 45)", 45, Order::Scrambled},
        {"full page freed from the last block to the first", 45, Order::Backward},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        std::vector<PooledBlock*> blocks = TakeMany(k64, row.taken);
        Page* page = static_cast<Page*>(blocks[0]->Link);
        PooledBlock* last = nullptr;
        for (std::size_t step = 0; step < row.taken; ++step) {
            const std::size_t n = row.taken;
            last = blocks[row.order == Order::Forward    ? step
                          : row.order == Order::Backward ? n - 1 - step
                                                         : step * 17 % n];
            Return(last);
        }
        ASSERT_EQ(pool.FreePageCount, 1u);
        EXPECT_EQ(page->FreeList, last); // the page keeps the list its frees built

        PooledBlock* again = pool.Managers[k64].TakeBlock();
        EXPECT_EQ(reinterpret_cast<char*>(again), At(page, 64)); // block 0 whatever the order
        EXPECT_EQ(again->Link, page);
        // stride 64 + 24 = 88; capacity 3972 / 88 = 45
        EXPECT_TRUE(FreshlyLaidOut(page, &pool.Managers[k64], 88, 45));
        Return(again);
    }
}

// A page that served another class in between is laid out for the class that
// takes it, in both directions, between the smallest and the largest class;
// the page changes manager and no new page is taken.
TEST_F(PageReuse, PageBackFromAnotherClassGivesTheFreshLayout) {
    PooledBlock* first = pool.Managers[k8].TakeBlock();
    Page* page = static_cast<Page*>(first->Link);
    Return(first); // cached in build order, stride 32

    PooledBlock* other = pool.Managers[k1024].TakeBlock();
    ASSERT_EQ(other->Link, page);
    // stride 1024 + 24 = 1048; capacity 3972 / 1048 = 3
    EXPECT_TRUE(FreshlyLaidOut(page, &pool.Managers[k1024], 1048, 3));
    EXPECT_TRUE(ValueIs(pool.Managers[k8].Pages, {0, 1, 1}));
    EXPECT_TRUE(ValueIs(pool.Managers[k1024].Pages, {1, 1, 1}));
    EXPECT_TRUE(StatIs(owner.PageStat, {4036, 4036, 4036}, {1, 1, 1})); // still the one page
    Return(other);

    PooledBlock* back = pool.Managers[k8].TakeBlock();
    ASSERT_EQ(back->Link, page);
    // stride 8 + 24 = 32; capacity 3972 / 32 = 124
    EXPECT_TRUE(FreshlyLaidOut(page, &pool.Managers[k8], 32, 124));
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
