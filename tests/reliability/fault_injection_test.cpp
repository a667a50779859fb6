// Failures of the C heap: every heap call of a fixed sequence made to fail in
// turn, a real exhaustion under an address-space limit, and requests no heap
// can serve.

#include "ReliabilitySupport.h"

#include "engines/kdideverazez_impl.h"
#include "handle/Internals.h"
#include "handle/dideverazez.h"
#include "statistics/AllocSizes.h"

#include <gtest/gtest.h>

#if !defined(_WIN32)
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

// Requests no heap can hold must come back from malloc as null, so that the
// library's own failure path runs; the sanitizers' allocators abort on them
// unless told otherwise. This executable tells them, however it is started;
// options given in the environment still take precedence.
#if defined(DIDEVERAZEZ_SHADOW_SANITIZER)
extern "C" const char* __asan_default_options() {
    return "allocator_may_return_null=1";
}
extern "C" const char* __tsan_default_options() {
    return "allocator_may_return_null=1";
}
#endif

namespace {

using dideverazez::reliability::UnderSanitizerOrValgrind;
namespace seams = dideverazez::testing;

allocator_impl& EngineOf(const zu_allocator& handle) {
    return *zu_allocator_access::Engine(handle);
}

void Render(std::ostream& out, const char* name, const StatValue& value) {
    out << ' ' << name << '{' << value.Current << ',' << value.Peak << ',' << value.Cumul << '}';
}

void Render(std::ostream& out, const char* name, const StatAlloc& stat) {
    out << ' ' << name;
    Render(out, "m", stat.Memory);
    Render(out, "c", stat.Counter);
}

void RenderEngine(std::ostream& out, const char* label, const allocator_impl& engine) {
    out << label << ':';
    Render(out, "Global", engine.GlobalStat.Load());
    Render(out, "Self", engine.SelfStat.Load());
    Render(out, "Large", engine.LargeStat.Load());
    Render(out, "Used", engine.UsedStat.Load());
    Render(out, "Reserved", engine.ReservedStat.Load());
    Render(out, "Page", engine.PageStat.Load());
    Render(out, "Pooled", engine.PooledStat.Load());
    out << '\n';
}

// Everything a failed operation must leave as it was: the figures of every
// engine, the pool's cache, lists and class figures, the header of every page
// reachable from the pool or from a block in use, the histogram, and the
// module's handle and profiling counts.
std::string Snapshot(const std::vector<const zu_allocator*>& handles,
                     const std::vector<void*>& blocks, const AllocSizes* histogram) {
    std::ostringstream out;
    out << "live handles " << dideverazez::LiveHandleCount() << ", profile starts "
        << seams::ProfileStarts() << ", stops " << seams::ProfileStops() << '\n';
    const PagedMemory* pool = nullptr;
    for (std::size_t i = 0; i < handles.size(); ++i) {
        const allocator_impl& engine = EngineOf(*handles[i]);
        RenderEngine(out, ("handle " + std::to_string(i)).c_str(), engine);
        if (i == 0) {
            pool = &static_cast<const allocator_data&>(engine).OwnPool;
        }
    }
    std::set<const Page*> pages;
    if (pool != nullptr) {
        out << "cache " << pool->FreePageCount << ':';
        for (std::uint64_t c = 0; c < pool->FreePageCount; ++c) {
            out << ' ' << pool->FreePages[c];
            pages.insert(pool->FreePages[c]);
        }
        out << '\n';
        for (const MemoryManager& manager : pool->Managers) {
            out << "class " << manager.BlockSize << " head " << manager.FirstPage;
            Render(out, "Blocks", manager.Blocks.Load());
            Render(out, "Pages", manager.Pages.Load());
            out << '\n';
            for (const Page* page = manager.FirstPage; page != nullptr; page = page->Next) {
                pages.insert(page);
            }
        }
    }
    for (void* block : blocks) {
        if (block != nullptr && HeaderOf(block)->Size == 0) {
            pages.insert(static_cast<const Page*>(
                *reinterpret_cast<void**>(static_cast<char*>(block) - sizeof(PooledBlock))));
        }
    }
    for (const Page* page : pages) {
        out << "page " << page << " manager " << page->Manager << " prev " << page->Prev << " next "
            << page->Next << " stride " << page->Stride << " used " << page->UsedCount << " free "
            << page->FreeCount << " list " << page->FreeList << '\n';
    }
    if (histogram != nullptr) {
        std::uint64_t counted = 0;
        for (const AllocSizeClass& row : histogram->classes) {
            counted += row.count;
        }
        out << "histogram rows " << histogram->classes.size() << " capacity "
            << histogram->classes.capacity() << " storage "
            << static_cast<const void*>(histogram->classes.data()) << " counted " << counted
            << " pages " << histogram->pages << '\n';
    }
    return out.str();
}

// The state of the fixed sequence: three handles of one tree, the blocks it
// holds (by slot) and a histogram whose storage comes from the root.
struct World {
    std::optional<zu_allocator> root, child, grandchild;
    std::vector<void*> blocks = std::vector<void*>(64, nullptr);
    std::optional<AllocSizes> histogram;

    std::vector<const zu_allocator*> Handles() const {
        std::vector<const zu_allocator*> handles;
        for (const auto* handle : {&root, &child, &grandchild}) {
            if (handle->has_value()) {
                handles.push_back(&**handle);
            }
        }
        return handles;
    }
    std::string Snapshot() const {
        return ::Snapshot(Handles(), blocks, histogram ? &*histogram : nullptr);
    }
    zu_allocator& Handle(int which) {
        return which == 0 ? *root : which == 1 ? *child : *grandchild;
    }
};

using Step = std::function<void(World&)>;

// One library operation per step, so that a failure inside a step must leave
// everything as it was before the step. Builds handles, takes pooled blocks of
// several classes through every handle, fills a page, takes heap blocks,
// declares use and reservations, builds a histogram, empties pages (more than
// the cache holds), takes pages back from the cache and the heap, flushes, and
// takes everything apart.
std::vector<Step> FixedSequence() {
    std::vector<Step> steps;
    int slot = 0;
    auto alloc = [&](int handle, std::size_t size) {
        steps.push_back([handle, size, at = slot](World& w) {
            w.blocks[at] = zu_alloc(size, &w.Handle(handle), "fault");
        });
        return slot++;
    };
    auto release = [&](int at) {
        steps.push_back([at](World& w) {
            zu_free(w.blocks[at], nullptr);
            w.blocks[at] = nullptr;
        });
    };

    steps.push_back([](World& w) { w.root.emplace("fault-root", false); });
    steps.push_back([](World& w) { w.child.emplace(&*w.root, "fault-child"); });
    steps.push_back([](World& w) { w.grandchild.emplace(*w.child, "fault-grandchild"); });

    std::vector<int> pooled;
    for (int handle : {0, 1, 2}) {
        for (std::size_t size : {8, 100, 1024}) {
            pooled.push_back(alloc(handle, size));
        }
    }
    // Three 1024-byte blocks fill a page; the fourth takes a new one.
    std::vector<int> big;
    for (int i = 0; i < 4; ++i) {
        big.push_back(alloc(1, 1000));
    }
    std::vector<int> heap = {alloc(2, 5000), alloc(1, 100000), alloc(0, 2000)};

    steps.push_back([](World& w) { w.grandchild->IncMemoryUsed(300); });
    steps.push_back([](World& w) { w.child->Reserve(4096); });

    steps.push_back([](World& w) { w.histogram.emplace("fault-sizes", &*w.root); });
    steps.push_back([](World& w) { w.histogram->Record(100); }); // builds the table
    steps.push_back([](World& w) { w.histogram->Record(5000); });
    steps.push_back([](World& w) { w.histogram->RecordPage(); });

    // Six classes not used yet: six new pages, emptied again: four cached,
    // two freed; then the same six again: four from the cache, two from the
    // heap.
    std::vector<int> spread;
    for (std::size_t size : {16, 32, 48, 64, 80, 96}) {
        spread.push_back(alloc(2, size));
    }
    for (int at : spread) {
        release(at);
    }
    for (std::size_t size : {16, 32, 48, 64, 80, 96}) {
        spread.push_back(alloc(1, size));
    }
    for (int at : big) {
        release(at);
    }
    steps.push_back([](World& w) {
        zu_allocator::Metrics metrics{};
        w.child->GetMetrics(metrics); // flushes the cache
    });
    for (std::size_t size : {160, 192}) {
        pooled.push_back(alloc(0, size));
    }

    for (int at : pooled) {
        release(at);
    }
    for (int at : heap) {
        release(at);
    }
    for (std::size_t i = 6; i < spread.size(); ++i) {
        release(spread[i]);
    }
    steps.push_back([](World& w) { w.grandchild->DecMemoryUsed(300); });
    steps.push_back([](World& w) { w.child->UnReserve(4096); });
    steps.push_back([](World& w) { w.histogram.reset(); });
    steps.push_back([](World& w) { w.grandchild.reset(); });
    steps.push_back([](World& w) { w.child.reset(); });
    steps.push_back([](World& w) {
        zu_allocator::Metrics metrics{};
        w.root->GetMetrics(metrics);
    });
    steps.push_back([](World& w) { w.root.reset(); });
    return steps;
}

bool TreeLockIsFree(World& world) {
    if (!world.root) {
        return true;
    }
    std::mutex& lock = EngineOf(*world.root).Root->Mutex;
    if (!lock.try_lock()) {
        return false;
    }
    lock.unlock();
    return true;
}

// For k = 1, 2, ...: the k-th heap call of the sequence fails; the operation
// that made it raises std::bad_alloc and changes nothing, and the sequence
// then completes; until a k past the sequence's last heap call.
TEST(HeapFaultInjection, EveryHeapCallOfASequenceFailsInTurnAndChangesNothing) {
    const std::vector<Step> steps = FixedSequence();
    std::uint64_t injected = 0;
    for (std::uint64_t k = 1;; ++k) {
        World world;
        const std::uint64_t start = seams::HeapCalls();
        bool failed = false;
        seams::FailHeapCall(k);
        for (std::size_t i = 0; i < steps.size(); ++i) {
            const std::string before = world.Snapshot();
            try {
                steps[i](world);
            } catch (const std::bad_alloc& failure) {
                ASSERT_FALSE(failed) << "k " << k << ": a second failure at step " << i;
                failed = true;
                ++injected;
                EXPECT_STREQ(failure.what(), "bad allocation");
                EXPECT_EQ(seams::HeapCalls() - start, k) << "step " << i;
                EXPECT_EQ(world.Snapshot(), before) << "k " << k << ", step " << i;
                EXPECT_TRUE(TreeLockIsFree(world)) << "k " << k << ", step " << i;
                steps[i](world); // only the one call fails: now it succeeds
            }
        }
        seams::FailHeapCall(0);
        EXPECT_EQ(dideverazez::LiveHandleCount(), 1) << "only the module's root is left";
        if (!failed) {
            EXPECT_EQ(seams::HeapCalls() - start, k - 1) << "the sequence's heap calls";
            break;
        }
        if (HasFatalFailure()) {
            return;
        }
    }
    // Heap calls of the sequence: 3 engines; pages of the 8, 128 and 1024-byte
    // classes (3); two more 1024-byte pages for the four 1000-byte blocks, the
    // first page being full (2); 3 heap blocks; the histogram's table (1); 6
    // new pages; 2 more when four come back from the cache; the 160 and
    // 192-byte pages after the flush (2): 3 + 3 + 2 + 3 + 1 + 6 + 2 + 2 = 22.
    EXPECT_EQ(injected, 22u);
    RecordProperty("failures_injected", std::to_string(injected));
}

// --------------------------------------------------------------------------
// A real exhaustion, in a child process under an address-space limit.

#if defined(_WIN32)

// Windows has neither fork nor an address-space limit for a process (a job
// object's memory limit would be the nearest, and Wine does not enforce it).
TEST(HeapExhaustion, TwoThreadsRunOutRecoverAndLeaveEveryFigureAtZero) {
    GTEST_SKIP() << "needs fork and setrlimit(RLIMIT_AS)";
}

#else

std::uint64_t MappedBytes() {
    std::ifstream statm("/proc/self/statm");
    std::uint64_t pages = 0;
    statm >> pages;
    return pages * static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE));
}

// Runs in the forked child; the result is its exit status.
int ExhaustTwoThreads() {
    enum : int { kFine = 0, kNeverRanOut = 10, kNotBackToZero = 20, kFailedAgain = 30 };
    zu_allocator root("exhaust-root");
    zu_allocator left(root, "exhaust-left");
    zu_allocator right(root, "exhaust-right");

    struct Worker {
        zu_allocator* handle;
        std::vector<void*> blocks;
        bool ranOut = false;
        bool failedAgain = false;
    };
    Worker workers[2] = {{&left, {}}, {&right, {}}};
    for (Worker& worker : workers) {
        worker.blocks.reserve(1u << 20); // no growth once the limit is set
    }
    std::atomic<bool> go{false};
    std::atomic<int> ready{0};
    auto work = [&go, &ready](Worker& worker) {
        // glibc gives a thread its own arena at its first call, by mapping a
        // new heap, which it cannot do under the limit; a thread without one
        // fails every call, even with the other arenas free again. Both
        // threads have theirs before the limit is set.
        std::free(std::malloc(64));
        ready.fetch_add(1);
        while (!go.load()) {
            std::this_thread::yield();
        }
        try {
            for (std::size_t i = 0; worker.blocks.size() < worker.blocks.capacity(); ++i) {
                // Pooled sizes from 8 to 1024 bytes, and every fourth a heap
                // block of 64 to 88 KiB.
                const std::size_t size = i % 4 == 0 ? 65536 + (i % 7) * 4096 : 8u << (i % 8);
                void* block = zu_alloc(size, worker.handle, "exhaust");
                static_cast<char*>(block)[0] = 1;
                worker.blocks.push_back(block);
            }
        } catch (const std::bad_alloc&) {
            worker.ranOut = true;
        }
        for (void* block : worker.blocks) {
            zu_free(block, nullptr);
        }
        worker.blocks.clear();
        try {
            for (std::size_t i = 0; i < 2000; ++i) {
                worker.blocks.push_back(zu_alloc(i % 2 == 0 ? 100 : 5000, worker.handle, "again"));
            }
        } catch (const std::bad_alloc&) {
            worker.failedAgain = true;
        }
        for (void* block : worker.blocks) {
            zu_free(block, nullptr);
        }
    };
    std::thread first(work, std::ref(workers[0]));
    std::thread second(work, std::ref(workers[1]));
    while (ready.load() < 2) {
        std::this_thread::yield();
    }

    // 256 MiB above what the process maps already (threads, their stacks and
    // arenas included), so that the limit is reached by the allocations.
    const rlim_t limit = MappedBytes() + (rlim_t{256} << 20);
    const rlimit bound{limit, limit};
    if (setrlimit(RLIMIT_AS, &bound) != 0) {
        go = true;
        first.join();
        second.join();
        return 1;
    }
    go = true;
    first.join();
    second.join();

    int result = kFine;
    for (const Worker& worker : workers) {
        if (!worker.ranOut) {
            result = kNeverRanOut;
        } else if (worker.failedAgain) {
            result = kFailedAgain;
        }
    }
    for (zu_allocator* handle : {&left, &right, &root}) {
        zu_allocator::Metrics metrics{};
        handle->GetMetrics(metrics);
        if (metrics.MemoryCurrent != 0 || metrics.CountCurrent != 0 ||
            !EngineOf(*handle).IsEmpty()) {
            result = kNotBackToZero;
        }
    }
    return result;
}

// Two threads allocate until the address space runs out, free everything,
// allocate again, and leave every figure at zero.
TEST(HeapExhaustion, TwoThreadsRunOutRecoverAndLeaveEveryFigureAtZero) {
    if (UnderSanitizerOrValgrind()) {
        GTEST_SKIP() << "an address-space limit breaks the shadow memory of sanitizers and "
                        "valgrind";
    }
    const pid_t child = fork();
    ASSERT_NE(child, -1);
    if (child == 0) {
        _exit(ExhaustTwoThreads());
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "the child died of signal " << WTERMSIG(status);
    // 10: a thread never ran out; 20: figures not back to zero; 30: the
    // allocations after the recovery failed.
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

#endif // !_WIN32

// --------------------------------------------------------------------------
// Requests that no heap can serve.

// Every size from SIZE_MAX - 16383 to SIZE_MAX, alternately through the root
// and its child, and PTRDIFF_MAX + i bytes for i from 0 to 255 through the
// child, raise std::bad_alloc and change nothing.
TEST(ImpossibleSizes, TopSizesAndBeyondPtrdiffMaxRaiseAndChangeNothing) {
    struct Row {
        std::size_t first;
        std::uint64_t count;
        bool alternate; // zu_alloc between root and child; else child.Alloc
    };
    const Row rows[] = {{SIZE_MAX - 16383, 16384, true},
                        {static_cast<std::size_t>(PTRDIFF_MAX), 256, false}};
    zu_allocator root("impossible-root");
    zu_allocator child(root, "impossible-child");
    std::vector<void*> held = {child.Alloc(100), child.Alloc(8), root.Alloc(2000)};
    const std::vector<const zu_allocator*> handles = {&root, &child};
    const std::string before = Snapshot(handles, held, nullptr);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.first);
        std::uint64_t refused = 0;
        for (std::uint64_t i = 0; i < row.count; ++i) {
            const std::size_t size = row.first + static_cast<std::size_t>(i);
            zu_allocator& handle = size % 2 == 0 ? root : child;
            try {
                // The free function and the member, each for one range.
                (void)(row.alternate ? zu_alloc(size, &handle, "impossible") : child.Alloc(size));
            } catch (const std::bad_alloc&) {
                ++refused;
            }
        }
        EXPECT_EQ(refused, row.count);
        EXPECT_EQ(Snapshot(handles, held, nullptr), before);
    }
    for (void* block : held) {
        zu_free(block, nullptr);
    }
}

} // namespace
