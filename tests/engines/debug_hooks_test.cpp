// The debug hooks: the C heap wrappers every engine takes its storage through,
// and the profiling hooks that do nothing.

#include "handle/Internals.h"
#include "handle/dideverazez.h"
#include "support/EngineFigures.h"

#include <gtest/gtest.h>

#include <cstring>

// Requests the heap cannot hold (1<<62 bytes and more) must come back as null
// so that the library's own failure path runs. The sanitizers' allocators
// abort on them instead unless told otherwise; this executable tells them, so
// it behaves the same however it is started. Options given in the environment
// still take precedence.
#if defined(__SANITIZE_THREAD__)
#define DIDEVERAZEZ_TEST_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define DIDEVERAZEZ_TEST_TSAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define DIDEVERAZEZ_TEST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define DIDEVERAZEZ_TEST_ASAN 1
#endif
#endif
#if defined(DIDEVERAZEZ_TEST_TSAN)
extern "C" const char* __tsan_default_options() {
    return "allocator_may_return_null=1";
}
#endif
#if defined(DIDEVERAZEZ_TEST_ASAN)
extern "C" const char* __asan_default_options() {
    return "allocator_may_return_null=1";
}
#endif

namespace {

using dideverazez::test::HeapFault;
namespace seams = dideverazez::testing;

} // namespace

// A block from dbg_alloc is plain heap memory of the size asked for, with no
// header in front: all of it may be written, and dbg_free gives it back.
// Freeing null does nothing and makes no heap call.
TEST(DebugHooks, AllocGivesWritableBlock) {
    const std::uint64_t calls = seams::HeapCalls();
    auto* block = static_cast<unsigned char*>(dbg_alloc(100));
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(seams::HeapCalls(), calls + 1);
    std::memset(block, 0xAB, 100);
    EXPECT_EQ(block[0], 0xAB);
    EXPECT_EQ(block[99], 0xAB);
    dbg_free(block);
    dbg_free(nullptr);
    EXPECT_EQ(seams::HeapCalls(), calls + 1); // frees are no heap calls
}

// When the heap has no block, dbg_alloc returns null instead of raising. The
// fault seam counts calls from the moment it is armed: only the chosen call
// fails, the ones before and after it succeed.
TEST(DebugHooks, AllocReturnsNullWhenTheHeapFails) {
    HeapFault fault(2);
    void* first = dbg_alloc(8);
    void* second = reinterpret_cast<void*>(1);
    EXPECT_NO_THROW(second = dbg_alloc(64));
    void* third = dbg_alloc(8);
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(second, nullptr);
    EXPECT_NE(third, nullptr);
    dbg_free(first);
    dbg_free(third);
}

// A request the heap cannot hold gives null, not an exception.
TEST(DebugHooks, AllocOfAnImpossibleSizeReturnsNull) {
    void* block = reinterpret_cast<void*>(1);
    EXPECT_NO_THROW(block = dbg_alloc(std::size_t{1} << 62));
    EXPECT_EQ(block, nullptr);
}

// dbg_profileLoopEnd answers 0 whatever ran before it; dbg_profileLoopBegin
// does not read its name, so null is harmless.
TEST(DebugHooks, ProfileLoopEndReturnsZero) {
    EXPECT_EQ(dbg_profileLoopEnd(), 0u);
    dbg_profileStart();
    dbg_profileLoopBegin("loop");
    EXPECT_EQ(dbg_profileLoopEnd(), 0u);
    dbg_profileLoopBegin(nullptr);
    dbg_profileStop();
    EXPECT_EQ(dbg_profileLoopEnd(), 0u);
}
