// Helpers of the observe tests: handles recorded from the program's start,
// the process's processor time, a snapshot cut to the handles of one test,
// and sampling for one test with what its sites hold.
#pragma once

#include "handle/Internals.h"
#include "observe/Registry.h"
#include "observe/SampleStore.h"
#include "observe/Sampler.h"
#include "observe/SnapshotWriter.h"
#include "platform/Platform.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace dideverazez::test {

// Snapshots read recorded handles: a program that includes this records them
// from its start (observe_tests does, in every file that takes snapshots).
struct RecordedFromTheStart {
    RecordedFromTheStart() { dideverazez::observe::RecordHandles(); }
};
inline const RecordedFromTheStart gRecordedFromTheStart;

// User and kernel time of the process, in milliseconds.
inline std::int64_t ProcessTime(bool kernelOnly = false) {
    std::uint64_t user = 0, kernel = 0;
    dideverazez::platform::ProcessTimes(dideverazez::platform::CurrentProcess(), user, kernel);
    return static_cast<std::int64_t>((kernelOnly ? 0 : user) + kernel);
}

// The snapshot's trees whose root is `root`, and its retired handles whose
// paths start with `root`.
inline dideverazez::observe::Snapshot Only(dideverazez::observe::Snapshot snapshot,
                                           const char* root) {
    using namespace dideverazez::observe;
    std::erase_if(snapshot.Trees, [&](const TreeCopy& t) { return t.Engines[0].Path != root; });
    std::erase_if(snapshot.Retired, [&](const RetiredHandle& r) { return r.Path.rfind(root, 0); });
    return snapshot;
}

// Sampling on for one test, at `bytes`, and off again after it.
struct Sampling {
    explicit Sampling(std::uint64_t bytes, std::uint64_t seed = 1) {
        observe::testing::SampleEvery(bytes, seed);
    }
    ~Sampling() { observe::testing::SampleEvery(0); }
    Sampling(const Sampling&) = delete;
    Sampling& operator=(const Sampling&) = delete;
};

// What the sites of one owner hold and held, added up.
struct Totals {
    double inUseBytes = 0, inUseBlocks = 0, bytes = 0, blocks = 0, atPeakBytes = 0;
};

// What the samples say of `owner` (an engine's address or a retired group).
inline Totals SitesOf(std::uint64_t owner) {
    observe::SamplesCopy copy;
    EXPECT_TRUE(observe::CopySamples(copy));
    Totals totals;
    for (auto [site, end] = copy.SitesOf(owner); site != end; ++site) {
        totals.inUseBytes += site->InUseBytes;
        totals.inUseBlocks += site->InUseBlocks;
        totals.bytes += site->AllocatedBytes;
        totals.blocks += site->AllocatedBlocks;
        totals.atPeakBytes += site->AtPeakBytes;
    }
    return totals;
}

// The samples' key of `handle`: its engine's address.
inline std::uint64_t KeyOf(const zu_allocator& handle) {
    return reinterpret_cast<std::uintptr_t>(zu_allocator_access::Engine(handle));
}

} // namespace dideverazez::test
