// A snapshot of a pool's size-class counters, shared by the text and XML
// memory-manager sections. Each section decides whether anything is to be
// written and writes its lines from one snapshot, so its passes agree with
// each other even while other threads allocate from the pool.
#pragma once

#include "engines/kdideverazez_impl.h"

#include <cstddef>
#include <cstdint>

namespace LmAlloc::detail {

struct ManagerFigures {
    std::uint64_t BlockSize;
    StatValue Blocks;
    StatValue Pages;

    // Only a size class that ever held a page is reported.
    bool EverHeldAPage() const noexcept { return Pages.Cumul > 0; }
};

struct PoolFigures {
    ManagerFigures Managers[PagedMemory::ClassCount];
    bool AnyPageEver = false;
};

// Reads every manager once, through the counters' relaxed loads; takes no lock.
inline PoolFigures SnapshotPool(const PagedMemory& pool) noexcept {
    PoolFigures figures;
    for (std::size_t i = 0; i < PagedMemory::ClassCount; ++i) {
        const MemoryManager& manager = pool.Managers[i];
        figures.Managers[i] = {manager.BlockSize, manager.Blocks.Load(), manager.Pages.Load()};
        figures.AnyPageEver = figures.AnyPageEver || figures.Managers[i].EverHeldAPage();
    }
    return figures;
}

} // namespace LmAlloc::detail
