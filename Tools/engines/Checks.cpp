// The checks of the checking build. Reports go to standard error through
// fprintf, which needs no engine, and then the process aborts.

#include "engines/Checks.h"

#if defined(DIDEVERAZEZ_CHECKED)

#include "engines/kdideverazez_impl.h"
#include "platform/Platform.h"

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

void Release() noexcept {
    Registry* registry = Engines();
    std::unique_lock<std::mutex> lock(registry->mutex, std::defer_lock);
    if (!dideverazez::platform::LockUnlessEnding(lock)) {
        return;
    }
    registry->released = true;
    decltype(registry->children)().swap(registry->children);
}

void LockForFork() noexcept {
    if (Registry* registry = Engines()) {
        registry->mutex.lock();
    }
}

void UnlockAfterFork() noexcept {
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
