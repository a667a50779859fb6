#include "engines/SystemHeap.h"

#include "engines/Checks.h"

#include <atomic>
#include <cstdlib>

namespace dideverazez::heap {
namespace {

#if defined(DIDEVERAZEZ_TEST_SEAMS)
constinit std::atomic<std::uint64_t> gCalls{0};
constinit std::atomic<std::uint64_t> gFailingCall{0};
constinit std::atomic<void (*)(const void*)> gFreeWatch{nullptr};
#endif

} // namespace

void* Allocate(std::size_t size) noexcept {
#if defined(DIDEVERAZEZ_TEST_SEAMS)
    const std::uint64_t call = gCalls.fetch_add(1, std::memory_order_relaxed) + 1;
    const std::uint64_t failing = gFailingCall.load(std::memory_order_relaxed);
    if (failing != 0 && call == failing) {
        return nullptr;
    }
#endif
    void* block = std::malloc(size);
#if defined(DIDEVERAZEZ_CHECKED)
    if (block != nullptr) {
        checks::HeapBlockTaken();
    }
#endif
    return block;
}

void Free(void* block) noexcept {
    if (block == nullptr) {
        return;
    }
#if defined(DIDEVERAZEZ_CHECKED)
    checks::HeapBlockGiven();
#endif
#if defined(DIDEVERAZEZ_TEST_SEAMS)
    if (auto* watch = gFreeWatch.load(std::memory_order_relaxed)) {
        watch(block);
    }
#endif
    std::free(block);
}

} // namespace dideverazez::heap

#if defined(DIDEVERAZEZ_TEST_SEAMS)
namespace dideverazez::testing {

void FailHeapCall(std::uint64_t k) noexcept {
    const std::uint64_t now = heap::gCalls.load(std::memory_order_relaxed);
    heap::gFailingCall.store(k == 0 ? 0 : now + k, std::memory_order_relaxed);
}

std::uint64_t HeapCalls() noexcept {
    return heap::gCalls.load(std::memory_order_relaxed);
}

void WatchHeapFrees(void (*watch)(const void* block)) noexcept {
    heap::gFreeWatch.store(watch, std::memory_order_relaxed);
}

} // namespace dideverazez::testing
#endif
