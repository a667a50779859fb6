// Start and end of the preload library: the environment, the library's own
// addresses, the handles of the objects loaded at start (by library), the
// watch on thread exits and fork, and the report at exit.

#include "Preload.h"

#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace dideverazez::preload {

std::atomic<bool> gReady{false};
By gBy = By::Thread;
std::uintptr_t gOwnStart = 0, gOwnEnd = 0;
const link_map* gOwnMap = nullptr;
int (*gSetName)(pthread_t, const char*) = nullptr;
__thread ThreadState gThread __attribute__((tls_model("initial-exec")));

namespace {

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

__attribute__((destructor)) void End() {
    if (gReady.load()) {
        gThread.inside = true;
        WriteReport();
        gThread.inside = false;
    }
}

} // namespace
} // namespace dideverazez::preload
