// The registry: the roots' list, each root's list of its tree's engines, and
// the retired handles, behind one mutex. Roots are always in it, so that fork
// can take every tree's lock; their trees' other engines, and what destroyed
// handles leave, only while handles are recorded. Its storage is never destroyed, so a
// handle built or destroyed while the process exits (by a static object of
// some other module, or a thread still running) finds it whole.

#include "observe/Registry.h"

#include "engines/kdideverazez_impl.h"
#include "observe/SampleStore.h"
#include "platform/Platform.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <new>
#include <string_view>
#include <unordered_map>

namespace dideverazez::observe {

namespace {

// One recorded engine, linked into its tree's list (the root's entry holds the
// list), a root's also into the roots' list.
struct Entry {
    LiveEngine Live;
    Entry* Parent; // null for a root
    Entry* Root;   // this entry for a root
    Entry* Prev;   // in its tree's list
    Entry* Next;
    Entry* First; // a root's: its tree's list, itself first
    Entry* Last;
    Entry* PrevRoot; // a root's: in the roots' list
    Entry* NextRoot;
};

struct PathHash {
    std::size_t operator()(const LibraryString& path) const noexcept {
        return std::hash<std::string_view>{}(std::string_view(path.data(), path.size()));
    }
};

struct Registry {
    std::mutex mutex;
    Entry* firstRoot = nullptr;
    Entry* lastRoot = nullptr;
    std::size_t engines = 0;
    RetiredHandles retired;
    // Where each path's entry is, once merging: the list is merged by path the
    // first time it holds RetiredBound entries.
    std::unordered_map<LibraryString, std::size_t, PathHash, std::equal_to<LibraryString>,
                       LibraryAllocator<std::pair<const LibraryString, std::size_t>>>
        byPath;
    bool merging = false;
    bool released = false; // the module is going: nothing is recorded any more
    // Built with the module's own root, the first handle: where its clock starts.
    const std::chrono::steady_clock::time_point loaded = std::chrono::steady_clock::now();
};

// Never destroyed (see above): built in place on first use.
alignas(Registry) unsigned char gStorage[sizeof(Registry)];
std::atomic<Registry*> gRegistry{nullptr};
std::once_flag gBuilt;

Registry& TheRegistry() {
    std::call_once(gBuilt, [] { gRegistry.store(new (gStorage) Registry); });
    return *gRegistry.load();
}

// Whether handles are recorded: the environment asks for what reads them.
bool FromEnvironment() {
    for (const char* name : {"DIDEVERAZEZ_REPORT", "DIDEVERAZEZ_METRICS"}) {
        const char* value = platform::TrustedEnvironment(name);
        if (value != nullptr && *value != '\0') {
            return true;
        }
    }
    return false;
}

constinit std::atomic<int> gRecording{-1}; // -1: not read yet

// Whether this thread holds the registry's lock. A handle can be built while
// it does, in a program whose every heap call goes through handles (a thread's
// first heap call building that thread's handle); it then goes unrecorded
// rather than taking the lock a second time.
#if defined(__ELF__)
__attribute__((tls_model("initial-exec")))
#endif
thread_local bool gHolding = false;

// Not held only while the process ends with the lock held by a stopped
// thread (LockUnlessEnding): the holder then leaves the registry as it is.
class Holding {
public:
    explicit Holding(Registry& registry)
        : mutex_(registry.mutex), held_(platform::LockUnlessEnding(mutex_)) {
        gHolding = held_;
    }
    ~Holding() {
        if (held_) {
            gHolding = false;
            mutex_.unlock();
        }
    }
    Holding(const Holding&) = delete;
    Holding& operator=(const Holding&) = delete;
    bool Held() const { return held_; }

private:
    std::mutex& mutex_;
    const bool held_;
};

// A counter's two's-complement bits, and back: the engines' counters wrap, and
// so do their sums here (a module may declare any use).
std::uint64_t Bits(std::int64_t figure) {
    return static_cast<std::uint64_t>(figure);
}
std::int64_t Figure(std::uint64_t bits) {
    return static_cast<std::int64_t>(bits);
}

// Handles of one path make one entry: the highest peaks, the first birth and
// the last death, everything else summed.
void Merge(RetiredHandle& into, const RetiredHandle& from) {
    into.Handles += from.Handles;
    into.BornMs = std::min(into.BornMs, from.BornMs);
    into.DiedMs = std::max(into.DiedMs, from.DiedMs);
    Metrics& a = into.Figures;
    const Metrics& b = from.Figures;
    a = {Figure(Bits(a.TimeTotal) + Bits(b.TimeTotal)),
         std::max(a.SelfPeak, b.SelfPeak),
         std::max(a.MemoryPeak, b.MemoryPeak),
         Figure(Bits(a.MemoryCurrent) + Bits(b.MemoryCurrent)),
         Figure(Bits(a.MemoryCumul) + Bits(b.MemoryCumul)),
         Figure(Bits(a.CountCurrent) + Bits(b.CountCurrent)),
         Figure(Bits(a.CountCumul) + Bits(b.CountCumul))};
    if (from.Sites != 0) {
        if (into.Sites == 0) {
            into.Sites = from.Sites;
        } else {
            MergeSiteGroups(into.Sites, from.Sites);
        }
    }
}

// `path` cut to RetiredPathBytes at the start of a UTF-8 character, with
// "..." after it when it was cut.
LibraryString Bounded(const LibraryString& path) {
    if (path.size() <= RetiredPathBytes) {
        return path;
    }
    std::size_t cut = RetiredPathBytes - 3;
    while (cut > 0 && (static_cast<unsigned char>(path[cut]) & 0xC0) == 0x80) {
        --cut;
    }
    LibraryString bounded(path, 0, cut);
    bounded += "...";
    return bounded;
}

// Adds `handle` (whose parent's path is `parent`, null for a root) to the
// retired list, as RetiredBound says.
void Keep(Registry& registry, RetiredHandle handle, const LibraryString* parent) {
    RetiredHandles& retired = registry.retired;
    handle.Path = Bounded(handle.Path);
    if (!registry.merging && retired.size() < RetiredBound) {
        retired.push_back(std::move(handle));
        return;
    }
    if (!registry.merging) { // the first time it is full: one entry a path
        RetiredHandles merged;
        for (RetiredHandle& r : retired) {
            const auto [at, added] = registry.byPath.try_emplace(r.Path, merged.size());
            added ? merged.push_back(std::move(r)) : Merge(merged[at->second], r);
        }
        retired.swap(merged);
        registry.merging = true;
    }
    auto same = registry.byPath.find(handle.Path);
    if (same == registry.byPath.end()) {
        // Its siblings' entry, or everyone's.
        LibraryString group = "*";
        if (parent != nullptr && retired.size() < 2 * RetiredBound) {
            group = Bounded(*parent);
            group += "/*";
        }
        same = registry.byPath.find(group);
        if (same == registry.byPath.end()) {
            same = registry.byPath.emplace(group, retired.size()).first;
            handle.Path = group;
            retired.push_back(std::move(handle));
            return;
        }
    }
    Merge(retired[same->second], handle);
}

void Unlink(Registry& registry, Entry* entry) {
    Entry* root = entry->Root;
    (entry->Prev != nullptr ? entry->Prev->Next : root->First) = entry->Next;
    (entry->Next != nullptr ? entry->Next->Prev : root->Last) = entry->Prev;
    if (entry == root) {
        (root->PrevRoot != nullptr ? root->PrevRoot->NextRoot : registry.firstRoot) =
            root->NextRoot;
        (root->NextRoot != nullptr ? root->NextRoot->PrevRoot : registry.lastRoot) = root->PrevRoot;
    }
    --registry.engines;
}

} // namespace

std::uint64_t MillisecondsSinceLoad() noexcept {
    return MillisecondsSinceLoad(std::chrono::steady_clock::now());
}

std::uint64_t MillisecondsSinceLoad(std::chrono::steady_clock::time_point at) noexcept {
    const auto loaded = TheRegistry().loaded;
    return at <= loaded
               ? 0
               : static_cast<std::uint64_t>(
                     std::chrono::duration_cast<std::chrono::milliseconds>(at - loaded).count());
}

Metrics MetricsOf(const allocator_impl& engine, std::int64_t timeTotal) noexcept {
    const StatAlloc global = engine.GlobalStat.Load();
    return {timeTotal,           engine.SelfStat.Memory.Load().Peak,
            global.Memory.Peak,  global.Memory.Current,
            global.Memory.Cumul, global.Counter.Current,
            global.Counter.Cumul};
}

bool Recording() noexcept {
    int recording = gRecording.load(std::memory_order_relaxed);
    if (recording < 0) {
        int unread = -1;
        recording = FromEnvironment() ? 1 : 0;
        gRecording.compare_exchange_strong(unread, recording);
        recording = gRecording.load(std::memory_order_relaxed);
    }
    return recording == 1;
}

void RecordHandles(bool on) noexcept {
    gRecording.store(on ? 1 : 0);
}

void Register(const allocator_impl& engine, const char* name) {
    // Roots always, for fork (observe/Fork.cpp); their trees' engines when
    // recorded, under a recorded root.
    auto* root =
        engine.Parent != nullptr ? static_cast<Entry*>(engine.Root->Registration) : nullptr;
    if (gHolding || (engine.Parent != nullptr && (root == nullptr || !Recording()))) {
        return;
    }
    const std::uint64_t born = MillisecondsSinceLoad();
    LibraryAllocator<Entry> storage;
    Entry* entry = storage.allocate(1);
    auto* parent =
        engine.Parent != nullptr ? static_cast<Entry*>(engine.Parent->Registration) : nullptr;
    try {
        // A parent's path is its own while it lives: read unlocked. A parent
        // built before handles were recorded has none: its names are read
        // from the engines up to the root.
        LibraryString path;
        if (parent != nullptr) {
            path = parent->Live.Path;
            path += '/';
        } else {
            for (const allocator_impl* up = engine.Parent; up != nullptr; up = up->Parent) {
                path.insert(0, "/");
                path.insert(0, up->Name);
            }
        }
        path += name != nullptr ? name : "<noname>";
        new (entry) Entry{{&engine, name, std::move(path), born},
                          parent,
                          root,
                          nullptr,
                          nullptr,
                          nullptr,
                          nullptr,
                          nullptr,
                          nullptr};
    } catch (...) {
        storage.deallocate(entry, 1);
        throw;
    }
    Registry& registry = TheRegistry();
    const Holding holding(registry);
    if (!holding.Held() || registry.released) {
        entry->~Entry();
        storage.deallocate(entry, 1);
        return;
    }
    if (root == nullptr) {
        root = entry->Root = entry;
        entry->PrevRoot = registry.lastRoot;
        (registry.lastRoot != nullptr ? registry.lastRoot->NextRoot : registry.firstRoot) = entry;
        registry.lastRoot = entry;
    }
    entry->Prev = root->Last;
    (root->Last != nullptr ? root->Last->Next : root->First) = entry;
    root->Last = entry;
    ++registry.engines;
    const_cast<allocator_impl&>(engine).Registration = entry;
}

void Retire(const allocator_impl& engine, std::uint64_t sites) noexcept {
    if (engine.Registration == nullptr) { // never recorded: nothing to take the lock for
        DropSiteGroup(sites);
        return;
    }
    const std::uint64_t died = MillisecondsSinceLoad();
    Registry& registry = TheRegistry();
    Entry* entry = nullptr;
    {
        const Holding holding(registry);
        if (!holding.Held()) {
            return;
        }
        // Read again under the lock: the module going releases every entry.
        entry = static_cast<Entry*>(engine.Registration);
        if (entry == nullptr) {
            DropSiteGroup(sites);
            return;
        }
        Unlink(registry, entry);
        const_cast<allocator_impl&>(engine).Registration = nullptr;
        try {
            // Kept only where something can read it.
            if (Recording() && !registry.released) {
                Keep(registry,
                     {entry->Live.Path, 1, entry->Live.BornMs, died,
                      MetricsOf(engine, static_cast<std::int64_t>(engine.GetTimeTotal())), sites},
                     entry->Parent != nullptr ? &entry->Parent->Live.Path : nullptr);
                sites = 0;
            }
        } catch (const std::bad_alloc&) {
            // The record is dropped; the engine is forgotten all the same.
        }
        DropSiteGroup(sites);
    }
    entry->~Entry();
    LibraryAllocator<Entry>().deallocate(entry, 1);
}

bool Visit(void (*visit)(void* context, const LiveEngines&, const RetiredHandles&), void* context,
           bool wait) {
    if (gRegistry.load() == nullptr) {
        const LiveEngines none;
        const RetiredHandles nothing;
        visit(context, none, nothing);
        return true;
    }
    Registry& registry = TheRegistry();
    std::unique_lock<std::mutex> lock(registry.mutex, std::defer_lock);
    if (wait) {
        lock.lock();
    } else if (!lock.try_lock()) {
        return false;
    }
    gHolding = true;
    LiveEngines live;
    try {
        live.reserve(registry.engines);
        for (const Entry* root = registry.firstRoot; root != nullptr; root = root->NextRoot) {
            for (const Entry* e = root->First; e != nullptr; e = e->Next) {
                live.push_back(&e->Live);
            }
        }
        visit(context, live, registry.retired);
    } catch (...) {
        gHolding = false;
        throw;
    }
    gHolding = false;
    return true;
}

bool ReleaseRegistry() noexcept {
    Registry* registry = gRegistry.load();
    if (registry == nullptr) {
        return true;
    }
    const Holding holding(*registry);
    if (!holding.Held()) {
        return false;
    }
    registry->released = true;
    RetiredHandles().swap(registry->retired);
    decltype(registry->byPath)().swap(registry->byPath);
    // Handles that outlive the module (their engines freed by others, or
    // destroyed later and then not recorded) give their entries back now.
    while (Entry* root = registry->firstRoot) {
        while (Entry* entry = root->Last) {
            Unlink(*registry, entry);
            const_cast<allocator_impl*>(entry->Live.Engine)->Registration = nullptr;
            if (entry != root) {
                entry->~Entry();
                LibraryAllocator<Entry>().deallocate(entry, 1);
            }
        }
        root->~Entry();
        LibraryAllocator<Entry>().deallocate(root, 1);
    }
    return true;
}

// Built here if no handle has built it yet, and waited for if another thread is
// building it: a child must not find it half built, for a child's call_once
// waits on a build begun by a thread it lacks (ThreadSanitizer's always does).
void RegistryBeforeFork() noexcept {
    Registry& registry = TheRegistry();
    registry.mutex.lock();
    for (const Entry* root = registry.firstRoot; root != nullptr; root = root->NextRoot) {
        const_cast<allocator_impl*>(root->Live.Engine)->Mutex.lock();
    }
}

void RegistryAfterFork() noexcept {
    Registry& registry = TheRegistry();
    for (const Entry* root = registry.firstRoot; root != nullptr; root = root->NextRoot) {
        const_cast<allocator_impl*>(root->Live.Engine)->Mutex.unlock();
    }
    registry.mutex.unlock();
}

} // namespace dideverazez::observe
