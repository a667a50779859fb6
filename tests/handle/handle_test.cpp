// The handle layer. Which test owns which rule:
//  - HandleLifecycle: the construction and destruction trace of roots,
//    children, null names and a global root; the two error lines of a handle
//    destroyed with memory pending, and the nearest context notified once
//    (golden file handle_lifecycle.txt); the live-handle count.
//  - HandleCalls.*: null handles and null blocks, the fixed answers of
//    Reserve and CheckLimits, GetRootAllocator, Dump writing nothing, the
//    usable size of a block.
//  - ModuleState: the module's root "DEBUG" and its "Global" histogram,
//    profiling started once at load, and children recorded for snapshots only
//    when the environment asks for a reader.
//  - MemoryResource: what zu_memory_resource asks of a handle for each
//    alignment, its pointers, equality and errors.
// Forwarding of every allocation, free and accounting call, GetMetrics' words
// and a refused engine storage are the reference model's (tests/reliability).

#include "engines/Checks.h"
#include "handle/zu_memory_resource.h"
#include "observe/SnapshotWriter.h"
#include "statistics/AllocSizes.h"
#include "support/TestSupport.h"
#include "trace/rozudoru.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <sstream>
#include <stdexcept>

namespace {

using namespace dideverazez::test;

// Writes its calls into the trace, so that they stand in order among the
// handle's own records.
struct TracingContext : IAllocatorContext {
    explicit TracingContext(const char* name) : name(name) {}
    void OnMemoryError(bool pending) override {
        std::ostringstream message;
        message << "context " << name << " notified " << pending;
        Tracer::_internal_::Log(Tracer::LogDetail_Lines, message, "test", 0, nullptr, nullptr);
    }
    const char* name;
};

// Scene, a child without a name, Meshes below it and a root built by the
// pointer constructor; Meshes is destroyed holding a pooled block, a heap
// block and a declared amount (the child's context is notified), then Leaf
// with a reservation after the child's context is cleared (the root's is
// notified). What they left stays charged to their ancestors, which report it
// in turn. An empty root reports nothing, and a global root writes no
// MemoryPeak line.
TEST(HandleLifecycle, TraceMatchesTheGoldenFile) {
    TracingContext rootContext("root"), childContext("child");
    const std::int32_t handles = dideverazez::LiveHandleCount();
    TraceCapture trace;
    Names names;
    std::optional<zu_allocator> slots[6];
    auto make = [&](int slot, const char* label, auto&&... arguments) -> zu_allocator& {
        slots[slot].emplace(arguments...);
        names.emplace_back(&*slots[slot], label);
        return *slots[slot];
    };
    zu_allocator& root = make(0, "@Scene", "Scene");
    zu_allocator& child = make(1, "@child", root, nullptr);
    zu_allocator& meshes = make(2, "@Meshes", &child, "Meshes");
    make(3, "@Orphan", static_cast<zu_allocator*>(nullptr), "Orphan");
    EXPECT_EQ(dideverazez::LiveHandleCount(), handles + 4);
    root.SetAllocatorContext(&rootContext);
    child.SetAllocatorContext(&childContext);
    void* pooled = meshes.Alloc(100);            // 152
    void* heap = zu_alloc(2000, &meshes, "big"); // 2024
    meshes.IncMemoryUsed(7);
    slots[2].reset(); // 3 items, 152 + 2024 + 7 = 2183 bytes
    PagedMemory::ReturnBlock(static_cast<PooledBlock*>(pooled) - 1); // as the engine would
    dbg_free(static_cast<char*>(heap) - 24);
#if defined(DIDEVERAZEZ_CHECKED)
    dideverazez::checks::EngineLeaves(-1); // the heap block Meshes left is back
#endif
    child.SetAllocatorContext(nullptr);
    make(4, "@Leaf", child, "Leaf").Reserve(5);
    slots[4].reset();
    make(5, "@Global", "Global", true);
    for (int slot : {5, 3, 1, 0}) {
        slots[slot].reset();
    }
    EXPECT_EQ(dideverazez::LiveHandleCount(), handles);
    EXPECT_TRUE(MatchesGolden("handle_lifecycle.txt", Named(trace.Text(), names)));
}

// Allocating through a null handle is refused, whatever the call.
TEST(HandleCalls, ANullHandleIsAnError) {
    EXPECT_THROW(zu_alloc(8, nullptr, "x"), std::invalid_argument);
    EXPECT_THROW(zu_alloc(8, nullptr, "x", "c"), std::invalid_argument);
    EXPECT_THROW(zu_alloc_array(8, nullptr, "x"), std::invalid_argument);
    EXPECT_THROW(zu_alloc_array(8, nullptr, "x", "c"), std::invalid_argument);
}

// A null block is ignored by every free path, with a handle or none.
TEST(HandleCalls, NullBlocksAreIgnored) {
    zu_allocator root("root");
    root.Free(nullptr);
    zu_free(nullptr, &root);
    zu_free_array(nullptr, nullptr);
    EXPECT_TRUE(EngineOf(root).IsEmpty());
}

// A pooled block's usable bytes are its class's, a heap block's the request,
// on a root (whose pages are its own) as on a child.
TEST(HandleCalls, UsableSizeIsTheClassOrTheRequest) {
    zu_allocator root("root");
    zu_allocator child(root, "child");
    const struct {
        std::size_t asked, usable;
    } rows[] = {{0, 8},       {1, 8},       {9, 16},      {100, 128},  {513, 640},
                {1000, 1024}, {1024, 1024}, {1025, 1025}, {5000, 5000}};
    for (const auto& row : rows) {
        for (zu_allocator* handle : {&root, &child}) {
            void* p = zu_alloc(row.asked, handle, "usable");
            EXPECT_EQ(zu_usable_size(p), row.usable) << row.asked;
            zu_free(p, nullptr);
        }
    }
    EXPECT_EQ(zu_usable_size(nullptr), 0u);
}

// No limit is kept: a reservation of half the address space is granted, and
// the limits still hold with it.
TEST(HandleCalls, NoLimitIsKept) {
    zu_allocator root("root");
    zu_allocator child(root, "child");
    EXPECT_TRUE(child.Reserve(SIZE_MAX / 2));
    EXPECT_TRUE(child.CheckLimits());
    child.UnReserve(SIZE_MAX / 2);
    EXPECT_TRUE(EngineOf(child).IsEmpty());
}

// GetRootAllocator climbs to the top of the tree, from any depth.
TEST(HandleCalls, GetRootAllocatorClimbsToTheTop) {
    zu_allocator root("root");
    zu_allocator child(root, "child");
    zu_allocator grandchild(child, "grandchild");
    EXPECT_EQ(&grandchild.GetRootAllocator(), &root);
    EXPECT_EQ(&root.GetRootAllocator(), &root);
}

// Dump writes nothing and leaves the stream's state, good or failed.
TEST(HandleCalls, DumpWritesNothing) {
    zu_allocator root("root");
    zu_allocator child(root, "child");
    for (auto state : {std::ios::goodbit, std::ios::failbit}) {
        std::ostringstream out;
        out.setstate(state);
        zu_free(child.Alloc(10), nullptr);
        child.Dump(out);
        EXPECT_EQ(out.str(), "");
        EXPECT_EQ(out.rdstate(), state);
    }
}

// The module's root "DEBUG" is a global paged root that holds one count from
// load to unload, so profiling started once and has not stopped; its
// "Global" histogram draws on it and is empty.
TEST(ModuleState, DebugRootAndGlobalHistogram) {
    const allocator_impl& debug = EngineOf(dideverazez::DebugRootAllocator());
    EXPECT_STREQ(debug.Name, "DEBUG");
    EXPECT_TRUE(debug.IsGlobal);
    EXPECT_EQ(debug.GetKind(), 1);
    EXPECT_EQ(dideverazez::testing::ProfileStarts(), 1u);
    EXPECT_EQ(dideverazez::testing::ProfileStops(), 0u);
    const AllocSizes& global = dideverazez::GlobalAllocSizes();
    EXPECT_STREQ(global.name, "Global");
    EXPECT_EQ(global.allocator, &dideverazez::DebugRootAllocator());
    EXPECT_TRUE(global.classes.empty());
    EXPECT_EQ(global.pages, 0u);
}

// Recording a handle costs its creation a lock and its path: a module whose
// environment asks for no snapshot and no metrics lists its roots only.
TEST(ModuleState, ChildrenAreRecordedOnlyWhenAReaderIsAsked) {
    for (const char* name : {"DIDEVERAZEZ_REPORT", "DIDEVERAZEZ_METRICS"}) {
        if (const char* value = std::getenv(name); value != nullptr && *value != '\0') {
            GTEST_SKIP() << name << " is set";
        }
    }
    zu_allocator root("Unrecorded");
    zu_allocator child(root, "child");
    std::size_t trees = 0;
    for (const auto& tree :
         dideverazez::observe::TakeSnapshot(dideverazez::GlobalAllocSizes()).Trees) {
        if (tree.Engines.front().Path == "Unrecorded") {
            ++trees;
            EXPECT_EQ(tree.Engines.size(), 1u);
        }
    }
    EXPECT_EQ(trees, 1u);
}

// Each request's charge to the handle: alignments up to 8 ask for the bytes
// alone; a larger one (the default is 16 on x86-64) adds the alignment. The
// pointer meets the alignment and its bytes are all usable; the block goes
// back through any resource.
TEST(MemoryResource, AlignmentDecidesTheBlockAsked) {
    zu_allocator root("pmr");
    zu_allocator handle(root, "child"); // a child: its SelfStat holds no pages
    zu_allocator other("other");
    zu_memory_resource resource(&handle);
    zu_memory_resource elsewhere(&other);
    const struct {
        std::size_t bytes, alignment;
        std::int64_t charged;
    } rows[] = {
        {100, 16, 152},   // 116: the 128-byte class, + 24
        {24, 1, 56},      // the 32-byte class
        {32, 8, 56},      // exactly the bytes: 40 would be the 48-byte class
        {2000, 8, 2024},  // a heap block: its header's Size word is no distance
        {32, 16, 72},     // 48: the 48-byte class
        {40, 32, 104},    // 72: the 80-byte class
        {1000, 64, 1088}, // 1064 from the heap, + 24
        {0, 4096, 4120},  // 4096 from the heap, + 24
    };
    for (const auto& row : rows) {
        void* p = resource.allocate(row.bytes, row.alignment);
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(p) % row.alignment, 0u) << row.bytes;
        std::memset(p, 0x5a, row.bytes);
        EXPECT_EQ(Of(EngineOf(handle).SelfStat.Memory)[0], row.charged) << row.bytes;
        elsewhere.deallocate(p, row.bytes, row.alignment);
        EXPECT_TRUE(EngineOf(handle).IsEmpty()) << row.bytes;
    }
    EXPECT_TRUE(resource.is_equal(zu_memory_resource(&handle)));
    EXPECT_FALSE(resource.is_equal(elsewhere));
    const volatile std::size_t huge = SIZE_MAX - 8, three = 3; // no compile-time checks
    EXPECT_THROW((void)resource.allocate(8, three), std::invalid_argument);
    EXPECT_THROW((void)resource.allocate(huge, 16), std::bad_alloc);
    EXPECT_THROW(zu_memory_resource(nullptr), std::invalid_argument);
    EXPECT_TRUE(EngineOf(handle).IsEmpty());
}

} // namespace
