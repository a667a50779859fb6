// Test helpers for the engines: exact comparison of statistics, snapshots of
// every figure of an engine, a tree or a pool, engine trees, the free path, the
// expected failure and error outcomes, and a guard for the heap fault seam.
#pragma once

#include "engines/kdideverazez_impl.h"
#include "handle/Internals.h"
#include "rozudoru/TraceSink.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <new>
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

// `actual` equals `expected`; the failure shows both.
template <class Stat>::testing::AssertionResult Equal(const Stat& actual, const Stat& expected) {
    if (Same(actual, expected)) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure()
           << "is " << Describe(actual) << ", expected " << Describe(expected);
}

// `actual` equals {Current, Peak, Cumul} given.
inline ::testing::AssertionResult ValueIs(const StatValue& actual, StatValue expected) {
    return Equal(actual, expected);
}

// `actual` equals the byte figures `memory` and the item figures `counter`.
inline ::testing::AssertionResult StatIs(const StatAlloc& actual, StatValue memory,
                                         StatValue counter) {
    return Equal(actual, StatAlloc{memory, counter});
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
    const char* names[] = {"GlobalStat", "SelfStat", "LargeStat",
                           "UsedStat",   "PageStat", "PooledStat"};
    const StatAlloc* left[] = {&a.Global, &a.Self, &a.Large, &a.Used, &a.Page, &a.Pooled};
    const StatAlloc* right[] = {&b.Global, &b.Self, &b.Large, &b.Used, &b.Page, &b.Pooled};
    bool all = Same(a.Reserved, b.Reserved);
    auto failure = ::testing::AssertionFailure();
    if (!all) {
        failure << "ReservedStat " << Describe(a.Reserved) << " vs " << Describe(b.Reserved)
                << "; ";
    }
    for (int i = 0; i < 6; ++i) {
        if (!Same(*left[i], *right[i])) {
            all = false;
            failure << names[i] << " " << Describe(*left[i]) << " vs " << Describe(*right[i])
                    << "; ";
        }
    }
    return all ? ::testing::AssertionSuccess() : failure;
}

// Every statistic but GlobalStat is untouched.
inline ::testing::AssertionResult OnlyGlobalStatUsed(const allocator_impl& engine) {
    EngineFigures expected{};
    expected.Global = engine.GlobalStat.Load();
    return SameFigures(FiguresOf(engine), expected) << " (" << engine.Name << ")";
}

// Root, child and grandchild engines of one kind; paged ones share the root's pool.
template <class Engine> struct Tree {
    Engine root{"root", nullptr, false};
    Engine child{"child", &root, false};
    Engine grandchild{"grandchild", &child, false};

    std::array<Engine*, 3> All() { return {&root, &child, &grandchild}; }
    PagedMemory& pool() { return root.OwnPool; }
};
using BasicTree = Tree<allocator_none>;
using PagedTree = Tree<allocator_data>;

// The figures of root, child and grandchild.
using TreeFigures = std::array<EngineFigures, 3>;

template <class Engine> TreeFigures FiguresOf(Tree<Engine>& tree) {
    return {FiguresOf(tree.root), FiguresOf(tree.child), FiguresOf(tree.grandchild)};
}

inline ::testing::AssertionResult SameFigures(const TreeFigures& a, const TreeFigures& b) {
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (auto result = SameFigures(a[i], b[i]); !result) {
            return result << " (engine " << i << " of the tree)";
        }
    }
    return ::testing::AssertionSuccess();
}

// The figures and structure of a pool that an operation may change: the
// cached pages, then each manager's first page, Blocks and Pages.
struct PoolFigures {
    std::vector<Page*> Cache;
    std::vector<Page*> FirstPages;
    std::vector<StatValue> Blocks, Pages;
};

inline PoolFigures FiguresOf(const PagedMemory& pool) {
    PoolFigures figures{{pool.FreePages, pool.FreePages + pool.FreePageCount}, {}, {}, {}};
    for (const MemoryManager& manager : pool.Managers) {
        figures.FirstPages.push_back(manager.FirstPage);
        figures.Blocks.push_back(manager.Blocks.Load());
        figures.Pages.push_back(manager.Pages.Load());
    }
    return figures;
}

inline ::testing::AssertionResult SamePool(const PoolFigures& a, const PoolFigures& b) {
    if (a.Cache != b.Cache) {
        return ::testing::AssertionFailure() << "page cache differs";
    }
    for (std::size_t i = 0; i < a.FirstPages.size(); ++i) {
        if (a.FirstPages[i] != b.FirstPages[i] || !Same(a.Blocks[i], b.Blocks[i]) ||
            !Same(a.Pages[i], b.Pages[i])) {
            return ::testing::AssertionFailure()
                   << "manager " << i << ": Blocks " << Describe(a.Blocks[i]) << " vs "
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

// The tree lock is free: a try_lock succeeds (and is undone).
inline ::testing::AssertionResult Unlocked(allocator_impl& root) {
    if (!root.Mutex.try_lock()) {
        return ::testing::AssertionFailure() << "the tree lock is held";
    }
    root.Mutex.unlock();
    return ::testing::AssertionSuccess();
}

// Makes the `k`-th heap call from now fail while it lives; disarms on exit.
class HeapFault {
public:
    explicit HeapFault(std::uint64_t k) { dideverazez::testing::FailHeapCall(k); }
    ~HeapFault() { dideverazez::testing::FailHeapCall(0); }
    HeapFault(const HeapFault&) = delete;
    HeapFault& operator=(const HeapFault&) = delete;
};

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

// The free path of the library: the block's Owner decides, whichever engine
// the caller has at hand.
inline void FreeBlock(void* p) {
    HeaderOf(p)->Owner->Free(p);
}

// Bytes [from, to) of `p` all read `value`.
inline ::testing::AssertionResult Filled(const void* p, std::size_t from, std::size_t to,
                                         unsigned char value) {
    const auto* bytes = static_cast<const unsigned char*>(p);
    for (std::size_t i = from; i < to; ++i) {
        if (bytes[i] != value) {
            return ::testing::AssertionFailure() << "byte " << i << " is " << int{bytes[i]};
        }
    }
    return ::testing::AssertionSuccess();
}

// The one error a global engine writes when destroyed with memory pending.
inline ::testing::AssertionResult IsPendingError(const Tracer::TraceRecord& r, long count) {
    const std::string text =
        "MEMORY ERROR : Release global allocator with pending memory blocks : " +
        std::to_string(count);
    if (r.kind == Tracer::TraceRecord::Kind::Error && r.detail == 0 && r.text == text &&
        std::strcmp(r.file, "kdideverazez_impl") == 0 && r.line == 105 &&
        std::strcmp(r.category, "R9_ALLOCATOR:") == 0 &&
        std::strcmp(r.function, "~allocator_impl") == 0) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << "record \"" << r.text << "\" at line " << r.line;
}

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
