// The decision to sample (Tools/observe/Sampler.cpp). Which test owns which
// rule:
//  - Sampler.EstimatesAreUnbiasedAndTight: a sampled allocation stands for the
//    inverse of its chance, so that the mean over seeds is the truth, and one
//    point a window keeps each run's error within a window's worth; exact at 1.
//  - Sampler.ChangesNoCounter: a sampled block is freed through any handle or
//    none, and every figure is that of the same work unsampled.
//  - Sampler.ThreadsShareOneHandle: blocks sampled on one thread and freed on
//    another (under ThreadSanitizer).
// What the samples keep: sample_store_test.cpp; stacks around fork:
// fork_test.cpp; the program-level figures (two call sites, a leak named by
// `leaks`, the environment variable): observe.call_sites.

#include "observe/Sampler.h"
#include "support/ObserveSupport.h"
#include "support/TestSupport.h"

#include <cmath>
#include <thread>
#include <vector>

namespace {

using namespace dideverazez::observe;
using namespace dideverazez::test;

// Sizes from 1 byte to three windows of 4096, the same every time: blocks
// inside one window, across two, covering one.
std::vector<std::size_t> Sizes() {
    std::vector<std::size_t> sizes;
    std::uint64_t state = 7;
    for (int i = 0; i < 400; ++i) {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        const std::uint64_t r = state >> 33;
        sizes.push_back(i % 50 == 0 ? 4096 + r % 8192 : 1 + r % 1500);
    }
    return sizes;
}

TEST(Sampler, EstimatesAreUnbiasedAndTight) {
    const std::vector<std::size_t> sizes = Sizes();
    double truth[2] = {0, 0};
    for (std::size_t i = 0; i < sizes.size(); ++i) {
        truth[i % 3 == 0] += static_cast<double>(sizes[i]);
    }
    zu_allocator root("Sampled");
    zu_allocator a(root, "a"), b(root, "b"); // b takes every third block
    constexpr int kSeeds = 200;
    double sum[2] = {0, 0}, blocks[2] = {0, 0}, squares[2] = {0, 0};
    for (int seed = 1; seed <= kSeeds; ++seed) {
        const Sampling sampling(4096, static_cast<std::uint64_t>(seed));
        const Totals before[2] = {SitesOf(KeyOf(a)), SitesOf(KeyOf(b))};
        for (std::size_t i = 0; i < sizes.size(); ++i) {
            zu_allocator& handle = i % 3 == 0 ? b : a;
            zu_free(handle.Alloc(sizes[i]), &handle);
        }
        for (int h = 0; h < 2; ++h) {
            const Totals after = SitesOf(KeyOf(h ? b : a));
            const double bytes = after.bytes - before[h].bytes;
            sum[h] += bytes;
            blocks[h] += after.blocks - before[h].blocks;
            squares[h] += (bytes - truth[h]) * (bytes - truth[h]);
            EXPECT_NEAR(after.inUseBytes, 0, 1e-6);
        }
    }
    for (int h = 0; h < 2; ++h) {
        const double count = static_cast<double>(h ? (sizes.size() + 2) / 3 : sizes.size() * 2 / 3);
        EXPECT_NEAR(sum[h] / kSeeds / truth[h], 1.0, 0.01) << "handle " << h;
        EXPECT_NEAR(blocks[h] / kSeeds / count, 1.0, 0.03) << "handle " << h;
        // One point a window: where a window holds blocks of both handles
        // the point falls in one of them, so a run's error is smaller than
        // that of independent points (an exponential countdown), whose
        // standard error is sqrt(truth * 4096); over 200 runs theirs would
        // come within a few percent of it. (Longer runs of one site do far
        // better: observe.call_sites.)
        const double rms = std::sqrt(squares[h] / kSeeds);
        const double independent = std::sqrt(truth[h] * 4096);
        EXPECT_LT(rms, 0.85 * independent) << "handle " << h;
    }

    // At 1, every block for itself.
    const Sampling sampling(1);
    const Totals before = SitesOf(KeyOf(a));
    for (std::size_t size : sizes) {
        zu_free(a.Alloc(size), &a);
    }
    const Totals after = SitesOf(KeyOf(a));
    EXPECT_EQ(after.bytes - before.bytes, truth[0] + truth[1]);
    EXPECT_EQ(after.blocks - before.blocks, static_cast<double>(sizes.size()));
}

TEST(Sampler, ChangesNoCounter) {
    // The same work, sampled at every allocation and not at all.
    const auto work = [](bool sampled) {
        const Sampling sampling(sampled ? 1 : 0);
        zu_allocator root("Work");
        zu_allocator child(root, "child");
        zu_allocator other(root, "other");
        std::vector<void*> blocks;
        for (std::size_t size : {0, 1, 24, 100, 3000, 70000}) {
            blocks.push_back(zu_alloc(size, &child, "w"));
        }
        if (sampled) {
            allocator_impl* engine = zu_allocator_access::Engine(child);
            for (void* block : blocks) {
                if (block != blocks[0]) { // 0 bytes are never sampled
                    EXPECT_NE(HeaderOf(block)->Owner, engine);
                }
                EXPECT_EQ(OwnerOf(block), engine);
            }
            EXPECT_EQ(SitesOf(KeyOf(child)).inUseBlocks, 5.0);
        }
        zu_free(blocks[1], &other); // any handle, or none, frees a block
        zu_free(blocks[2], nullptr);
        for (std::size_t i = 3; i < blocks.size(); ++i) {
            zu_free(blocks[i], &child);
        }
        const std::vector<Triple> held = AllFigures(*zu_allocator_access::Engine(child));
        if (sampled) {
            EXPECT_EQ(SitesOf(KeyOf(child)).inUseBlocks, 0.0);
        }
        zu_free(blocks[0], &child);
        zu_allocator::Metrics metrics{};
        root.GetMetrics(metrics);
        return std::make_pair(held, metrics.MemoryPeak);
    };
    const auto [heldOff, peakOff] = work(false);
    const auto [heldOn, peakOn] = work(true);
    EXPECT_EQ(heldOn, heldOff);
    EXPECT_EQ(peakOn, peakOff);
}

TEST(Sampler, ThreadsShareOneHandle) {
    const Sampling sampling(64);
    zu_allocator root("Shared");
    zu_allocator handle(root, "blocks");
    constexpr int kThreads = 4, kBlocks = 2000;
    std::vector<std::vector<void*>> made(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kBlocks; ++i) {
                made[t].push_back(handle.Alloc(16 + static_cast<std::size_t>(i % 200)));
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    threads.clear();
    for (int t = 0; t < kThreads; ++t) { // each frees another's blocks
        threads.emplace_back([&, t] {
            for (void* block : made[(t + 1) % kThreads]) {
                zu_free(block, &handle);
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    const Totals totals = SitesOf(KeyOf(handle));
    EXPECT_NEAR(totals.inUseBlocks, 0, 1e-6);
    EXPECT_GT(totals.blocks, 0.0);
    zu_allocator::Metrics metrics{};
    handle.GetMetrics(metrics);
    EXPECT_EQ(metrics.CountCurrent, 0);
}

} // namespace
