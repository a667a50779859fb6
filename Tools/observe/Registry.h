// The engines of the module's live handles, and what its destroyed handles
// left, for snapshots (SnapshotWriter.h). A handle registers its engine when
// it is built and retires it when it is destroyed; nothing on the allocation
// path reads or writes the registry.
//
// Handles are recorded only where something can read them: when the
// environment asks for snapshots (DIDEVERAZEZ_REPORT, DIDEVERAZEZ_METRICS) or
// a program of the module's own asks (RecordHandles). Otherwise a child
// handle does nothing here, and a destroyed handle leaves nothing behind; a
// root is still listed while it lives, so that fork can take its tree's lock.
// Each listed engine costs constant work under the registry's lock: an entry
// of its own (from the C heap, engines/SystemHeap.h) linked into its tree's list.
#pragma once

#include "observe/LibraryHeap.h"

#include <chrono>
#include <cstdint>

class allocator_impl;

namespace dideverazez::observe {

// Milliseconds since the module was loaded (a steady clock, started by the
// first handle: the module's own root).
std::uint64_t MillisecondsSinceLoad() noexcept;
// The same at the time `at` (0 before the load).
std::uint64_t MillisecondsSinceLoad(std::chrono::steady_clock::time_point at) noexcept;

// The seven words of zu_allocator::GetMetrics.
struct Metrics {
    std::int64_t TimeTotal, SelfPeak, MemoryPeak, MemoryCurrent, MemoryCumul, CountCurrent,
        CountCumul;
};

// `engine`'s statistics as GetMetrics reads them, with `timeTotal` for its time.
Metrics MetricsOf(const allocator_impl& engine, std::int64_t timeTotal) noexcept;

struct LiveEngine {
    const allocator_impl* Engine;
    const char* Name;   // the handle's, held (it outlives the handle); may be null
    LibraryString Path; // the names from the root, joined with '/'
    std::uint64_t BornMs;
};

// Whether handles built from now on are recorded.
bool Recording() noexcept;
// From now on handles are recorded (for programs of the module's own that take
// snapshots without the environment: the demo, the tests). Roots are listed
// anyway; children built before are not.
// With `on` false, handles built from then on are not recorded again, and
// destroyed ones leave nothing (for the tests of that case).
void RecordHandles(bool on = true) noexcept;

struct RetiredHandle {
    LibraryString Path;
    std::uint64_t Handles; // handles of this path merged into the entry; 1 until then
    std::uint64_t BornMs, DiedMs;
    Metrics Figures; // as GetMetrics returned them when the handle went
    // The sites of the sampled blocks it still held (observe/SampleStore.h's
    // group key), 0 for none.
    std::uint64_t Sites = 0;
};

// Retired handles kept one by one; once the list has held this many, it is
// merged by path, and from then on a handle whose path has no entry joins the
// entry of its parent's path with "/*" ("*" for a root); past twice the bound,
// every such handle joins "*". A retired path keeps at most RetiredPathBytes
// bytes (cut at a character, then "..."), so the list is bounded in entries
// and in bytes whatever the names.
inline constexpr std::size_t RetiredBound = 4096;
inline constexpr std::size_t RetiredPathBytes = 256;

// The handle's engine, built for a handle named `name`, when handles are
// recorded. Raises std::bad_alloc when the registry cannot take its entry;
// then nothing is recorded.
void Register(const allocator_impl& engine, const char* name);

// The handle's engine is about to be destroyed: when it was recorded, its
// statistics now, with the time it measured, become a retired entry, with the
// group of sampled sites `sites` (observe/SampleStore.h, 0 for none). Never
// raises; a record that cannot be kept is dropped, its sites with it.
void Retire(const allocator_impl& engine, std::uint64_t sites = 0) noexcept;

// The live engines tree by tree, each root first and each engine after its
// parent, in the order their handles were built.
using LiveEngines = LibraryVector<const LiveEngine*>;
using RetiredHandles = LibraryVector<RetiredHandle>;

// Calls `visit(context, live, retired)` with the live engines, each after its
// parent, in the order their handles were built, and the retired handles,
// under the registry's lock: no handle is built or destroyed meanwhile. With
// `wait` false the lock is only tried: false, and no call, when it is taken.
bool Visit(void (*visit)(void* context, const LiveEngines&, const RetiredHandles&), void* context,
           bool wait = true);

// The same with any callable, which is called once.
template <class Visitor> bool Visit(Visitor&& visitor, bool wait = true) {
    return Visit(
        [](void* context, const LiveEngines& live, const RetiredHandles& retired) {
            (*static_cast<Visitor*>(context))(live, retired);
        },
        &visitor, wait);
}

// The module is going (its state's last act): what the registry keeps goes
// back to the C heap, so that a module unloaded from a running process leaves
// nothing behind; handles that outlive it are forgotten, and nothing is
// recorded any more. Returns whether all of it went back (not while the
// process ends with the registry's lock held).
bool ReleaseRegistry() noexcept;

// Around fork (observe/Fork.cpp): takes the registry's lock, then the tree
// lock of every live root in the order they were built; gives them all back.
// Nothing else takes two of these locks in another order: a snapshot takes the
// registry's, then one tree's at a time.
void RegistryBeforeFork() noexcept;
void RegistryAfterFork() noexcept;

} // namespace dideverazez::observe
