// Start and end of the preload library: the environment, the library's own
// addresses, another allocator loaded first, the handles of the objects loaded
// at start (by library), the watch on thread exits and fork, and the reports
// at exit and at _exit.

#include "Preload.h"

#include <dlfcn.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <unwind.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace dideverazez::preload {

std::atomic<bool> gReady{false};
By gBy = By::Thread;
std::uintptr_t gOwnStart = 0, gOwnEnd = 0;
const link_map* gOwnMap = nullptr;
int (*gSetName)(pthread_t, const char*) = nullptr;
ForeignHeap gForeign{};
__thread ThreadState gThread __attribute__((tls_model("initial-exec")));

namespace {

// This process's id, from its start or its fork: a child made by vfork shares
// this memory, and has another.
pid_t gProcess = 0;
// The library's last snapshot, offered through dideverazez_preload_set_exit_hook
// (platform::OfferExitHook); null once taken.
std::atomic<void (*)()> gExitHook{nullptr};
std::atomic<bool> gEnded{false}; // the reports of the end are written
void (*gExit)(int) = nullptr;    // glibc's _exit

// `name` as `scope` (a handle of dlopen, or RTLD_DEFAULT) finds it, unless
// that is in this library: null then.
void* Foreign(void* scope, const char* name, const link_map* own) {
    void* found = dlsym(scope, name);
    dl_find_object definer{};
    return found != nullptr && _dl_find_object(found, &definer) == 0 && definer.dlfo_link_map == own
               ? nullptr
               : found;
}

// The object loaded before this library that defines malloc itself, which
// then serves the program's malloc; null when this library comes first. The
// objects are looked at in the order symbols are searched. The program's own
// malloc may be no more than the address of its call stub (a program that
// takes malloc's address), which is not a definition: a program is taken to
// define it only when the symbol it has is one.
const link_map* ForeignMallocObject(const link_map* own) {
    for (const link_map* map = _r_debug.r_map; map != nullptr && map != own; map = map->l_next) {
        void* found = nullptr;
        if (map == _r_debug.r_map) {
            found = dlsym(RTLD_DEFAULT, "malloc");
        } else if (void* handle = dlopen(map->l_name, RTLD_LAZY | RTLD_NOLOAD)) {
            found = dlsym(handle, "malloc");
            dlclose(handle);
        }
        // dladdr1 searches the object's whole symbol table: it is asked only
        // about a malloc found in this object.
        dl_find_object definer{};
        if (found == nullptr || _dl_find_object(found, &definer) != 0 ||
            definer.dlfo_link_map != map) {
            continue;
        }
        Dl_info info{};
        void* symbol = nullptr;
        if (dladdr1(found, &info, &symbol, RTLD_DL_SYMENT) != 0 && symbol != nullptr &&
            static_cast<const ElfW(Sym)*>(symbol)->st_shndx != SHN_UNDEF) {
            return map;
        }
    }
    return nullptr;
}

// Whether an allocator loaded before this library serves malloc; if so, reports it
// once and fills gForeign with its functions, found from its object (and what
// it depends on, glibc's aligned allocation where it has none), never from
// this library.
bool ForeignHeapServes() {
    dl_find_object ownObject{};
    if (_dl_find_object(reinterpret_cast<void*>(&Foreign), &ownObject) != 0) {
        return false;
    }
    const link_map* own = ownObject.dlfo_link_map;
    const link_map* other = ForeignMallocObject(own);
    if (other == nullptr) {
        return false;
    }
    // Its handle stays open: its functions serve until the process ends.
    void* scope =
        other == _r_debug.r_map ? RTLD_DEFAULT : dlopen(other->l_name, RTLD_LAZY | RTLD_NOLOAD);
    void* allocate = scope != nullptr ? Foreign(scope, "malloc", own) : nullptr;
    void* release = scope != nullptr ? Foreign(scope, "free", own) : nullptr;
    void* resize = scope != nullptr ? Foreign(scope, "realloc", own) : nullptr;
    if (allocate == nullptr || release == nullptr || resize == nullptr) {
        return false;
    }
    std::fprintf(stderr,
                 "dideverazez preload: malloc is served by %s, loaded before this library: no "
                 "heap call is counted in handles (put libdideverazez_preload.so first in "
                 "LD_PRELOAD)\n",
                 other->l_name[0] != '\0' ? other->l_name : "the program");
    void* aligned = Foreign(scope, "memalign", own);
    aligned = aligned != nullptr ? aligned : Foreign(scope, "aligned_alloc", own);
    gForeign.allocate = reinterpret_cast<void* (*)(std::size_t)>(allocate);
    gForeign.aligned = aligned != nullptr
                           ? reinterpret_cast<void* (*)(std::size_t, std::size_t)>(aligned)
                           : __libc_memalign;
    gForeign.resize = reinterpret_cast<void* (*)(void*, std::size_t)>(resize);
    gForeign.usable =
        reinterpret_cast<std::size_t (*)(void*)>(Foreign(scope, "malloc_usable_size", own));
    gForeign.release = reinterpret_cast<void (*)(void*)>(release);
    return true;
}

// The text report and the library's last snapshot, once, from the thread that
// ends the process; none from a child made by vfork, whose memory is its
// parent's, nor from inside a heap call (a signal handler that ends the
// process), which may hold a lock they need.
void End() {
    if (!gReady.load() || syscall(SYS_getpid) != gProcess || gThread.inside ||
        gEnded.exchange(true)) {
        return;
    }
    gThread.inside = true;
    WriteReport();
    if (void (*hook)() = gExitHook.exchange(nullptr)) {
        hook();
    }
    gThread.inside = false;
}

// libdideverazez's object: the one holding dbg_alloc, unless that address is
// the program's own (a program linked without -pie that calls the library
// has the function's canonical address), then the object of that name.
const link_map* LibraryObject() {
    dl_find_object found{};
    if (_dl_find_object(reinterpret_cast<void*>(&dbg_alloc), &found) == 0 &&
        found.dlfo_link_map->l_name[0] != '\0') {
        return found.dlfo_link_map;
    }
    for (const link_map* map = _r_debug.r_map; map != nullptr; map = map->l_next) {
        const char* slash = std::strrchr(map->l_name, '/');
        if (std::strncmp(slash != nullptr ? slash + 1 : map->l_name, "libdideverazez.so", 17) ==
            0) {
            return map;
        }
    }
    return nullptr;
}

// The library and this one are loaded and built: handles may serve from now.
__attribute__((constructor)) void Start() {
    gProcess = static_cast<pid_t>(syscall(SYS_getpid));
    gExit = reinterpret_cast<void (*)(int)>(dlsym(RTLD_NEXT, "_exit"));
    if (ForeignHeapServes()) {
        return; // never ready: what reaches this library goes to that heap
    }
    gThread.inside = true;
    const char* by = secure_getenv("DIDEVERAZEZ_PRELOAD_BY");
    if (by != nullptr && std::strcmp(by, "library") == 0) {
        gBy = By::Library;
    } else if (by != nullptr && std::strcmp(by, "thread") != 0) {
        std::fprintf(stderr,
                     "dideverazez preload: DIDEVERAZEZ_PRELOAD_BY=%s is neither thread nor "
                     "library; one handle a thread\n",
                     by);
    }
    gOwnMap = LibraryObject();
    dl_find_object own{};
    if (gOwnMap != nullptr && _dl_find_object(gOwnMap->l_ld, &own) == 0) {
        gOwnStart = reinterpret_cast<std::uintptr_t>(own.dlfo_map_start);
        gOwnEnd = reinterpret_cast<std::uintptr_t>(own.dlfo_map_end);
    }
    gSetName =
        reinterpret_cast<int (*)(pthread_t, const char*)>(dlsym(RTLD_NEXT, "pthread_setname_np"));
    CheckReportPath();
    if (gBy == By::Library) {
        // The objects loaded now get their handles now, so that none is built
        // later from under a lock of the library: only objects loaded later
        // are found on their first call.
        ServeLoadedObjects();
    }
    WatchThreadExits();
    InstallForkHandlers();
    gThread.inside = false;
    gReady.store(true, std::memory_order_release);
}

// At exit the library writes its own last snapshot as it unloads.
__attribute__((destructor)) void AtExit() {
    gExitHook.store(nullptr);
    End();
}

} // namespace

void PrepareProgramUnwinder() noexcept {
    static std::atomic<bool> prepared{false};
    if (prepared.load(std::memory_order_acquire)) {
        return;
    }
    // Looked up at the throw, not at start: a program without C++ code may load
    // libgcc_s later, with a module that allocates through operator new.
    if (void* shared = dlopen("libgcc_s.so.1", RTLD_LAZY | RTLD_NOLOAD)) {
        using Backtrace = _Unwind_Reason_Code (*)(_Unwind_Trace_Fn, void*);
        if (auto walk = reinterpret_cast<Backtrace>(dlsym(shared, "_Unwind_Backtrace"))) {
            walk([](_Unwind_Context*, void*) { return _URC_END_OF_STACK; }, nullptr);
            prepared.store(true, std::memory_order_release);
        }
        dlclose(shared);
    }
}

void NoteFork() {
    gProcess = static_cast<pid_t>(syscall(SYS_getpid));
    gThread.id = gProcess; // the forking thread is the child's main thread
}

pid_t ThisProcess() noexcept {
    return gProcess;
}

} // namespace dideverazez::preload

using namespace dideverazez::preload;

extern "C" {

// The library's last snapshot at _exit, which a program calls to end without
// exit's handlers (a forked child, Python's os._exit, multiprocessing's
// workers): offered by the library when it loads.
__attribute__((visibility("default"))) void dideverazez_preload_set_exit_hook(void (*write)()) {
    gExitHook.store(write);
}

// _exit and _Exit write what exit would, then end the process as glibc's do.
[[noreturn]] __attribute__((visibility("default"))) void _exit(int status) {
    End();
    if (gExit != nullptr) {
        gExit(status);
    }
    for (;;) {
        syscall(SYS_exit_group, status);
    }
}

[[noreturn]] __attribute__((visibility("default"))) void _Exit(int status) {
    _exit(status);
}

} // extern "C"
