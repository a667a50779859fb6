// Loads and unloads the shared library with a trace sink installed in the
// trace library beforehand, and compares every trace record with a golden
// file: the module's root "DEBUG" built at load and destroyed at unload, and a
// client handle between.
//
// This program links the trace library only; the module is reached through
// run-time linking (dlopen and dlsym; LoadLibrary and GetProcAddress).
//   module_load_probe <library> (clean | live) <golden file>
//   clean: the client handle allocates, frees and is destroyed before unload;
//   live:  it is still alive at unload, which destroys "DEBUG" all the same.
// Exit status 0 when the records match; DIDEVERAZEZ_UPDATE_GOLDEN=1 rewrites
// the golden file instead.

#include "handle/dideverazez.h"
#include "rozudoru/TraceSink.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

namespace {

std::ostringstream gRecords; // copied: the records' strings live in the module

template <class Function> Function Symbol(void* library, const char* name) {
#if defined(_WIN32)
    const FARPROC symbol = ::GetProcAddress(static_cast<HMODULE>(library), name);
#else
    void* symbol = dlsym(library, name);
#endif
    if (symbol == nullptr) {
        std::fprintf(stderr, "no symbol %s\n", name);
        std::exit(2);
    }
    Function function;
    std::memcpy(&function, &symbol, sizeof function);
    return function;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 4 || (std::strcmp(argv[2], "clean") != 0 && std::strcmp(argv[2], "live") != 0)) {
        std::fprintf(stderr, "usage: %s <library> (clean | live) <golden file>\n", argv[0]);
        return 2;
    }
    const bool live = std::strcmp(argv[2], "live") == 0;
    Tracer::SetTraceDetail(Tracer::LogDetail_All);
    Tracer::SetTraceSink(
        [](const Tracer::TraceRecord& r) { gRecords << Tracer::FormatTraceRecord(r) << '\n'; });
#if defined(_WIN32)
    void* library = ::LoadLibraryA(argv[1]);
    const char* allocate = "_Z8zu_allocyP12zu_allocatorPKc"; // size_t is "y" on Windows
#else
    void* library = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    const char* allocate = "_Z8zu_allocmP12zu_allocatorPKc";
#endif
    if (library == nullptr) {
        std::fprintf(stderr, "cannot load %s\n", argv[1]);
        return 2;
    }
    // The exported members, called as the C++ ABI calls them: the object first.
    alignas(zu_allocator) unsigned char storage[sizeof(zu_allocator)];
    auto* client = reinterpret_cast<zu_allocator*>(storage);
    Symbol<void (*)(zu_allocator*, const char*, bool)>(library, "_ZN12zu_allocatorC1EPKcb")(
        client, "client", false);
    void* engine = nullptr; // the handle's third field, freed by hand if it outlives the module
    std::memcpy(&engine, storage + 2 * sizeof(void*), sizeof engine);
    if (!live) {
        Symbol<void (*)(void*, zu_allocator*)>(library, "_Z7zu_freePvP12zu_allocator")(
            Symbol<void* (*)(size_t, zu_allocator*, const char*)>(library, allocate)(100, client,
                                                                                     "probe"),
            nullptr);
        Symbol<void (*)(zu_allocator*)>(library, "_ZN12zu_allocatorD1Ev")(client);
    }
#if defined(_WIN32)
    const bool closed = ::FreeLibrary(static_cast<HMODULE>(library)) != 0;
#else
    const bool closed = dlclose(library) == 0;
#endif
    Tracer::SetTraceSink({});
    if (live) {
        std::free(engine);
    }
    // Addresses differ from run to run: "DEBUG"'s is in the first This line.
    std::string text = gRecords.str();
    const std::size_t debug = text.find("This:") + 5;
    std::ostringstream clientText;
    clientText << static_cast<const void*>(client);
    for (const auto& [from, to] :
         {std::pair{text.substr(debug, text.find('\n', debug) - debug), std::string("@DEBUG")},
          {clientText.str(), "@client"}}) {
        for (auto at = text.find(from); at != std::string::npos; at = text.find(from, at)) {
            text.replace(at, from.size(), to);
        }
    }
    if (const char* update = std::getenv("DIDEVERAZEZ_UPDATE_GOLDEN"); update && *update == '1') {
        std::ofstream(argv[3], std::ios::binary) << text;
    }
    std::ifstream golden(argv[3], std::ios::binary);
    const std::string expected{std::istreambuf_iterator<char>(golden), {}};
    if (!closed || text != expected) {
        std::fprintf(stderr, "%s differs; the records were:\n%s", argv[3], text.c_str());
        return 1;
    }
    return 0;
}
