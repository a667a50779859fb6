// The paged engine (Tools/engines/paged_engine.cpp): its place in a tree, the
// pool and its pages. Which test owns which rule:
//  - PagedEngine.ABasicParentIsAnError: a paged engine takes its pool from a
//    paged parent only.
//  - PagedEngine.EveryDepthChargesEveryAncestor: a depth past the eight
//    ancestors an engine keeps at hand; one pool a tree, the root's.
//  - PagedEngine.ReturnedBlockIsFilledWithFE, ReturnedLargeBlockIsFilledWithFE:
//    the 0xFE fill of a block freed, pooled or large.
// Every figure of every operation of paged trees (the class boundaries, 1024
// and 1025 bytes among them), the pool's lists, order and cache (the fifth
// emptied page), and heap failures at every heap call are the reference
// model's (tests/reliability); the class table's strides and capacities are
// checked at compile time beside it; the pool's invariants by the library
// itself in the checking build (checks_test.cpp).

#include "engines/MemoryCheckers.h"
#include "engines/kdideverazez_impl.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <vector>

namespace {

using namespace dideverazez::test;

// A paged engine under a basic one has no pool to share: refused.
TEST(PagedEngine, ABasicParentIsAnError) {
    allocator_none basic("basic", nullptr, false);
    EXPECT_THROW(allocator_data("paged", &basic, false), std::invalid_argument);
}

// An engine keeps its first eight ancestors at hand and walks the rest: at
// depths 1 to 12 a pooled block (88), a heap block (2024) and a reservation
// (10) of the deepest engine reach every engine of its chain, the root only
// with the page (4036) instead of the pooled block. The whole chain draws on
// the root's pool, which the root alone owns.
TEST(PagedEngine, EveryDepthChargesEveryAncestor) {
    for (std::size_t depth = 1; depth <= 12; ++depth) {
        std::vector<std::unique_ptr<allocator_data>> chain;
        chain.push_back(std::make_unique<allocator_data>("root", nullptr, false));
        while (chain.size() <= depth) {
            chain.push_back(std::make_unique<allocator_data>("level", chain.back().get(), false));
        }
        allocator_data& deepest = *chain.back();
        void* pooled = deepest.Alloc(64, nullptr, nullptr);
        void* large = deepest.Alloc(2000, nullptr, nullptr);
        deepest.Reserve(10);
        for (std::size_t level = 0; level <= depth; ++level) {
            const std::int64_t held = level == 0 ? 6070 : 2122;
            EXPECT_EQ(Of(chain[level]->GlobalStat.Memory), (Triple{held, held, held}))
                << depth << " " << level;
            EXPECT_EQ(chain[level]->Pool, &chain[0]->OwnPool) << depth << " " << level;
            EXPECT_EQ(chain[level]->OwnsPool(), level == 0) << depth << " " << level;
        }
        deepest.Free(pooled);
        deepest.Free(large);
        deepest.UnReserve(10);
        for (std::size_t level = 1; level <= depth; ++level) {
            EXPECT_EQ(Of(chain[level]->GlobalStat.Memory)[0], 0) << depth << " " << level;
        }
        while (!chain.empty()) {
            chain.pop_back();
        }
    }
}

// A filling tree fills a pooled block's whole class with 0xFE when it comes
// back, and the next request of the class gets it again: the bytes beyond the
// new request still read 0xFE, the header is left alone.
TEST(PagedEngine, ReturnedBlockIsFilledWithFE) {
    allocator_data root("root", nullptr, false);
    root.DebugFill = true;
    void* neighbour = root.Alloc(40, nullptr, nullptr); // keeps the page listed
    void* p = root.Alloc(40, nullptr, nullptr);         // class 48
    root.Free(p);
    dideverazez::detail::Show(HeaderOf(p), 64); // free now: hidden from the checkers
    EXPECT_TRUE(Filled(p, 48, 0xFE));
    EXPECT_EQ(HeaderOf(p)->Size, 0u);
    ASSERT_EQ(root.Alloc(33, nullptr, nullptr), p);
    EXPECT_TRUE(Filled(p, 33, 0xCD));
    dideverazez::detail::Show(static_cast<char*>(p) + 33, 15);
    EXPECT_TRUE(Filled(static_cast<char*>(p) + 33, 15, 0xFE));
    root.Free(p);
    root.Free(neighbour);
}

// A large block of a filling tree is filled with 0xFE, its header too, just
// before it goes back to the heap.
TEST(PagedEngine, ReturnedLargeBlockIsFilledWithFE) {
    allocator_data root("root", nullptr, false);
    root.DebugFill = true;
    void* p = root.Alloc(5000, nullptr, nullptr);
    static const void* expected;
    static std::uint64_t bytes;
    static bool filled;
    expected = static_cast<char*>(p) - 24; // the C heap's block, header first
    bytes = HeaderOf(p)->Size;
    filled = false;
    dideverazez::testing::WatchHeapFrees([](const void* block) {
        filled = filled || (block == expected && Filled(block, bytes, 0xFE));
    });
    root.Free(p);
    dideverazez::testing::WatchHeapFrees(nullptr);
    EXPECT_EQ(bytes, 5024u); // 5000 + the heap block's 24
    EXPECT_TRUE(filled);
}

} // namespace
