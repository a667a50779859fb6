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
struct Registry {
    std::mutex mutex;
    std::unordered_map<const allocator_impl*, std::uint64_t> children;
    bool released = false; // the module is going: nothing is checked any more
};

alignas(Registry) unsigned char gStorage[sizeof(Registry)];

// Constant-initialised: counted from the first heap call of any static object.
constinit std::atomic<std::int64_t> gHeapBlocks{0}; // taken and not given back
constinit std::atomic<std::int64_t> gLeftBlocks{0}; // of those, left by engines
constinit std::atomic<bool> gBalanceUnknown{false};

Registry* Engines() {
    static Registry* const registry = new (gStorage) Registry;
    return registry;
}

} // namespace

allocator_impl* FreedBlockOwner() noexcept {
    return reinterpret_cast<allocator_impl*>(std::uintptr_t{0xFEFEFEFEFEFEFEFE});
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
    Registry* registry = Engines();
    if (registry == nullptr) {
        return;
    }
    std::lock_guard<std::mutex> lock(registry->mutex);
    if (registry->released) {
        return;
    }
    registry->children.emplace(&engine, 0);
    if (engine.Parent != nullptr) {
        ++registry->children[engine.Parent];
    }
}

void EngineGoing(const allocator_impl& engine) noexcept {
    Registry* registry = Engines();
    if (registry == nullptr) {
        return;
    }
    std::unique_lock<std::mutex> lock(registry->mutex, std::defer_lock);
    if (!dideverazez::platform::LockUnlessEnding(lock) || registry->released) {
        return;
    }
    const auto found = registry->children.find(&engine);
    if (found != registry->children.end() && found->second != 0) {
        std::fprintf(stderr,
                     "dideverazez: allocator \"%s\" destroyed while %llu of its children are "
                     "alive; children must be destroyed first\n",
                     engine.Name, static_cast<unsigned long long>(found->second));
        std::abort();
    }
    registry->children.erase(&engine);
    if (const auto parent = registry->children.find(engine.Parent);
        parent != registry->children.end()) {
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
    Registry* registry = Engines();
    std::unique_lock<std::mutex> lock(registry->mutex, std::defer_lock);
    if (!dideverazez::platform::LockUnlessEnding(lock)) {
        return;
    }
    const std::int64_t taken = gHeapBlocks.load(std::memory_order_relaxed);
    const std::int64_t left = gLeftBlocks.load(std::memory_order_relaxed);
    if (storageReturned && registry->children.empty() && !registry->released &&
        !gBalanceUnknown.load(std::memory_order_relaxed) && taken != left) {
        std::fprintf(stderr,
                     "dideverazez: heap blocks not balanced at unload: %lld taken through "
                     "dbg_alloc and not given back, %lld of them left by allocators destroyed "
                     "with blocks in use\n",
                     static_cast<long long>(taken), static_cast<long long>(left));
        std::abort();
    }
    registry->released = true;
    decltype(registry->children)().swap(registry->children);
}

void EnginesBeforeFork() noexcept {
    if (Registry* registry = Engines()) {
        registry->mutex.lock();
    }
}

void EnginesAfterFork() noexcept {
    if (Registry* registry = Engines()) {
        registry->mutex.unlock();
    }
}

const char* BlockOwnerProblem(const allocator_impl* owner) noexcept {
    if (owner == FreedBlockOwner()) {
        return "pooled block freed twice";
    }
    Registry* registry = Engines();
    if (registry == nullptr) {
        return nullptr;
    }
    std::lock_guard<std::mutex> lock(registry->mutex);
    if (!registry->released && registry->children.count(owner) == 0) {
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
