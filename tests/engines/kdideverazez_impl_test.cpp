// The engine base (Tools/engines/kdideverazez_impl.cpp) and the statistics
// every engine keeps. Which test owns which rule:
//  - StatValue.SignedPeakAndWrappingCounters: a signed peak, figures that wrap
//    modulo 2^64, an item of no bytes pending.
//  - EngineBase.NamesRootsAndKinds: a null name, a name held as the caller's
//    pointer, each engine's root and kind.
//  - EngineBase.TimeFromConstructionToTheFirstFlush: the processor time an
//    engine measures, and a global engine that measures none.
//  - EngineBase.PendingTestLooksAtEveryStatistic: IsEmpty.
//  - EngineBase.GlobalEngineReportsPendingMemoryOnce: the error line of a
//    global engine destroyed with memory pending.
// What both engines share: engine_contract_test.cpp; the basic engine:
// basic_engine_test.cpp; the paged engine: paged_engine_test.cpp.

#include "engines/kdideverazez_impl.h"
#include "platform/Platform.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>

namespace {

using namespace dideverazez::test;

// Adding raises Current and Cumul and, in a signed comparison, Peak;
// subtracting lowers Current only. Figures wrap modulo 2^64.
TEST(StatValue, SignedPeakAndWrappingCounters) {
    StatValue v;
    v.Subtract(5);
    v.Add(3);
    EXPECT_EQ(Of(v), (Triple{-2, 0, 3}));
    v.Add(INT64_MAX);
    EXPECT_EQ(Of(v), (Triple{INT64_MAX - 2, INT64_MAX - 2, INT64_MIN + 2}));
    v.Add(3); // Current wraps below the peak
    EXPECT_EQ(Of(v), (Triple{INT64_MIN, INT64_MAX - 2, INT64_MIN + 5}));
    StatAlloc s;
    s.Charge(0);
    EXPECT_FALSE(s.IsEmpty()); // an item of no bytes is pending
    s.Discharge(0);
    EXPECT_TRUE(s.IsEmpty());
    EXPECT_EQ(Of(s), (std::array<Triple, 2>{{{0, 0, 0}, {0, 1, 1}}}));
}

// A null name reads "<unknown>"; a name is kept as the caller's pointer. Each
// engine knows its tree's root; a basic engine is of kind 0, a paged one 1.
TEST(EngineBase, NamesRootsAndKinds) {
    const char* name = "named";
    EngineTree<allocator_data> tree;
    allocator_none unnamed(nullptr, nullptr, false);
    allocator_data named(name, &tree.grandchild, false);
    EXPECT_STREQ(unnamed.Name, "<unknown>");
    EXPECT_EQ(named.Name, name);
    EXPECT_EQ(named.Root, &tree.root);
    EXPECT_EQ(tree.root.Root, &tree.root);
    EXPECT_EQ(unnamed.GetKind(), 0);
    EXPECT_EQ(named.GetKind(), 1);
}

// A non-global engine measures the process's processor time from its
// construction to its first Flush; later Flushes change nothing. A global
// engine never runs and keeps the times at its construction.
TEST(EngineBase, TimeFromConstructionToTheFirstFlush) {
    const auto now = [] {
        std::uint64_t user = 0, kernel = 0;
        dideverazez::platform::ProcessTimes(dideverazez::platform::CurrentProcess(), user, kernel);
        return user + kernel;
    };
    for (bool global : {false, true}) {
        const std::uint64_t before = now();
        allocator_none engine("e", nullptr, global);
        const std::uint64_t after = now();
        EXPECT_EQ(engine.Process.Running, !global);
        EXPECT_GE(engine.GetTimeTotal(), before);
        EXPECT_LE(engine.GetTimeTotal(), after);
        const std::uint64_t atConstruction = engine.GetTimeTotal();
        for (const std::uint64_t start = now(); now() < start + 30;) {
        }
        const std::uint64_t beforeFlush = now();
        engine.Flush();
        const std::uint64_t measured = engine.GetTimeTotal();
        EXPECT_FALSE(engine.Process.Running);
        if (global) {
            EXPECT_EQ(measured, atConstruction);
        } else {
            EXPECT_GE(measured, beforeFlush - after);
            EXPECT_LE(measured, now() - before);
        }
        for (const std::uint64_t start = now(); now() < start + 10;) {
        }
        engine.Flush();
        EXPECT_EQ(engine.GetTimeTotal(), measured);
        EXPECT_EQ(engine.GetTimeTotal(), engine.Process.UserTime + engine.Process.KernelTime);
    }
}

// An engine is empty only when every statistic's Currents are 0 — a global
// one ignores its GlobalStat. One item of 0 bytes in any statistic is pending.
TEST(EngineBase, PendingTestLooksAtEveryStatistic) {
    StatAlloc allocator_impl::*const stats[] = {
        &allocator_impl::GlobalStat, &allocator_impl::SelfStat, &allocator_impl::LargeStat,
        &allocator_impl::UsedStat,   &allocator_impl::PageStat, &allocator_impl::PooledStat};
    for (bool global : {false, true}) {
        for (auto stat : stats) {
            allocator_none engine("e", nullptr, global);
            (engine.*stat).Charge(0);
            EXPECT_EQ(engine.IsEmpty(), global && stat == &allocator_impl::GlobalStat);
            (engine.*stat).Discharge(0);
        }
        allocator_none engine("e", nullptr, global);
        engine.ReservedStat.Add(1);
        EXPECT_FALSE(engine.IsEmpty());
        engine.ReservedStat.Subtract(1);
        EXPECT_TRUE(engine.IsEmpty());
    }
}

// A global engine destroyed with any own statistic pending writes one error
// with its GlobalStat count; with only GlobalStat pending, or a non-global
// engine, nothing. A paged global root frees its cached pages first.
TEST(EngineBase, GlobalEngineReportsPendingMemoryOnce) {
    TraceCapture trace;
    for (bool global : {false, true}) {
        allocator_data engine("e", nullptr, global);
        engine.GlobalStat.Charge(3);
        engine.GlobalStat.Charge(4);
        zu_free(engine.Alloc(8, nullptr, nullptr), nullptr); // its page stays cached
    }
    {
        allocator_none engine("e", nullptr, true);
        engine.UsedStat.Charge(0);
        engine.GlobalStat.Charge(1);
    }
    EXPECT_EQ(trace.Text(), "0 kdideverazez_impl(105): ERROR R9_ALLOCATOR: ~allocator_impl: "
                            "MEMORY ERROR : Release global allocator with pending memory blocks "
                            ": 1\n");
}

} // namespace
