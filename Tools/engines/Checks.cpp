// The checks of the checking build. Reports go to standard error through
// fprintf, which needs no engine, and then the process aborts.

#include "engines/Checks.h"

#if defined(DIDEVERAZEZ_CHECKED)

#include "engines/kdideverazez_impl.h"
#include "platform/Platform.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <new>
#include <unordered_map>

namespace dideverazez::checks {

namespace {

// Live engine -> number of its live children. Built at its first use (the
// module's own root, at load) and never destroyed, so that threads still
// running while the process exits, and static objects of other modules
// destroyed late, are checked as before.
struct LiveEngineCounts {
    std::mutex mutex;
    std::unordered_map<const allocator_impl*, std::uint64_t> children;
    bool released = false; // the module is going: nothing is checked any more
};

alignas(LiveEngineCounts) unsigned char gStorage[sizeof(LiveEngineCounts)];

// Constant-initialised: counted from the first heap call of any static object.
constinit std::atomic<std::int64_t> gHeapBlocks{0}; // taken and not freed
constinit std::atomic<std::int64_t> gLeftBlocks{0}; // of those, left by engines
constinit std::atomic<bool> gBalanceUnknown{false};

LiveEngineCounts* Engines() {
    static LiveEngineCounts* const engines = new (gStorage) LiveEngineCounts;
    return engines;
}

} // namespace

allocator_impl* FreedBlockOwner() noexcept {
    // The header of a freed block, as the debug fill leaves it.
    return reinterpret_cast<allocator_impl*>(std::uintptr_t{0x0101010101010101} * kFillReturned);
}

void AbortOn(const PoolFault& fault) noexcept {
    if (!fault) {
        return;
    }
    std::fprintf(stderr, "dideverazez: pool invariant broken: %s (class %llu, page %p)\n",
                 fault.Invariant, static_cast<unsigned long long>(fault.ClassSize),
                 static_cast<const void*>(fault.At));
    std::abort();
}

void EngineBuilt(const allocator_impl& engine) {
    LiveEngineCounts* engines = Engines();
    if (engines == nullptr) {
        return;
    }
    std::lock_guard<std::mutex> lock(engines->mutex);
    if (engines->released) {
        return;
    }
    engines->children.emplace(&engine, 0);
    if (engine.Parent != nullptr) {
        ++engines->children[engine.Parent];
    }
}

void EngineGoing(const allocator_impl& engine) noexcept {
    LiveEngineCounts* engines = Engines();
    if (engines == nullptr) {
        return;
    }
    std::unique_lock<std::mutex> lock(engines->mutex, std::defer_lock);
    if (!dideverazez::platform::LockUnlessEnding(lock) || engines->released) {
        return;
    }
    const auto found = engines->children.find(&engine);
    if (found != engines->children.end() && found->second != 0) {
        std::fprintf(stderr,
                     "dideverazez: allocator \"%s\" destroyed while %llu of its children are "
                     "alive; children must be destroyed first\n",
                     engine.Name, static_cast<unsigned long long>(found->second));
        std::abort();
    }
    engines->children.erase(&engine);
    if (const auto parent = engines->children.find(engine.Parent);
        parent != engines->children.end()) {
        --parent->second;
    }
}

void HeapBlockTaken() noexcept {
    gHeapBlocks.fetch_add(1, std::memory_order_relaxed);
}

void HeapBlockGiven() noexcept {
    gHeapBlocks.fetch_sub(1, std::memory_order_relaxed);
}

void EngineLeaves(std::int64_t heapBlocks) noexcept {
    gLeftBlocks.fetch_add(heapBlocks, std::memory_order_relaxed);
}

void BalanceUnknown() noexcept {
    gBalanceUnknown.store(true, std::memory_order_relaxed);
}

void Release(bool storageReturned) noexcept {
    LiveEngineCounts* engines = Engines();
    std::unique_lock<std::mutex> lock(engines->mutex, std::defer_lock);
    if (!dideverazez::platform::LockUnlessEnding(lock)) {
        return;
    }
    const std::int64_t taken = gHeapBlocks.load(std::memory_order_relaxed);
    const std::int64_t left = gLeftBlocks.load(std::memory_order_relaxed);
    if (storageReturned && engines->children.empty() && !engines->released &&
        !gBalanceUnknown.load(std::memory_order_relaxed) && taken != left) {
        std::fprintf(stderr,
                     "dideverazez: heap blocks not balanced at unload: %lld taken through "
                     "dbg_alloc and not freed, %lld of them left by allocators destroyed with "
                     "blocks in use\n",
                     static_cast<long long>(taken), static_cast<long long>(left));
        std::abort();
    }
    engines->released = true;
    decltype(engines->children)().swap(engines->children);
}

void EnginesBeforeFork() noexcept {
    if (LiveEngineCounts* engines = Engines()) {
        engines->mutex.lock();
    }
}

void EnginesAfterFork() noexcept {
    if (LiveEngineCounts* engines = Engines()) {
        engines->mutex.unlock();
    }
}

const char* BlockOwnerProblem(const allocator_impl* owner) noexcept {
    if (owner == FreedBlockOwner()) {
        return "pooled block freed twice";
    }
    LiveEngineCounts* engines = Engines();
    if (engines == nullptr) {
        return nullptr;
    }
    std::lock_guard<std::mutex> lock(engines->mutex);
    if (!engines->released && engines->children.count(owner) == 0) {
        return "block names an allocator that is not alive: freed after its handle was "
               "destroyed, or not allocated here";
    }
    return nullptr;
}

void AbortOnBlock(const char* problem, const void* block, const char* handle) noexcept {
    std::fprintf(stderr, "dideverazez: %s (block %p, freed through handle \"%s\")\n", problem,
                 block, handle);
    std::abort();
}

} // namespace dideverazez::checks

#endif
