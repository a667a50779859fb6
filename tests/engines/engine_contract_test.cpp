// What every engine promises (allocator_impl, Tools/engines/kdideverazez_impl.h),
// typed over the basic engine (allocator_none) and the paged one
// (allocator_data). Which test owns which rule:
//  - EngineContract.ErrorsChangeNothing: a size past 2^64 - 25 is refused
//    before the heap is asked; one the heap refuses, or any request while the
//    heap fails, raises "bad allocation" and changes nothing.
//  - EngineContract.FillingTreeHandsOutCD: a filling tree hands out 0xCD, and
//    a child takes the fill of its parent when it is built.
// Heap failures at every heap call of a sequence: the reference model's
// (AccountingModel.EveryHeapCallOfASequenceFailsInTurn).

#include "engines/kdideverazez_impl.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace {

using namespace dideverazez::test;
namespace seams = dideverazez::testing;

template <class Engine> struct EngineContract : ::testing::Test, EngineTree<Engine> {};
using BothEngines = ::testing::Types<allocator_none, allocator_data>;
TYPED_TEST_SUITE(EngineContract, BothEngines);

// Beyond 2^64 - 25 the block size does not fit: refused before the heap is
// asked. 2^64 - 25 and 2^62 reach the heap, which refuses them; so does a
// request when the heap fails. Nothing changes, and the engine works after.
TYPED_TEST(EngineContract, ErrorsChangeNothing) {
    const auto before = AllFigures(this->root);
    const std::uint64_t calls = seams::HeapCalls();
    const struct {
        std::uint64_t size;
        std::uint64_t heapCalls; // made by the refused request
        bool heapFails;
    } rows[] = {{UINT64_MAX, 0, false},
                {UINT64_MAX - 23, 0, false},
                {UINT64_MAX - 24, 1, false},
                {std::uint64_t{1} << 62, 1, false},
                {100, 1, true},
                {5000, 1, true}};
    std::uint64_t expectedCalls = calls;
    for (const auto& row : rows) {
        HeapFault fault(row.heapFails ? 1 : 0);
        EXPECT_TRUE(RaisesBadAllocation([&] {
            this->grandchild.Alloc(row.size, nullptr, nullptr);
        })) << row.size;
        expectedCalls += row.heapCalls;
        EXPECT_EQ(seams::HeapCalls(), expectedCalls) << row.size;
    }
    EXPECT_EQ(AllFigures(this->root), before);
    EXPECT_TRUE(this->grandchild.IsEmpty());
    zu_free(this->grandchild.Alloc(100, nullptr, nullptr), nullptr);
}

// A tree whose root fills: every byte asked for reads 0xCD, and a child built
// afterwards fills too.
TYPED_TEST(EngineContract, FillingTreeHandsOutCD) {
    this->root.DebugFill = true;
    TypeParam late("late", &this->root, false);
    EXPECT_FALSE(this->child.DebugFill); // copied at construction
    for (std::uint64_t size : {1, 40, 2000}) {
        void* p = late.Alloc(size, nullptr, nullptr);
        EXPECT_TRUE(Filled(p, size, 0xCD)) << size;
        zu_free(p, nullptr);
    }
}

} // namespace
