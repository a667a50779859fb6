// The checking build (CMake option DIDEVERAZEZ_CHECKED, on in the test,
// sanitizer and fuzzing presets, off in the shipped library): the pool checks
// its invariants after every page transition, and the preconditions the
// contract leaves unchecked are checked — a block freed twice, a block whose
// header names no live engine, an engine destroyed before its children. A
// failed check writes one line on standard error and aborts: the memory is
// already corrupt, and going on would only hide where it went wrong.
//
// Nothing here is compiled into a build without the option.
#pragma once

#if defined(DIDEVERAZEZ_CHECKED)

#include <cstdint>

class allocator_impl;
struct PagedMemory;
struct PoolFault;

namespace dideverazez::checks {

// The Owner word of a free pooled block: a non-canonical address, where no
// engine can live, so that a second free of a block is distinguished from a first.
allocator_impl* FreedBlockOwner() noexcept;

// Aborts with the fault's invariant, class and page when `fault` is set.
void AbortOn(const PoolFault& fault) noexcept;

// The live engines and how many live children each has. Built and destroyed
// engines are recorded by the engine base; a child is counted against its
// parent.
void EngineBuilt(const allocator_impl& engine);
// Aborts when `engine` still has live children.
void EngineGoing(const allocator_impl& engine) noexcept;

// The heap balance. Every block the module takes from the C heap and frees
// (engines/SystemHeap.h, which dbg_alloc and dbg_free forward to) is counted. An engine destroyed
// with blocks in use leaves what it still holds to the process: a paged engine reports how many
// heap blocks that is (its pool's pages, its large blocks); a basic engine cannot, and the balance
// is then not checked.
void HeapBlockTaken() noexcept;
void HeapBlockGiven() noexcept;
void EngineLeaves(std::int64_t heapBlocks) noexcept;
void BalanceUnknown() noexcept;

// The module is going: the list of live engines frees its storage and checks
// nothing more (engines of other modules may outlive it). When no engine is
// alive and the module's own storage all went back (`storageReturned`), every
// block taken from the heap is freed but those the engines left: else it
// aborts, naming the blocks missing.
void Release(bool storageReturned) noexcept;

// Around fork: the live engines' lock, taken and released (observe/Fork.cpp).
void EnginesBeforeFork() noexcept;
void EnginesAfterFork() noexcept;

// The free path's precondition: `owner`, read from a block's header, is a
// live engine and not the mark of a block freed already. Returns null when it
// holds, else what is wrong.
const char* BlockOwnerProblem(const allocator_impl* owner) noexcept;
// Reports `problem` with the block and the handle it was freed through, and
// aborts.
[[noreturn]] void AbortOnBlock(const char* problem, const void* block, const char* handle) noexcept;

} // namespace dideverazez::checks

#endif
