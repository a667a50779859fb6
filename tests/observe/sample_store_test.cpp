// The store of sampled allocations (Tools/observe/SampleStore.cpp). Which
// test owns which rule:
//  - SampleStore.SitesKeepWhatTheyHeldAtThePeak: the peak of the bytes in use
//    of every sampled block together, and what each site held then, whatever
//    was freed or allocated after; in the JSON too.
//  - SampleStore.EveryAllocationSampledIsCountedToTheByte: at a chance of
//    1 a block stands for its exact size, however large.
//  - SampleStore.LeaksStayWithTheRetiredEntry: a destroyed handle's sites, in
//    the snapshot's JSON too (its blocks are its for ever: freeing one is the
//    checks' "not alive" error, sampled or not); with no entry to keep them,
//    they go and no other handle's do, also past a block left by a handle
//    whose sites went before.
//  - SampleStore.ASampleThatCannotBeStoredLeavesNothingBehind: a sample whose
//    recording meets a heap failure is dropped whole (no site, stack or live
//    entry left half made).
//  - SampleStore.NothingIsRecordedOnceTheModuleLetsGo: ReleaseSamples.
//  - SampleStoreDeathTest.AHeaderNamingTheSamplesOnABlockNeverSampledStops: a
//    corrupted header that names the sampled blocks is reported, and stops.
//  - SampleStore.AStackKeepsItsInnermost64Frames: a deep stack is cut.
//  - SampleStore.ACopyWaitsForTheLockUnlessAskedNot: CopySamples' `wait`, and
//    a snapshot's that meets the samples' lock held.
// Merged retired entries merge their sites by stack:
// Registry.RetiredHandlesOfOnePathAreMerged (registry_test.cpp).

#include "observe/SampleStore.h"
#include "observe/Sampler.h"
#include "observe/SnapshotWriter.h"
#include "statistics/AllocSizes.h"
#include "support/ObserveSupport.h"
#include "support/TestSupport.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <optional>
#include <thread>
#include <vector>

namespace {

using namespace dideverazez::observe;
using namespace dideverazez::test;

TEST(SampleStore, SitesKeepWhatTheyHeldAtThePeak) {
    const Sampling sampling(1); // the peak starts again at what is in use now
    zu_allocator root("Peaking");
    zu_allocator a(root, "a"), b(root, "b");
    const auto peak = [] {
        SamplesCopy copy;
        EXPECT_TRUE(CopySamples(copy));
        return std::pair{copy.PeakBytes, copy.PeakBlocks};
    };
    const auto [before, blocksBefore] = peak();
    void* a1 = a.Alloc(1000);
    void* b1 = b.Alloc(3000); // the peak: 4000 bytes in 2 blocks more than before
    zu_free(b1, nullptr);
    void* a2 = a.Alloc(500); // below it: a holds 1500 now, 1000 at the peak
    EXPECT_EQ(peak(), std::pair(before + 4000, blocksBefore + 2));
    EXPECT_EQ(SitesOf(KeyOf(a)).inUseBytes, 1500.0);
    EXPECT_EQ(SitesOf(KeyOf(a)).atPeakBytes, 1000.0);
    EXPECT_EQ(SitesOf(KeyOf(b)).inUseBytes, 0.0);
    EXPECT_EQ(SitesOf(KeyOf(b)).atPeakBytes, 3000.0);
    const LibraryString json = ToJson(TakeSnapshot(dideverazez::GlobalAllocSizes()));
    EXPECT_NE(json.find("\"in_use\":{\"bytes\":0,\"blocks\":0},\"allocated\":{\"bytes\":3000,"
                        "\"blocks\":1},\"at_peak\":{\"bytes\":3000,\"blocks\":1}}"),
              LibraryString::npos);

    void* b2 = b.Alloc(4000); // a new peak: a's 1500 and b's 4000
    EXPECT_EQ(peak(), std::pair(before + 5500, blocksBefore + 3));
    EXPECT_EQ(SitesOf(KeyOf(a)).atPeakBytes, 1500.0);
    EXPECT_EQ(SitesOf(KeyOf(b)).atPeakBytes, 4000.0);
    for (void* block : {a1, a2, b2}) {
        zu_free(block, nullptr);
    }
    EXPECT_EQ(SitesOf(KeyOf(b)).atPeakBytes, 4000.0);
}

TEST(SampleStore, EveryAllocationSampledIsCountedToTheByte) {
    const Sampling sampling(1);
    zu_allocator root("Exact");
    zu_allocator child(root, "child");
    void* large = child.Alloc((std::size_t{1} << 24) + 1); // no float holds it
    void* small = child.Alloc(33);
    EXPECT_EQ(SitesOf(KeyOf(child)).inUseBytes, 16777250.0);
    EXPECT_EQ(SitesOf(KeyOf(child)).inUseBlocks, 2.0);
    zu_free(large, nullptr);
    EXPECT_EQ(SitesOf(KeyOf(child)).inUseBytes, 33.0);
    zu_free(small, nullptr);
    EXPECT_EQ(SitesOf(KeyOf(child)).inUseBytes, 0.0);
    EXPECT_EQ(SitesOf(KeyOf(child)).bytes, 16777250.0);
}

TEST(SampleStore, LeaksStayWithTheRetiredEntry) {
    const TraceCapture trace; // the handle says it dies holding memory
    const Sampling sampling(1);
    zu_allocator root("Leaking");
    {
        zu_allocator child(root, "child");
        child.Alloc(100);
        child.Alloc(5000);
        zu_free(child.Alloc(7), &child);
    }
    const Snapshot snapshot = TakeSnapshot(dideverazez::GlobalAllocSizes());
    // Its own entry, or its siblings' once the list is merging (a test of
    // the same process that retired thousands of handles before this one).
    const RetiredHandle* retired = nullptr;
    for (const RetiredHandle& r : snapshot.Retired) {
        retired = r.Path == "Leaking/child" || r.Path == "Leaking/*" ? &r : retired;
    }
    ASSERT_NE(retired, nullptr);
    ASSERT_NE(retired->Sites, 0u);
    const Totals left = SitesOf(retired->Sites);
    EXPECT_EQ(left.inUseBytes, 5100.0);
    EXPECT_EQ(left.inUseBlocks, 2.0);
    EXPECT_EQ(left.bytes, 5107.0);
    EXPECT_EQ(left.blocks, 3.0);
    const LibraryString json = ToJson(snapshot);
    EXPECT_NE(json.find("\"sampling\":{\"bytes\":1,\"peak\":{\"bytes\":"), LibraryString::npos);
    EXPECT_NE(json.find("\"in_use\":{\"bytes\":5000,\"blocks\":1}"), LibraryString::npos);

    // Where no entry keeps them (handles no longer recorded), a dead
    // handle's sites go, and only its own: a block of another handle, live
    // across it, is still taken off its site when it is freed.
    zu_allocator live(root, "live");
    void* kept = live.Alloc(300);
    const auto held = [] { // by every site there is
        SamplesCopy copy;
        EXPECT_TRUE(CopySamples(copy));
        double bytes = 0;
        for (const SiteCopy& site : copy.Sites) {
            bytes += site.InUseBytes;
        }
        return bytes;
    };
    const double before = held();
    // A child of `root` that leaks `bytes` and dies unrecorded.
    const auto dieLeaking = [&](const char* name, std::uint64_t bytes) {
        {
            zu_allocator gone(root, name);
            gone.Alloc(bytes);
            EXPECT_EQ(held(), before + double(bytes)) << name;
            RecordHandles(false);
        }
        RecordHandles(true);
        EXPECT_EQ(held(), before) << name;
    };
    dieLeaking("gone", 40);
    // The next dead handle's sites go the same way, past the first one's
    // block, still in use, whose site is already gone.
    dieLeaking("also", 60);
    EXPECT_EQ(SitesOf(KeyOf(live)).inUseBytes, 300.0);
    zu_free(kept, nullptr);
    EXPECT_EQ(SitesOf(KeyOf(live)).inUseBytes, 0.0);
    EXPECT_EQ(SitesOf(KeyOf(live)).bytes, 300.0);
}

// An allocation of 100 bytes from a stack `depth` frames deeper than the
// caller's: each depth is a call site of its own.
[[gnu::noinline]] void* AllocAtDepth(zu_allocator& handle, int depth) {
    void* block = depth == 0 ? zu_alloc(100, &handle, "s") : AllocAtDepth(handle, depth - 1);
    static_cast<char*>(block)[0] = static_cast<char>(depth); // not a tail call: the frame stays
    return block;
}

// (frames of its stack, blocks in use) for each site of `owner`, fewest
// frames first.
std::vector<std::pair<std::size_t, double>> SiteShapes(std::uint64_t owner) {
    SamplesCopy copy;
    EXPECT_TRUE(CopySamples(copy));
    std::vector<std::pair<std::size_t, double>> shapes;
    for (auto [site, end] = copy.SitesOf(owner); site != end; ++site) {
        shapes.emplace_back(copy.StackStarts[site->Stack + 1] - copy.StackStarts[site->Stack],
                            site->InUseBlocks);
    }
    std::sort(shapes.begin(), shapes.end());
    return shapes;
}

[[gnu::noinline]] void* AllocOnPath(zu_allocator& handle, unsigned path, int levels);
[[gnu::noinline]] void* Left(zu_allocator& handle, unsigned path, int levels) {
    void* block = AllocOnPath(handle, path, levels);
    static_cast<char*>(block)[1] = 'l'; // not a tail call: the frame stays
    return block;
}
[[gnu::noinline]] void* Right(zu_allocator& handle, unsigned path, int levels) {
    void* block = AllocOnPath(handle, path, levels);
    static_cast<char*>(block)[1] = 'r';
    return block;
}
// An allocation of 100 bytes from a stack of its own for each of 2^levels
// paths, all of one depth: bit i of `path` picks the caller at level i.
void* AllocOnPath(zu_allocator& handle, unsigned path, int levels) {
    if (levels == 0) {
        return zu_alloc(100, &handle, "s");
    }
    return (path & 1 ? Left : Right)(handle, path >> 1, levels - 1);
}

// Every heap call of a sample's recording fails in turn, first with a new
// stack (until the stack is added) and then with that stack known; round
// after round, one stack more each, until each table that grows by doubling
// has grown at a failing call. The sample is dropped, the block is its
// engine's as ever, and nothing of the sample stays behind: no site, no frame
// without its stack, and the site's next sample counts alone.
TEST(SampleStore, ASampleThatCannotBeStoredLeavesNothingBehind) {
    const Sampling sampling(1);
    zu_allocator root("Dropping");
    zu_free(zu_alloc(100, &root, "s"), nullptr); // the class's page, cached: no heap call below
    zu_allocator handle(root, "sampled");
    allocator_impl* engine = zu_allocator_access::Engine(handle);
    struct Tables {
        std::size_t stacks = 0, sites = 0;
    };
    const auto tables = [] {
        SamplesCopy copy;
        EXPECT_TRUE(CopySamples(copy));
        EXPECT_EQ(copy.StackStarts.empty() ? 0 : copy.StackStarts.back(), copy.Frames.size())
            << "frames without their stack";
        return Tables{copy.StackStarts.size() - 1, copy.Sites.size()};
    };
    const auto attempt = [&handle](unsigned path, std::uint64_t k) {
        const HeapFault fault(k);
        return AllocOnPath(handle, path, 8);
    };
    const auto dropped = [engine](void* block) {
        EXPECT_EQ(OwnerOf(block), engine);
        return HeaderOf(block)->Owner == engine;
    };
    const std::size_t first = tables().stacks;
    std::optional<std::size_t> frames; // of every kept stack: all are 8 levels deep
    unsigned path = 0;
    while (tables().stacks < 2 * first + 2 && !HasFailure()) {
        const Tables before = tables();
        unsigned mine = path;
        void* block = nullptr;
        for (std::uint64_t k = 1; k < 64; ++k) {
            block = attempt(mine = path++, k);
            const Tables now = tables();
            if (!dropped(block) || now.stacks != before.stacks) {
                break;
            }
            EXPECT_EQ(now.sites, before.sites) << "k " << k;
            zu_free(block, nullptr);
        }
        ASSERT_EQ(tables().stacks, before.stacks + 1);
        std::uint64_t k = 1;
        for (; dropped(block) && k < 64; ++k) {
            EXPECT_EQ(tables().sites, before.sites) << "k " << k;
            zu_free(block, nullptr);
            block = attempt(mine, k);
        }
        ASSERT_FALSE(dropped(block));
        EXPECT_GT(k, 3u); // the live entry, the site, its table: each failed in turn
        auto shapes = SiteShapes(KeyOf(handle)); // earlier rounds' sites are empty
        shapes.erase(std::remove_if(shapes.begin(), shapes.end(),
                                    [](const auto& shape) { return shape.second == 0; }),
                     shapes.end());
        ASSERT_EQ(shapes.size(), 1u);
        EXPECT_EQ(shapes[0].second, 1.0);
        EXPECT_EQ(shapes[0].first, frames.value_or(shapes[0].first));
        frames = shapes[0].first;
        zu_free(block, nullptr);
        EXPECT_EQ(SitesOf(KeyOf(handle)).inUseBlocks, 0.0);
        // The block's place, made again by another engine, is that one's.
        void* again = zu_alloc(100, &root, "s");
        EXPECT_EQ(again, block);
        EXPECT_EQ(OwnerOf(again), zu_allocator_access::Engine(root));
        zu_free(again, nullptr);
    }
}

// Once the module lets go of the samples (it is going), nothing more is
// recorded and a copy holds nothing; blocks sampled before are freed as ever.
TEST(SampleStore, NothingIsRecordedOnceTheModuleLetsGo) {
    const Sampling sampling(1);
    zu_allocator root("Going");
    void* before = zu_alloc(64, &root, "before");
    ASSERT_NE(HeaderOf(before)->Owner, zu_allocator_access::Engine(root));
    EXPECT_FALSE(ReleaseSamples()); // not all of it: `before` is still sampled
    void* after = zu_alloc(64, &root, "after");
    EXPECT_EQ(HeaderOf(after)->Owner, zu_allocator_access::Engine(root));
    SamplesCopy copy;
    ASSERT_TRUE(CopySamples(copy));
    EXPECT_TRUE(copy.Sites.empty());
    EXPECT_TRUE(copy.Frames.empty());
    zu_free(after, nullptr);
    zu_free(before, nullptr);
    zu_allocator::Metrics metrics{};
    root.GetMetrics(metrics);
    EXPECT_EQ(metrics.CountCurrent, 0);
}

// A header that names the sampled blocks' engine on a block never sampled (a
// corrupted header) stops the process when the block is freed, with the
// block named.
TEST(SampleStoreDeathTest, AHeaderNamingTheSamplesOnABlockNeverSampledStops) {
    zu_allocator root("Corrupted");
    void* plain = zu_alloc(64, &root, "plain");
    void* sampled = nullptr;
    {
        const Sampling sampling(1);
        sampled = zu_alloc(64, &root, "sampled");
    }
    ASSERT_NE(HeaderOf(sampled)->Owner, zu_allocator_access::Engine(root));
    const auto corrupt = [&] {
        HeaderOf(plain)->Owner = HeaderOf(sampled)->Owner;
        zu_free(plain, nullptr);
    };
#if defined(_WIN32)
    EXPECT_DEATH(corrupt(), "names the sampled blocks' engine but was never sampled");
#else
    // Stopped by the abort, not by what would come after it.
    EXPECT_EXIT(corrupt(), ::testing::KilledBySignal(SIGABRT),
                "^dideverazez: block 0x[0-9a-f]+ names the sampled blocks' engine but was never "
                "sampled \\(a corrupted header\\)\n$");
#endif
    zu_free(sampled, nullptr);
    zu_free(plain, nullptr);
}

// A stack deeper than 64 frames keeps its innermost 64.
TEST(SampleStore, AStackKeepsItsInnermost64Frames) {
    const Sampling sampling(1);
    zu_allocator handle("Deep");
    void* shallow = AllocAtDepth(handle, 0);
    void* deep = AllocAtDepth(handle, 100);
    const auto shapes = SiteShapes(KeyOf(handle));
    ASSERT_EQ(shapes.size(), 2u);
    EXPECT_LT(shapes[0].first, 64u);
    EXPECT_EQ(shapes[1].first, 64u);
    zu_free(shallow, nullptr);
    zu_free(deep, nullptr);
}

// A copy waits for the samples' lock, or with `wait` false only tries it.
TEST(SampleStore, ACopyWaitsForTheLockUnlessAskedNot) {
    const Sampling sampling(1);
    zu_allocator handle("Copied");
    zu_free(zu_alloc(100, &handle, "s"), nullptr); // the samples exist
    SamplesCopy copy;
    std::atomic<int> step{0}; // 1: the lock is held; 2: the copy without waiting is done
    std::thread holder([&] {
        SamplesBeforeFork();
        step = 1;
        while (step.load() != 2) {
            std::this_thread::yield();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        SamplesAfterFork();
    });
    while (step.load() != 1) {
        std::this_thread::yield();
    }
    EXPECT_FALSE(CopySamples(copy, false));
    bool complete = true; // and so does a snapshot, which says it is not complete
    TakeSnapshot(dideverazez::GlobalAllocSizes(), false, &complete);
    EXPECT_FALSE(complete);
    step = 2;
    EXPECT_TRUE(CopySamples(copy)); // waits out the holder's 50 ms
    holder.join();
    EXPECT_TRUE(CopySamples(copy, false));
    TakeSnapshot(dideverazez::GlobalAllocSizes(), false, &complete);
    EXPECT_TRUE(complete);
}

} // namespace
