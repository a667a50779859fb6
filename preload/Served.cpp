// The handles that serve the program's heap calls.
//
// By thread, a live thread has a pair of handles of its own, named by the
// thread: its name (pthread_setname_np, prctl), "main" for the main thread
// and "thread" for the others that go by the program's name, so that names do
// not depend on thread ids and two runs of a program compare. When a thread
// ends, its cached pages go back to the C heap and its pair becomes idle; the
// next thread of that name takes it up, blocks of the ended thread and all.
// The pairs are therefore as many as the threads of a name alive at once,
// not as the threads ever made. Past kIdleBound idle pairs, a pair that ends
// empty is destroyed instead (its last statistics go to the library's retired
// handles). A thread renamed takes up a pair of its new name at its next heap
// call; what it allocated before stays where it was counted.
//
// By library, each shared object has a pair, built when it is first asked for
// (for the objects loaded at start, at start) and kept to the end.
//
// Locks: gObjectsLock while an object's pair is built (heap calls inside);
// gThreadsLock over the by-thread lists, never held across a heap call of the
// program's and never while another of the preload's is taken. Fork.cpp takes
// them in that order.

#include "Preload.h"

#include <dlfcn.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>

namespace dideverazez::preload {

// A live thread, by thread: what another thread needs to rename it, and what
// a forked child lets go of. Kept off the thread's own storage, which a child
// reuses for the threads it starts.
struct ThreadRecord {
    pthread_t self;
    bool* renamed;  // its ThreadState's flag; written under gThreadsLock while it lives
    Served* served; // its ThreadState's pair
    ThreadRecord* prev;
    ThreadRecord* next;
};

namespace {

constexpr std::size_t kIdleBound = 64;
constexpr const char* kBlocksName = "allocations";

std::mutex gObjectsLock;
std::atomic<Served*> gObjects{nullptr}; // every object's pair, newest first; read without a lock

std::mutex gThreadsLock;
Served* gAll = nullptr; // by thread: every pair, in the order built
Served* gLast = nullptr;
Served* gIdle = nullptr;
std::size_t gIdleCount = 0;
ThreadRecord* gLive = nullptr;

pthread_key_t gExitKey;
bool gWatchingExits = false;
char gProgramName[16] = ""; // the main thread's name at start: the name of the unnamed

// A pair named `name` for `object`, on no list yet; null when it cannot be
// built. The caller is inside.
Served* Build(const char* name, const link_map* object) {
    void* storage = __libc_malloc(sizeof(Served));
    void* tree = __libc_malloc(sizeof(zu_allocator));
    void* blocks = __libc_malloc(sizeof(zu_allocator));
    auto* served = storage != nullptr ? new (storage) Served{} : nullptr;
    if (served != nullptr && tree != nullptr && blocks != nullptr) {
        std::snprintf(served->name, sizeof served->name, "%s", name);
        served->object = object;
        try {
            served->tree = new (tree) zu_allocator(served->name);
            served->blocks = new (blocks) zu_allocator(*served->tree, kBlocksName);
            return served;
        } catch (...) {
            if (served->tree != nullptr) {
                served->tree->~zu_allocator();
            }
        }
    }
    __libc_free(storage);
    __libc_free(tree);
    __libc_free(blocks);
    return nullptr;
}

void Destroy(Served* served) {
    served->blocks->~zu_allocator();
    served->tree->~zu_allocator();
    __libc_free(served->blocks);
    __libc_free(served->tree);
    __libc_free(served);
}

// The name the calling thread, whose id is `id`, goes by.
void NameOfThisThread(pid_t id, char (&name)[64]) {
    char own[16] = "";
    syscall(SYS_prctl, PR_GET_NAME, own, 0, 0, 0);
    if (own[0] != '\0' && std::strcmp(own, gProgramName) != 0) {
        std::snprintf(name, sizeof name, "%s", own);
    } else {
        std::snprintf(name, sizeof name, "%s", id == ThisProcess() ? "main" : "thread");
    }
}

// The first step of giving `served` back, taken without gThreadsLock: its
// cached pages go to the C heap. Answers whether it still holds blocks. The
// caller is inside and no longer serves from it.
bool Quiesce(Served* served) {
    zu_allocator::Metrics figures{};
    served->blocks->GetMetrics(figures); // frees the tree's cached pages
    served->thread.store(0, std::memory_order_relaxed);
    return figures.CountCurrent != 0;
}

// The second step, under gThreadsLock: the pair joins the idle ones, or leaves
// every list when it is empty and enough are idle. Answers whether the caller
// destroys it, once the lock is released. Nobody allocates from it now, so an
// empty pair stays empty.
bool Park(Served* served, bool holding) {
    if (holding || gIdleCount < kIdleBound) {
        served->nextIdle = gIdle;
        gIdle = served;
        ++gIdleCount;
        return false;
    }
    Served** at = &gAll;
    Served* before = nullptr;
    for (; *at != served; before = *at, at = &(*at)->next) {
    }
    *at = served->next;
    gLast = gLast == served ? before : gLast;
    return true;
}

extern "C" void OnThreadExit(void*) {
    ThreadState& thread = gThread;
    thread.inside = true;
    Served* served = thread.served;
    thread.served = nullptr;
    const bool holding = served != nullptr && Quiesce(served);
    ThreadRecord* record = thread.record;
    bool destroy = false;
    if (record != nullptr || served != nullptr) {
        // One hold of the lock for both lists: threads end as often as they start.
        const std::lock_guard<std::mutex> lock(gThreadsLock);
        if (record != nullptr) {
            (record->prev != nullptr ? record->prev->next : gLive) = record->next;
            if (record->next != nullptr) {
                record->next->prev = record->prev;
            }
        }
        destroy = served != nullptr && Park(served, holding);
    }
    __libc_free(record);
    thread.record = nullptr;
    if (destroy) {
        Destroy(served);
    }
    thread.ended = true; // destructors that run later are served by the C heap
    thread.inside = false;
}

// The calling thread's entry in the live list, made on its first call.
void Enlist(ThreadState& thread) {
    if (thread.record != nullptr) {
        return;
    }
    auto* record = static_cast<ThreadRecord*>(__libc_malloc(sizeof(ThreadRecord)));
    if (record == nullptr) {
        return; // not renamed by others, not let go of in a forked child: it still works
    }
    *record = {pthread_self(), &thread.renamed, nullptr, nullptr, nullptr};
    if (gWatchingExits) {
        pthread_setspecific(gExitKey, &thread);
    }
    const std::lock_guard<std::mutex> lock(gThreadsLock);
    record->next = gLive;
    if (gLive != nullptr) {
        gLive->prev = record;
    }
    gLive = record;
    thread.record = record;
}

Served* FindObject(const link_map* map) {
    for (Served* s = gObjects.load(std::memory_order_acquire); s != nullptr; s = s->next) {
        if (s->object == map) {
            return s;
        }
    }
    return nullptr;
}

// The pair of shared object `map` (null for code in none), built when first
// asked for; null when it cannot be.
Served* ServedOfObject(const link_map* map) {
    if (Served* found = FindObject(map)) {
        return found;
    }
    const std::lock_guard<std::mutex> lock(gObjectsLock);
    if (Served* found = FindObject(map)) {
        return found;
    }
    const char* path = map != nullptr ? map->l_name : "";
    const char* slash = std::strrchr(path, '/');
    Served* served = Build(map == nullptr     ? "[code in no object]"
                           : path[0] == '\0'  ? program_invocation_short_name
                           : slash != nullptr ? slash + 1
                                              : path,
                           map);
    if (served != nullptr) {
        served->next = gObjects.load(std::memory_order_relaxed);
        gObjects.store(served, std::memory_order_release);
    }
    return served;
}

// `served` serves the calling thread from now; gThreadsLock is held.
void Adopt(ThreadState& thread, Served* served) {
    served->thread.store(thread.id, std::memory_order_relaxed);
    thread.served = served;
    if (thread.record != nullptr) {
        thread.record->served = served;
    }
}

} // namespace

Served* ServedForThisThread() {
    ThreadState& thread = gThread;
    // Listed before the name is read: a thread that renames this one either
    // finds it listed and sets its flag, or renamed it before it was listed,
    // and so before the read below.
    Enlist(thread);
    // Cleared before the name is read: a rename after the read sets it again.
    std::atomic_ref<bool>(thread.renamed).store(false, std::memory_order_relaxed);
    if (thread.id == 0) {
        thread.id = static_cast<pid_t>(gettid());
    }
    char name[64];
    NameOfThisThread(thread.id, name);
    Served* current = thread.served;
    if (current != nullptr && std::strcmp(current->name, name) == 0) {
        return current;
    }
    const bool holding = current != nullptr && Quiesce(current);
    Served* taken = nullptr;
    bool destroy = false;
    {
        // An idle pair of the name is taken, and the old one parked, in one
        // hold of the lock, which every thread's first heap call takes.
        const std::lock_guard<std::mutex> lock(gThreadsLock);
        for (Served** at = &gIdle; *at != nullptr; at = &(*at)->nextIdle) {
            if (std::strcmp((*at)->name, name) == 0) {
                taken = *at;
                *at = taken->nextIdle;
                --gIdleCount;
                break;
            }
        }
        if (taken != nullptr) {
            Adopt(thread, taken);
            destroy = current != nullptr && Park(current, holding);
        }
    }
    if (taken == nullptr) {
        taken = Build(name, nullptr); // heap calls: outside the lock
        if (taken == nullptr) {
            if (current != nullptr) { // the old name's pair serves on
                current->thread.store(thread.id, std::memory_order_relaxed);
            }
            return current;
        }
        const std::lock_guard<std::mutex> lock(gThreadsLock);
        (gLast != nullptr ? gLast->next : gAll) = taken;
        gLast = taken;
        Adopt(thread, taken);
        destroy = current != nullptr && Park(current, holding);
    }
    if (destroy) {
        Destroy(current);
    }
    return taken;
}

void Renamed(pthread_t renamed) {
    if (!gReady.load(std::memory_order_acquire) || gBy != By::Thread) {
        return;
    }
    if (pthread_equal(renamed, pthread_self())) {
        std::atomic_ref<bool>(gThread.renamed).store(true, std::memory_order_relaxed);
        return;
    }
    const std::lock_guard<std::mutex> lock(gThreadsLock);
    for (ThreadRecord* r = gLive; r != nullptr; r = r->next) {
        if (pthread_equal(r->self, renamed)) {
            std::atomic_ref<bool>(*r->renamed).store(true, std::memory_order_relaxed);
            break;
        }
    }
}

zu_allocator* ObjectHandle(const void* caller) {
    for (const Recent& r : gThread.recent) {
        if (caller >= r.start && caller < r.end) {
            return r.handle;
        }
    }
    dl_find_object found{};
    const bool known = _dl_find_object(const_cast<void*>(caller), &found) == 0;
    Served* served = ServedOfObject(known ? found.dlfo_link_map : nullptr);
    if (served == nullptr) {
        return nullptr;
    }
    if (known) {
        gThread.recent[gThread.next++ % 4] = {found.dlfo_map_start, found.dlfo_map_end,
                                              served->blocks};
    }
    return served->blocks;
}

void ServeLoadedObjects() {
    dl_find_object own{};
    const link_map* preload =
        _dl_find_object(reinterpret_cast<void*>(&ServeLoadedObjects), &own) == 0 ? own.dlfo_link_map
                                                                                 : nullptr;
    for (const link_map* map = _r_debug.r_map; map != nullptr; map = map->l_next) {
        // The library's own objects make no heap call of the program's.
        if (map != preload && map != gOwnMap) {
            ServedOfObject(map);
        }
    }
}

void WatchThreadExits() {
    syscall(SYS_prctl, PR_GET_NAME, gProgramName, 0, 0, 0);
    gWatchingExits = pthread_key_create(&gExitKey, OnThreadExit) == 0;
}

void ServedBeforeFork() noexcept {
    gObjectsLock.lock();
    gThreadsLock.lock();
}

void ServedAfterFork() noexcept {
    gThreadsLock.unlock();
    gObjectsLock.unlock();
}

void ForgetOtherThreads() noexcept {
    for (ThreadRecord* r = gLive; r != nullptr;) {
        ThreadRecord* next = r->next;
        if (r != gThread.record) {
            if (Served* served = r->served) {
                served->thread.store(0, std::memory_order_relaxed);
                served->nextIdle = gIdle;
                gIdle = served;
                ++gIdleCount;
            }
            __libc_free(r);
        }
        r = next;
    }
    gLive = gThread.record;
    if (gLive != nullptr) {
        gLive->prev = gLive->next = nullptr;
    }
}

void VisitServed(void (*visit)(void* context, const Served& served), void* context) {
    if (gBy == By::Library) {
        const Served* newest = gObjects.load(std::memory_order_acquire);
        // Oldest first: the list reversed into an array would need the heap,
        // so it is walked once per entry; the objects are few.
        std::size_t count = 0;
        for (const Served* s = newest; s != nullptr; s = s->next) {
            ++count;
        }
        while (count-- > 0) {
            const Served* s = newest;
            for (std::size_t i = 0; i < count; ++i) {
                s = s->next;
            }
            visit(context, *s);
        }
        return;
    }
    const std::lock_guard<std::mutex> lock(gThreadsLock);
    for (const Served* s = gAll; s != nullptr; s = s->next) {
        visit(context, *s);
    }
}

} // namespace dideverazez::preload
