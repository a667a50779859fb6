// The one place the module takes memory from the C heap and frees it: the
// pools' pages, large blocks, the handles' engines and the library's own
// bookkeeping (observe/LibraryHeap.h) all come from here, below every layer
// that uses them. The exported debug hooks dbg_alloc and dbg_free forward
// here, with the same behaviour.
//
// The checking build counts every block taken and freed (engines/Checks.h,
// the heap balance at unload); the testing build can make any one call fail.
#pragma once

#include <cstddef>
#include <cstdint>

namespace dideverazez::heap {

// `size` bytes from the C heap (std::malloc), or null when it has none.
// Never raises.
void* Allocate(std::size_t size) noexcept;

// Frees a block of Allocate; null does nothing.
void Free(void* block) noexcept;

} // namespace dideverazez::heap

#if defined(DIDEVERAZEZ_TEST_SEAMS)
// Seams of the testing build of the module (the static library the tests
// link); the shipped shared library has none of them and pays nothing.
namespace dideverazez::testing {

// Makes the `k`-th call to the C heap from now (1 is the next) return null, as
// a heap with no block would; 0 disarms. Only that one call fails.
void FailHeapCall(std::uint64_t k) noexcept;
// Calls made to the C heap so far.
std::uint64_t HeapCalls() noexcept;
// Calls `watch(block)` with every block freed, before the heap takes it back
// (null: none from now on).
void WatchHeapFrees(void (*watch)(const void* block)) noexcept;

} // namespace dideverazez::testing
#endif
