// What the handle and the free functions pass to an engine, observed through a
// recording engine put in place of a handle's own.

#include "HandleTesting.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

using dideverazez::test::EngineSwap;
using dideverazez::test::MetricsOf;
using dideverazez::test::SpyEngine;

// Alloc reaches the engine with the name "_Alloc" and no category; the array
// forms make exactly the requests of the plain forms: the same size (the total
// bytes), the caller's name pointer, the category or none.
TEST(HandleForwarding, AllocAndArrayFormsPassSizeNameAndCategory) {
    zu_allocator handle("H");
    SpyEngine spy;
    EngineSwap swap(handle, spy);
    const char* name = "rows";
    const char* category = "Cat";
    void* blocks[5] = {handle.Alloc(77), zu_alloc(48, &handle, name),
                       zu_alloc_array(48, &handle, name), zu_alloc(48, &handle, name, category),
                       zu_alloc_array(48, &handle, name, category)};
    ASSERT_EQ(spy.requests.size(), 5u);
    EXPECT_EQ(spy.requests[0].size, 77u);
    EXPECT_STREQ(spy.requests[0].name, "_Alloc");
    for (std::size_t i = 1; i < 5; ++i) {
        EXPECT_EQ(spy.requests[i].size, 48u);
        EXPECT_EQ(spy.requests[i].name, name);
    }
    EXPECT_EQ(spy.requests[0].category, nullptr);
    EXPECT_EQ(spy.requests[1].category, nullptr);
    EXPECT_EQ(spy.requests[2].category, nullptr);
    EXPECT_EQ(spy.requests[3].category, category);
    EXPECT_EQ(spy.requests[4].category, category);
    for (void* block : blocks) {
        zu_free(block, &handle);
    }
}

// Every free path goes to the engine named in the block's header, whatever
// handle is named.
TEST(HandleForwarding, FreePathsRouteByOwner) {
    zu_allocator owner("O");
    zu_allocator other("X");
    SpyEngine spy;
    EngineSwap swap(owner, spy);
    void* a = owner.Alloc(8);
    void* b = owner.Alloc(8);
    void* c = owner.Alloc(8);
    other.Free(a);
    zu_free(b, nullptr);
    zu_free_array(c, &other);
    ASSERT_EQ(spy.freed.size(), 3u);
    EXPECT_EQ(spy.freed[0], a);
    EXPECT_EQ(spy.freed[1], b);
    EXPECT_EQ(spy.freed[2], c);
}

// The accounting members forward their amounts; Reserve answers true whatever
// the engine does, and CheckLimits asks the engine nothing.
TEST(HandleForwarding, AccountingMembersForward) {
    zu_allocator handle("H");
    SpyEngine spy;
    EngineSwap swap(handle, spy);
    handle.IncMemoryUsed(11);
    handle.DecMemoryUsed(12);
    EXPECT_TRUE(handle.Reserve(13));
    handle.UnReserve(14);
    EXPECT_TRUE(handle.CheckLimits());
    const std::vector<std::pair<std::string, std::uint64_t>> expected = {
        {"IncMemoryUsed", 11}, {"DecMemoryUsed", 12}, {"Reserve", 13}, {"UnReserve", 14}};
    EXPECT_EQ(spy.calls, expected);
    EXPECT_EQ(spy.kindCalls, 0);
    EXPECT_EQ(spy.flushes, 0);
}

// GetMetrics flushes the engine on every call and copies seven figures into
// their words; the counter's peak is not among them.
TEST(HandleForwarding, GetMetricsFlushesAndCopiesWords) {
    zu_allocator handle("H");
    SpyEngine spy;
    spy.Process.Running = false; // the measurement is already stopped
    spy.Process.UserTime = 7;
    spy.Process.KernelTime = 3;
    spy.SelfStat.Memory = {21, 20, 22};
    spy.GlobalStat.Memory = {30, 40, 50};
    spy.GlobalStat.Counter = {60, 70, 80};
    EngineSwap swap(handle, spy);
    const zu_allocator::Metrics first = MetricsOf(handle);
    EXPECT_EQ(spy.flushes, 1);
    // TimeTotal 7 + 3; SelfPeak; Global peak, current, cumul; counts current, cumul.
    EXPECT_EQ(first.TimeTotal, 10);
    EXPECT_EQ(first.SelfPeak, 20);
    EXPECT_EQ(first.MemoryPeak, 40);
    EXPECT_EQ(first.MemoryCurrent, 30);
    EXPECT_EQ(first.MemoryCumul, 50);
    EXPECT_EQ(first.CountCurrent, 60);
    EXPECT_EQ(first.CountCumul, 80);
    MetricsOf(handle);
    EXPECT_EQ(spy.flushes, 2);
}

// Dump asks the engine its kind, once, and nothing else; the caller's stream
// receives no character and keeps its state.
TEST(HandleForwarding, DumpOnlyAsksKind) {
    zu_allocator handle("H");
    SpyEngine spy;
    EngineSwap swap(handle, spy);
    std::ostringstream out;
    out << "before";
    handle.Dump(out);
    EXPECT_EQ(spy.kindCalls, 1);
    EXPECT_EQ(spy.flushes, 0);
    EXPECT_TRUE(spy.requests.empty());
    EXPECT_EQ(out.str(), "before");
}

// Dump of a real handle with blocks in use leaves a good stream as it was.
TEST(HandleDump, LeavesGoodStreamUntouched) {
    zu_allocator root("R");
    zu_allocator child(root, "C");
    void* small = child.Alloc(10);
    void* large = child.Alloc(4000);
    std::ostringstream out;
    out << "kept";
    out.precision(3);
    out.width(9);
    const auto flags = out.flags();
    child.Dump(out);
    root.Dump(out);
    EXPECT_EQ(out.str(), "kept");
    EXPECT_EQ(out.rdstate(), std::ios::goodbit);
    EXPECT_EQ(out.flags(), flags);
    EXPECT_EQ(out.precision(), 3);
    EXPECT_EQ(out.width(), 9);
    EXPECT_EQ(out.tellp(), std::streampos(4));
    child.Free(small);
    child.Free(large);
}

// Dump on a stream in a failed state leaves the state as it was and raises
// nothing, even when the stream is set to throw on failure.
TEST(HandleDump, LeavesFailedStreamStateAlone) {
    zu_allocator root("R");
    std::ostringstream out;
    out.setstate(std::ios::failbit | std::ios::eofbit);
    EXPECT_NO_THROW(root.Dump(out));
    EXPECT_EQ(out.rdstate(), std::ios::failbit | std::ios::eofbit);
    EXPECT_TRUE(out.str().empty());

    std::ostringstream throwing;
    throwing.exceptions(std::ios::badbit);
    EXPECT_NO_THROW(root.Dump(throwing));
    EXPECT_EQ(throwing.rdstate(), std::ios::goodbit);
    EXPECT_EQ(throwing.exceptions(), std::ios::badbit);
}
