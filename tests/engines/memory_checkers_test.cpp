// How the memory checkers are notified of pooled blocks
// (Tools/engines/MemoryCheckers.h). Which test owns which rule:
//  - MemoryCheckersDeathTest.PooledMisuseIsReported: under AddressSanitizer,
//    or under valgrind's memcheck in a DIDEVERAZEZ_VALGRIND build, a write and
//    a read of a freed pooled block, a one-byte overflow of a 64-byte block, a
//    write into the free block behind it, and past a filled block freed are
//    reported. (CTest runs this program under valgrind: memcheck.engines.)
//  - MemoryCheckersDeathTest.TheLibrarysOwnBytesStayHidden: a write into a
//    block's Link word in use (also after zu_usable_size read it), and into
//    the page's order mark after the engine wrote it or read it (memcheck
//    only: AddressSanitizer cannot hide one byte), are reported.
// That the library never touches what it hid: memcheck.engines and .ci/run's
// memcheck step.

#include "engines/MemoryCheckers.h"
#include "engines/kdideverazez_impl.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

#if defined(__has_include)
#if __has_include(<valgrind/memcheck.h>)
#include <valgrind/memcheck.h>
#define DIDEVERAZEZ_TEST_MEMCHECK 1
#endif
#endif

namespace {

#if defined(DIDEVERAZEZ_ASAN) ||                                                                   \
    (defined(DIDEVERAZEZ_VALGRIND) && defined(DIDEVERAZEZ_TEST_MEMCHECK))

volatile char gRead;

// Runs `misuse` on a fresh 64-byte block of the 64-byte class, the first of
// its root's first page, whose next block is free, in a tree that fills its
// blocks or not; AddressSanitizer dies by itself, memcheck only counts.
void Misuse(void (*misuse)(volatile char* block, zu_allocator& handle), bool fill = false) {
    zu_allocator handle("victim");
    zu_allocator_access::Engine(handle)->DebugFill = fill;
    void* p = handle.Alloc(64);
#if defined(DIDEVERAZEZ_TEST_MEMCHECK)
    const unsigned before = VALGRIND_COUNT_ERRORS;
    misuse(static_cast<volatile char*>(p), handle);
    if (VALGRIND_COUNT_ERRORS > before) {
        std::fputs("memcheck saw it\n", stderr);
        std::abort();
    }
#else
    misuse(static_cast<volatile char*>(p), handle);
#endif
}

// Whether AddressSanitizer or memcheck sees this process's misuse.
bool Watched() {
#if defined(DIDEVERAZEZ_ASAN)
    return true;
#else
    return RUNNING_ON_VALGRIND;
#endif
}

using Block = volatile char*;

// The last byte of the page holding `block`, where the engine keeps the mark
// of its free list's order.
[[maybe_unused]] volatile char* OrderMarkOf(Block block) {
    return reinterpret_cast<volatile char*>(PagedMemory::PageOf(const_cast<char*>(block))) +
           PagedMemory::PageBytes - 1;
}

TEST(MemoryCheckersDeathTest, PooledMisuseIsReported) {
    if (!Watched()) {
        GTEST_SKIP() << "neither AddressSanitizer nor valgrind is watching";
    }
    const char* seen = "use-after-poison|memcheck saw it";
    EXPECT_DEATH(Misuse([](Block p, zu_allocator&) { p[64] = 1; }), seen) << "overflow";
    EXPECT_DEATH(Misuse([](Block p, zu_allocator&) { p[100] = 1; }), seen) << "into a free block";
    EXPECT_DEATH(Misuse([](Block p, zu_allocator&) {
                     zu_free(const_cast<char*>(p), nullptr);
                     p[0] = 1;
                 }),
                 seen)
        << "write after free";
    EXPECT_DEATH(Misuse([](Block p, zu_allocator&) {
                     zu_free(const_cast<char*>(p), nullptr);
                     gRead = p[8];
                 }),
                 seen)
        << "read of a freed block";
    // A filling tree shows a block's bytes to fill them as it frees it, and
    // hides them again with the block: its neighbour's header stays hidden.
    EXPECT_DEATH(Misuse(
                     [](Block p, zu_allocator&) {
                         zu_free(const_cast<char*>(p), nullptr);
                         p[64] = 1;
                     },
                     true),
                 seen)
        << "past a filled block freed";
}

TEST(MemoryCheckersDeathTest, TheLibrarysOwnBytesStayHidden) {
    if (!Watched()) {
        GTEST_SKIP() << "neither AddressSanitizer nor valgrind is watching";
    }
    const char* seen = "use-after-poison|memcheck saw it";
    // The Link word sits in front of the block header, 24 bytes before the block.
    EXPECT_DEATH(Misuse([](Block p, zu_allocator&) { p[-24] = 1; }), seen) << "Link in use";
    EXPECT_DEATH(Misuse([](Block p, zu_allocator&) {
                     gRead = static_cast<char>(zu_usable_size(const_cast<char*>(p)));
                     p[-24] = 1;
                 }),
                 seen)
        << "Link once zu_usable_size read it";
#if !defined(DIDEVERAZEZ_ASAN) // AddressSanitizer hides 8-byte granules, not one byte
    // Freeing a block above the free list's head marks the order disturbed.
    EXPECT_DEATH(Misuse([](Block p, zu_allocator& handle) {
                     void* second = handle.Alloc(64);
                     void* third = handle.Alloc(64); // keeps the page in use
                     zu_free(const_cast<char*>(p), nullptr);
                     zu_free(second, nullptr);
                     *OrderMarkOf(static_cast<Block>(third)) = 1;
                 }),
                 seen)
        << "the order mark once written";
    // The page, empty, is cached; taking it back reads the mark.
    EXPECT_DEATH(Misuse([](Block p, zu_allocator& handle) {
                     zu_free(const_cast<char*>(p), nullptr);
                     *OrderMarkOf(static_cast<Block>(handle.Alloc(64))) = 1;
                 }),
                 seen)
        << "the order mark once read";
#endif
}

#endif

} // namespace
