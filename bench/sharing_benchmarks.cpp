// Threads sharing a tree, and blocks freed by other threads than the ones that
// made them: what each costs against the locking the engine cannot avoid and
// against the heaps a team would use instead, every row in one process.
//
// Rows (Threads(n), real time; time per pair is the iteration time times the
// thread count over the counter "pairs"):
//   shared/own-children/64   each of 2 threads on a child of its own of one
//                            root, 100 blocks of its own live (the steady pair);
//   shared/one-child/64      both threads on one child, 100 blocks each live;
//   shared/one-child-pingpong/64  both threads on one child, nothing else live;
//   shared/floor             two lock+unlock pairs of one std::mutex shared by
//                            the threads: the tree lock's own cost, the floor
//                            the three rows above are taken against;
//   handoff/HEAP/SHAPE       the shapes of bench/Handoff.h (producer-consumer,
//                            2x2, pool4): blocks freed by another thread than
//                            their maker; HEAP floor takes no block from any
//                            heap, only a lock of the maker's, once on each
//                            side: what the tree lock alone costs in the shape.
// For this library every thread of the handoff rows allocates through a tree
// of its own, as the preload library serves threads, and frees through none
// (zu_free(block, nullptr)): a freed block goes back to its maker's tree.
//
// Thread i of a row runs on processor i modulo the processors the process may
// use, so that two threads are always on two cores (the shape in which a tree
// shared between them costs most) and a row does not change shape between
// runs as the scheduler places its threads.
//
// The counter "switches" is the voluntary context switches per pair of the
// thread (getrusage): a thread that found a lock held and slept on it, or
// waited on an empty ring, gave up its core once.

#include "Handoff.h"
#include "Heaps.h"

#include <benchmark/benchmark.h>

#include <sched.h>
#include <sys/resource.h>

#include <array>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace {

using namespace bench;

constexpr std::size_t kLive = 100;

void PinThread(const benchmark::State& state) {
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    if (sched_getaffinity(0, sizeof allowed, &allowed) != 0 || CPU_COUNT(&allowed) == 0) {
        return;
    }
    int wanted = state.thread_index() % CPU_COUNT(&allowed);
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
        if (CPU_ISSET(cpu, &allowed) && wanted-- == 0) {
            cpu_set_t one;
            CPU_ZERO(&one);
            CPU_SET(cpu, &one);
            sched_setaffinity(0, sizeof one, &one);
            return;
        }
    }
}

// Restores the process's processors to a thread when a row ends: Google
// Benchmark runs the next row's first thread on the thread it started with.
struct Pinned {
    cpu_set_t before;
    bool saved;
    explicit Pinned(const benchmark::State& state)
        : saved(sched_getaffinity(0, sizeof before, &before) == 0) {
        PinThread(state);
    }
    ~Pinned() {
        if (saved) {
            sched_setaffinity(0, sizeof before, &before);
        }
    }
    Pinned(const Pinned&) = delete;
    Pinned& operator=(const Pinned&) = delete;
};

long VoluntarySwitches() {
    rusage usage{};
    getrusage(RUSAGE_THREAD, &usage);
    return usage.ru_nvcsw;
}

// Reports the calling thread's voluntary switches per pair since `start`.
void CountSwitches(benchmark::State& state, long start, double pairsPerIteration) {
    const double pairs = static_cast<double>(state.iterations()) * pairsPerIteration;
    state.counters["switches"] = benchmark::Counter(
        pairs > 0 ? static_cast<double>(VoluntarySwitches() - start) / pairs : 0.0,
        benchmark::Counter::kAvgThreads);
    state.counters["pairs"] = pairsPerIteration;
}

// One tree shared by every thread of the shared/ rows, and a tree of its own
// for each thread of the handoff rows. Built before any benchmark runs: handles
// are built and destroyed by one thread at a time.
struct Trees {
    zu_allocator sharedRoot{"shared-root"};
    zu_allocator ownChildren[2] = {zu_allocator(sharedRoot, "own-child-0"),
                                   zu_allocator(sharedRoot, "own-child-1")};
    zu_allocator oneChild{sharedRoot, "one-child"};
    zu_allocator threadRoots[4] = {zu_allocator("thread-0"), zu_allocator("thread-1"),
                                   zu_allocator("thread-2"), zu_allocator("thread-3")};
    zu_allocator threadBlocks[4] = {
        zu_allocator(threadRoots[0], "allocations"), zu_allocator(threadRoots[1], "allocations"),
        zu_allocator(threadRoots[2], "allocations"), zu_allocator(threadRoots[3], "allocations")};
};

Trees& TheTrees() {
    static Trees trees;
    return trees;
}

// 64-byte pairs through `handle` with `live` blocks of the thread's own held
// meanwhile (kLive: the steady pair; 0: ping-pong).
void Pairs(benchmark::State& state, zu_allocator* handle, std::size_t live) {
    const Pinned pinned(state);
    std::array<void*, kLive> held{};
    for (std::size_t i = 0; i < live; ++i) {
        held[i] = zu_alloc(64, handle, "bench");
    }
    const long start = VoluntarySwitches();
    for (auto _ : state) {
        void* block = zu_alloc(64, handle, "bench");
        benchmark::DoNotOptimize(block);
        zu_free(block, handle);
    }
    CountSwitches(state, start, 1);
    for (std::size_t i = 0; i < live; ++i) {
        zu_free(held[i], handle);
    }
}

void OwnChildren(benchmark::State& state) {
    Pairs(state, &TheTrees().ownChildren[state.thread_index()], kLive);
}

void OneChild(benchmark::State& state) {
    Pairs(state, &TheTrees().oneChild, kLive);
}

void OneChildPingPong(benchmark::State& state) {
    Pairs(state, &TheTrees().oneChild, 0);
}

struct alignas(128) SharedMutex {
    std::mutex mutex;
};
SharedMutex gShared;

void SharedFloor(benchmark::State& state) {
    const Pinned pinned(state);
    const long start = VoluntarySwitches();
    for (auto _ : state) {
        for (int i = 0; i < 2; ++i) {
            gShared.mutex.lock();
            gShared.mutex.unlock();
        }
    }
    CountSwitches(state, start, 1);
}

// ---------------------------------------------------------------------------
// Blocks handed between threads (bench/Handoff.h)

// A heap as the handoff rows use it: each thread allocates as `thread` and any
// thread frees.
struct Handoff {
    std::function<void*(int thread, std::size_t bytes)> alloc;
    std::function<void(void* block)> free;

    void* Alloc(int thread, std::size_t bytes) { return alloc(thread, bytes); }
    void Free(void* block) { free(block); }
};

using More = std::function<bool()>;
using Shape = void (*)(Handoff&, int, More);

void RegisterHandoff(const std::string& name, const Handoff& heap) {
    namespace handoff = bench::handoff;
    // Pairs a thread's step makes: half a pair for a producer's or a
    // consumer's step, three for a worker's.
    const struct {
        const char* name;
        Shape shape;
        int threads;
        double pairs;
    } shapes[] = {{"producer-consumer", handoff::ProducerConsumer<Handoff, More>, 2, 0.5},
                  {"2x2", handoff::TwoByTwo<Handoff, More>, 4, 0.5},
                  {"pool4", handoff::Pool4<Handoff, More>, 4, 3}};
    for (const auto& shape : shapes) {
        benchmark::RegisterBenchmark(("handoff/" + name + "/" + shape.name).c_str(),
                                     [heap, shape](benchmark::State& state) {
                                         const Pinned pinned(state);
                                         Handoff own = heap;
                                         const long start = VoluntarySwitches();
                                         shape.shape(own, state.thread_index(),
                                                     [&state] { return state.KeepRunning(); });
                                         CountSwitches(state, start, shape.pairs);
                                     })
            ->Threads(shape.threads)
            ->UseRealTime();
    }
}

// The floor of the handoff rows: no heap, only the lock a block's maker's tree
// would take, once to make it and once to free it. Blocks are slots of 1 KiB,
// taken in turn from a ring of its own for each thread (more than a shape ever
// has in flight), so that a slot's address names its maker.
struct LockOnlyHeap {
    static constexpr std::size_t kBlocks = 8192;
    static constexpr std::size_t kBlockBytes = 1024;
    struct alignas(128) Maker {
        std::mutex mutex;
        std::size_t next = 0;
    };
    Maker makers[4];
    std::unique_ptr<char[]> slots{new char[4 * kBlocks * kBlockBytes]};

    void* Alloc(int thread, std::size_t) {
        Maker& maker = makers[thread];
        maker.mutex.lock();
        maker.mutex.unlock();
        const std::size_t block = maker.next++ % kBlocks;
        return &slots[(static_cast<std::size_t>(thread) * kBlocks + block) * kBlockBytes];
    }
    void Free(void* block) {
        const auto at = static_cast<std::size_t>(static_cast<char*>(block) - slots.get());
        std::mutex& mutex = makers[at / (kBlocks * kBlockBytes)].mutex;
        mutex.lock();
        mutex.unlock();
    }
};

LockOnlyHeap& TheLockOnlyHeap() {
    static LockOnlyHeap heap;
    return heap;
}

void RegisterAll() {
    TheTrees();
    for (auto [name, body] : {std::pair<const char*, void (*)(benchmark::State&)>{
                                  "shared/own-children/64", OwnChildren},
                              {"shared/one-child/64", OneChild},
                              {"shared/one-child-pingpong/64", OneChildPingPong},
                              {"shared/floor", SharedFloor}}) {
        benchmark::RegisterBenchmark(name, body)->Threads(2)->UseRealTime();
    }

    RegisterHandoff("floor", {[](int thread, std::size_t bytes) {
                                  return TheLockOnlyHeap().Alloc(thread, bytes);
                              },
                              [](void* block) { TheLockOnlyHeap().Free(block); }});
    RegisterHandoff("glibc", {[](int, std::size_t bytes) { return std::malloc(bytes); },
                              [](void* block) { std::free(block); }});
    RegisterHandoff("dideverazez", {[](int thread, std::size_t bytes) {
                                        return zu_alloc(bytes, &TheTrees().threadBlocks[thread],
                                                        "bench");
                                    },
                                    [](void* block) { zu_free(block, nullptr); }});
    const LoadedPeers& peers = Peers();
    for (auto [name, loaded] :
         {std::pair<const char*, const LoadedHeap*>{"jemalloc", &peers.jemalloc},
          {"mimalloc", &peers.mimalloc}}) {
        if (loaded->Loaded()) {
            LoadedHeap heap = *loaded;
            RegisterHandoff(name, {[heap](int, std::size_t bytes) { return heap.alloc(bytes); },
                                   [heap](void* block) { heap.free(block); }});
        }
    }
    if (!peers.missing.empty()) {
        std::fprintf(stderr, "not measured (library not installed or not loadable): %s\n",
                     peers.missing.c_str());
        benchmark::AddCustomContext("peers_missing", peers.missing);
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
