// The accounting against the reference model (AccountingModel.h). Which test
// owns which rule:
//  - AccountingModel.AgreesWithTheEnginesAfterEveryCall: every figure, pool
//    list and page, the metrics words and the live-handle count after each of
//    a million calls of random sequences.
//  - AccountingModel.EveryHeapCallOfASequenceFailsInTurn: a heap failure at
//    every heap call of a fixed sequence raises and changes nothing.

#include "AccountingModel.h"

#include "engines/kdideverazez_impl.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

namespace {

using dideverazez::reliability::AccountingHarness;
using dideverazez::reliability::Operation;
using dideverazez::reliability::OperationKind;
using dideverazez::test::Scaled;
namespace seams = dideverazez::testing;

// One thread gains nothing from ThreadSanitizer, which makes each of the
// comparisons' atomic loads a hundred times dearer: a twentieth there.
#if defined(__SANITIZE_THREAD__)
constexpr std::uint64_t kShare = 20;
#else
constexpr std::uint64_t kShare = 1;
#endif

// Eight seeds of 125,000 checked calls: a million calls, each compared with
// the model, then drained back to zero.
TEST(AccountingModel, AgreesWithTheEnginesAfterEveryCall) {
    std::uint64_t checked = 0;
    for (std::uint64_t seed :
         {1ull, 2ull, 3ull, 0x5eedull, 0xdeadbeefull, 42ull, 0x9e3779b97f4a7c15ull, 7ull}) {
        std::uint64_t calls = 0;
        const std::string error =
            dideverazez::reliability::RunRandomSequence(seed, Scaled(125'000 / kShare), &calls);
        ASSERT_EQ(error, "");
        checked += calls;
    }
    RecordProperty("checked_calls", std::to_string(checked));
}

// For every heap call k of a fixed sequence (handles, pages, heap blocks):
// the k-th call fails, the operation that made it raises and changes nothing,
// and the rest of the sequence runs on; past the last heap call nothing fails.
TEST(AccountingModel, EveryHeapCallOfASequenceFailsInTurn) {
    std::mt19937_64 rng(11);
    std::vector<Operation> sequence;
    while (sequence.size() < 600) {
        const Operation op = AccountingHarness::RandomOperation(rng);
        if (op.kind != OperationKind::FailHeapCall) {
            sequence.push_back(op);
        }
    }
    // Runs the sequence with the k-th heap call failing (none for 0); returns
    // the heap calls it made.
    auto run = [&](std::uint64_t k) -> std::uint64_t {
        AccountingHarness harness(2);
        const std::uint64_t start = seams::HeapCalls();
        if (k != 0) {
            harness.ArmHeapFailure(k);
        }
        for (const Operation& op : sequence) {
            EXPECT_EQ(harness.Step(op), "") << "k " << k;
        }
        // The registry's lists are the process's and keep the room they grew
        // to, so a later run may make fewer heap calls than the first.
        const std::uint64_t calls = seams::HeapCalls() - start;
        EXPECT_EQ(harness.Failures(), k != 0 && k <= calls ? 1u : 0u) << "k " << k;
        EXPECT_EQ(harness.Drain(), "") << "k " << k;
        return calls;
    };
    const std::uint64_t heapCalls = run(0);
    for (std::uint64_t k = 1; k <= heapCalls && !HasFailure(); ++k) {
        run(k);
    }
    EXPECT_GT(heapCalls, 20u);
    RecordProperty("heap_failures", std::to_string(heapCalls));
}

} // namespace
