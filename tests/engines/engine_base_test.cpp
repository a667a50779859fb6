// The engine base: statistic arithmetic, construction, the time measurement,
// the pending test and the global engine's check at destruction.

#include "engines/kdideverazez_impl.h"
#include "platform/Platform.h"
#include "support/EngineFigures.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <string>

namespace {

using dideverazez::test::StatIs;
using dideverazez::test::TraceCapture;
using dideverazez::test::ValueIs;
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

bool AllStatisticsZero(const allocator_impl& engine) {
    const StatAlloc zero{};
    using dideverazez::test::Same;
    return Same(engine.GlobalStat, zero) && Same(engine.SelfStat, zero) &&
           Same(engine.LargeStat, zero) && Same(engine.UsedStat, zero) &&
           Same(engine.ReservedStat, StatValue{}) && Same(engine.PageStat, zero) &&
           Same(engine.PooledStat, zero);
}

const char* const kPendingText =
    "MEMORY ERROR : Release global allocator with pending memory blocks";

// The one error a global engine writes when destroyed with memory pending.
::testing::AssertionResult IsPendingError(const Tracer::TraceRecord& record, long count) {
    const std::string text = std::string(kPendingText) + " : " + std::to_string(count);
    if (record.kind != Tracer::TraceRecord::Kind::Error || record.detail != 0 ||
        record.text != text) {
        return ::testing::AssertionFailure() << "record \"" << record.text << "\"";
    }
    if (std::strcmp(record.file, "kdideverazez_impl") != 0 || record.line != 105 ||
        std::strcmp(record.category, "R9_ALLOCATOR:") != 0 ||
        std::strcmp(record.function, "~allocator_impl") != 0) {
        return ::testing::AssertionFailure() << "file, line, category or function";
    }
    return ::testing::AssertionSuccess();
}

} // namespace

// ---------------------------------------------------------------------------
// StatValue and StatAlloc

// Adding raises Current and Cumul; Peak follows Current only upwards, and
// subtracting touches Current alone.
TEST(StatValue, PeakNeverLowered) {
    StatValue value;
    value.Add(5);
    value.Add(3); // 5 + 3 = 8
    EXPECT_TRUE(ValueIs(value, {8, 8, 8}));
    value.Subtract(6); // 8 - 6 = 2; Peak and Cumul stay
    EXPECT_TRUE(ValueIs(value, {2, 8, 8}));
    value.Add(4); // 2 + 4 = 6 < Peak 8; Cumul 8 + 4 = 12
    EXPECT_TRUE(ValueIs(value, {6, 8, 12}));
    value.Add(5); // 6 + 5 = 11 > 8 becomes the Peak; Cumul 12 + 5 = 17
    EXPECT_TRUE(ValueIs(value, {11, 11, 17}));
}

// Current may go below zero; Peak stays at 0 as long as Current stays below
// it (the comparison is signed).
TEST(StatValue, CurrentMayGoNegative) {
    StatValue value;
    value.Subtract(10);
    EXPECT_TRUE(ValueIs(value, {-10, 0, 0}));
    value.Add(4); // -10 + 4 = -6: still below the Peak of 0
    EXPECT_TRUE(ValueIs(value, {-6, 0, 4}));
    value.Add(7); // -6 + 7 = 1 passes the Peak; Cumul 4 + 7 = 11
    EXPECT_TRUE(ValueIs(value, {1, 1, 11}));
}

// Charging adds the bytes to Memory and one item to Counter; discharging
// subtracts both, so Cumul only grows.
TEST(StatAlloc, ChargeAndDischarge) {
    StatAlloc stat;
    stat.Charge(100);
    stat.Charge(50);
    stat.Discharge(100);
    // Memory: 100 + 50 - 100 = 50, Peak 150, Cumul 150; Counter: 1, Peak 2, Cumul 2.
    EXPECT_TRUE(StatIs(stat, {50, 150, 150}, {1, 2, 2}));
    EXPECT_FALSE(stat.IsEmpty());
    stat.Discharge(50);
    EXPECT_TRUE(StatIs(stat, {0, 150, 150}, {0, 2, 2}));
    EXPECT_TRUE(stat.IsEmpty());
}

// A statistic is empty only when both Currents are 0: a charge of 0 bytes still
// leaves an item pending, and bytes without an item are pending too.
TEST(StatAlloc, EmptyNeedsBothCurrentsZero) {
    StatAlloc items;
    items.Charge(0);
    EXPECT_TRUE(StatIs(items, {0, 0, 0}, {1, 1, 1}));
    EXPECT_FALSE(items.IsEmpty());

    StatAlloc bytes;
    bytes.Memory.Add(5);
    EXPECT_FALSE(bytes.IsEmpty());
}

// A discharge without a charge leaves both Currents negative and the Peaks and
// Cumuls at 0.
TEST(StatAlloc, DischargeBelowZero) {
    StatAlloc stat;
    stat.Discharge(24);
    EXPECT_TRUE(StatIs(stat, {-24, 0, 0}, {-1, 0, 0}));
    EXPECT_FALSE(stat.IsEmpty());
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
    allocator_data root("root", nullptr, false);
    allocator_data child("child", &root, false);
    allocator_data grandchild("grandchild", &child, false);
    EXPECT_EQ(root.Parent, nullptr);
    EXPECT_EQ(root.Root, &root);
    EXPECT_EQ(child.Parent, &root);
    EXPECT_EQ(child.Root, &root);
    EXPECT_EQ(grandchild.Parent, &child);
    EXPECT_EQ(grandchild.Root, &root);
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
// platform and no virtual-memory figures.
TEST(EngineConstruction, FiguresStartAtZero) {
    allocator_data engine("e", nullptr, false);
    EXPECT_TRUE(AllStatisticsZero(engine));
    EXPECT_EQ(engine.Process.ProcessHandle, platform::CurrentProcess());
    EXPECT_EQ(engine.Process.ProcessId, platform::CurrentProcessId());
    EXPECT_EQ(engine.Process.VmStart, 0u);
    EXPECT_EQ(engine.Process.VmPeak, 0u);
    EXPECT_EQ(engine.Process.GetCurrentVm(), 0u);
    EXPECT_FALSE(engine.IsGlobal);
    EXPECT_FALSE(engine.DebugFill);
}

// The kinds: 0 for the basic engine, 1 for the paged one; Spare answers 0.
TEST(EngineConstruction, KindsAndSpare) {
    allocator_none basic("b", nullptr, false);
    allocator_data paged("p", nullptr, false);
    EXPECT_EQ(basic.GetKind(), 0);
    EXPECT_EQ(paged.GetKind(), 1);
    EXPECT_EQ(basic.Spare(), 0);
    EXPECT_EQ(paged.Spare(), 0);
}

// ---------------------------------------------------------------------------
// Time measurement

// A non-global engine starts running with the process's processor times at its
// construction, taken between the two readings around it.
TEST(EngineTime, NonGlobalStartsRunning) {
    BurnProcessorTime(5);
    const Times before = Now();
    allocator_none engine("e", nullptr, false);
    const Times after = Now();
    EXPECT_TRUE(engine.Process.Running);
    EXPECT_GE(engine.Process.UserTime, before.user);
    EXPECT_LE(engine.Process.UserTime, after.user);
    EXPECT_GE(engine.Process.KernelTime, before.kernel);
    EXPECT_LE(engine.Process.KernelTime, after.kernel);
}

// The first Flush stops the measurement: the fields then hold the processor
// time spent between construction and that Flush.
TEST(EngineTime, FirstFlushStoresElapsedTime) {
    const Times beforeConstruction = Now();
    allocator_none engine("e", nullptr, false);
    const Times afterConstruction = Now();
    BurnProcessorTime(30);
    const Times beforeFlush = Now();
    engine.Flush();
    const Times afterFlush = Now();
    EXPECT_FALSE(engine.Process.Running);
    // elapsed = (time at Flush) - (time at construction), bounded by the readings.
    EXPECT_GE(engine.Process.UserTime, beforeFlush.user - afterConstruction.user);
    EXPECT_LE(engine.Process.UserTime, afterFlush.user - beforeConstruction.user);
    EXPECT_GE(engine.Process.KernelTime, beforeFlush.kernel - afterConstruction.kernel);
    EXPECT_LE(engine.Process.KernelTime, afterFlush.kernel - beforeConstruction.kernel);
    // At least the 30 ms burnt: both ends are readings of the same clock.
    EXPECT_GE(engine.GetTimeTotal(), 30u);
}

// A second Flush changes nothing, however much time passed since the first.
TEST(EngineTime, SecondFlushChangesNothing) {
    allocator_data engine("e", nullptr, false);
    BurnProcessorTime(10);
    engine.Flush();
    const std::uint64_t user = engine.Process.UserTime;
    const std::uint64_t kernel = engine.Process.KernelTime;
    BurnProcessorTime(30);
    engine.Flush();
    EXPECT_FALSE(engine.Process.Running);
    EXPECT_EQ(engine.Process.UserTime, user);
    EXPECT_EQ(engine.Process.KernelTime, kernel);
}

// A global engine never runs the measurement: it keeps the process's times at
// its construction, and Flush does not change them.
TEST(EngineTime, GlobalEngineNeverRuns) {
    BurnProcessorTime(5);
    const Times before = Now();
    allocator_none engine("g", nullptr, true);
    const Times after = Now();
    EXPECT_FALSE(engine.Process.Running);
    EXPECT_GE(engine.GetTimeTotal(), before.user + before.kernel);
    EXPECT_LE(engine.GetTimeTotal(), after.user + after.kernel);
    const std::uint64_t user = engine.Process.UserTime;
    const std::uint64_t kernel = engine.Process.KernelTime;
    BurnProcessorTime(30);
    engine.Flush();
    EXPECT_FALSE(engine.Process.Running);
    EXPECT_EQ(engine.Process.UserTime, user);
    EXPECT_EQ(engine.Process.KernelTime, kernel);
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

// A child's Flush stops only its own measurement.
TEST(EngineTime, FlushStopsOnlyTheFlushedEngine) {
    allocator_data root("r", nullptr, false);
    allocator_data child("c", &root, false);
    child.Flush();
    EXPECT_FALSE(child.Process.Running);
    EXPECT_TRUE(root.Process.Running);
}

// ---------------------------------------------------------------------------
// Pending test

// A non-global engine is empty only when every statistic is: GlobalStat,
// SelfStat, LargeStat, UsedStat, PageStat, PooledStat, and ReservedStat's
// Current. Each one alone makes it pending.
TEST(EnginePending, NonGlobalNeedsEveryStatisticEmpty) {
    allocator_none engine("e", nullptr, false);
    EXPECT_TRUE(engine.IsEmpty());
    StatAlloc* stats[] = {&engine.GlobalStat, &engine.SelfStat, &engine.LargeStat,
                          &engine.UsedStat,   &engine.PageStat, &engine.PooledStat};
    for (StatAlloc* stat : stats) {
        stat->Charge(8);
        EXPECT_FALSE(engine.IsEmpty());
        stat->Discharge(8);
        EXPECT_TRUE(engine.IsEmpty());
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

// A statistic with bytes at 0 but an item still counted is pending.
TEST(EnginePending, ItemWithoutBytesIsPending) {
    allocator_none engine("e", nullptr, false);
    engine.SelfStat.Charge(0);
    EXPECT_FALSE(engine.IsEmpty());
    engine.SelfStat.Discharge(0);
    EXPECT_TRUE(engine.IsEmpty());
}

// ---------------------------------------------------------------------------
// Global engine's destructor

// Any one own statistic pending makes a global engine's destruction write
// exactly one error, whose count is GlobalStat.Counter.Current.
TEST(GlobalEngineDestruction, EachOwnStatisticWritesOneError) {
    for (int which = 0; which < 6; ++which) {
        SCOPED_TRACE(which);
        TraceCapture capture;
        {
            allocator_none engine("g", nullptr, true);
            engine.GlobalStat.Charge(1); // three items in GlobalStat: the reported count
            engine.GlobalStat.Charge(1);
            engine.GlobalStat.Charge(1);
            StatAlloc* stats[] = {&engine.SelfStat, &engine.LargeStat, &engine.UsedStat,
                                  &engine.PageStat, &engine.PooledStat};
            if (which < 5) {
                stats[which]->Charge(40);
            } else {
                engine.ReservedStat.Add(40);
            }
        }
        ASSERT_EQ(capture.Records().size(), 1u);
        EXPECT_TRUE(IsPendingError(capture.Records()[0], 3));
    }
}

// The count is GlobalStat's items, not those of the pending statistic: 0 when
// only UsedStat holds something.
TEST(GlobalEngineDestruction, CountComesFromGlobalStat) {
    TraceCapture capture;
    {
        allocator_none engine("g", nullptr, true);
        engine.UsedStat.Charge(10);
        engine.UsedStat.Charge(10);
    }
    ASSERT_EQ(capture.Records().size(), 1u);
    EXPECT_TRUE(IsPendingError(capture.Records()[0], 0));
}

// A global engine whose only non-empty statistic is GlobalStat writes nothing.
TEST(GlobalEngineDestruction, OnlyGlobalStatWritesNothing) {
    TraceCapture capture;
    {
        allocator_none engine("g", nullptr, true);
        engine.GlobalStat.Charge(4036);
    }
    EXPECT_TRUE(capture.Records().empty());
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

// A non-global engine's destructor writes nothing, pending memory or not.
TEST(GlobalEngineDestruction, NonGlobalWritesNothing) {
    TraceCapture capture;
    {
        allocator_none engine("e", nullptr, false);
        engine.SelfStat.Charge(10);
        engine.UsedStat.Charge(10);
        engine.ReservedStat.Add(10);
        engine.GlobalStat.Charge(30);
    }
    EXPECT_TRUE(capture.Records().empty());
}

// An empty global engine writes nothing.
TEST(GlobalEngineDestruction, EmptyGlobalWritesNothing) {
    TraceCapture capture;
    { allocator_data engine("g", nullptr, true); }
    EXPECT_TRUE(capture.Records().empty());
}
