// libdideverazez_preload.so: every heap call of an unchanged Linux program
// through handles of the library, with LD_PRELOAD.
//
// malloc, calloc, realloc, free, aligned_alloc, posix_memalign, memalign,
// valloc, pvalloc, malloc_usable_size and the operator new and delete family
// are served by zu_alloc and zu_free: by default through one root handle a
// thread ("thread <tid>", or the name pthread_setname_np gave the thread),
// with DIDEVERAZEZ_PRELOAD_BY=library through one root handle a shared object
// (the one holding the caller's return address). With
// DIDEVERAZEZ_PRELOAD_REPORT=<path> ("%p" the process id) the handles' figures
// are written there at exit: for a root handle, what its tree holds from the C
// heap (the pages of its small blocks, its large blocks). DIDEVERAZEZ_REPORT
// gives the library's JSON snapshots as in any program.
//
// Every block handed out is 16-byte aligned (more when asked) and carries one
// word in front of it: a tag, the size asked for and how far the pointer lies
// from the start of what was taken, so that free finds what to give back:
//
//   [what zu_alloc or the C heap gave ... | shift word? | tag word] [user bytes]
//                                                                   ^ 16-aligned
// Calls that come before the library is ready, or from inside a call already
// being served (the library's own heap calls, the handle being built for a
// new thread), take their block from the C heap (glibc's __libc_malloc) with
// the same word in front, and free knows them by it. A pointer with no tag
// came from the C heap before this library was reached, and goes back to it.
// Handles are never destroyed: a block may be freed by any thread, also after
// the thread that allocated it has ended.

#include "handle/dideverazez.h"

#include <dlfcn.h>
#include <link.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

extern "C" {
void* __libc_malloc(std::size_t size);
void __libc_free(void* block);
void* __libc_memalign(std::size_t alignment, std::size_t size);
void* __libc_realloc(void* block, std::size_t size);
}

namespace {

constexpr std::uint64_t kMagic = 0xD1D; // the top 12 bits of every tag word
constexpr std::uint64_t kFromHeap = std::uint64_t{1} << 50;
constexpr std::uint64_t kShiftedBy8 = std::uint64_t{1} << 51;
constexpr std::uint64_t kLargest = (std::uint64_t{1} << 50) - 1; // sizes beyond: ENOMEM
constexpr std::size_t kAlignment = 16;                           // x86-64's max_align_t

// One handle this library made; kept to the end, for the report.
struct Owned {
    zu_allocator* handle;
    const link_map* object; // the shared object it serves (by library), else null
    Owned* next;
    char name[64];
};

enum class By { Thread, Library };

std::atomic<bool> gReady{false};
By gBy = By::Thread;
std::atomic<Owned*> gOwned{nullptr}; // newest first
std::mutex gObjects;                 // building a shared object's handle

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
    zu_allocator* handle; // this thread's (by thread)
    Recent recent[4];
    unsigned next;
};
__thread ThreadState gThread __attribute__((tls_model("initial-exec")));

// ---------------------------------------------------------------------------
// The words in front of a block

void* Place(char* start, std::size_t shift, std::size_t size, bool fromHeap) {
    char* block = start + shift;
    const std::uint64_t tag =
        kMagic << 52 | (fromHeap ? kFromHeap : 0) | (shift == 8 ? kShiftedBy8 : 0) | size;
    std::memcpy(block - 8, &tag, sizeof tag);
    if (shift != 8) {
        const std::uint64_t distance = shift;
        std::memcpy(block - 16, &distance, sizeof distance);
    }
    return block;
}

struct Found {
    bool ours;
    bool fromHeap;
    char* start;
    std::size_t size;
};

Found Read(void* block) {
    std::uint64_t tag = 0, distance = 8;
    std::memcpy(&tag, static_cast<char*>(block) - 8, sizeof tag);
    if (tag >> 52 != kMagic) {
        return {false, true, static_cast<char*>(block), 0};
    }
    if ((tag & kShiftedBy8) == 0) {
        std::memcpy(&distance, static_cast<char*>(block) - 16, sizeof distance);
    }
    return {true, (tag & kFromHeap) != 0, static_cast<char*>(block) - distance, tag & kLargest};
}

void* FromHeap(std::size_t size, std::size_t alignment) {
    void* start = alignment == kAlignment ? __libc_malloc(size + alignment)
                                          : __libc_memalign(alignment, size + alignment);
    return start != nullptr ? Place(static_cast<char*>(start), alignment, size, true) : nullptr;
}

// ---------------------------------------------------------------------------
// The handles

// A root handle for `name`, kept to the end; null when it cannot be built.
zu_allocator* Build(const char* name, const link_map* object) {
    void* storage = __libc_malloc(sizeof(Owned));
    void* handle = __libc_malloc(sizeof(zu_allocator));
    if (storage == nullptr || handle == nullptr) {
        __libc_free(storage);
        __libc_free(handle);
        return nullptr;
    }
    auto* owned = new (storage) Owned{nullptr, object, nullptr, {}};
    std::snprintf(owned->name, sizeof owned->name, "%s", name);
    try {
        owned->handle = new (handle) zu_allocator(owned->name);
    } catch (...) {
        __libc_free(storage);
        __libc_free(handle);
        return nullptr;
    }
    owned->next = gOwned.load();
    while (!gOwned.compare_exchange_weak(owned->next, owned)) {
    }
    return owned->handle;
}

zu_allocator* ThreadHandle() {
    if (gThread.handle == nullptr) {
        char name[64] = "";
        char own[16] = "";
        // A thread that was given a name goes by it; others share the
        // program's, and go by their id.
        if (pthread_getname_np(pthread_self(), own, sizeof own) != 0 || own[0] == '\0' ||
            std::strncmp(own, program_invocation_short_name, sizeof own - 1) == 0) {
            std::snprintf(name, sizeof name, "thread %ld", static_cast<long>(gettid()));
        } else {
            std::snprintf(name, sizeof name, "%s", own);
        }
        gThread.handle = Build(name, nullptr);
    }
    return gThread.handle;
}

// The handle of shared object `map` (null for code in none), built when first
// asked for.
zu_allocator* HandleOfObject(const link_map* map) {
    std::lock_guard<std::mutex> lock(gObjects);
    for (Owned* o = gOwned.load(); o != nullptr; o = o->next) {
        if (o->object == map) {
            return o->handle;
        }
    }
    const char* path = map != nullptr ? map->l_name : "";
    const char* slash = std::strrchr(path, '/');
    return Build(map == nullptr     ? "[code in no object]"
                 : path[0] == '\0'  ? program_invocation_short_name
                 : slash != nullptr ? slash + 1
                                    : path,
                 map);
}

// The handle of the shared object holding `caller`, found through this
// thread's recent objects, then glibc's lock-free _dl_find_object.
zu_allocator* ObjectHandle(const void* caller) {
    for (const Recent& r : gThread.recent) {
        if (caller >= r.start && caller < r.end) {
            return r.handle;
        }
    }
    dl_find_object found{};
    const bool known = _dl_find_object(const_cast<void*>(caller), &found) == 0;
    zu_allocator* handle = HandleOfObject(known ? found.dlfo_link_map : nullptr);
    if (known && handle != nullptr) {
        gThread.recent[gThread.next++ % 4] = {found.dlfo_map_start, found.dlfo_map_end, handle};
    }
    return handle;
}

// ---------------------------------------------------------------------------
// Serving the calls

void* Allocate(std::size_t size, std::size_t alignment, const void* caller) {
    if (size > kLargest) {
        errno = ENOMEM;
        return nullptr;
    }
    if (!gReady.load(std::memory_order_acquire) || gThread.inside) {
        return FromHeap(size, alignment);
    }
    gThread.inside = true;
    void* block = nullptr;
    zu_allocator* handle = gBy == By::Library ? ObjectHandle(caller) : ThreadHandle();
    try {
        if (handle == nullptr) {
            block = FromHeap(size, alignment);
        } else {
            // zu_alloc's blocks are 8-aligned: the first address 8 bytes past the
            // start at the alignment lies at most `alignment` bytes in.
            auto* start = static_cast<char*>(zu_alloc(size + alignment, handle, "preload"));
            const auto at = reinterpret_cast<std::uintptr_t>(start) + 8;
            const std::size_t shift = 8 + ((alignment - at % alignment) % alignment);
            block = Place(start, shift, size, false);
        }
    } catch (...) {
        block = nullptr;
    }
    gThread.inside = false;
    if (block == nullptr) {
        errno = ENOMEM;
    }
    return block;
}

void Release(void* block) {
    if (block == nullptr) {
        return;
    }
    const Found found = Read(block);
    if (found.fromHeap) {
        __libc_free(found.start);
    } else {
        zu_free(found.start, nullptr);
    }
}

bool PowerOfTwo(std::size_t n) {
    return n != 0 && (n & (n - 1)) == 0;
}

std::size_t AtLeast16(std::size_t alignment) {
    return alignment < kAlignment ? kAlignment : alignment;
}

void* NewOrThrow(std::size_t size, std::size_t alignment, const void* caller) {
    void* block = Allocate(size, alignment, caller);
    if (block == nullptr) {
        throw std::bad_alloc();
    }
    return block;
}

// The handles' figures, one row each, when the program ends.
__attribute__((destructor)) void WriteReport() {
    const char* pattern = secure_getenv("DIDEVERAZEZ_PRELOAD_REPORT");
    if (pattern == nullptr || !gReady.load()) {
        return;
    }
    // "%p" is the process id, so that the processes a program starts (which
    // inherit LD_PRELOAD) write reports of their own.
    char path[4096];
    std::size_t at = 0;
    for (const char* c = pattern; *c != '\0' && at + 24 < sizeof path; ++c) {
        if (c[0] == '%' && c[1] == 'p') {
            at += static_cast<std::size_t>(
                std::snprintf(path + at, 24, "%ld", static_cast<long>(getpid())));
            ++c;
        } else {
            path[at++] = *c;
        }
    }
    path[at] = '\0';
    std::FILE* file = std::fopen(path, "w");
    if (file == nullptr) {
        std::fprintf(stderr, "dideverazez preload: cannot write %s: %s\n", path,
                     std::strerror(errno));
        return;
    }
    std::fprintf(file, "%-32s %14s %14s %14s %16s %10s %12s\n", "handle", "self peak", "current",
                 "peak", "cumulative", "blocks", "ever");
    Owned* newest = gOwned.load();
    Owned* oldest = nullptr; // the list reversed: the order they were built in
    while (newest != nullptr) {
        Owned* next = newest->next;
        newest->next = oldest;
        oldest = newest;
        newest = next;
    }
    for (const Owned* o = oldest; o != nullptr; o = o->next) {
        zu_allocator::Metrics m{};
        o->handle->GetMetrics(m);
        std::fprintf(file, "%-32s %14lld %14lld %14lld %16lld %10lld %12lld\n", o->name,
                     static_cast<long long>(m.SelfPeak), static_cast<long long>(m.MemoryCurrent),
                     static_cast<long long>(m.MemoryPeak), static_cast<long long>(m.MemoryCumul),
                     static_cast<long long>(m.CountCurrent), static_cast<long long>(m.CountCumul));
    }
    std::fclose(file);
}

// The library and this one are loaded and built: handles may serve from now.
__attribute__((constructor)) void Start() {
    const char* by = secure_getenv("DIDEVERAZEZ_PRELOAD_BY");
    if (by != nullptr && std::strcmp(by, "library") == 0) {
        gBy = By::Library;
    } else if (by != nullptr && std::strcmp(by, "thread") != 0) {
        std::fprintf(stderr,
                     "dideverazez preload: DIDEVERAZEZ_PRELOAD_BY=%s is neither thread nor "
                     "library; one handle a thread\n",
                     by);
    }
    if (gBy == By::Library) {
        // The objects loaded now get their handles now, so that none is built
        // later from under a lock of the library (its own first heap call
        // there): only objects loaded later are found on their first call.
        gThread.inside = true;
        for (const link_map* map = _r_debug.r_map; map != nullptr; map = map->l_next) {
            HandleOfObject(map);
        }
        gThread.inside = false;
    }
    gReady.store(true, std::memory_order_release);
}

// Zeroes `bytes` at `block` where they are not zero already. A large block is
// fresh memory from the kernel more often than not, whose pages are zero and
// not yet resident: reading them maps the one shared zero page, writing them
// would make each page the program's own. glibc's calloc skips such blocks by
// knowing where they came from; this one looks, a page at a time.
void ClearUnlessZero(unsigned char* block, std::size_t bytes) {
    constexpr std::size_t kPage = 4096;
    static const unsigned char zeros[kPage] = {};
    if (bytes < 16 * kPage) {
        std::memset(block, 0, bytes);
        return;
    }
    for (std::size_t done = 0; done < bytes; done += kPage) {
        const std::size_t n = bytes - done < kPage ? bytes - done : kPage;
        if (std::memcmp(block + done, zeros, n) != 0) {
            std::memset(block + done, 0, n);
        }
    }
}

} // namespace

// ---------------------------------------------------------------------------
// The C heap's interface

extern "C" {

#define DIDEVERAZEZ_PRELOAD_EXPORT __attribute__((visibility("default")))

DIDEVERAZEZ_PRELOAD_EXPORT void* malloc(std::size_t size) {
    return Allocate(size, kAlignment, __builtin_return_address(0));
}

DIDEVERAZEZ_PRELOAD_EXPORT void free(void* block) {
    Release(block);
}

DIDEVERAZEZ_PRELOAD_EXPORT void* calloc(std::size_t count, std::size_t size) {
    if (size != 0 && count > SIZE_MAX / size) {
        errno = ENOMEM;
        return nullptr;
    }
    void* block = Allocate(count * size, kAlignment, __builtin_return_address(0));
    if (block != nullptr) {
        ClearUnlessZero(static_cast<unsigned char*>(block), count * size);
    }
    return block;
}

// A new block, the old contents up to the smaller size, the old block freed;
// the old block stays as it was when no new one can be had.
DIDEVERAZEZ_PRELOAD_EXPORT void* realloc(void* old, std::size_t size) {
    if (old == nullptr) {
        return Allocate(size, kAlignment, __builtin_return_address(0));
    }
    if (size == 0) {
        Release(old);
        return nullptr;
    }
    const Found found = Read(old);
    if (!found.ours) { // from the C heap before this library: it grows there
        return __libc_realloc(old, size);
    }
    void* block = Allocate(size, kAlignment, __builtin_return_address(0));
    if (block != nullptr) {
        std::memcpy(block, old, found.size < size ? found.size : size);
        Release(old);
    }
    return block;
}

DIDEVERAZEZ_PRELOAD_EXPORT void* aligned_alloc(std::size_t alignment, std::size_t size) {
    if (!PowerOfTwo(alignment)) {
        errno = EINVAL;
        return nullptr;
    }
    return Allocate(size, AtLeast16(alignment), __builtin_return_address(0));
}

DIDEVERAZEZ_PRELOAD_EXPORT void* memalign(std::size_t alignment, std::size_t size) {
    return aligned_alloc(alignment, size);
}

DIDEVERAZEZ_PRELOAD_EXPORT int posix_memalign(void** out, std::size_t alignment, std::size_t size) {
    if (!PowerOfTwo(alignment) || alignment % sizeof(void*) != 0) {
        return EINVAL;
    }
    void* block = Allocate(size, AtLeast16(alignment), __builtin_return_address(0));
    if (block == nullptr) {
        return ENOMEM;
    }
    *out = block;
    return 0;
}

DIDEVERAZEZ_PRELOAD_EXPORT void* valloc(std::size_t size) {
    return Allocate(size, static_cast<std::size_t>(sysconf(_SC_PAGESIZE)),
                    __builtin_return_address(0));
}

DIDEVERAZEZ_PRELOAD_EXPORT void* pvalloc(std::size_t size) {
    const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    return Allocate((size + page - 1) / page * page, page, __builtin_return_address(0));
}

// The size asked for: every byte of it, and none beyond, is the caller's.
DIDEVERAZEZ_PRELOAD_EXPORT std::size_t malloc_usable_size(void* block) {
    const Found found = block != nullptr ? Read(block) : Found{false, false, nullptr, 0};
    return found.ours ? found.size : 0;
}

} // extern "C"

// ---------------------------------------------------------------------------
// The C++ heap's interface

DIDEVERAZEZ_PRELOAD_EXPORT void* operator new(std::size_t size) {
    return NewOrThrow(size, kAlignment, __builtin_return_address(0));
}
DIDEVERAZEZ_PRELOAD_EXPORT void* operator new[](std::size_t size) {
    return NewOrThrow(size, kAlignment, __builtin_return_address(0));
}
DIDEVERAZEZ_PRELOAD_EXPORT void* operator new(std::size_t size, std::align_val_t alignment) {
    return NewOrThrow(size, AtLeast16(static_cast<std::size_t>(alignment)),
                      __builtin_return_address(0));
}
DIDEVERAZEZ_PRELOAD_EXPORT void* operator new[](std::size_t size, std::align_val_t alignment) {
    return NewOrThrow(size, AtLeast16(static_cast<std::size_t>(alignment)),
                      __builtin_return_address(0));
}
DIDEVERAZEZ_PRELOAD_EXPORT void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return Allocate(size, kAlignment, __builtin_return_address(0));
}
DIDEVERAZEZ_PRELOAD_EXPORT void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    return Allocate(size, kAlignment, __builtin_return_address(0));
}
DIDEVERAZEZ_PRELOAD_EXPORT void* operator new(std::size_t size, std::align_val_t alignment,
                                              const std::nothrow_t&) noexcept {
    return Allocate(size, AtLeast16(static_cast<std::size_t>(alignment)),
                    __builtin_return_address(0));
}
DIDEVERAZEZ_PRELOAD_EXPORT void* operator new[](std::size_t size, std::align_val_t alignment,
                                                const std::nothrow_t&) noexcept {
    return Allocate(size, AtLeast16(static_cast<std::size_t>(alignment)),
                    __builtin_return_address(0));
}
DIDEVERAZEZ_PRELOAD_EXPORT void operator delete(void* block) noexcept {
    Release(block);
}
DIDEVERAZEZ_PRELOAD_EXPORT void operator delete[](void* block) noexcept {
    Release(block);
}
DIDEVERAZEZ_PRELOAD_EXPORT void operator delete(void* block, std::size_t) noexcept {
    Release(block);
}
DIDEVERAZEZ_PRELOAD_EXPORT void operator delete[](void* block, std::size_t) noexcept {
    Release(block);
}
DIDEVERAZEZ_PRELOAD_EXPORT void operator delete(void* block, std::align_val_t) noexcept {
    Release(block);
}
DIDEVERAZEZ_PRELOAD_EXPORT void operator delete[](void* block, std::align_val_t) noexcept {
    Release(block);
}
DIDEVERAZEZ_PRELOAD_EXPORT void operator delete(void* block, std::size_t,
                                                std::align_val_t) noexcept {
    Release(block);
}
DIDEVERAZEZ_PRELOAD_EXPORT void operator delete[](void* block, std::size_t,
                                                  std::align_val_t) noexcept {
    Release(block);
}
DIDEVERAZEZ_PRELOAD_EXPORT void operator delete(void* block, const std::nothrow_t&) noexcept {
    Release(block);
}
DIDEVERAZEZ_PRELOAD_EXPORT void operator delete[](void* block, const std::nothrow_t&) noexcept {
    Release(block);
}
DIDEVERAZEZ_PRELOAD_EXPORT void operator delete(void* block, std::align_val_t,
                                                const std::nothrow_t&) noexcept {
    Release(block);
}
DIDEVERAZEZ_PRELOAD_EXPORT void operator delete[](void* block, std::align_val_t,
                                                  const std::nothrow_t&) noexcept {
    Release(block);
}
