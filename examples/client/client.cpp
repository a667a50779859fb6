// A minimal client: the installed public headers and libdideverazez, nothing
// else. It builds a small tree of handles, allocates through the free
// functions, a standard container (lmstl_allocator) and a std::pmr container
// (zu_memory_resource), and checks the figures the library reports against
// what its rules say they must be. Exit status 0 when they all hold.
//
//   client [--linger MS]
// With --linger it prints "ready" and waits MS milliseconds with its tree
// holding memory (time to ask for a snapshot: kill -USR1). Before each handle
// goes it prints the metrics the handle gives last ("metrics Path: self peak,
// peak, cumulative bytes, blocks ever"), which a snapshot written at exit
// (DIDEVERAZEZ_REPORT) lists for its retired handles.

#include <dideverazez/dideverazez.h>
#include <dideverazez/lmstl_allocator.h>
#include <dideverazez/zu_memory_resource.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory_resource>
#include <thread>
#include <vector>

namespace {

int failures = 0;

void Expect(const char* what, std::int64_t actual, std::int64_t expected) {
    const bool ok = actual == expected;
    std::printf("%-52s %8lld %s\n", what, static_cast<long long>(actual), ok ? "ok" : "WRONG");
    if (!ok) {
        std::printf("    expected %lld\n", static_cast<long long>(expected));
        ++failures;
    }
}

zu_allocator::Metrics MetricsOf(const zu_allocator& handle) {
    zu_allocator::Metrics m{};
    handle.GetMetrics(m);
    return m;
}

// A handle that prints its last metrics when it goes.
struct Handle : zu_allocator {
    template <class... Arguments>
    Handle(const char* path, Arguments&&... arguments) : zu_allocator(arguments...), path(path) {}
    ~Handle() {
        const zu_allocator::Metrics m = MetricsOf(*this);
        std::printf("metrics %s: %lld %lld %lld %lld\n", path, static_cast<long long>(m.SelfPeak),
                    static_cast<long long>(m.MemoryPeak), static_cast<long long>(m.MemoryCumul),
                    static_cast<long long>(m.CountCumul));
    }
    const char* path;
};

} // namespace

int main(int argc, char** argv) {
    const long linger = argc == 3 && std::strcmp(argv[1], "--linger") == 0 ? std::atol(argv[2]) : 0;
    Handle app("ClientApp", "ClientApp");
    Handle cache("ClientApp/Cache", app, "Cache");

    // 100 bytes are served by the 128-byte size class and charged at its
    // stride, 128 + 24 = 152; 5000 bytes come from the C heap, charged 5024.
    void* entry = zu_alloc(100, &cache, "entry");
    void* blob = zu_alloc(5000, &cache, "blob");
    Expect("Cache bytes after 100 + 5000", MetricsOf(cache).MemoryCurrent, 152 + 5024);
    // The root sees the heap block and the page the pooled block lives in
    // (4036 bytes), not the pooled block itself.
    Expect("ClientApp bytes (page + heap block)", MetricsOf(app).MemoryCurrent, 4036 + 5024);

    {
        // A standard container: 10 ints are one block of 40 bytes, 48-byte
        // class, charged 72.
        std::vector<int, lmstl_allocator<int>> ids{lmstl_allocator<int>(&cache)};
        ids.reserve(10);
        Expect("Cache bytes with a vector of 10 ints", MetricsOf(cache).MemoryCurrent,
               152 + 5024 + 72);

        // A std::pmr container: 40 bytes aligned to 4 are one block of 40
        // bytes; 40 bytes asked with the default alignment (16) are one
        // block of 40 + 16 = 56 bytes, 64-byte class, charged 88.
        zu_memory_resource resource(&cache);
        std::pmr::vector<int> samples(&resource);
        samples.reserve(10);
        void* aligned = resource.allocate(40);
        Expect("16-byte alignment kept (address % 16)",
               static_cast<std::int64_t>(reinterpret_cast<std::uintptr_t>(aligned) % 16), 0);
        Expect("Cache bytes with both containers and one pmr block", MetricsOf(cache).MemoryCurrent,
               152 + 5024 + 72 + 72 + 88);
        resource.deallocate(aligned, 40);
    }

    if (linger > 0) {
        std::printf("ready\n");
        std::fflush(stdout);
        std::this_thread::sleep_for(std::chrono::milliseconds(linger));
    }

    zu_free(entry, nullptr); // no handle needed: the block names its engine
    app.Free(blob);          // or any handle at all
    Expect("Cache bytes after everything is freed", MetricsOf(cache).MemoryCurrent, 0);
    Expect("Cache blocks ever allocated", MetricsOf(cache).CountCumul, 5);

    std::printf("%s\n", failures == 0 ? "client: all figures as expected" : "client: FAILED");
    return failures == 0 ? 0 : 1;
}
