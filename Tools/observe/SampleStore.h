// The store of sampled allocations: the stacks recorded, one site per handle
// and stack with its estimates (in use, allocated, at the peak), the sampled
// blocks still live, and the peak of their bytes in use together
// (docs/sampling.md). The decision to sample is observe/Sampler.h's; the
// stacks are taken by observe/StackCapture.h; a sampled block's header names
// observe/StandInEngine.h's engine until it is freed.
//
// Everything here lives under one lock of its own, taken by a sampled
// allocation, a sampled block's free and a snapshot, and never held across a
// tree lock or the registry's. Its storage comes from the C heap
// (observe/LibraryHeap.h), never through a handle.
#pragma once

#include "observe/LibraryHeap.h"

#include <chrono>
#include <cstdint>
#include <utility>

class allocator_impl;

namespace dideverazez::observe {

// An allocation of `size` bytes through `engine`, called from the code at
// `caller`, which gave `block`, was sampled with probability `chance`: takes
// its stack and files it, the block standing for size / chance bytes and
// 1 / chance blocks. Raises std::bad_alloc with nothing kept when the store
// cannot grow; nothing when the module has let go of the samples.
void RecordSample(void* block, std::uint64_t size, allocator_impl& engine, const void* caller,
                  double chance);

// The stand-in's free of `block`: takes the block out of the samples and
// returns the engine that allocated it. A block that was never sampled is
// reported as a corrupted header, and the process stops.
allocator_impl* TakeOutSampledBlock(void* block) noexcept;

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
    // sites' AtPeak values are of.
    double PeakBytes = 0, PeakBlocks = 0;
    std::chrono::steady_clock::time_point PeakTime{};

    // The sites of `owner`, as a range of Sites.
    std::pair<const SiteCopy*, const SiteCopy*> SitesOf(std::uint64_t owner) const noexcept;
};

// The samples now. With `wait` false the lock is only tried: false, and
// nothing copied, when it is taken.
bool CopySamples(SamplesCopy& copy, bool wait = true);

// Around fork (observe/Fork.cpp): the samples' lock is held.
void SamplesBeforeFork() noexcept;
void SamplesAfterFork() noexcept;

// The module is going: the sites and stacks go back to the C heap. Blocks
// still sampled are kept track of, so that they can still be freed. Returns
// whether all of it went back: none is sampled any more, and the lock was free.
bool ReleaseSamples() noexcept;

#if defined(DIDEVERAZEZ_TEST_SEAMS)
namespace testing {
// The samples are taken again after ReleaseSamples, and their peak starts
// again from what is in use now.
void ReopenSamples() noexcept;
} // namespace testing
#endif

} // namespace dideverazez::observe
