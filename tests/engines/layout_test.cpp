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

// The words of a block header (Owner at p - 16, Size at p - 8), of a pooled
// block (Link, then the block header, 24 bytes before the user bytes), of a
// page header (eight 64-bit words) and of the statistics.
TEST(Layout, WordsAtTheirOffsets) {
    const struct {
        const char* field;
        std::size_t offset, expected;
    } rows[] = {
        {"BlockHeader::Owner", offsetof(BlockHeader, Owner), 0},
        {"BlockHeader::Size", offsetof(BlockHeader, Size), 8},
        {"sizeof(BlockHeader)", sizeof(BlockHeader), 16},
        {"PooledBlock::Link", offsetof(PooledBlock, Link), 0},
        {"PooledBlock::Owner", offsetof(PooledBlock, Owner), 8},
        {"PooledBlock::Size", offsetof(PooledBlock, Size), 16},
        {"sizeof(PooledBlock)", sizeof(PooledBlock), 24},
        {"Page::Manager", offsetof(Page, Manager), 0},
        {"Page::Prev", offsetof(Page, Prev), 8},
        {"Page::Next", offsetof(Page, Next), 16},
        {"Page::Stride", offsetof(Page, Stride), 24},
        {"Page::Capacity", offsetof(Page, Capacity), 32},
        {"Page::UsedCount", offsetof(Page, UsedCount), 40},
        {"Page::FreeCount", offsetof(Page, FreeCount), 48},
        {"Page::FreeList", offsetof(Page, FreeList), 56},
        {"sizeof(Page)", sizeof(Page), 64},
        {"StatValue::Current", offsetof(StatValue, Current), 0},
        {"StatValue::Peak", offsetof(StatValue, Peak), 8},
        {"StatValue::Cumul", offsetof(StatValue, Cumul), 16},
        {"StatAlloc::Memory", offsetof(StatAlloc, Memory), 0},
        {"StatAlloc::Counter", offsetof(StatAlloc, Counter), 24},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(row.offset, row.expected) << row.field;
    }
}

// The process figures, the pool, its managers and the engine's fields in their
// order: the seven statistics with GlobalStat first; the paged engine adds its
// own pool, then the pool it uses.
TEST(Layout, FieldsInTheirOrder) {
    ProcessInfo info;
    EXPECT_TRUE(InOrder(info.ProcessHandle, info.ProcessId, info.UserTime, info.KernelTime,
                        info.VmStart, info.VmPeak, info.Running));
    allocator_data e("e", nullptr, false);
    PagedMemory& pool = e.OwnPool;
    EXPECT_TRUE(InOrder(pool.Owner, pool.FreePageCount, pool.FreePages, pool.Managers));
    const MemoryManager& manager = pool.Managers[0];
    EXPECT_TRUE(
        InOrder(manager.Pool, manager.FirstPage, manager.BlockSize, manager.Blocks, manager.Pages));
    EXPECT_TRUE(InOrder(e.Parent, e.Root, e.Name, e.IsGlobal, e.DebugFill, e.Mutex, e.GlobalStat,
                        e.SelfStat, e.LargeStat, e.UsedStat, e.ReservedStat, e.PageStat,
                        e.PooledStat, e.Process, e.OwnPool, e.Pool));
}
