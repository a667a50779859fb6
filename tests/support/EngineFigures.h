// Test helpers for the engines: exact comparison of statistics, snapshots of
// every figure of an engine or a pool, and a guard for the heap fault seam.
#pragma once

#include "engines/kdideverazez_impl.h"
#include "handle/Internals.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace dideverazez::test {

inline std::string Describe(const StatValue& value) {
    const StatValue v = value.Load();
    return "{" + std::to_string(v.Current) + ", " + std::to_string(v.Peak) + ", " +
           std::to_string(v.Cumul) + "}";
}

inline std::string Describe(const StatAlloc& stat) {
    return "Memory " + Describe(stat.Memory) + " Counter " + Describe(stat.Counter);
}

inline bool Same(const StatValue& a, const StatValue& b) {
    const StatValue x = a.Load();
    const StatValue y = b.Load();
    return x.Current == y.Current && x.Peak == y.Peak && x.Cumul == y.Cumul;
}

inline bool Same(const StatAlloc& a, const StatAlloc& b) {
    return Same(a.Memory, b.Memory) && Same(a.Counter, b.Counter);
}

// `actual` equals {Current, Peak, Cumul} given.
inline ::testing::AssertionResult ValueIs(const StatValue& actual, StatValue expected) {
    if (Same(actual, expected)) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure()
           << "is " << Describe(actual) << ", expected " << Describe(expected);
}

// `actual` equals the byte figures `memory` and the item figures `counter`.
inline ::testing::AssertionResult StatIs(const StatAlloc& actual, StatValue memory,
                                         StatValue counter) {
    const StatAlloc expected{memory, counter};
    if (Same(actual, expected)) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure()
           << "is " << Describe(actual) << ", expected " << Describe(expected);
}

inline ::testing::AssertionResult IsZero(const StatAlloc& actual) {
    return StatIs(actual, {0, 0, 0}, {0, 0, 0});
}

// Every statistic of an engine, copied.
struct EngineFigures {
    StatAlloc Global, Self, Large, Used;
    StatValue Reserved;
    StatAlloc Page, Pooled;
};

inline EngineFigures FiguresOf(const allocator_impl& engine) {
    return {engine.GlobalStat.Load(), engine.SelfStat.Load(),     engine.LargeStat.Load(),
            engine.UsedStat.Load(),   engine.ReservedStat.Load(), engine.PageStat.Load(),
            engine.PooledStat.Load()};
}

inline ::testing::AssertionResult SameFigures(const EngineFigures& a, const EngineFigures& b) {
    struct Row {
        const char* name;
        bool same;
        std::string left, right;
    };
    const Row rows[] = {
        {"GlobalStat", Same(a.Global, b.Global), Describe(a.Global), Describe(b.Global)},
        {"SelfStat", Same(a.Self, b.Self), Describe(a.Self), Describe(b.Self)},
        {"LargeStat", Same(a.Large, b.Large), Describe(a.Large), Describe(b.Large)},
        {"UsedStat", Same(a.Used, b.Used), Describe(a.Used), Describe(b.Used)},
        {"ReservedStat", Same(a.Reserved, b.Reserved), Describe(a.Reserved), Describe(b.Reserved)},
        {"PageStat", Same(a.Page, b.Page), Describe(a.Page), Describe(b.Page)},
        {"PooledStat", Same(a.Pooled, b.Pooled), Describe(a.Pooled), Describe(b.Pooled)},
    };
    bool all = true;
    auto failure = ::testing::AssertionFailure();
    for (const Row& row : rows) {
        if (!row.same) {
            all = false;
            failure << row.name << " " << row.left << " vs " << row.right << "; ";
        }
    }
    return all ? ::testing::AssertionSuccess() : failure;
}

// The figures and structure of a pool that an operation may change.
struct PoolFigures {
    std::uint64_t FreePageCount;
    std::vector<Page*> FreePages;
    std::vector<Page*> FirstPages;
    std::vector<StatValue> Blocks, Pages;
};

inline PoolFigures FiguresOf(const PagedMemory& pool) {
    PoolFigures figures{pool.FreePageCount, {}, {}, {}, {}};
    for (std::uint64_t i = 0; i < pool.FreePageCount; ++i) {
        figures.FreePages.push_back(pool.FreePages[i]);
    }
    for (const MemoryManager& manager : pool.Managers) {
        figures.FirstPages.push_back(manager.FirstPage);
        figures.Blocks.push_back(manager.Blocks.Load());
        figures.Pages.push_back(manager.Pages.Load());
    }
    return figures;
}

inline ::testing::AssertionResult SamePool(const PoolFigures& a, const PoolFigures& b) {
    if (a.FreePageCount != b.FreePageCount || a.FreePages != b.FreePages) {
        return ::testing::AssertionFailure() << "page cache differs";
    }
    for (std::size_t i = 0; i < a.FirstPages.size(); ++i) {
        if (a.FirstPages[i] != b.FirstPages[i] || !Same(a.Blocks[i], b.Blocks[i]) ||
            !Same(a.Pages[i], b.Pages[i])) {
            return ::testing::AssertionFailure()
                   << "manager " << i << " differs: Blocks " << Describe(a.Blocks[i]) << " vs "
                   << Describe(b.Blocks[i]) << ", Pages " << Describe(a.Pages[i]) << " vs "
                   << Describe(b.Pages[i]);
        }
    }
    return ::testing::AssertionSuccess();
}

// The pool's structural invariants hold.
inline ::testing::AssertionResult Sound(const PagedMemory& pool) {
    const char* broken = pool.CheckInvariants();
    if (broken == nullptr) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << broken;
}

// Makes the `k`-th heap call from now fail while it lives; disarms on exit.
class HeapFault {
public:
    explicit HeapFault(std::uint64_t k) { dideverazez::testing::FailHeapCall(k); }
    ~HeapFault() { dideverazez::testing::FailHeapCall(0); }
    HeapFault(const HeapFault&) = delete;
    HeapFault& operator=(const HeapFault&) = delete;
};

// The page of a pooled block, read from its Link word (24 bytes before the
// user pointer), as the engine reads it.
inline Page* PageOfPooled(void* userPointer) {
    return static_cast<Page*>(reinterpret_cast<PooledBlock*>(userPointer)[-1].Link);
}

// Address `offset` bytes into `page`.
inline char* At(Page* page, std::uint64_t offset) {
    return reinterpret_cast<char*>(page) + offset;
}

} // namespace dideverazez::test
