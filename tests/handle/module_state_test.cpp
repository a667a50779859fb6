// The module state of a program that links the module: the "DEBUG" root, the
// "Global" histogram, and the live-handle count that brackets profiling.
// (Load and unload of the shared library are tested by module_load_probe.)

#include "HandleTesting.h"
#include "statistics/AllocSizes.h"

#include <gtest/gtest.h>

using dideverazez::test::Engine;

// With no client handle, only "DEBUG" is alive.
TEST(ModuleState, DebugRootHoldsOneCount) {
    EXPECT_EQ(dideverazez::LiveHandleCount(), 1);
}

// Each client handle adds one count while it lives.
TEST(ModuleState, ClientHandlesCountWhileAlive) {
    {
        zu_allocator root("R");
        EXPECT_EQ(dideverazez::LiveHandleCount(), 2);
        {
            zu_allocator child(root, "C");
            zu_allocator grandchild(&child, "G");
            EXPECT_EQ(dideverazez::LiveHandleCount(), 4);
        }
        EXPECT_EQ(dideverazez::LiveHandleCount(), 2);
    }
    EXPECT_EQ(dideverazez::LiveHandleCount(), 1);
}

// Profiling started once, when "DEBUG" was built at load; client handles never
// take the count to zero, so they neither start nor stop it again.
TEST(ModuleState, ProfilingBracketsTheModuleOnce) {
    EXPECT_EQ(dideverazez::testing::ProfileStarts(), 1u);
    EXPECT_EQ(dideverazez::testing::ProfileStops(), 0u);
    {
        zu_allocator first("A");
        zu_allocator second("B", true);
    }
    { zu_allocator third("C"); }
    EXPECT_EQ(dideverazez::testing::ProfileStarts(), 1u);
    EXPECT_EQ(dideverazez::testing::ProfileStops(), 0u);
}

// "DEBUG" is a global, paged root named "DEBUG" that holds nothing.
TEST(ModuleState, DebugRootIsGlobalPagedRoot) {
    zu_allocator& debug = dideverazez::DebugRootAllocator();
    const allocator_impl& engine = Engine(debug);
    EXPECT_STREQ(engine.Name, "DEBUG");
    EXPECT_TRUE(engine.IsGlobal);
    EXPECT_EQ(engine.GetKind(), 1);
    EXPECT_EQ(engine.Parent, nullptr);
    EXPECT_EQ(&debug.GetRootAllocator(), &debug);
    EXPECT_TRUE(engine.IsEmpty());
    EXPECT_FALSE(engine.Process.Running); // a global engine measures no time
}

// "Global" is named, bound to "DEBUG", and empty: no rows, no storage, no pages.
TEST(ModuleState, GlobalHistogramIsEmpty) {
    const AllocSizes& global = dideverazez::GlobalAllocSizes();
    EXPECT_STREQ(global.name, "Global");
    EXPECT_EQ(global.allocator, &dideverazez::DebugRootAllocator());
    EXPECT_TRUE(global.classes.empty());
    EXPECT_EQ(global.classes.capacity(), 0u);
    EXPECT_EQ(global.pages, 0u);
    EXPECT_EQ(global.classes.get_allocator().handle(), &dideverazez::DebugRootAllocator());
}

// The debug hooks: dbg_alloc/dbg_free are the plain heap, dbg_free ignores
// null, and the loop hooks do nothing but answer 0.
TEST(ModuleState, DebugHooks) {
    void* block = dbg_alloc(100);
    ASSERT_NE(block, nullptr);
    dbg_free(block);
    dbg_free(nullptr);
    dbg_profileLoopBegin(nullptr);
    dbg_profileLoopBegin("loop");
    EXPECT_EQ(dbg_profileLoopEnd(), 0u);
    dideverazez::testing::FailHeapCall(1);
    EXPECT_EQ(dbg_alloc(16), nullptr); // a refusal is a null, not an exception
}
