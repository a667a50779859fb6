// Threads on shared trees. Which test owns which rule:
//  - ConcurrencyStress.HandedOverBlocksAndAConcurrentReaderKeepExactCounters:
//    eight threads on three trees of three handles, blocks handed from thread
//    to thread and freed by another, their bytes checked before they go back,
//    while a reader takes metrics (which flush the trees' caches), writes
//    reports of the same engines and takes snapshots of everything, and
//    another thread builds, uses and destroys short-lived children of the
//    roots; afterwards every cumulative figure is what the threads did and
//    every current figure is zero.
//  - ConcurrencyStress.AWaiterPastItsSpinSleepsUntilTheTreeIsFree: the tree
//    lock's waiter.
// Run under ThreadSanitizer too; the suite's name starts with "Concurrency"
// so that its workflow selects it.

#include "engines/kdideverazez_impl.h"
#include "observe/SnapshotWriter.h"
#include "report/ReportStreams.h"
#include "support/ObserveSupport.h" // snapshots read handles recorded from the start
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <iterator>
#include <memory>
#include <mutex>
#include <random>
#include <sstream>
#include <thread>
#include <vector>

namespace {

using dideverazez::test::EngineOf;
using dideverazez::test::Of;

constexpr int kThreads = 8;
constexpr int kHandles = 9; // three trees: root, child, grandchild
constexpr std::size_t kSlots = 4096;

// Bytes a block is filled with, from its address and size.
unsigned char PatternOf(const void* block, std::size_t size) {
    const auto address = reinterpret_cast<std::uintptr_t>(block);
    return static_cast<unsigned char>((address >> 4) ^ size ^ 0x5a);
}

struct Block {
    void* p = nullptr;
    std::size_t size = 0;
};

struct Shared {
    std::vector<std::unique_ptr<zu_allocator>> handles;
    std::unique_ptr<std::atomic<Block*>[]> slots { new std::atomic<Block*>[ kSlots ]() };
    std::atomic<int> damaged{0}, wentDown{0};
    std::atomic<bool> done{false};
    // Per handle, what the threads did: pooled blocks (count, strides), heap
    // blocks (count, bytes), declared amounts (count, bytes).
    std::atomic<std::int64_t> tally[kHandles][6]{};

    Shared() {
        for (int i = 0; i < kHandles; ++i) {
            handles.push_back(i % 3 == 0
                                  ? std::make_unique<zu_allocator>("stress")
                                  : std::make_unique<zu_allocator>(*handles.back(), "stress"));
        }
    }
    ~Shared() {
        while (!handles.empty()) {
            handles.pop_back();
        }
    }
    void Release(Block* block) {
        const auto* bytes = static_cast<const unsigned char*>(block->p);
        if (bytes[0] != PatternOf(block->p, block->size) ||
            std::memcmp(bytes, bytes + 1, block->size - 1) != 0) {
            ++damaged;
        }
        zu_free(block->p, nullptr);
        delete block;
    }
};

void Worker(Shared& shared, int index, std::uint64_t operations) {
    static constexpr std::int64_t kClasses[] = {8,   16,  32,  48,  64,  80,  96,  128, 160,
                                                192, 224, 256, 320, 384, 512, 640, 768, 1024};
    std::mt19937_64 rng(0x5eed0000u + static_cast<unsigned>(index));
    for (std::uint64_t op = 0; op < operations; ++op) {
        const int h = static_cast<int>(rng() % kHandles);
        auto* tally = shared.tally[h];
        if (rng() % 10 == 0) { // a declared amount, taken back at once
            const std::uint64_t bytes = rng() % 100000;
            shared.handles[h]->IncMemoryUsed(bytes);
            shared.handles[h]->DecMemoryUsed(bytes);
            tally[4] += 1;
            tally[5] += static_cast<std::int64_t>(bytes);
            continue;
        }
        const unsigned octave = static_cast<unsigned>(rng() % 15);
        auto* block = new Block{nullptr, (std::size_t{1} << octave) + rng() % (1u << octave)};
        block->p = zu_alloc(block->size, shared.handles[h].get(), "stress");
        std::memset(block->p, PatternOf(block->p, block->size), block->size);
        const auto size = static_cast<std::int64_t>(block->size);
        const bool pooled = size <= 1024;
        tally[pooled ? 0 : 2] += 1;
        tally[pooled ? 1 : 3] +=
            pooled ? *std::lower_bound(std::begin(kClasses), std::end(kClasses), size) + 24
                   : size + 24;
        // Hand it to whichever thread takes this slot next.
        if (Block* old = shared.slots[rng() % kSlots].exchange(block)) {
            shared.Release(old);
        }
    }
}

// Metrics of every handle, in turn, and a report of one engine, until the
// workers are done. Cumulative and peak figures never go down.
void Reader(Shared& shared) {
    std::vector<zu_allocator::Metrics> last(kHandles);
    for (int round = 0; !shared.done.load(); ++round) {
        for (int i = 0; i < kHandles; ++i) {
            zu_allocator::Metrics now{};
            shared.handles[i]->GetMetrics(now);
            if (now.MemoryCumul < last[i].MemoryCumul || now.CountCumul < last[i].CountCumul ||
                now.MemoryPeak < last[i].MemoryPeak || now.SelfPeak < last[i].SelfPeak) {
                ++shared.wentDown;
            }
            last[i] = now;
        }
        const auto& engine =
            static_cast<const allocator_data&>(EngineOf(*shared.handles[round % kHandles]));
        std::ostringstream text;
        LmAlloc::XMLFileStream xml(text);
        xml.WriteAllocator(engine);
        for (const StatAlloc* stat : {&engine.GlobalStat, &engine.SelfStat, &engine.PageStat}) {
            xml.WriteStatistics(*stat, "stat");
            xml.FileStream::WriteStatistics(*stat, "stat");
        }
        xml.WriteMemoryManagers(*engine.Pool);
        xml.FileStream::WriteMemoryManagers(*engine.Pool);
        using namespace dideverazez::observe;
        if (ToJson(TakeSnapshot(dideverazez::GlobalAllocSizes())).empty()) {
            ++shared.wentDown;
        }
    }
}

// Short-lived children of the roots, each used once, until the workers are
// done: the trees' registrations change under the reader's snapshots.
void Churn(Shared& shared) {
    for (unsigned i = 0; !shared.done.load(); ++i) {
        zu_allocator child(*shared.handles[i % 3 * 3], "churn");
        zu_free(child.Alloc(i % 2000), nullptr);
    }
}

TEST(ConcurrencyStress, HandedOverBlocksAndAConcurrentReaderKeepExactCounters) {
    auto shared = std::make_unique<Shared>();
    std::thread reader(Reader, std::ref(*shared)), churn(Churn, std::ref(*shared));
    std::vector<std::thread> workers;
    for (int t = 0; t < kThreads; ++t) {
        workers.emplace_back(Worker, std::ref(*shared), t, dideverazez::test::Scaled(100'000));
    }
    for (std::thread& worker : workers) {
        worker.join();
    }
    shared->done = true;
    reader.join();
    churn.join();
    for (std::size_t i = 0; i < kSlots; ++i) {
        if (Block* block = shared->slots[i].exchange(nullptr)) {
            shared->Release(block);
        }
    }
    EXPECT_EQ(shared->damaged.load(), 0) << "blocks whose bytes changed while in use";
    EXPECT_EQ(shared->wentDown.load(), 0) << "cumulative or peak figures that went down";
    for (int i = 0; i < kHandles; ++i) {
        zu_allocator::Metrics metrics{};
        shared->handles[i]->GetMetrics(metrics); // frees the tree's cached pages
        const allocator_impl& e = EngineOf(*shared->handles[i]);
        const auto& t = shared->tally[i];
        EXPECT_EQ(Of(e.PooledStat.Counter)[2], t[0]) << i;
        EXPECT_EQ(Of(e.PooledStat.Memory)[2], t[1]) << i;
        EXPECT_EQ(Of(e.LargeStat.Counter)[2], t[2]) << i;
        EXPECT_EQ(Of(e.LargeStat.Memory)[2], t[3]) << i;
        EXPECT_EQ(Of(e.UsedStat.Counter)[2], t[4]) << i;
        EXPECT_EQ(Of(e.UsedStat.Memory)[2], t[5]) << i;
        EXPECT_TRUE(e.IsEmpty()) << i;
    }
}

// A thread that finds the tree lock held waits a bounded while, then sleeps on
// the mutex: held far longer than that, the waiter neither gives up nor goes
// in without it, and enters once it is released.
TEST(ConcurrencyStress, AWaiterPastItsSpinSleepsUntilTheTreeIsFree) {
    zu_allocator root("held");
    zu_allocator child(root, "waiter");
    std::mutex& treeLock = EngineOf(root).Mutex;
    std::atomic<void*> block{nullptr};
    treeLock.lock();
    std::thread waiter([&] { block = zu_alloc(64, &child, "waiter"); });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(block.load(), nullptr) << "allocated while another thread held the tree lock";
    treeLock.unlock();
    waiter.join();
    ASSERT_NE(block.load(), nullptr);
    const allocator_impl& engine = EngineOf(child);
    EXPECT_EQ(Of(engine.PooledStat.Counter)[0], 1);
    zu_free(block.load(), nullptr);
    EXPECT_TRUE(engine.IsEmpty());
}

} // namespace
