// A program that links libdideverazez and librozudoru itself, run through the
// preload library (tests/preload/reports.py, check "linked"). Its handle, the
// preload's handles and its trace sink must all meet one copy of the library:
// it prints how many trace records its sink got and whether a bad_alloc thrown
// inside the library reached its catch, and keeps 100 bytes of its handle
// "Linked" to the end, for the snapshot to show beside the preload's handles.

#include "handle/dideverazez.h"
#include "rozudoru/TraceSink.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <new>

int main() {
    static std::atomic<int> records{0};
    Tracer::SetTraceSink([](const Tracer::TraceRecord&) { ++records; });
    // Never destroyed: the snapshot at exit shows it live, holding its block.
    auto* linked = new zu_allocator("Linked");
    void* kept = zu_alloc(100, linked, "kept");
    bool caught = false;
    try {
        zu_free(zu_alloc(~std::size_t{0} >> 1, linked, "too large"), linked);
    } catch (const std::bad_alloc&) {
        caught = true;
    }
    void* plain = std::malloc(64);
    std::free(plain);
    std::printf("records %s, bad_alloc %s, kept %s\n", records.load() > 0 ? "seen" : "none",
                caught ? "caught" : "lost", kept != nullptr ? "yes" : "no");
    return 0;
}
