// A snapshot: every live tree of handles with every figure, the handles
// destroyed so far, and the module's size histogram, copied at one moment and
// written as JSON (docs/snapshot.md, docs/snapshot.schema.json).
//
// Taking one allocates nothing through any handle (its copies come from the C
// heap), stops no time measurement and frees no cached page. Each tree is
// copied under its own lock, so its figures are those of one moment, and the
// text is made after every lock is released.
#pragma once

#include "engines/kdideverazez_impl.h"
#include "observe/Registry.h"
#include "observe/SampleStore.h"

#include <cstdint>

class AllocSizes;

namespace dideverazez::observe {

struct EngineCopy {
    const void* Address;
    const void* Parent;
    LibraryString Path;
    LibraryString Name;
    bool Named; // false for a handle built without a name
    int Kind;
    bool IsGlobal;
    bool Measuring;
    std::uint64_t BornMs;
    Metrics Figures; // time_total: the time so far while the measurement runs
    StatAlloc Global, Self, Large, Used, Page, Pooled;
    StatValue Reserved;
};

struct ClassCopy {
    std::uint64_t Size;
    StatValue Blocks, Pages;
};

struct TreeCopy {
    std::uint64_t CachedPages = 0;
    ClassCopy Classes[PagedMemory::ClassCount] = {}; // all zero for a basic tree
    LibraryVector<EngineCopy> Engines;               // the root first, each engine after its parent
};

struct HistogramRow {
    std::uint64_t Bound;
    LibraryString Label;
    std::uint64_t Count;
};

// A loaded object, as the report tool needs it to name a stack's functions.
struct ObjectCopy {
    LibraryString Path;
    LibraryString BuildId; // hex
    std::uint64_t Base, Start, End, Offset;
};

struct Snapshot {
    std::uint32_t Process = 0;
    std::uint64_t TakenMs = 0;
    LibraryString Program; // the file name of the process's program; "" unknown
    // The last snapshot of a process that ends: what is still in use then was
    // never freed. The reporter sets it; TakeSnapshot leaves it false.
    bool AtExit = false;
    LibraryVector<TreeCopy> Trees;
    RetiredHandles Retired;
    LibraryString HistogramName;
    std::uint64_t HistogramPages = 0;
    LibraryVector<HistogramRow> Histogram;
    // With sampling on: the sampled sites and stacks, and the objects loaded.
    SamplesCopy Samples;
    LibraryVector<ObjectCopy> Objects;
};

// The registry's trees and retired handles, and `histogram`, now. With `wait`
// false every lock is only tried (a process whose other threads are gone may
// have left one held for ever): `*complete`, when given, says whether every
// tree could be copied; the snapshot is of no use when it could not.
Snapshot TakeSnapshot(const AllocSizes& histogram, bool wait = true, bool* complete = nullptr);

// The snapshot as one line of JSON, without a newline.
LibraryString ToJson(const Snapshot& snapshot);

// The live handles' figures as OpenMetrics text (OpenMetrics.h,
// docs/metrics.md); std::overflow_error when a sum has no 64-bit value.
LibraryString ToOpenMetrics(const Snapshot& snapshot);

} // namespace dideverazez::observe
