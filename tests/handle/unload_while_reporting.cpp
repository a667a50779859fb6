// Unloading the library while it reports: run with DIDEVERAZEZ_REPORT (and an
// interval) set, this program loads the library at run time, builds, uses and
// destroys a handle, and unloads it. The unload must return: on Windows it
// runs under the loader's lock, where waiting for the library's own thread
// would never end (the library stays loaded instead, its last snapshot
// written when the process ends).
//   unload_while_reporting <library>
// Exit status 0 once the library is unloaded; a hang is the failure.

#include "handle/dideverazez.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

#include <cstdio>
#include <cstring>

namespace {

template <class Function> Function Symbol(void* library, const char* name) {
#if defined(_WIN32)
    const FARPROC symbol = ::GetProcAddress(static_cast<HMODULE>(library), name);
#else
    void* symbol = dlsym(library, name);
#endif
    Function function = nullptr;
    if (symbol != nullptr) {
        std::memcpy(&function, &symbol, sizeof function);
    }
    return function;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <library>\n", argv[0]);
        return 2;
    }
#if defined(_WIN32)
    void* library = ::LoadLibraryA(argv[1]);
    const char* allocate = "_Z8zu_allocyP12zu_allocatorPKc";
#else
    void* library = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    const char* allocate = "_Z8zu_allocmP12zu_allocatorPKc";
#endif
    const auto build =
        Symbol<void (*)(zu_allocator*, const char*, bool)>(library, "_ZN12zu_allocatorC1EPKcb");
    const auto destroy = Symbol<void (*)(zu_allocator*)>(library, "_ZN12zu_allocatorD1Ev");
    const auto alloc = Symbol<void* (*)(size_t, zu_allocator*, const char*)>(library, allocate);
    const auto release =
        Symbol<void (*)(void*, zu_allocator*)>(library, "_Z7zu_freePvP12zu_allocator");
    if (library == nullptr || !build || !destroy || !alloc || !release) {
        std::fprintf(stderr, "cannot load %s and its handle's operations\n", argv[1]);
        return 2;
    }
    alignas(zu_allocator) unsigned char storage[sizeof(zu_allocator)];
    auto* handle = reinterpret_cast<zu_allocator*>(storage);
    build(handle, "unloaded", false);
    for (int i = 0; i < 1000; ++i) {
        release(alloc(64 + i % 1000, handle, "probe"), nullptr);
    }
    destroy(handle);
#if defined(_WIN32)
    const bool unloaded = ::FreeLibrary(static_cast<HMODULE>(library)) != 0;
#else
    const bool unloaded = dlclose(library) == 0;
#endif
    std::printf("unloaded: %s\n", unloaded ? "yes" : "no");
    return unloaded ? 0 : 1;
}
