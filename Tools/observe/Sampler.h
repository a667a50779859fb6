// Sampled allocations: about one allocation per n bytes requested records its
// call stack, so that snapshots can say which code holds a handle's memory
// (docs/sampling.md).
//
// The handle's allocation path counts the bytes each thread requests down
// (CountDown) and calls Sample when the count runs out; nothing else of the
// allocation path changes. A sampled block's header names a stand-in engine,
// which on free takes the block out of the samples, names the block's own
// engine in the header again and hands the block to it: the free path of a
// block that was not sampled is not touched at all, and every figure and
// every trace line stay as they are. The samples live under a lock of their
// own, taken by a sampled allocation, a sampled block's free and a snapshot,
// and never held across a tree lock or the registry's.
#pragma once

#include "observe/LibraryHeap.h"

#include <chrono>
#include <cstdint>

class allocator_impl;

namespace dideverazez::observe {

// The bytes this thread may still request before the byte of its next
// sample point. It starts at 0, so that each thread's first allocation draws
// its first point; with sampling off it is as far as the type goes.
#if defined(__ELF__)
// (Its symbol is named for the allocation path's assembly, below.)
extern __thread std::uint64_t tSampleRemaining asm("dideverazez_sample_remaining")
    __attribute__((tls_model("initial-exec")));
#else
extern constinit thread_local std::uint64_t tSampleRemaining;
#endif

// Counts `size` bytes down; true when the allocation holds the sample point
// (it goes past what remained) and must go to Sample. The whole cost of
// sampling on the allocation path while it is off: one subtraction, whose
// borrow is the answer.
inline bool CountDown(std::uint64_t size) noexcept {
#if defined(__ELF__) && defined(__x86_64__)
    // The subtraction straight on the thread's word: the compilers load it,
    // subtract and store it back, two instructions more on every allocation.
    asm goto("movq dideverazez_sample_remaining@gottpoff(%%rip), %%rax\n\t"
             "subq %[size], %%fs:(%%rax)\n\t"
             "jc %l[past]"
             :
             : [size] "r"(size)
             : "rax", "cc", "memory"
             : past);
    return false;
past:
    return true;
#else
    return __builtin_sub_overflow(tSampleRemaining, size, &tSampleRemaining);
#endif
}

// CountDown said so for an allocation of `size` bytes through `engine`,
// called from the code at `caller`, which gave `block` (null when it
// failed): records the block when sampling is on, and draws this thread's
// next point. Never raises: a sample that cannot be stored is dropped.
void Sample(void* block, std::uint64_t size, allocator_impl& engine, const void* caller) noexcept;

// The mean distance between samples in bytes; 0 while sampling is off.
std::uint64_t SampleBytes() noexcept;

// The engine that allocated `block`, also when the block was sampled (its
// header then names the stand-in): for the checks of the free path.
allocator_impl* OwnerOf(void* block) noexcept;

// `engine` is about to go. Its sites (what it still holds, what it allocated)
// become a group of their own, whose key (non-zero) is returned for its
// retired entry; 0 when it has none.
std::uint64_t RetireSites(const allocator_impl& engine) noexcept;
// Two retired entries were merged: the sites of group `from` join `into`'s,
// one site a stack.
void MergeSiteGroups(std::uint64_t into, std::uint64_t from) noexcept;
// A retired entry was not kept: its group is forgotten.
void DropSiteGroup(std::uint64_t group) noexcept;

// The sites of one engine (Owner: its address) or one retired group (its
// key): estimates of the bytes requested and blocks in use and allocated.
struct SiteCopy {
    std::uint64_t Owner;
    std::uint32_t Stack; // an index into SamplesCopy's stacks
    double InUseBytes, InUseBlocks, AllocatedBytes, AllocatedBlocks;
    double AtPeakBytes, AtPeakBlocks; // what it held at the peak below
};

struct SamplesCopy {
    std::uint64_t Bytes = 0; // 0: sampling off, nothing else filled in
    // Stack i is Frames[StackStarts[i]] up to Frames[StackStarts[i + 1]].
    LibraryVector<std::uint64_t> Frames;
    LibraryVector<std::uint32_t> StackStarts;
    LibraryVector<SiteCopy> Sites; // by owner, then by stack
    // The highest estimate of the bytes (and blocks) in use of every sampled
    // block together since the start, and when it was reached: the moment the
    // sites' AtPeak figures are of.
    double PeakBytes = 0, PeakBlocks = 0;
    std::chrono::steady_clock::time_point PeakTime{};

    // The sites of `owner`, as a range of Sites.
    std::pair<const SiteCopy*, const SiteCopy*> SitesOf(std::uint64_t owner) const noexcept;
};

// The samples now. With `wait` false the lock is only tried: false, and
// nothing copied, when it is taken.
bool CopySamples(SamplesCopy& copy, bool wait = true);

// Around fork (observe/Fork.cpp): no stack is being taken across it, and the
// samples' lock is held.
void StopCapturesForFork() noexcept;
void ResumeCapturesAfterFork(bool child) noexcept;
void LockSamplesForFork() noexcept;
void UnlockSamplesAfterFork() noexcept;

// The module is going: the sites and stacks go back to the C heap. Blocks
// still sampled are kept track of, so that they can still be freed. Returns
// whether all of it went back: none is sampled any more, and the lock was free.
bool ReleaseSamples() noexcept;

#if defined(DIDEVERAZEZ_TEST_SEAMS)
namespace testing {
// Samples from now on one allocation per `bytes` on average (0: off), as
// DIDEVERAZEZ_SAMPLE_BYTES would, with each thread's distances drawn afresh
// from a seed that depends on `seed` alone. What was sampled before is kept;
// the peak starts again from what is in use now.
void SampleEvery(std::uint64_t bytes, std::uint64_t seed = 1) noexcept;
// Calls `hook` in every capture of a stack, where a fork waits for it (null:
// none).
void InsideCaptures(void (*hook)()) noexcept;
} // namespace testing
#endif

} // namespace dideverazez::observe
