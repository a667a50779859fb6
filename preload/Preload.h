// libdideverazez_preload.so: every heap call of an unchanged Linux program
// through handles of the library, with LD_PRELOAD (docs/preload.md). Its
// parts, by role:
//   Interpose.cpp  the C and C++ heap's entry points and the word in front of
//                  every block; the only file on the hot path
//   Served.cpp     the handles that serve: one pair a live thread (reused by
//                  later threads of the same name) or one a shared object
//   Fork.cpp       the preload's locks around fork
//   Report.cpp     the text report at exit
//   Preload.cpp    start and end: the environment, the handles built at start,
//                  another allocator found first, exit and _exit
// It uses the library's exported interface alone.
#pragma once

#include "handle/dideverazez.h"

#include <link.h>
#include <pthread.h>
#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

extern "C" {
void* __libc_malloc(std::size_t size);
void __libc_free(void* block);
void* __libc_memalign(std::size_t alignment, std::size_t size);
void* __libc_realloc(void* block, std::size_t size);
}

namespace dideverazez::preload {

enum class By { Thread, Library };

// Set once at start, read by every call.
extern std::atomic<bool> gReady; // the library and this one are built: handles may serve
extern By gBy;
// The addresses of libdideverazez itself: a heap call made from there is the
// library's own work (its registry, snapshots, reporter), which the C heap
// serves so that it never shows as the program's.
extern std::uintptr_t gOwnStart, gOwnEnd;
extern const link_map* gOwnMap;
// glibc's pthread_setname_np, which the preload's own calls.
extern int (*gSetName)(pthread_t thread, const char* name);

// Another allocator's heap, when one loaded before this library serves the
// program's malloc (found at start): the preload then serves nothing, and
// what still reaches its entry points goes to that allocator, so that every
// block is freed by the heap that made it. `release` is null otherwise.
struct ForeignHeap {
    void* (*allocate)(std::size_t size);
    void* (*aligned)(std::size_t alignment, std::size_t size); // memalign's
    void* (*resize)(void* block, std::size_t size);
    void (*release)(void* block);
    std::size_t (*usable)(void* block); // null: the allocator has none
};
extern ForeignHeap gForeign;

struct Served;
struct ThreadRecord;

// A small cache of the objects this thread's calls came from (by library).
struct Recent {
    const void* start;
    const void* end;
    zu_allocator* handle;
};

// Zero at a thread's start, with no constructor: glibc's initial-exec TLS,
// which needs no heap call to reach.
struct ThreadState {
    bool inside;          // serving a call already: the C heap serves this one
    bool ended;           // its exit was handled: the C heap serves what it still asks
    bool renamed;         // set (atomically) by a thread that renamed this one
    Served* served;       // by thread: the handles serving this thread, or null
    ThreadRecord* record; // its entry in the list of live threads, or null
    Recent recent[4];
    unsigned next;
    pid_t id; // the thread's id once a pair was taken for it, else 0
};
extern __thread ThreadState gThread __attribute__((tls_model("initial-exec")));

// The handles serving one thread or one shared object: a root whose counters
// are what its blocks hold from the C heap (pages, large blocks), and under it
// "allocations", which every block is allocated through, so that its counters
// are the program's allocations (bytes charged with the block header and the
// class rounding, blocks in use and ever). Names are held by the handles: they
// live here, and never change.
struct Served {
    zu_allocator* tree;
    zu_allocator* blocks;
    char name[64];
    const link_map* object;   // the shared object it serves (by library), else null
    std::atomic<long> thread; // by thread: the id of the thread served now, 0 while idle
    Served* next;             // the list it is on (every object's; by thread, guarded)
    Served* nextIdle;         // by thread, while idle: the next idle one
};

// By thread: the handles for the calling thread, taken (or built) anew when it
// has none or was renamed since; null when none can be built (the C heap then
// serves). The caller is inside.
Served* ServedForThisThread();
// By library: the handle of the shared object holding `caller`, built when
// first asked for; null for the C heap.
zu_allocator* ObjectHandle(const void* caller);
// At start, by library: handles for every object loaded now.
void ServeLoadedObjects();
// At start: the key whose destructor hands an ending thread's handles back.
void WatchThreadExits();
// The thread `thread` (pthread_setname_np, prctl) was renamed: its next heap
// call takes the handles of its new name.
void Renamed(pthread_t thread);

// Around fork: takes the preload's locks (Fork.cpp says in which order) and
// releases them; the child also lets go of the threads it does not have.
void ServedBeforeFork() noexcept;
void ServedAfterFork() noexcept;
void ForgetOtherThreads() noexcept;
void InstallForkHandlers();
// In the child of a fork: this process's id is its own (Preload.cpp).
void NoteFork();
// This process's id, read at start and again in the child of a fork.
pid_t ThisProcess() noexcept;

// Every pair of handles, in the order built, under the lock of their list.
void VisitServed(void (*visit)(void* context, const Served& served), void* context);

// Before operator new throws into the program's code: the unwinder of the
// program's C++ runtime, libgcc_s, must have unwound once to catch what this
// library's own copy of libgcc throws (Tools/platform/posix/Process.cpp). Once
// libgcc_s is loaded this is done once; without it, nothing is done.
void PrepareProgramUnwinder() noexcept;

// The report at exit (DIDEVERAZEZ_PRELOAD_REPORT): its path is checked at
// start, so that a path that cannot be written is reported then.
void CheckReportPath();
void WriteReport();

} // namespace dideverazez::preload
