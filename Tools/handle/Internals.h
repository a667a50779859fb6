// The module's internal view of the handle layer: what the module's own code,
// its tools and its tests reach beyond the exported interface. Nothing here is
// exported from the shared library.
#pragma once

#include "engines/SystemHeap.h" // the heap's test seams, which tests reach through here
#include "handle/dideverazez.h"

#include <cstdint>

class AllocSizes;

// Reaches the private fields of a handle.
struct zu_allocator_access {
    // The common end of every constructor: live-handle count, construction
    // trace, engine.
    static void Initialise(zu_allocator& handle, bool global);

    static allocator_impl* Engine(const zu_allocator& handle) noexcept { return handle.engine_; }
    static zu_allocator* Parent(const zu_allocator& handle) noexcept { return handle.parent_; }
    static const char* Name(const zu_allocator& handle) noexcept { return handle.name_; }
    static IAllocatorContext* Context(const zu_allocator& handle) noexcept {
        return handle.context_;
    }
#if defined(DIDEVERAZEZ_TEST_SEAMS)
    // Lets a test put a recording engine in place of a handle's own, and put
    // the own one back before the handle is destroyed.
    static allocator_impl*& EngineSlot(zu_allocator& handle) noexcept {
        return handle.engine_;
    }
#endif
};

namespace dideverazez {

// Handles alive now, the module's root "DEBUG" included.
std::int32_t LiveHandleCount() noexcept;

// The module state: its root handle "DEBUG" (global flag set) and its "Global"
// histogram, built when the module is loaded.
zu_allocator& DebugRootAllocator() noexcept;
AllocSizes& GlobalAllocSizes() noexcept;

#if defined(DIDEVERAZEZ_TEST_SEAMS)
// Seams of the testing build of the module (the static library the tests
// link); the shipped shared library has none of them and pays nothing.
namespace testing {

// Calls of dbg_profileStart and dbg_profileStop so far.
std::uint64_t ProfileStarts() noexcept;
std::uint64_t ProfileStops() noexcept;

} // namespace testing
#endif

} // namespace dideverazez
