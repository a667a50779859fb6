// Paged engines used from several threads at once: on one tree (serialised by
// the root's lock), on separate trees (nothing shared), with Flush and readers
// running beside the writers. The figures are exact once the threads have
// joined. Built and run under ThreadSanitizer too.

#include "engines/kdideverazez_impl.h"
#include "support/EngineFigures.h"

#include <gtest/gtest.h>

#include <atomic>
#include <barrier>
#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

namespace {

using namespace dideverazez::test;

constexpr int kThreads = 4;

// Runs `work(t)` on `count` threads, t = 0 .. count - 1, and joins them all.
template <class Work> void RunThreads(int count, Work work) {
    std::vector<std::thread> threads;
    for (int t = 0; t < count; ++t) {
        threads.emplace_back(work, t);
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
}

// Class indices of the requests below.
constexpr std::size_t k8 = 0, k32 = 2, k64 = 4, k128 = 7, k1024 = 17;

} // namespace

// Four threads, each with its own child and grandchild of one root, churn
// blocks of several classes, heap blocks, declared use and reservations; then
// each frees, after a barrier, the blocks its neighbour kept. Every figure that
// does not depend on the interleaving is exact afterwards.
TEST(PagedConcurrency, OneTreeManyThreads) {
    constexpr int kRounds = 2000; // a multiple of 4: each of the 4 sizes equally often
    constexpr int kKept = 64;
    allocator_data root("root", nullptr, false);
    std::vector<std::unique_ptr<allocator_data>> children;
    std::vector<std::unique_ptr<allocator_data>> grandchildren;
    for (int t = 0; t < kThreads; ++t) {
        children.push_back(std::make_unique<allocator_data>("child", &root, false));
        grandchildren.push_back(
            std::make_unique<allocator_data>("grandchild", children.back().get(), false));
    }
    std::vector<std::vector<void*>> kept(kThreads);
    std::barrier phase(kThreads);

    auto work = [&](int t) {
        allocator_data& e = *children[t];
        allocator_data& g = *grandchildren[t];
        const std::uint64_t sizes[4] = {8, 100, 1000, 3000};
        for (int i = 0; i < kRounds; ++i) {
            void* p = e.Alloc(sizes[i % 4], nullptr, nullptr);
            void* q = g.Alloc(50, nullptr, nullptr);
            e.IncMemoryUsed(7);
            g.Reserve(11);
            FreeBlock(p);
            FreeBlock(q);
            e.DecMemoryUsed(7);
            g.UnReserve(11);
        }
        for (int i = 0; i < kKept; ++i) {
            kept[t].push_back(e.Alloc(24, nullptr, nullptr));   // class 32, stride 56
            kept[t].push_back(g.Alloc(2000, nullptr, nullptr)); // heap, 2024
        }
        phase.arrive_and_wait();
        for (void* p : kept[(t + 1) % kThreads]) {
            FreeBlock(p); // blocks of another thread's engines
        }
    };
    RunThreads(kThreads, work);

    constexpr std::int64_t n = kRounds;
    constexpr std::int64_t q = kRounds / 4; // rounds per size
    for (int t = 0; t < kThreads; ++t) {
        SCOPED_TRACE(t);
        const allocator_data& e = *children[t];
        const allocator_data& g = *grandchildren[t];
        // e pooled: q * (32 + 152 + 1048) + 64 * 56 = 500 * 1232 + 3584 = 619584;
        // peak: the 64 kept blocks, 3584 (above the 1048 of one churned block).
        EXPECT_TRUE(StatIs(e.PooledStat, {0, 3584, 619584}, {0, kKept, 3 * q + kKept}));
        // e heap: q blocks of 3000 + 24 = 3024
        EXPECT_TRUE(StatIs(e.LargeStat, {0, 3024, q * 3024}, {0, 1, q}));
        EXPECT_TRUE(StatIs(e.UsedStat, {0, 7, 7 * n}, {0, 1, n}));
        // e self: 619584 + 500 * 3024 + 7 * 2000 = 619584 + 1512000 + 14000 = 2145584;
        // peak 3584 (kept) beats 3024 + 7 = 3031 (churn); items 2n + 64
        EXPECT_TRUE(StatIs(e.SelfStat, {0, 3584, 2145584}, {0, kKept, 2 * n + kKept}));
        // g self: n * 88 + n * 11 + 64 * 2024 = 176000 + 22000 + 129536 = 327536
        EXPECT_TRUE(StatIs(g.SelfStat, {0, 129536, 327536}, {0, kKept, 2 * n + kKept}));
        EXPECT_TRUE(StatIs(g.PooledStat, {0, 88, 88 * n}, {0, 1, n}));
        EXPECT_TRUE(StatIs(g.LargeStat, {0, 129536, 129536}, {0, kKept, kKept}));
        EXPECT_TRUE(ValueIs(g.ReservedStat, {0, 11, 11 * n}));
        // e global: its own and g's: 2145584 + 327536 = 2473120; peak
        // 64 * (56 + 2024) = 133120 above the churn's 3024 + 88 + 7 + 11 = 3130
        EXPECT_TRUE(StatIs(e.GlobalStat, {0, 133120, 2473120}, {0, 2 * kKept, 4 * n + 2 * kKept}));
        EXPECT_TRUE(e.IsEmpty());
        EXPECT_TRUE(g.IsEmpty());
    }
    PagedMemory& pool = root.OwnPool;
    EXPECT_TRUE(Sound(pool));
    const std::int64_t workers = kThreads;
    EXPECT_EQ(pool.Managers[k8].Blocks.Cumul, workers * q);
    EXPECT_EQ(pool.Managers[k128].Blocks.Cumul, workers * q);
    EXPECT_EQ(pool.Managers[k1024].Blocks.Cumul, workers * q);
    EXPECT_EQ(pool.Managers[k64].Blocks.Cumul, workers * n);
    EXPECT_EQ(pool.Managers[k32].Blocks.Cumul, workers * kKept);
    for (const MemoryManager& manager : pool.Managers) {
        EXPECT_EQ(manager.Blocks.Current, 0);
        EXPECT_EQ(manager.Pages.Current, 0);
    }
    EXPECT_TRUE(IsZero(root.PooledStat));
    EXPECT_EQ(root.LargeStat.Memory.Current, 0);
    root.Flush();
    EXPECT_EQ(pool.FreePageCount, 0u);
    EXPECT_EQ(root.GlobalStat.Memory.Current, 0);
    EXPECT_EQ(root.GlobalStat.Counter.Current, 0);
    EXPECT_TRUE(root.IsEmpty());
}

// Threads allocating and freeing through one shared engine, each freeing blocks
// the others allocated: the shared engine's Current and Cumul are exact.
TEST(PagedConcurrency, SharedEngineAndCrossThreadFrees) {
    constexpr int kBlocks = 3000;
    allocator_data root("root", nullptr, false);
    allocator_data shared("shared", &root, false);
    std::vector<std::vector<void*>> made(kThreads);
    std::barrier phase(kThreads);
    auto work = [&](int t) {
        for (int i = 0; i < kBlocks; ++i) {
            // pooled at 16 + 24 = 40; every 100th from the heap at 1100 + 24 = 1124
            const std::uint64_t size = i % 100 == 99 ? 1100 : 16;
            made[t].push_back(shared.Alloc(size, nullptr, nullptr));
        }
        phase.arrive_and_wait();
        for (void* p : made[(t + 2) % kThreads]) {
            FreeBlock(p);
        }
    };
    RunThreads(kThreads, work);
    // Per thread: 30 heap blocks of 1124 and 2970 pooled of 40.
    // Pooled: 4 * 2970 * 40 = 475200; heap: 4 * 30 * 1124 = 134880.
    // Every block was in use at the barrier, so the peaks are the totals.
    EXPECT_TRUE(StatIs(shared.PooledStat, {0, 475200, 475200}, {0, 11880, 11880}));
    EXPECT_TRUE(StatIs(shared.LargeStat, {0, 134880, 134880}, {0, 120, 120}));
    EXPECT_TRUE(StatIs(shared.SelfStat, {0, 610080, 610080}, {0, 12000, 12000}));
    EXPECT_TRUE(StatIs(shared.GlobalStat, {0, 610080, 610080}, {0, 12000, 12000}));
    // The root holds the pages: 11880 blocks of the 16-byte class, 99 a page,
    // take 120 pages; all four emptied last are cached.
    EXPECT_TRUE(StatIs(root.PageStat, {4 * 4036, 120 * 4036, 120 * 4036}, {4, 120, 120}));
    EXPECT_TRUE(Sound(root.OwnPool));
    root.Flush();
    EXPECT_TRUE(root.IsEmpty());
}

// Separate trees on separate threads share nothing: each tree's figures are
// those of the same sequence run alone, peaks and pages included.
TEST(PagedConcurrency, SeparateTrees) {
    constexpr int kRounds = 200;
    std::vector<std::unique_ptr<PagedTree>> trees;
    for (int t = 0; t < kThreads; ++t) {
        trees.push_back(std::make_unique<PagedTree>());
    }
    auto work = [&](int t) {
        allocator_data& child = trees[t]->child;
        std::vector<void*> blocks;
        for (int round = 0; round < kRounds; ++round) {
            for (int i = 0; i < 30; ++i) {
                blocks.push_back(child.Alloc(100, nullptr, nullptr)); // 152 each
            }
            blocks.push_back(child.Alloc(2000, nullptr, nullptr)); // 2024
            blocks.push_back(child.Alloc(2000, nullptr, nullptr));
            child.IncMemoryUsed(10);
            for (void* p : blocks) {
                child.Free(p);
            }
            blocks.clear();
            child.DecMemoryUsed(10);
        }
    };
    RunThreads(kThreads, work);
    constexpr std::int64_t r = kRounds;
    for (int t = 0; t < kThreads; ++t) {
        SCOPED_TRACE(t);
        const allocator_data& child = trees[t]->child;
        const allocator_data& root = trees[t]->root;
        // 30 * 152 = 4560 a round
        EXPECT_TRUE(StatIs(child.PooledStat, {0, 4560, 4560 * r}, {0, 30, 30 * r}));
        EXPECT_TRUE(StatIs(child.LargeStat, {0, 4048, 4048 * r}, {0, 2, 2 * r})); // 2 * 2024
        EXPECT_TRUE(StatIs(child.UsedStat, {0, 10, 10 * r}, {0, 1, r}));
        // 4560 + 4048 + 10 = 8618 a round, 33 items
        EXPECT_TRUE(StatIs(child.SelfStat, {0, 8618, 8618 * r}, {0, 33, 33 * r}));
        EXPECT_TRUE(StatIs(child.GlobalStat, {0, 8618, 8618 * r}, {0, 33, 33 * r}));
        // 30 blocks of 26 a page need 2 pages, taken once and cached between
        // rounds: 8072 held for good.
        EXPECT_TRUE(StatIs(root.PageStat, {8072, 8072, 8072}, {2, 2, 2}));
        // root global: pages, then 4048 of heap blocks and 10 declared each round
        // on top: peak 8072 + 4058 = 12130; cumul 8072 + 4058 * r
        EXPECT_TRUE(StatIs(root.GlobalStat, {8072, 12130, 8072 + 4058 * r}, {2, 5, 2 + 3 * r}));
        EXPECT_TRUE(Sound(root.OwnPool));
    }
}

// Flush running on one thread while others allocate and free on the same tree
// releases the cached pages under the tree lock: the pool stays sound and the
// root ends with nothing held.
TEST(PagedConcurrency, FlushBesideAllocations) {
    constexpr int kRounds = 3000;
    PagedTree tree;
    allocator_data& root = tree.root;
    allocator_data& child = tree.child;
    allocator_data& grandchild = tree.grandchild;
    std::atomic<bool> done{false};
    std::thread flusher([&] {
        while (!done.load()) {
            grandchild.Flush();
            child.Flush();
        }
    });
    auto work = [&](int t) {
        allocator_data& engine = t % 2 == 0 ? child : grandchild;
        for (int i = 0; i < kRounds; ++i) {
            // a lone block empties its page at once, so pages keep entering the
            // cache for the flusher to take
            void* p = engine.Alloc(static_cast<std::uint64_t>(64 * (t + 1)), nullptr, nullptr);
            FreeBlock(p);
        }
    };
    RunThreads(kThreads - 1, work);
    done.store(true);
    flusher.join();
    root.Flush();
    EXPECT_TRUE(Sound(root.OwnPool));
    EXPECT_TRUE(root.IsEmpty());
    // threads 0 and 2 on the child, 1 on the grandchild, 3000 blocks each
    EXPECT_EQ(child.PooledStat.Counter.Cumul, 2 * kRounds);
    EXPECT_EQ(grandchild.PooledStat.Counter.Cumul, kRounds);
    EXPECT_EQ(child.GlobalStat.Counter.Cumul, 3 * kRounds);
    EXPECT_TRUE(child.IsEmpty());
    EXPECT_TRUE(grandchild.IsEmpty());
}

// Readers looking at the figures without the lock while writers change them
// see Peak and Cumul only grow.
TEST(PagedConcurrency, ReadersBesideWriters) {
    constexpr int kRounds = 5000;
    allocator_data root("root", nullptr, false);
    allocator_data child("child", &root, false);
    std::atomic<bool> done{false};
    std::atomic<int> regressions{0};
    std::thread reader([&] {
        StatAlloc last{};
        while (!done.load()) {
            const StatAlloc now = child.PooledStat.Load();
            if (now.Memory.Cumul < last.Memory.Cumul || now.Memory.Peak < last.Memory.Peak ||
                now.Counter.Cumul < last.Counter.Cumul) {
                regressions.fetch_add(1);
            }
            last = now;
            (void)root.GlobalStat.Load(); // pages change under the writers too
        }
    });
    RunThreads(2, [&](int) {
        for (int i = 0; i < kRounds; ++i) {
            void* p = child.Alloc(32, nullptr, nullptr); // 56
            child.Reserve(5);
            child.UnReserve(5);
            FreeBlock(p);
        }
    });
    done.store(true);
    reader.join();
    EXPECT_EQ(regressions.load(), 0);
    // 2 * 5000 blocks of 56
    EXPECT_EQ(child.PooledStat.Memory.Cumul, 560000);
    EXPECT_EQ(child.ReservedStat.Cumul, 50000); // 2 * 5000 * 5
    EXPECT_TRUE(child.IsEmpty());
}
