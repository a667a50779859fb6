// The engine base: statistic arithmetic, construction, the time measurement,
// the pending test and the global engine's check at destruction.

#include "engines/kdideverazez_impl.h"
#include "platform/Platform.h"
#include "support/EngineFigures.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>

namespace {

using namespace dideverazez::test;
namespace platform = dideverazez::platform;

struct Times {
    std::uint64_t user = 0;
    std::uint64_t kernel = 0;
};

Times Now() {
    Times times;
    platform::ProcessTimes(platform::CurrentProcess(), times.user, times.kernel);
    return times;
}

// Spends processor time until user + kernel time has grown by at least `ms`
// milliseconds (or half a minute of wall time has passed).
void BurnProcessorTime(std::uint64_t ms) {
    const Times start = Now();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    volatile std::uint64_t sink = 0;
    for (;;) {
        for (int i = 0; i < 100000; ++i) {
            sink = sink + static_cast<std::uint64_t>(i) * 2654435761u;
        }
        const Times now = Now();
        if (now.user + now.kernel >= start.user + start.kernel + ms ||
            std::chrono::steady_clock::now() > deadline) {
            return;
        }
    }
}

// Three items of one byte in GlobalStat: the count a pending error reports.
void ThreeGlobalItems(allocator_impl& e) {
    for (int i = 0; i < 3; ++i) {
        e.GlobalStat.Charge(1);
    }
}

} // namespace

// ---------------------------------------------------------------------------
// StatValue and StatAlloc

// Adding raises Current and Cumul; Peak follows Current only upwards (a signed
// comparison, so a negative Current leaves it at 0), and subtracting touches
// Current alone.
TEST(StatValue, PeakNeverLowered) {
    const struct {
        std::int64_t delta;
        StatValue expected;
    } steps[] = {
        {-10, {-10, 0, 0}}, // below zero: Peak and Cumul stay 0
        {4, {-6, 0, 4}},    // -10 + 4 = -6, still below the Peak of 0
        {7, {1, 1, 11}},    // -6 + 7 = 1 passes the Peak; Cumul 4 + 7
        {7, {8, 8, 18}},    // 1 + 7 = 8
        {-6, {2, 8, 18}},   // 8 - 6 = 2; Peak and Cumul stay
        {4, {6, 8, 22}},    // 2 + 4 = 6 < Peak 8; Cumul 18 + 4
        {5, {11, 11, 27}},  // 6 + 5 = 11 becomes the Peak; Cumul 22 + 5
    };
    StatValue value;
    for (const auto& step : steps) {
        SCOPED_TRACE(step.delta);
        step.delta < 0 ? value.Subtract(-step.delta) : value.Add(step.delta);
        EXPECT_TRUE(ValueIs(value, step.expected));
    }
}

// Charging adds the bytes to Memory and one item to Counter; discharging
// subtracts both, so Cumul only grows. A statistic is empty only when both
// Currents are 0: a charge of 0 bytes leaves an item pending, a discharge
// without a charge leaves both Currents negative, and bytes without an item
// are pending too.
TEST(StatAlloc, ChargeAndDischarge) {
    const struct {
        bool charge;
        std::int64_t bytes;
        StatValue memory, counter;
        bool empty;
    } steps[] = {
        {false, 24, {-24, 0, 0}, {-1, 0, 0}, false}, // discharge without a charge
        {true, 24, {0, 0, 24}, {0, 0, 1}, true},     // back to 0, not above the Peaks of 0
        {true, 0, {0, 0, 24}, {1, 1, 2}, false},     // an item of no bytes
        {false, 0, {0, 0, 24}, {0, 1, 2}, true},
        {true, 100, {100, 100, 124}, {1, 1, 3}, false},
        {true, 50, {150, 150, 174}, {2, 2, 4}, false},
        {false, 100, {50, 150, 174}, {1, 2, 4}, false}, // 100 + 50 - 100
        {false, 50, {0, 150, 174}, {0, 2, 4}, true},
    };
    StatAlloc stat;
    for (std::size_t i = 0; i < std::size(steps); ++i) {
        SCOPED_TRACE(i);
        steps[i].charge ? stat.Charge(steps[i].bytes) : stat.Discharge(steps[i].bytes);
        EXPECT_TRUE(StatIs(stat, steps[i].memory, steps[i].counter));
        EXPECT_EQ(stat.IsEmpty(), steps[i].empty);
    }
    StatAlloc bytes;
    bytes.Memory.Add(5);
    EXPECT_FALSE(bytes.IsEmpty());
}

// ---------------------------------------------------------------------------
// Construction

// A null name becomes "<unknown>"; a given name is kept as the same pointer.
TEST(EngineConstruction, NameKeptOrUnknown) {
    allocator_none unnamed(nullptr, nullptr, false);
    EXPECT_STREQ(unnamed.Name, "<unknown>");
    const char* name = "named";
    allocator_none named(name, nullptr, false);
    EXPECT_EQ(named.Name, name);
}

// A root is its own Root; every descendant has the root of its tree.
TEST(EngineConstruction, RootOfEveryGeneration) {
    PagedTree tree;
    const allocator_data* parents[] = {nullptr, &tree.root, &tree.child};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(tree.All()[i]->Parent, parents[i]) << i;
        EXPECT_EQ(tree.All()[i]->Root, &tree.root) << i;
    }
}

// DebugFill is false for a root and copied from the parent at construction: a
// child built after the root's flag was set has it, one built before has not.
TEST(EngineConstruction, DebugFillInheritedAtConstruction) {
    allocator_none root("root", nullptr, false);
    EXPECT_FALSE(root.DebugFill);
    allocator_none before("before", &root, false);
    root.DebugFill = true;
    allocator_none child("child", &root, false);
    allocator_none grandchild("grandchild", &child, false);
    EXPECT_FALSE(before.DebugFill);
    EXPECT_TRUE(child.DebugFill);
    EXPECT_TRUE(grandchild.DebugFill);
}

// A new engine has all seven statistics at zero, the process identity of the
// platform and no virtual-memory figures. The kinds: 0 for the basic engine, 1
// for the paged one; Spare answers 0.
TEST(EngineConstruction, FiguresStartAtZero) {
    allocator_data engine("e", nullptr, false);
    EXPECT_TRUE(SameFigures(FiguresOf(engine), EngineFigures{}));
    EXPECT_EQ(engine.Process.ProcessHandle, platform::CurrentProcess());
    EXPECT_EQ(engine.Process.ProcessId, platform::CurrentProcessId());
    EXPECT_EQ(engine.Process.VmStart, 0u);
    EXPECT_EQ(engine.Process.VmPeak, 0u);
    EXPECT_EQ(engine.Process.GetCurrentVm(), 0u);
    EXPECT_FALSE(engine.IsGlobal);
    EXPECT_FALSE(engine.DebugFill);
    allocator_none basic("b", nullptr, false);
    EXPECT_EQ(basic.GetKind(), 0);
    EXPECT_EQ(engine.GetKind(), 1);
    EXPECT_EQ(basic.Spare(), 0);
    EXPECT_EQ(engine.Spare(), 0);
}

// ---------------------------------------------------------------------------
// Time measurement

// A non-global engine starts running with the process's processor times at its
// construction, taken between the two readings around it; the first Flush
// stops the measurement, and the fields then hold the processor time spent
// between construction and that Flush. A global engine never runs: it keeps
// the times at its construction. Later Flushes change nothing.
TEST(EngineTime, MeasuredFromConstructionToTheFirstFlush) {
    for (bool global : {false, true}) {
        SCOPED_TRACE(global);
        BurnProcessorTime(5);
        const Times before = Now();
        allocator_none engine("e", nullptr, global);
        const Times after = Now();
        EXPECT_EQ(engine.Process.Running, !global);
        EXPECT_GE(engine.Process.UserTime, before.user);
        EXPECT_LE(engine.Process.UserTime, after.user);
        EXPECT_GE(engine.Process.KernelTime, before.kernel);
        EXPECT_LE(engine.Process.KernelTime, after.kernel);
        const Times atConstruction{engine.Process.UserTime, engine.Process.KernelTime};
        BurnProcessorTime(30);
        const Times beforeFlush = Now();
        engine.Flush();
        const Times afterFlush = Now();
        EXPECT_FALSE(engine.Process.Running);
        if (global) {
            EXPECT_EQ(engine.Process.UserTime, atConstruction.user);
            EXPECT_EQ(engine.Process.KernelTime, atConstruction.kernel);
        } else {
            // elapsed = (time at Flush) - (time at construction), bounded by the readings.
            EXPECT_GE(engine.Process.UserTime, beforeFlush.user - after.user);
            EXPECT_LE(engine.Process.UserTime, afterFlush.user - before.user);
            EXPECT_GE(engine.Process.KernelTime, beforeFlush.kernel - after.kernel);
            EXPECT_LE(engine.Process.KernelTime, afterFlush.kernel - before.kernel);
            // At least the 30 ms burnt: both ends are readings of the same clock.
            EXPECT_GE(engine.GetTimeTotal(), 30u);
        }
        const Times stored{engine.Process.UserTime, engine.Process.KernelTime};
        BurnProcessorTime(30);
        engine.Flush();
        EXPECT_FALSE(engine.Process.Running);
        EXPECT_EQ(engine.Process.UserTime, stored.user);
        EXPECT_EQ(engine.Process.KernelTime, stored.kernel);
    }
}

// GetTimeTotal is UserTime + KernelTime in either state.
TEST(EngineTime, TimeTotalIsTheSumInBothStates) {
    allocator_none engine("e", nullptr, false);
    engine.Process.UserTime = 7;
    engine.Process.KernelTime = 5;
    EXPECT_EQ(engine.GetTimeTotal(), 12u); // 7 + 5 while running
    engine.Process.Running = false;
    engine.Process.UserTime = 1000;
    engine.Process.KernelTime = 234;
    EXPECT_EQ(engine.GetTimeTotal(), 1234u); // 1000 + 234 once stopped
}

// ---------------------------------------------------------------------------
// Pending test

// A non-global engine is empty only when every statistic is: GlobalStat,
// SelfStat, LargeStat, UsedStat, PageStat, PooledStat, and ReservedStat's
// Current. Each one alone makes it pending, even with an item of 0 bytes.
TEST(EnginePending, NonGlobalNeedsEveryStatisticEmpty) {
    allocator_none engine("e", nullptr, false);
    EXPECT_TRUE(engine.IsEmpty());
    StatAlloc* stats[] = {&engine.GlobalStat, &engine.SelfStat, &engine.LargeStat,
                          &engine.UsedStat,   &engine.PageStat, &engine.PooledStat};
    for (StatAlloc* stat : stats) {
        for (std::int64_t bytes : {8, 0}) {
            stat->Charge(bytes);
            EXPECT_FALSE(engine.IsEmpty());
            stat->Discharge(bytes);
            EXPECT_TRUE(engine.IsEmpty());
        }
    }
    engine.ReservedStat.Add(8);
    EXPECT_FALSE(engine.IsEmpty());
    engine.ReservedStat.Subtract(8); // Peak and Cumul stay 8; only Current counts
    EXPECT_TRUE(engine.IsEmpty());
}

// A global engine ignores its GlobalStat; every other statistic still counts.
TEST(EnginePending, GlobalIgnoresGlobalStat) {
    allocator_none engine("g", nullptr, true);
    engine.GlobalStat.Charge(100);
    EXPECT_TRUE(engine.IsEmpty());
    engine.UsedStat.Charge(1);
    EXPECT_FALSE(engine.IsEmpty());
    engine.UsedStat.Discharge(1);
    engine.ReservedStat.Subtract(3); // a negative Current is pending too
    EXPECT_FALSE(engine.IsEmpty());
    engine.ReservedStat.Add(3);
    engine.GlobalStat.Discharge(100);
    EXPECT_TRUE(engine.IsEmpty());
}

// ---------------------------------------------------------------------------
// Global engine's destructor

// A global engine with any own statistic but GlobalStat pending writes exactly
// one error at destruction, whose count is GlobalStat.Counter.Current; with
// only GlobalStat (or nothing) pending, or for a non-global engine, it writes
// nothing.
TEST(GlobalEngineDestruction, PendingStatisticWritesOneError) {
    using Load = void (*)(allocator_impl&);
    struct Row {
        const char* name;
        bool global;
        Load load;
        long count; // -1: nothing written
    };
    const Row rows[] = {
        {"SelfStat", true, [](allocator_impl& e) { ThreeGlobalItems(e), e.SelfStat.Charge(40); },
         3},
        {"LargeStat", true, [](allocator_impl& e) { ThreeGlobalItems(e), e.LargeStat.Charge(40); },
         3},
        {"UsedStat", true, [](allocator_impl& e) { ThreeGlobalItems(e), e.UsedStat.Charge(40); },
         3},
        {"PageStat", true, [](allocator_impl& e) { ThreeGlobalItems(e), e.PageStat.Charge(40); },
         3},
        {"PooledStat", true,
         [](allocator_impl& e) { ThreeGlobalItems(e), e.PooledStat.Charge(40); }, 3},
        {"ReservedStat", true,
         [](allocator_impl& e) { ThreeGlobalItems(e), e.ReservedStat.Add(40); }, 3},
        // The count is GlobalStat's items, not those of the pending statistic.
        {"UsedStat alone", true,
         [](allocator_impl& e) { e.UsedStat.Charge(10), e.UsedStat.Charge(10); }, 0},
        {"GlobalStat alone", true, [](allocator_impl& e) { e.GlobalStat.Charge(4036); }, -1},
        {"empty", true, [](allocator_impl&) {}, -1},
        {"non-global", false,
         [](allocator_impl& e) {
             e.SelfStat.Charge(10), e.UsedStat.Charge(10), e.ReservedStat.Add(10);
             e.GlobalStat.Charge(30);
         },
         -1},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        TraceCapture capture;
        {
            allocator_none engine("g", nullptr, row.global);
            row.load(engine);
        }
        if (row.count < 0) {
            EXPECT_TRUE(capture.Records().empty());
        } else {
            ASSERT_EQ(capture.Records().size(), 1u);
            EXPECT_TRUE(IsPendingError(capture.Records()[0], row.count));
        }
    }
}

// A global basic engine charges GlobalStat alone, so destroying it with blocks
// still in use writes nothing; the blocks are left on the heap untouched.
TEST(GlobalEngineDestruction, BasicGlobalWithBlocksWritesNothing) {
    TraceCapture capture;
    void* p = nullptr;
    {
        allocator_none engine("g", nullptr, true);
        p = engine.Alloc(10, nullptr, nullptr);
        std::memset(p, 0x5A, 10);
    }
    EXPECT_TRUE(capture.Records().empty());
    EXPECT_EQ(static_cast<unsigned char*>(p)[9], 0x5A); // not freed, not filled
    dbg_free(static_cast<char*>(p) - 16);               // the basic block starts 16 bytes before p
}
