// Many threads on a few trees: blocks handed from thread to thread and freed
// by another, every block's bytes checked before it goes back, while a reader
// takes metrics and writes reports of the same engines. Afterwards every
// cumulative figure equals what the threads did and every current figure is
// zero.
//
// The suite's name starts with "Concurrency" so that the ThreadSanitizer
// workflow selects it.

#include "ReliabilitySupport.h"
#include "XmlCheck.h"

#include "engines/kdideverazez_impl.h"
#include "handle/Internals.h"
#include "handle/dideverazez.h"
#include "report/ReportStreams.h"
#include "statistics/AllocSizes.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstring>
#include <memory>
#include <random>
#include <sstream>
#include <thread>
#include <vector>

namespace {

using dideverazez::reliability::Scaled;

constexpr int kThreads = 8;
constexpr std::uint64_t kOperationsPerThread = 100'000;
constexpr int kTrees = 3;
constexpr int kHandlesPerTree = 3; // a root, its child and its grandchild
constexpr int kHandles = kTrees * kHandlesPerTree;
constexpr std::size_t kTransferSlots = 4096;
constexpr std::size_t kLocalSlots = 32;

constexpr const char* kNames[kHandles] = {"tree0", "tree0-child", "tree0-grandchild",
                                          "tree1", "tree1-child", "tree1-grandchild",
                                          "tree2", "tree2-child", "tree2-grandchild"};

// The documented stride of a pooled request: its class size + 24.
std::int64_t PooledStride(std::size_t size) {
    static constexpr std::size_t kClasses[] = {8,   16,  32,  48,  64,  80,  96,  128, 160,
                                               192, 224, 256, 320, 384, 512, 640, 768, 1024};
    for (std::size_t cls : kClasses) {
        if (cls >= size) {
            return static_cast<std::int64_t>(cls + 24);
        }
    }
    return -1;
}

// A block's bytes: one value derived from its address and size.
unsigned char PatternOf(const void* block, std::size_t size) {
    const auto address = reinterpret_cast<std::uintptr_t>(block);
    return static_cast<unsigned char>((address >> 4) ^ (address >> 12) ^ size ^ 0x5a);
}

void Fill(void* block, std::size_t size) {
    std::memset(block, PatternOf(block, size), size);
}

// The first byte holds the pattern, and every byte equals the one before it.
bool Intact(const void* block, std::size_t size) {
    const auto* bytes = static_cast<const unsigned char*>(block);
    return bytes[0] == PatternOf(block, size) && std::memcmp(bytes, bytes + 1, size - 1) == 0;
}

// A block and its size in one word, for the transfer array: user space
// addresses are below 2^47 and 8-byte aligned, sizes below 2^17.
std::uint64_t Pack(void* block, std::size_t size) {
    return (reinterpret_cast<std::uintptr_t>(block) >> 3) << 17 | size;
}
void* BlockOf(std::uint64_t packed) {
    return reinterpret_cast<void*>(static_cast<std::uintptr_t>(packed >> 17) << 3);
}
std::size_t SizeOf(std::uint64_t packed) {
    return packed & ((1u << 17) - 1);
}

// What the threads did through one handle.
struct Tally {
    std::int64_t pooledCount = 0, pooledBytes = 0;
    std::int64_t heapCount = 0, heapBytes = 0;
    std::int64_t usedCount = 0, usedBytes = 0;
    std::int64_t reserveCount = 0, reserveBytes = 0;

    void Add(const Tally& other) {
        pooledCount += other.pooledCount;
        pooledBytes += other.pooledBytes;
        heapCount += other.heapCount;
        heapBytes += other.heapBytes;
        usedCount += other.usedCount;
        usedBytes += other.usedBytes;
        reserveCount += other.reserveCount;
        reserveBytes += other.reserveBytes;
    }
};

struct Forest {
    std::vector<std::unique_ptr<zu_allocator>> handles;
    Forest() {
        for (int tree = 0; tree < kTrees; ++tree) {
            handles.push_back(std::make_unique<zu_allocator>(kNames[tree * kHandlesPerTree]));
            for (int depth = 1; depth < kHandlesPerTree; ++depth) {
                zu_allocator& parent = *handles.back();
                handles.push_back(
                    std::make_unique<zu_allocator>(parent, kNames[tree * kHandlesPerTree + depth]));
            }
        }
    }
    ~Forest() {
        for (auto handle = handles.rbegin(); handle != handles.rend(); ++handle) {
            handle->reset();
        }
    }
    allocator_impl& Engine(int i) const { return *zu_allocator_access::Engine(*handles[i]); }
};

struct Shared {
    Forest forest;
    std::array<std::atomic<std::uint64_t>, kTransferSlots> slots{};
    std::atomic<std::uint64_t> damaged{0};
    std::atomic<bool> done{false};
};

std::size_t LogUniformSize(std::mt19937_64& rng) {
    const unsigned octave = static_cast<unsigned>(rng() % 16); // [2^octave, 2^(octave+1))
    return (std::size_t{1} << octave) + rng() % (std::size_t{1} << octave);
}

void CheckAndFree(Shared& shared, void* block, std::size_t size) {
    if (!Intact(block, size)) {
        shared.damaged.fetch_add(1, std::memory_order_relaxed);
    }
    zu_free(block, nullptr);
}

void Worker(Shared& shared, int index, std::uint64_t operations,
            std::array<Tally, kHandles>& tallies) {
    std::mt19937_64 rng(0x5eed0000u + static_cast<unsigned>(index));
    std::array<std::uint64_t, kLocalSlots> local{};
    auto allocate = [&](std::size_t& size) {
        const int handle = static_cast<int>(rng() % kHandles);
        size = LogUniformSize(rng);
        void* block = zu_alloc(size, shared.forest.handles[handle].get(), "stress");
        Tally& tally = tallies[handle];
        if (size <= 1024) {
            ++tally.pooledCount;
            tally.pooledBytes += PooledStride(size);
        } else {
            ++tally.heapCount;
            tally.heapBytes += static_cast<std::int64_t>(size + 24);
        }
        Fill(block, size);
        return block;
    };
    for (std::uint64_t op = 0; op < operations; ++op) {
        const unsigned roll = static_cast<unsigned>(rng() % 100);
        if (roll < 60) {
            // Hand a block to whichever thread takes this slot next.
            std::size_t size = 0;
            void* block = allocate(size);
            const std::uint64_t old = shared.slots[rng() % kTransferSlots].exchange(
                Pack(block, size), std::memory_order_acq_rel);
            if (old != 0) {
                CheckAndFree(shared, BlockOf(old), SizeOf(old));
            }
        } else if (roll < 90) {
            std::size_t size = 0;
            void* block = allocate(size);
            std::uint64_t& slot = local[rng() % kLocalSlots];
            if (slot != 0) {
                CheckAndFree(shared, BlockOf(slot), SizeOf(slot));
            }
            slot = Pack(block, size);
        } else {
            const int handle = static_cast<int>(rng() % kHandles);
            zu_allocator& target = *shared.forest.handles[handle];
            const std::size_t bytes = rng() % 100000;
            Tally& tally = tallies[handle];
            if (roll < 95) {
                target.IncMemoryUsed(bytes);
                target.DecMemoryUsed(bytes);
                ++tally.usedCount;
                tally.usedBytes += static_cast<std::int64_t>(bytes);
            } else {
                target.Reserve(bytes);
                target.UnReserve(bytes);
                ++tally.reserveCount;
                tally.reserveBytes += static_cast<std::int64_t>(bytes);
            }
        }
    }
    for (std::uint64_t slot : local) {
        if (slot != 0) {
            CheckAndFree(shared, BlockOf(slot), SizeOf(slot));
        }
    }
}

struct ReaderResult {
    std::uint64_t rounds = 0;
    std::uint64_t reports = 0;
    std::uint64_t wentDown = 0;
    std::uint64_t timeChanged = 0;
    std::uint64_t xmlChecked = 0;
    std::uint64_t xmlMalformed = 0;
};

// Reads metrics of every handle in turn and writes text and XML reports of
// their engines, until the workers are done.
void Reader(Shared& shared, const AllocSizes& sizes, ReaderResult& result) {
    std::array<zu_allocator::Metrics, kHandles> last{};
    std::array<bool, kHandles> seen{};
    do {
        for (int i = 0; i < kHandles; ++i) {
            zu_allocator::Metrics now{};
            shared.forest.handles[i]->GetMetrics(now);
            if (seen[i]) {
                const zu_allocator::Metrics& before = last[i];
                if (now.MemoryCumul < before.MemoryCumul || now.CountCumul < before.CountCumul ||
                    now.MemoryPeak < before.MemoryPeak || now.SelfPeak < before.SelfPeak) {
                    ++result.wentDown;
                }
                if (now.TimeTotal != before.TimeTotal) {
                    ++result.timeChanged;
                }
            }
            last[i] = now;
            seen[i] = true;
        }
        const int pick = static_cast<int>(result.rounds % kHandles);
        const allocator_impl& engine = shared.forest.Engine(pick);
        std::ostringstream text;
        std::ostringstream xml;
        LmAlloc::FileStream textStream(text);
        LmAlloc::XMLFileStream xmlStream(xml);
        for (LmAlloc::OutputStream* stream : {static_cast<LmAlloc::OutputStream*>(&textStream),
                                              static_cast<LmAlloc::OutputStream*>(&xmlStream)}) {
            stream->BeginReport();
            stream->WriteAllocator(engine);
            stream->WriteStatistics(engine.GlobalStat, "GlobalStat");
            stream->WriteStatistics(engine.SelfStat, "SelfStat");
            stream->WriteStatistics(engine.LargeStat, "LargeStat");
            stream->WriteStatistics(engine.UsedStat, "UsedStat");
            stream->WriteStatistics(engine.PageStat, "PageStat");
            stream->WriteStatistics(engine.PooledStat, "PooledStat");
            stream->WriteProcessFigures(engine.Process, 0);
            stream->WriteMemoryManagers(static_cast<const allocator_data&>(engine).OwnPool);
            stream->WriteAllocSizes(sizes);
            stream->EndReport();
            ++result.reports;
        }
        // Reports written while the figures change are still well-formed.
        if (result.rounds % 8 == 0) {
            ++result.xmlChecked;
            const std::string document = "<REPORT>\n" + xml.str() + "</REPORT>\n";
            if (!dideverazez::reliability::ParseXml(document).error.empty()) {
                ++result.xmlMalformed;
            }
        }
        ++result.rounds;
    } while (!shared.done.load(std::memory_order_acquire));
}

// At least 8 threads of 100,000 operations over three trees of three handles,
// blocks handed between threads and freed by another, a reader taking metrics
// and reports meanwhile: cumulative figures never go down, every block comes
// back intact, and afterwards every figure is exact and every current figure
// zero.
TEST(ConcurrencyStress, HandedOverBlocksAndConcurrentReadersKeepExactFigures) {
    auto shared = std::make_unique<Shared>();
    const std::uint64_t operations = Scaled(kOperationsPerThread);
    std::vector<std::array<Tally, kHandles>> tallies(kThreads);
    ReaderResult reader;
    // The reports' histogram takes its storage from a tree of its own, so that
    // the stressed trees' figures are the workers' alone.
    zu_allocator sizesRoot("stress-sizes");
    AllocSizes sizes("stress", &sizesRoot);
    sizes.Record(100);
    sizes.Record(5000);
    sizes.RecordPage();
    {
        std::thread readerThread(Reader, std::ref(*shared), std::cref(sizes), std::ref(reader));
        std::vector<std::thread> workers;
        for (int t = 0; t < kThreads; ++t) {
            workers.emplace_back(Worker, std::ref(*shared), t, operations, std::ref(tallies[t]));
        }
        for (std::thread& worker : workers) {
            worker.join();
        }
        shared->done.store(true, std::memory_order_release);
        readerThread.join();
    }
    for (std::atomic<std::uint64_t>& slot : shared->slots) {
        const std::uint64_t packed = slot.exchange(0);
        if (packed != 0) {
            CheckAndFree(*shared, BlockOf(packed), SizeOf(packed));
        }
    }
    EXPECT_EQ(shared->damaged.load(), 0u) << "blocks whose bytes changed while in use";
    EXPECT_EQ(reader.wentDown, 0u) << "cumulative or peak figures that went down";
    EXPECT_EQ(reader.timeChanged, 0u) << "time figures that changed after the first read";
    EXPECT_GT(reader.rounds, 0u);
    EXPECT_EQ(reader.xmlMalformed, 0u) << "of " << reader.xmlChecked << " XML reports checked";

    std::array<Tally, kHandles> total{};
    for (const auto& perThread : tallies) {
        for (int i = 0; i < kHandles; ++i) {
            total[i].Add(perThread[i]);
        }
    }
    for (int i = 0; i < kHandles; ++i) {
        zu_allocator::Metrics metrics{};
        shared->forest.handles[i]->GetMetrics(metrics); // flushes the tree's cache
        SCOPED_TRACE(kNames[i]);
        const allocator_impl& engine = shared->forest.Engine(i);
        const bool root = i % kHandlesPerTree == 0;
        const Tally& own = total[i];
        const StatAlloc pooled = engine.PooledStat.Load();
        const StatAlloc large = engine.LargeStat.Load();
        const StatAlloc used = engine.UsedStat.Load();
        const StatAlloc self = engine.SelfStat.Load();
        const StatAlloc pages = engine.PageStat.Load();
        const StatAlloc global = engine.GlobalStat.Load();
        EXPECT_EQ(pooled.Counter.Cumul, own.pooledCount);
        EXPECT_EQ(pooled.Memory.Cumul, own.pooledBytes);
        EXPECT_EQ(large.Counter.Cumul, own.heapCount);
        EXPECT_EQ(large.Memory.Cumul, own.heapBytes);
        EXPECT_EQ(used.Counter.Cumul, own.usedCount);
        EXPECT_EQ(used.Memory.Cumul, own.usedBytes);
        EXPECT_EQ(engine.ReservedStat.Load().Cumul, own.reserveBytes);
        // A root's own charges are its pages, its heap blocks and its declared
        // amounts; a child's add its pooled blocks (at their stride).
        const std::int64_t declaredCount = own.usedCount + own.reserveCount;
        const std::int64_t declaredBytes = own.usedBytes + own.reserveBytes;
        std::int64_t selfCount = own.heapCount + declaredCount;
        std::int64_t selfBytes = own.heapBytes + declaredBytes;
        if (root) {
            selfCount += pages.Counter.Cumul;
            selfBytes += pages.Memory.Cumul;
        } else {
            selfCount += own.pooledCount;
            selfBytes += own.pooledBytes;
            EXPECT_EQ(pages.Counter.Cumul, 0);
        }
        EXPECT_EQ(self.Counter.Cumul, selfCount);
        EXPECT_EQ(self.Memory.Cumul, selfBytes);
        // The subtree: this engine's own charges, and its descendants' heap
        // blocks and declared amounts, and their pooled blocks unless this is
        // the root (which holds the pages instead).
        std::int64_t globalCount = selfCount;
        std::int64_t globalBytes = selfBytes;
        for (int d = i + 1; d % kHandlesPerTree != 0; ++d) {
            const Tally& below = total[d];
            globalCount += below.heapCount + below.usedCount + below.reserveCount;
            globalBytes += below.heapBytes + below.usedBytes + below.reserveBytes;
            if (!root) {
                globalCount += below.pooledCount;
                globalBytes += below.pooledBytes;
            }
        }
        EXPECT_EQ(global.Counter.Cumul, globalCount);
        EXPECT_EQ(global.Memory.Cumul, globalBytes);
        EXPECT_EQ(metrics.MemoryCumul, globalBytes);
        EXPECT_EQ(metrics.CountCumul, globalCount);
        // Everything went back.
        EXPECT_EQ(metrics.MemoryCurrent, 0);
        EXPECT_EQ(metrics.CountCurrent, 0);
        EXPECT_TRUE(engine.IsEmpty());
        if (root) {
            const PagedMemory& pool = static_cast<const allocator_data&>(engine).OwnPool;
            EXPECT_EQ(pool.FreePageCount, 0u);
            EXPECT_EQ(pool.CheckInvariants(), nullptr);
            for (const MemoryManager& manager : pool.Managers) {
                EXPECT_EQ(manager.Blocks.Load().Current, 0);
                EXPECT_EQ(manager.Pages.Load().Current, 0);
            }
        }
    }
    RecordProperty("threads", kThreads);
    RecordProperty("operations_per_thread", std::to_string(operations));
    RecordProperty("reader_rounds", std::to_string(reader.rounds));
    RecordProperty("reports_written", std::to_string(reader.reports));
}

} // namespace
