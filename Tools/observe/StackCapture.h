// Stacks taken for sampled allocations, and held off around fork: an
// unwinder that reads the loaded objects through dl_iterate_phdr (libgcc
// before GCC 12, or on a glibc before 2.35; GCC 12's finds them with the
// lock-free _dl_find_object) holds the loader's lock while it does, and glibc
// does not free that lock in a forked child, so a fork must not happen in the
// middle of one (observe/Fork.cpp).
#pragma once

namespace dideverazez::observe {

// Fills `frames` with the calling thread's return addresses, innermost first,
// at most `capacity`, and returns how many; none while a fork is under way.
int CaptureStack(void** frames, int capacity) noexcept;

// Around fork: no stack is being taken across it, and none is started until
// it is done.
void CapturesBeforeFork() noexcept;
void CapturesAfterFork(bool child) noexcept;

#if defined(DIDEVERAZEZ_TEST_SEAMS)
namespace testing {
// Calls `hook` in every capture of a stack, where a fork waits for it (null:
// none).
void InsideCaptures(void (*hook)()) noexcept;
} // namespace testing
#endif

} // namespace dideverazez::observe
