// What the accounting costs: this library's zu_alloc/zu_free next to the
// allocators a team would use instead, every row measured in the same process
// so that ratios against glibc's malloc+free hold within one run.
//
// Rows (the name is shape/heap[/bytes]):
//   pair      an alloc+free pair with 100 blocks of the same size held live,
//             so that a pooled page never empties (the steady state);
//   pingpong  the same pair with nothing else live;
//   batch-1k  10,000 blocks of 1..1024 bytes (fixed seed), freed in a
//             shuffled order; batch-64k the same with 1..65536 bytes;
//   large     pairs of 4 KiB and 64 KiB, 100 blocks held live;
//   floor     two uncontended std::mutex lock+unlock pairs, the locking that
//             the engine cannot avoid (it locks once to allocate, once to free);
//   threads   the steady pair on 1 and 2 threads, each thread on its own tree
//             (own-trees), and on 1, 2 and 4 threads all on one tree
//             (one-tree), each thread on a child of its own; glibc's pair on
//             as many threads; the floor on 1 and 2 threads, each thread with
//             its own mutex, which shows what the machine itself does to
//             uncontended locking on two cores; and the shared floor, the same
//             threads locking one shared std::mutex twice per pair;
//   cross     a producer thread allocating and a consumer thread freeing what
//             it made (zu_free, free), through a ring of 1,024 slots; and the
//             shared floor of those two threads, each locking one shared
//             std::mutex once per block, as the engine does.
// The counter "pairs" gives the alloc+free pairs in one iteration, so time per
// pair is the iteration time divided by it (for the thread rows, multiplied by
// the thread count too, since Google Benchmark reports their throughput).

#include "Heaps.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <random>
#include <string>
#include <vector>

namespace {

using namespace bench;

constexpr std::size_t kLive = 100;
constexpr std::size_t kBatch = 10000;
constexpr int kSmallSizes[] = {16, 64, 256, 1024};
constexpr int kLargeSizes[] = {4096, 65536};

// The sizes and the order of release of one batch pattern; the same for every
// heap of a run.
struct BatchPattern {
    std::vector<std::size_t> sizes;
    std::vector<std::size_t> releaseOrder;
};

BatchPattern MakeBatch(std::size_t largest, std::uint64_t seed) {
    std::mt19937_64 random(seed);
    std::uniform_int_distribution<std::size_t> size(1, largest);
    BatchPattern pattern;
    pattern.sizes.resize(kBatch);
    for (std::size_t& s : pattern.sizes) {
        s = size(random);
    }
    pattern.releaseOrder.resize(kBatch);
    for (std::size_t i = 0; i < kBatch; ++i) {
        pattern.releaseOrder[i] = i;
    }
    std::shuffle(pattern.releaseOrder.begin(), pattern.releaseOrder.end(), random);
    return pattern;
}

const BatchPattern& Batch1k() {
    static const BatchPattern pattern = MakeBatch(1024, 20240601);
    return pattern;
}

const BatchPattern& Batch64k() {
    static const BatchPattern pattern = MakeBatch(65536, 20240602);
    return pattern;
}

// One alloc+free pair per iteration with `kLive` blocks of the size live.
template <class Heap> void SteadyPair(benchmark::State& state, Heap& heap, std::size_t bytes) {
    std::array<void*, kLive> live{};
    for (void*& block : live) {
        block = heap.Alloc(bytes);
    }
    for (auto _ : state) {
        void* block = heap.Alloc(bytes);
        benchmark::DoNotOptimize(block);
        heap.Free(block, bytes);
    }
    for (void* block : live) {
        heap.Free(block, bytes);
    }
    state.counters["pairs"] = 1;
}

template <class Heap> void PingPong(benchmark::State& state, Heap& heap, std::size_t bytes) {
    for (auto _ : state) {
        void* block = heap.Alloc(bytes);
        benchmark::DoNotOptimize(block);
        heap.Free(block, bytes);
    }
    state.counters["pairs"] = 1;
}

template <class Heap>
void BatchRun(benchmark::State& state, Heap& heap, const BatchPattern& pattern) {
    std::vector<void*> blocks(kBatch);
    for (auto _ : state) {
        for (std::size_t i = 0; i < kBatch; ++i) {
            blocks[i] = heap.Alloc(pattern.sizes[i]);
        }
        benchmark::ClobberMemory();
        for (std::size_t i : pattern.releaseOrder) {
            heap.Free(blocks[i], pattern.sizes[i]);
        }
    }
    state.counters["pairs"] = kBatch;
}

// Registers every single-thread shape for one heap; `make` builds a fresh heap
// for each run of a row (a std::unique_ptr<Heap>).
template <class Make> void RegisterShapes(const std::string& name, Make make) {
    for (int bytes : kSmallSizes) {
        benchmark::RegisterBenchmark(("pair/" + name + "/" + std::to_string(bytes)).c_str(),
                                     [make, bytes](benchmark::State& state) {
                                         auto heap = make();
                                         SteadyPair(state, *heap, bytes);
                                     });
    }
    benchmark::RegisterBenchmark(("pingpong/" + name + "/64").c_str(),
                                 [make](benchmark::State& state) {
                                     auto heap = make();
                                     PingPong(state, *heap, 64);
                                 });
    benchmark::RegisterBenchmark(("batch-1k/" + name).c_str(), [make](benchmark::State& state) {
        auto heap = make();
        BatchRun(state, *heap, Batch1k());
    });
    benchmark::RegisterBenchmark(("batch-64k/" + name).c_str(), [make](benchmark::State& state) {
        auto heap = make();
        BatchRun(state, *heap, Batch64k());
    });
    for (int bytes : kLargeSizes) {
        benchmark::RegisterBenchmark(("large/" + name + "/" + std::to_string(bytes)).c_str(),
                                     [make, bytes](benchmark::State& state) {
                                         auto heap = make();
                                         SteadyPair(state, *heap, bytes);
                                     });
    }
}

// Depth 1 and depth 8 only differ for this library; its root and deep handles
// get the pair rows alone.
template <class Make> void RegisterPairsOnly(const std::string& name, Make make) {
    for (int bytes : kSmallSizes) {
        benchmark::RegisterBenchmark(("pair/" + name + "/" + std::to_string(bytes)).c_str(),
                                     [make, bytes](benchmark::State& state) {
                                         auto heap = make();
                                         SteadyPair(state, *heap, bytes);
                                     });
    }
}

std::mutex gFloorMutex;

void Floor(benchmark::State& state) {
    for (auto _ : state) {
        gFloorMutex.lock();
        gFloorMutex.unlock();
        gFloorMutex.lock();
        gFloorMutex.unlock();
    }
    state.counters["pairs"] = 1;
}

// One mutex per thread, each on its own cache lines.
struct alignas(128) ThreadMutex {
    std::mutex mutex;
};
ThreadMutex gThreadMutexes[2];
ThreadMutex gSharedMutex;

void ThreadsSharedFloor(benchmark::State& state) {
    for (auto _ : state) {
        for (int i = 0; i < 2; ++i) {
            gSharedMutex.mutex.lock();
            gSharedMutex.mutex.unlock();
        }
    }
    state.counters["pairs"] = 1;
}

// A single-producer, single-consumer ring of blocks between thread 0 and 1.
struct alignas(128) Ring {
    static constexpr std::size_t kSlots = 1024;
    std::atomic<void*> slots[kSlots] = {};
    alignas(128) std::size_t produced = 0; // the producer's alone
    alignas(128) std::size_t consumed = 0; // the consumer's alone
};
Ring gRing;

// Thread 0 makes a block with `make` and hands it over; thread 1 takes it and
// gives it to `take`. Each waits (spinning) while the ring is full or empty.
template <class Make, class Take>
void ProducerConsumer(benchmark::State& state, Make make, Take take) {
    Ring& ring = gRing;
    if (state.thread_index() == 0) {
        for (auto _ : state) {
            std::atomic<void*>& slot = ring.slots[ring.produced++ % Ring::kSlots];
            void* block = make();
            while (slot.load(std::memory_order_acquire) != nullptr) {
            }
            slot.store(block, std::memory_order_release);
        }
    } else {
        for (auto _ : state) {
            std::atomic<void*>& slot = ring.slots[ring.consumed++ % Ring::kSlots];
            void* block;
            while ((block = slot.exchange(nullptr, std::memory_order_acquire)) == nullptr) {
            }
            take(block);
        }
    }
    state.counters["pairs"] = 0.5; // two threads make one pair
}

// Two trees with one child each, and one tree with two children: built before
// any benchmark runs, since handles are built and destroyed by one thread at a
// time.
struct ThreadTrees {
    zu_allocator ownRoots[2] = {zu_allocator("thread-root-0"), zu_allocator("thread-root-1")};
    zu_allocator ownChildren[2] = {zu_allocator(ownRoots[0], "thread-child-0"),
                                   zu_allocator(ownRoots[1], "thread-child-1")};
    zu_allocator sharedRoot{"shared-root"};
    zu_allocator sharedChildren[4] = {
        zu_allocator(sharedRoot, "shared-child-0"), zu_allocator(sharedRoot, "shared-child-1"),
        zu_allocator(sharedRoot, "shared-child-2"), zu_allocator(sharedRoot, "shared-child-3")};
};

ThreadTrees& Trees() {
    static ThreadTrees trees;
    return trees;
}

struct HandleHeap {
    zu_allocator* handle;
    void* Alloc(std::size_t bytes) { return zu_alloc(bytes, handle, "bench"); }
    void Free(void* block, std::size_t) { zu_free(block, handle); }
};

void ThreadsOwnTrees(benchmark::State& state) {
    HandleHeap heap{&Trees().ownChildren[state.thread_index()]};
    SteadyPair(state, heap, 64);
}

void ThreadsOneTree(benchmark::State& state) {
    HandleHeap heap{&Trees().sharedChildren[state.thread_index()]};
    SteadyPair(state, heap, 64);
}

void CrossDideverazez(benchmark::State& state) {
    zu_allocator* producer = &Trees().sharedChildren[0];
    ProducerConsumer(
        state, [producer] { return zu_alloc(64, producer, "bench"); },
        [](void* block) { zu_free(block, nullptr); });
}

void CrossGlibc(benchmark::State& state) {
    ProducerConsumer(
        state, [] { return std::malloc(64); }, [](void* block) { std::free(block); });
}

void CrossSharedFloor(benchmark::State& state) {
    static char token;
    ProducerConsumer(
        state,
        [] {
            gSharedMutex.mutex.lock();
            gSharedMutex.mutex.unlock();
            return static_cast<void*>(&token);
        },
        [](void*) {
            gSharedMutex.mutex.lock();
            gSharedMutex.mutex.unlock();
        });
}

void ThreadsFloor(benchmark::State& state) {
    std::mutex& mutex = gThreadMutexes[state.thread_index()].mutex;
    for (auto _ : state) {
        mutex.lock();
        mutex.unlock();
        mutex.lock();
        mutex.unlock();
    }
    state.counters["pairs"] = 1;
}

void ThreadsGlibc(benchmark::State& state) {
    GlibcHeap heap;
    SteadyPair(state, heap, 64);
}

template <class Heap> auto Maker() {
    return [] { return std::make_unique<Heap>(); };
}

void RegisterAll() {
    RegisterShapes("glibc", Maker<GlibcHeap>());
    RegisterShapes("dideverazez", [] { return std::make_unique<DideverazezHeap>(1); });
    RegisterPairsOnly("dideverazez-root", [] { return std::make_unique<DideverazezHeap>(0); });
    RegisterPairsOnly("dideverazez-depth8", [] { return std::make_unique<DideverazezHeap>(8); });
    RegisterShapes("malloc+accounting", Maker<AccountingHeap>());
    RegisterShapes("pmr-unsync-pool", Maker<UnsynchronizedPoolHeap>());
    RegisterShapes("pmr-sync-pool", Maker<SynchronizedPoolHeap>());

    const LoadedPeers& peers = Peers();
    const std::pair<const char*, const LoadedHeap*> loaded[] = {{"jemalloc", &peers.jemalloc},
                                                                {"mimalloc", &peers.mimalloc},
                                                                {"tcmalloc", &peers.tcmalloc}};
    for (const auto& entry : loaded) {
        const LoadedHeap* heap = entry.second;
        if (heap->Loaded()) {
            RegisterShapes(entry.first, [heap] { return std::make_unique<LoadedHeap>(*heap); });
        }
    }
    if (peers.tallocNamedConst != nullptr && peers.tallocFree != nullptr) {
        RegisterShapes("talloc", Maker<TallocHeap>());
    }
    if (!peers.missing.empty()) {
        std::fprintf(stderr, "not measured (library not installed or not loadable): %s\n",
                     peers.missing.c_str());
        benchmark::AddCustomContext("peers_missing", peers.missing);
    }

    benchmark::RegisterBenchmark("floor/2-mutex-pairs", Floor);
    Trees();
    for (int threads : {1, 2}) {
        benchmark::RegisterBenchmark("threads/dideverazez-own-trees/64", ThreadsOwnTrees)
            ->Threads(threads)
            ->UseRealTime();
        benchmark::RegisterBenchmark("threads/floor/2-mutex-pairs", ThreadsFloor)
            ->Threads(threads)
            ->UseRealTime();
    }
    for (int threads : {1, 2, 4}) {
        benchmark::RegisterBenchmark("threads/dideverazez-one-tree/64", ThreadsOneTree)
            ->Threads(threads)
            ->UseRealTime();
        benchmark::RegisterBenchmark("threads/glibc/64", ThreadsGlibc)
            ->Threads(threads)
            ->UseRealTime();
        benchmark::RegisterBenchmark("threads/floor/shared-mutex", ThreadsSharedFloor)
            ->Threads(threads)
            ->UseRealTime();
    }
    using Run = void (*)(benchmark::State&);
    for (auto [name, run] :
         {std::pair<const char*, Run>{"cross/dideverazez/64", CrossDideverazez},
          std::pair<const char*, Run>{"cross/glibc/64", CrossGlibc},
          std::pair<const char*, Run>{"cross/floor/shared-mutex", CrossSharedFloor}}) {
        benchmark::RegisterBenchmark(name, run)->Threads(2)->UseRealTime();
    }
}

} // namespace

int main(int argc, char** argv) {
    EnsureRoomForJemalloc(argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    RegisterAll();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
