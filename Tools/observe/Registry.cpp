// The registry: one list of live engines and one of retired handles behind one
// mutex. It lives from the first handle (the module's root, at load) until the
// module unloads; a handle destroyed later still (a static object of some other
// module) is not recorded.

#include "observe/Registry.h"

#include "engines/kdideverazez_impl.h"

#include <algorithm>
#include <chrono>
#include <mutex>

namespace dideverazez::observe {

namespace {

constinit bool gRegistryGone = false;

struct Registry {
    std::mutex mutex;
    LiveEngines live;
    LiveEngines waiting; // registered under the lock by its holder
    RetiredHandles retired;
    bool merging = false; // once the retired list was full: one entry a path
    ~Registry() { gRegistryGone = true; }
};

// Whether this thread holds the registry's lock. A handle can be built while
// it does: in a program whose heap calls all go through handles, a thread's
// first heap call may come from under the lock (a snapshot's copies) and build
// that thread's handle. Its engine then waits, unnamed, until the lock is
// next taken, instead of taking the lock a second time.
#if defined(__ELF__)
__attribute__((tls_model("initial-exec")))
#endif
thread_local bool gHolding = false;

// The registry's lock, with the engines that waited for it registered first
// (an engine that cannot be, for want of memory, goes unlisted).
class Holding {
public:
    explicit Holding(Registry& registry) : lock_(registry.mutex) {
        gHolding = true;
        LiveEngines waiting; // who registers meanwhile waits for the next time
        waiting.swap(registry.waiting);
        for (LiveEngine& e : waiting) {
            const auto parent =
                std::find_if(registry.live.begin(), registry.live.end(),
                             [&](const LiveEngine& p) { return p.Engine == e.Engine->Parent; });
            try {
                e.Path = parent != registry.live.end() ? parent->Path + "/" + e.Path : e.Path;
                registry.live.push_back(std::move(e));
            } catch (const std::bad_alloc&) {
            }
        }
    }
    ~Holding() { gHolding = false; }
    Holding(const Holding&) = delete;
    Holding& operator=(const Holding&) = delete;

private:
    std::lock_guard<std::mutex> lock_;
};

Registry* TheRegistry() {
    if (gRegistryGone) {
        return nullptr;
    }
    static Registry registry;
    return &registry;
}

// Handles of one path make one entry: the highest peaks, the first birth and
// the last death, everything else summed.
void Merge(RetiredHandle& into, const RetiredHandle& from) {
    into.Handles += from.Handles;
    into.BornMs = std::min(into.BornMs, from.BornMs);
    into.DiedMs = std::max(into.DiedMs, from.DiedMs);
    Metrics& a = into.Figures;
    const Metrics& b = from.Figures;
    a = {a.TimeTotal + b.TimeTotal,
         std::max(a.SelfPeak, b.SelfPeak),
         std::max(a.MemoryPeak, b.MemoryPeak),
         a.MemoryCurrent + b.MemoryCurrent,
         a.MemoryCumul + b.MemoryCumul,
         a.CountCurrent + b.CountCurrent,
         a.CountCumul + b.CountCumul};
}

// Adds `handle`. Once the list has been full, every path has one entry: the
// list is merged by path that first time, and later handles join their path's.
void Keep(Registry& registry, const RetiredHandle& handle) {
    RetiredHandles& retired = registry.retired;
    const auto pathOf = [](RetiredHandles& list, const LibraryString& path) {
        return std::find_if(list.begin(), list.end(),
                            [&](const RetiredHandle& r) { return r.Path == path; });
    };
    if (!registry.merging && retired.size() >= RetiredBound) {
        RetiredHandles merged;
        for (const RetiredHandle& r : retired) {
            const auto same = pathOf(merged, r.Path);
            same == merged.end() ? merged.push_back(r) : Merge(*same, r);
        }
        retired.swap(merged);
        registry.merging = true;
    }
    const auto same = registry.merging ? pathOf(retired, handle.Path) : retired.end();
    same == retired.end() ? retired.push_back(handle) : Merge(*same, handle);
}

} // namespace

std::uint64_t MillisecondsSinceLoad() noexcept {
    static const auto loaded = std::chrono::steady_clock::now();
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                          std::chrono::steady_clock::now() - loaded)
                                          .count());
}

Metrics MetricsOf(const allocator_impl& engine, std::int64_t timeTotal) noexcept {
    const StatAlloc global = engine.GlobalStat.Load();
    return {timeTotal,           engine.SelfStat.Memory.Load().Peak,
            global.Memory.Peak,  global.Memory.Current,
            global.Memory.Cumul, global.Counter.Current,
            global.Counter.Cumul};
}

void Register(const allocator_impl& engine, const char* name) {
    const std::uint64_t born = MillisecondsSinceLoad();
    Registry* registry = TheRegistry();
    if (registry == nullptr) {
        return;
    }
    LibraryString path = name != nullptr ? name : "<noname>";
    if (gHolding) {
        registry->waiting.push_back({&engine, name, std::move(path), born});
        return;
    }
    const Holding holding(*registry);
    const auto parent =
        std::find_if(registry->live.begin(), registry->live.end(),
                     [&](const LiveEngine& e) { return e.Engine == engine.Parent; });
    if (parent != registry->live.end()) { // a root's null parent matches no live engine
        path = parent->Path + "/" + path;
    }
    registry->live.push_back({&engine, name, std::move(path), born});
}

void Retire(const allocator_impl& engine) noexcept {
    const std::uint64_t died = MillisecondsSinceLoad();
    Registry* registry = TheRegistry();
    if (registry == nullptr) {
        return;
    }
    const Holding holding(*registry);
    const auto found = std::find_if(registry->live.begin(), registry->live.end(),
                                    [&](const LiveEngine& e) { return e.Engine == &engine; });
    if (found == registry->live.end()) {
        return;
    }
    try {
        Keep(*registry, {found->Path, 1, found->BornMs, died,
                         MetricsOf(engine, static_cast<std::int64_t>(engine.GetTimeTotal()))});
    } catch (const std::bad_alloc&) {
        // The record is dropped; the engine is forgotten all the same.
    }
    registry->live.erase(found);
}

void Visit(void (*visit)(void* context, const LiveEngines&, const RetiredHandles&), void* context) {
    Registry* registry = TheRegistry();
    if (registry == nullptr) {
        return;
    }
    const Holding holding(*registry);
    visit(context, registry->live, registry->retired);
}

void LockForFork() noexcept {
    if (Registry* registry = TheRegistry()) {
        registry->mutex.lock();
        for (const LiveEngines* list : {&registry->live, &registry->waiting}) {
            for (const LiveEngine& e : *list) {
                if (e.Engine->Parent == nullptr) {
                    const_cast<allocator_impl*>(e.Engine)->Mutex.lock();
                }
            }
        }
    }
}

void UnlockAfterFork() noexcept {
    if (Registry* registry = TheRegistry()) {
        for (const LiveEngines* list : {&registry->live, &registry->waiting}) {
            for (const LiveEngine& e : *list) {
                if (e.Engine->Parent == nullptr) {
                    const_cast<allocator_impl*>(e.Engine)->Mutex.unlock();
                }
            }
        }
        registry->mutex.unlock();
    }
}

} // namespace dideverazez::observe
