// The accounting of paged engine trees against a reference model: random
// sequences of every operation, compared figure by figure after every call.

#include "AccountingModel.h"
#include "ReliabilitySupport.h"

#include "engines/kdideverazez_impl.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using dideverazez::reliability::AccountingHarness;
using dideverazez::reliability::Operation;
using dideverazez::reliability::OperationKind;
using dideverazez::reliability::RunRandomSequence;
using dideverazez::reliability::Scaled;
using dideverazez::reliability::SingleThreadScale;

// Eight seeds of 125,000 checked calls: a million calls of the engines, each
// compared with the model, in the plain run (a quarter of it under
// ThreadSanitizer, which adds nothing to one thread).
constexpr std::uint64_t kCallsPerSeed = 125'000;

class AccountingModelSeeds : public ::testing::TestWithParam<std::vector<std::uint64_t>> {};

// Every figure of every engine, size class and page agrees with the model
// after every call of a random sequence, and drains back to zero.
TEST_P(AccountingModelSeeds, AgreesWithEnginesAfterEveryCall) {
    std::uint64_t checked = 0;
    for (std::uint64_t seed : GetParam()) {
        std::uint64_t calls = 0;
        const std::string error =
            RunRandomSequence(seed, Scaled(kCallsPerSeed, SingleThreadScale()), &calls);
        ASSERT_TRUE(error.empty()) << error;
        checked += calls;
    }
    RecordProperty("checked_calls", std::to_string(checked));
}

INSTANTIATE_TEST_SUITE_P(EightSeeds, AccountingModelSeeds,
                         ::testing::Values(std::vector<std::uint64_t>{1, 2},
                                           std::vector<std::uint64_t>{3, 0x5eed},
                                           std::vector<std::uint64_t>{0xdeadbeef, 42},
                                           std::vector<std::uint64_t>{0x9e3779b97f4a7c15, 7}));

// A figure changed behind the model's back is reported at the next call.
TEST(AccountingModel, ReportsAFigureChangedBehindItsBack) {
    AccountingHarness harness(1);
    ASSERT_EQ(harness.Step({OperationKind::Alloc, 0, 4 | (100 << 8)}), "");
    allocator_data& root = harness.RealEngine(0);
    root.PooledStat.Memory.Cumul += 1;
    const std::string error = harness.Step({OperationKind::Flush, 0, 0});
    root.PooledStat.Memory.Cumul -= 1;
    EXPECT_NE(error.find("PooledStat.Memory"), std::string::npos) << error;
}

// A block that the engine hands out of order is reported.
TEST(AccountingModel, ReportsABlockOutOfOrder) {
    AccountingHarness harness(1);
    // Two 8-byte blocks (selector 4: any pooled size, here 8): the second
    // must follow the first by one stride.
    const Operation eightBytes{OperationKind::Alloc, 0, 4 | (8 << 8)};
    ASSERT_EQ(harness.Step(eightBytes), "");
    allocator_data& root = harness.RealEngine(0);
    Page* page = root.OwnPool.Managers[0].FirstPage;
    ASSERT_NE(page, nullptr);
    // Swap the page's free list head with the block after it.
    PooledBlock* first = page->FreeList;
    PooledBlock* second = static_cast<PooledBlock*>(first->Link);
    first->Link = second->Link;
    second->Link = first;
    page->FreeList = second;
    const std::string error = harness.Step(eightBytes);
    EXPECT_NE(error.find("the model expected"), std::string::npos) << error;
}

} // namespace
