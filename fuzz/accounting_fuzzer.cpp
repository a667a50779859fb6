// libFuzzer harness: the input bytes are a sequence of operations on trees of
// handles (heap failures among them), checked against the reference model of
// the accounting after every call, then drained back to zero.
//
// Input layout, repeated: one byte for the kind of operation (modulo the
// number of kinds), one byte choosing the engine or block, four bytes (little
// endian) for the size, amount or route; missing bytes read as zero. At most
// 4,096 operations are taken from one input.

#include "AccountingModel.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

using dideverazez::reliability::AccountingHarness;
using dideverazez::reliability::Operation;
using dideverazez::reliability::OperationKind;

constexpr std::size_t kMaxOperations = 4096;
constexpr std::size_t kBytesPerOperation = 6;

[[noreturn]] void Disagree(std::size_t index, const std::string& error) {
    std::fprintf(stderr, "accounting model and engines disagree at operation %zu: %s\n", index,
                 error.c_str());
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    AccountingHarness harness(2);
    std::size_t index = 0;
    for (std::size_t at = 0; at < size && index < kMaxOperations;
         at += kBytesPerOperation, ++index) {
        auto byte = [&](std::size_t k) -> std::uint32_t {
            return at + k < size ? data[at + k] : 0;
        };
        const auto kinds = static_cast<std::uint32_t>(OperationKind::KindCount);
        Operation op{static_cast<OperationKind>(byte(0) % kinds), byte(1),
                     byte(2) | byte(3) << 8 | byte(4) << 16 |
                         static_cast<std::uint64_t>(byte(5)) << 24};
        const std::string error = harness.Step(op);
        if (!error.empty()) {
            Disagree(index, error);
        }
    }
    const std::string error = harness.Drain();
    if (!error.empty()) {
        Disagree(index, "while draining: " + error);
    }
    return 0;
}
