// Loads and unloads the shared library with a trace sink installed in the
// trace library beforehand, and checks the trace of the module's own root
// handle "DEBUG": its construction at load, its destruction at unload.
//
// This program links the trace library only; the module is reached through
// the platform's run-time linking (dlopen and dlsym; LoadLibrary and
// GetProcAddress on Windows). Usage: module_load_probe <library> (clean | live)
//   clean: no client handle is alive at unload (one is built and destroyed
//          while the module is loaded);
//   live:  a client handle is still alive at unload; the module's root is
//          destroyed all the same, and the client handle writes nothing.
// Exit status 0 when every check holds.

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
#include <new>
#include <sstream>
#include <string>
#include <vector>

namespace {

// A trace record with its texts copied: the file, category and function
// pointers of a record point into the module, which is gone after unload.
struct Record {
    Tracer::TraceRecord::Kind kind;
    int detail;
    std::string text;
    std::string file;
    long line;
    std::string category;
    std::string function;
};

std::string Text(const char* text) {
    return text != nullptr ? text : "<null>";
}

std::vector<Record> gRecords;
int gFailures = 0;

void Check(bool condition, const std::string& what) {
    if (!condition) {
        ++gFailures;
        std::fprintf(stderr, "FAILED: %s\n", what.c_str());
    }
}

std::string PointerText(const void* pointer) {
    std::ostringstream text;
    text << pointer;
    return text.str();
}

void CheckRecord(const std::vector<Record>& records, std::size_t i, Tracer::TraceRecord::Kind kind,
                 int detail, const std::string& text, long line, const char* category,
                 const char* function) {
    const std::string where = "record " + std::to_string(i) + " (" + text + ")";
    if (i >= records.size()) {
        Check(false, where + " missing");
        return;
    }
    const Record& record = records[i];
    Check(record.kind == kind, where + ": kind");
    Check(record.detail == detail, where + ": detail " + std::to_string(record.detail));
    Check(record.text == text, where + ": text \"" + record.text + "\"");
    Check(record.file == "kdideverazez", where + ": file " + record.file);
    Check(record.line == line, where + ": line " + std::to_string(record.line));
    Check(record.category == Text(category), where + ": category " + record.category);
    Check(record.function == Text(function), where + ": function " + record.function);
}

using Kind = Tracer::TraceRecord::Kind;
constexpr const char* kCategory = "R9_ALLOCATOR:";

// The scope and four lines of the root's construction; returns its address
// text as the "This" line gives it.
std::string CheckDebugConstruction(const std::vector<Record>& records) {
    Check(records.size() == 6, "load writes 6 records, got " + std::to_string(records.size()));
    CheckRecord(records, 0, Kind::ScopeOpen, 16, "R9_ALLOCATOR:zu_allocator::ctor", 223, nullptr,
                nullptr);
    std::string address;
    if (records.size() > 1 && records[1].text.rfind("This:", 0) == 0) {
        address = records[1].text.substr(5);
    }
    Check(!address.empty() && address != PointerText(nullptr), "DEBUG has an address");
    CheckRecord(records, 1, Kind::Line, 2, "This:" + address, 224, kCategory, "initor");
    CheckRecord(records, 2, Kind::Line, 2, "Parent:" + PointerText(nullptr), 225, kCategory,
                "initor");
    CheckRecord(records, 3, Kind::Line, 2, "Name:DEBUG", 226, kCategory, "initor");
    CheckRecord(records, 4, Kind::Line, 2, "Kind:paged", 227, kCategory, "initor");
    CheckRecord(records, 5, Kind::ScopeClose, 16, "R9_ALLOCATOR:zu_allocator::ctor", 223, nullptr,
                nullptr);
    return address;
}

// A global root's destruction: the scope, This and Name, and nothing else (no
// peak line, no pending-memory error).
void CheckDebugDestruction(const std::vector<Record>& records, const std::string& address) {
    Check(records.size() == 4, "unload writes 4 records, got " + std::to_string(records.size()));
    CheckRecord(records, 0, Kind::ScopeOpen, 16, "R9_ALLOCATOR:zu_allocator::dtor", 282, nullptr,
                nullptr);
    CheckRecord(records, 1, Kind::Line, 2, "This:" + address, 283, kCategory, "~zu_allocator");
    CheckRecord(records, 2, Kind::Line, 2, "Name:DEBUG", 284, kCategory, "~zu_allocator");
    CheckRecord(records, 3, Kind::ScopeClose, 16, "R9_ALLOCATOR:zu_allocator::dtor", 282, nullptr,
                nullptr);
}

// Run-time linking: the library's handle (null on failure), the reason of the
// last failure, and its unloading (false on failure).
#if defined(_WIN32)
void* OpenLibrary(const char* path) {
    return ::LoadLibraryA(path);
}
std::string LinkError() {
    return "error " + std::to_string(::GetLastError());
}
bool CloseLibrary(void* library) {
    return ::FreeLibrary(static_cast<HMODULE>(library)) != 0;
}
#else
void* OpenLibrary(const char* path) {
    return dlopen(path, RTLD_NOW | RTLD_LOCAL);
}
std::string LinkError() {
    return dlerror();
}
bool CloseLibrary(void* library) {
    return dlclose(library) == 0;
}
#endif

template <class Function> Function Symbol(void* library, const char* name) {
#if defined(_WIN32)
    const FARPROC symbol = ::GetProcAddress(static_cast<HMODULE>(library), name);
#else
    void* symbol = dlsym(library, name);
#endif
    if (symbol == nullptr) {
        std::fprintf(stderr, "FAILED: no symbol %s\n", name);
        std::exit(2);
    }
    Function function;
    static_assert(sizeof function == sizeof symbol);
    std::memcpy(&function, &symbol, sizeof function);
    return function;
}

// The exported constructor zu_allocator(const char*, bool) and destructor,
// called the way the platform's C++ ABI calls them: the object first.
using Constructor = void (*)(zu_allocator*, const char*, bool);
using Destructor = void (*)(zu_allocator*);
using Allocate = void* (*)(size_t, zu_allocator*, const char*);
using Release = void (*)(void*, zu_allocator*);

} // namespace

int main(int argc, char** argv) {
    if (argc != 3 || (std::strcmp(argv[2], "clean") != 0 && std::strcmp(argv[2], "live") != 0)) {
        std::fprintf(stderr, "usage: %s <library> (clean | live)\n", argv[0]);
        return 2;
    }
    const bool live = std::strcmp(argv[2], "live") == 0;

    Tracer::SetTraceDetail(Tracer::LogDetail_All);
    Tracer::SetTraceSink([](const Tracer::TraceRecord& record) {
        gRecords.push_back({record.kind, record.detail, record.text, Text(record.file), record.line,
                            Text(record.category), Text(record.function)});
    });

    void* library = OpenLibrary(argv[1]);
    if (library == nullptr) {
        std::fprintf(stderr, "FAILED: loading %s: %s\n", argv[1], LinkError().c_str());
        return 2;
    }
    const std::string debugAddress = CheckDebugConstruction(gRecords);
    gRecords.clear();

    const auto construct = Symbol<Constructor>(library, "_ZN12zu_allocatorC1EPKcb");
    const auto destroy = Symbol<Destructor>(library, "_ZN12zu_allocatorD1Ev");
#if defined(_WIN32)
    // size_t is unsigned long long ("y") on 64-bit Windows, unsigned long ("m") on LP64.
    const auto allocate = Symbol<Allocate>(library, "_Z8zu_allocyP12zu_allocatorPKc");
#else
    const auto allocate = Symbol<Allocate>(library, "_Z8zu_allocmP12zu_allocatorPKc");
#endif
    const auto release = Symbol<Release>(library, "_Z7zu_freePvP12zu_allocator");

    alignas(zu_allocator) unsigned char storage[sizeof(zu_allocator)];
    auto* client = reinterpret_cast<zu_allocator*>(storage);
    construct(client, "client", false);
    Check(gRecords.size() == 6, "a client handle's construction writes 6 records");
    Check(gRecords.size() > 3 && gRecords[3].text == "Name:client", "client's Name line");
    Check(gRecords.size() > 1 && gRecords[1].text == "This:" + PointerText(client),
          "client's This line");
    if (!live) {
        // A live handle keeps what it holds when the module goes; the clean
        // run alone uses its handle.
        release(allocate(100, client, "probe"), nullptr);
    }
    gRecords.clear();

    // The engine the handle owns: its third field. Kept to give its storage
    // back when the module is gone with the handle still alive.
    void* engineStorage = nullptr;
    std::memcpy(&engineStorage, storage + 2 * sizeof(void*), sizeof engineStorage);

    if (!live) {
        destroy(client);
        Check(gRecords.size() == 5, "the client handle's destruction writes 5 records");
        // A root holds its pages, not its pooled blocks: its peak is the one
        // page that the 100-byte block took.
        Check(gRecords.size() > 3 && gRecords[3].text == "MemoryPeak:4036",
              "client's MemoryPeak line (one page of 4036 bytes)");
        gRecords.clear();
    }

    if (!CloseLibrary(library)) {
        std::fprintf(stderr, "FAILED: unloading: %s\n", LinkError().c_str());
        return 2;
    }
    // Unloading destroyed "DEBUG" (whatever client handles are still alive),
    // and only "DEBUG": a live client handle writes nothing at unload.
    CheckDebugDestruction(gRecords, debugAddress);
    Tracer::SetTraceSink({});

    if (live) {
        // The handle outlived the module and can no longer be destroyed; its
        // engine never took a page, so its own storage is all it holds from
        // the C heap. Give it back by hand.
        std::free(engineStorage);
    }
    if (gFailures == 0) {
        std::printf("module_load_probe %s: all checks passed\n", argv[2]);
    }
    return gFailures == 0 ? 0 : 1;
}
