// The decision to sample: about one allocation per n bytes requested records
// its call stack, so that snapshots can say which code holds a handle's
// memory (docs/sampling.md). Its parts, by role:
//   Sampler.h       the decision: each thread's countdown to its next sample
//                   point, and the chance of each sampled allocation
//   SampleStore.h   the stacks, the sites and their estimates, the live
//                   sampled blocks and the peak, under a lock of their own
//   StackCapture.h  the stacks taken, held off around fork
//   StandInEngine.h the engine a sampled block's header names until it is
//                   freed, so that no other block's free path changes
//
// The handle's allocation path counts the bytes each thread requests down
// (CountDown) and calls Sample when the count runs out; nothing else of the
// allocation path changes, and every counter and trace line stay as they are.
#pragma once

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

// CountDown returned true for an allocation of `size` bytes through `engine`,
// called from the code at `caller`, which gave `block` (null when it
// failed): records the block when sampling is on, and draws this thread's
// next point. Never raises: a sample that cannot be stored is dropped.
void Sample(void* block, std::uint64_t size, allocator_impl& engine, const void* caller) noexcept;

// The mean distance between samples in bytes; 0 while sampling is off.
std::uint64_t SampleBytes() noexcept;

#if defined(DIDEVERAZEZ_TEST_SEAMS)
namespace testing {
// Samples from now on one allocation per `bytes` on average (0: off), as
// DIDEVERAZEZ_SAMPLE_BYTES would, with each thread's distances drawn afresh
// from a seed that depends on `seed` alone. What was sampled before is kept;
// the peak starts again from what is in use now.
void SampleEvery(std::uint64_t bytes, std::uint64_t seed = 1) noexcept;
} // namespace testing
#endif

} // namespace dideverazez::observe
