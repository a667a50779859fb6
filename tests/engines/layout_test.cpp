// The documented layouts that reports, tests and the free path rely on: the
// words of a block header, a pooled block and a page header at their offsets,
// and the fields of the statistics, the pool and the engines in their order.

#include "engines/kdideverazez_impl.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <vector>

namespace {

// The addresses given are strictly ascending.
template <class... Fields>::testing::AssertionResult InOrder(const Fields&... fields) {
    const std::vector<const char*> at = {reinterpret_cast<const char*>(&fields)...};
    for (std::size_t i = 1; i < at.size(); ++i) {
        if (!(at[i - 1] < at[i])) {
            return ::testing::AssertionFailure()
                   << "field " << i << " is not after field " << i - 1;
        }
    }
    return ::testing::AssertionSuccess();
}

} // namespace

// Owner at p - 16 and Size at p - 8: the header is the two words before p.
TEST(Layout, BlockHeaderWords) {
    EXPECT_EQ(offsetof(BlockHeader, Owner), 0u);
    EXPECT_EQ(offsetof(BlockHeader, Size), 8u);
    EXPECT_EQ(sizeof(BlockHeader), 16u);
}

// A pooled block: Link, then the block header, 24 bytes before the user bytes.
TEST(Layout, PooledBlockWords) {
    EXPECT_EQ(offsetof(PooledBlock, Link), 0u);
    EXPECT_EQ(offsetof(PooledBlock, Owner), 8u);
    EXPECT_EQ(offsetof(PooledBlock, Size), 16u);
    EXPECT_EQ(sizeof(PooledBlock), 24u);
}

// The page header: eight 64-bit words in their documented order.
TEST(Layout, PageHeaderWords) {
    EXPECT_EQ(offsetof(Page, Manager), 0u);
    EXPECT_EQ(offsetof(Page, Prev), 8u);
    EXPECT_EQ(offsetof(Page, Next), 16u);
    EXPECT_EQ(offsetof(Page, Stride), 24u);
    EXPECT_EQ(offsetof(Page, Capacity), 32u);
    EXPECT_EQ(offsetof(Page, UsedCount), 40u);
    EXPECT_EQ(offsetof(Page, FreeCount), 48u);
    EXPECT_EQ(offsetof(Page, FreeList), 56u);
    EXPECT_EQ(sizeof(Page), 64u);
}

// StatValue is Current, Peak, Cumul; StatAlloc is Memory, Counter.
TEST(Layout, StatisticFields) {
    EXPECT_EQ(offsetof(StatValue, Current), 0u);
    EXPECT_EQ(offsetof(StatValue, Peak), 8u);
    EXPECT_EQ(offsetof(StatValue, Cumul), 16u);
    EXPECT_EQ(offsetof(StatAlloc, Memory), 0u);
    EXPECT_EQ(offsetof(StatAlloc, Counter), 24u);
}

// The process figures in their order.
TEST(Layout, ProcessInfoFields) {
    ProcessInfo info;
    EXPECT_TRUE(InOrder(info.ProcessHandle, info.ProcessId, info.UserTime, info.KernelTime,
                        info.VmStart, info.VmPeak, info.Running));
}

// The pool, its managers and the cache in their order.
TEST(Layout, PoolFields) {
    allocator_none owner("owner", nullptr, false);
    PagedMemory pool(&owner);
    EXPECT_TRUE(InOrder(pool.Owner, pool.FreePageCount, pool.FreePages, pool.Managers));
    const MemoryManager& manager = pool.Managers[0];
    EXPECT_TRUE(
        InOrder(manager.Pool, manager.FirstPage, manager.BlockSize, manager.Blocks, manager.Pages));
}

// The engine's fields in their order, the seven statistics with GlobalStat
// first; the paged engine adds its own pool, then the pool it uses.
TEST(Layout, EngineFields) {
    allocator_data e("e", nullptr, false);
    EXPECT_TRUE(InOrder(e.Parent, e.Root, e.Name, e.IsGlobal, e.DebugFill, e.Mutex, e.GlobalStat,
                        e.SelfStat, e.LargeStat, e.UsedStat, e.ReservedStat, e.PageStat,
                        e.PooledStat, e.Process, e.OwnPool, e.Pool));
}
