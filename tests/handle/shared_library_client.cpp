// A client of the shipped shared library: it links libdideverazez alone (not
// the module's internals) and uses only the exported header, as a host
// program would.
//
// Figures: a request of up to 1024 bytes is a pooled block charged at its
// class size + 24 to its handle and every ancestor but the root; a larger one
// is charged at request + 24 to its handle and every ancestor; the root holds
// each 4036-byte page; declared amounts go to the handle and every ancestor.

#include "handle/dideverazez.h"
#include "rozudoru/TraceSink.h"
#include "statistics/lmstl_allocator.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

namespace {

zu_allocator::Metrics Read(const zu_allocator& handle) {
    zu_allocator::Metrics m{};
    handle.GetMetrics(m);
    return m;
}

// SelfPeak, MemoryPeak, MemoryCurrent, MemoryCumul, CountCurrent, CountCumul.
void ExpectMetrics(const zu_allocator& handle, const std::vector<std::int64_t>& expected) {
    const zu_allocator::Metrics m = Read(handle);
    EXPECT_EQ((std::vector<std::int64_t>{m.SelfPeak, m.MemoryPeak, m.MemoryCurrent, m.MemoryCumul,
                                         m.CountCurrent, m.CountCumul}),
              expected);
}

struct Context : IAllocatorContext {
    void OnMemoryError(bool pending) override { calls += pending ? 1 : 100; }
    int calls = 0;
};

// Collects the error records written while it lives.
class ErrorCapture {
public:
    ErrorCapture()
        : previous_(Tracer::SetTraceSink([this](const Tracer::TraceRecord& record) {
              if (record.kind == Tracer::TraceRecord::Kind::Error) {
                  errors.push_back(record.text);
              }
          })) {}
    ~ErrorCapture() { Tracer::SetTraceSink(std::move(previous_)); }
    std::vector<std::string> errors;

private:
    Tracer::TraceSink previous_;
};

} // namespace

// A tree of handles, blocks freed through other handles and through no handle,
// and the metrics of every level.
TEST(SharedLibraryClient, TreeAllocateFreeAndMetrics) {
    zu_allocator root("app");
    zu_allocator net(root, "net");
    zu_allocator buffers(&net, "buffers");

    void* a = zu_alloc(200, &buffers, "a");         // 224 class: 248 to buffers, net
    void* b = buffers.Alloc(5000);                  // heap: 5024 to buffers, net, root
    void* c = zu_alloc_array(64, &net, "c", "cat"); // 64 class: 88 to net
    net.IncMemoryUsed(1000);                        // net, root
    root.Free(a);                                   // through the root
    zu_free(b, nullptr);                            // through no handle
    zu_free_array(c, &buffers);                     // through a child of its owner

    // buffers: 248 then 5272 peak; cumul 5272; nothing now; 2 blocks ever.
    ExpectMetrics(buffers, {5272, 5272, 0, 5272, 0, 2});
    // net: 248 + 5024 + 88 + 1000 = 6360 at the peak (and ever); the declared
    // 1000 now. Self: its block of 88 and the declared 1000: peak 1088.
    ExpectMetrics(net, {1088, 6360, 1000, 6360, 1, 4});
    // root: two pages (224 and 64 classes) 8072, then 5024 and 1000: peak
    // 14096 = cumul. The pages were cached when their blocks came back and the
    // metrics above released them: the declared 1000 remains.
    ExpectMetrics(root, {8072, 14096, 1000, 14096, 1, 4});

    net.DecMemoryUsed(1000);
    EXPECT_EQ(Read(root).MemoryCurrent, 0);
}

// Reservations, limits and Dump from the client's side.
TEST(SharedLibraryClient, ReserveCheckLimitsAndDump) {
    zu_allocator root("app");
    zu_allocator child(&root, "child");
    EXPECT_TRUE(child.Reserve(4096));
    EXPECT_TRUE(child.CheckLimits());
    EXPECT_EQ(Read(root).MemoryCurrent, 4096);
    std::ostringstream out;
    child.Dump(out);
    EXPECT_TRUE(out.str().empty());
    EXPECT_TRUE(out.good());
    child.UnReserve(4096);
    EXPECT_EQ(Read(root).MemoryCurrent, 0);
    EXPECT_EQ(&child.GetRootAllocator(), &root);
}

// A standard container over a handle of the library.
TEST(SharedLibraryClient, ContainerOverHandle) {
    zu_allocator root("app");
    zu_allocator strings(root, "strings");
    {
        std::vector<int, lmstl_allocator<int>> v{lmstl_allocator<int>(&strings)};
        v.reserve(300); // 1200 bytes: heap block of 1224
        EXPECT_EQ(Read(strings).MemoryCurrent, 1224);
    }
    EXPECT_EQ(Read(strings).MemoryCurrent, 0);
}

// A handle destroyed with memory pending writes the two error lines and tells
// the context of its parent.
TEST(SharedLibraryClient, PendingMemoryReported) {
    ErrorCapture capture;
    zu_allocator root("app");
    Context context;
    root.SetAllocatorContext(&context);
    {
        zu_allocator child(root, "child");
        child.IncMemoryUsed(77);
    }
    ASSERT_EQ(capture.errors.size(), 2u);
    EXPECT_EQ(capture.errors[0], "MEMORY ERROR : Release allocator with pending memory blocks : 1");
    EXPECT_EQ(capture.errors[1], "MEMORY ERROR : unreleased bytes : 77");
    EXPECT_EQ(context.calls, 1);
    root.SetAllocatorContext(nullptr);
}

// Allocation failure reaches the client as std::bad_alloc, and a null handle
// as std::invalid_argument.
TEST(SharedLibraryClient, Failures) {
    zu_allocator root("app");
    EXPECT_THROW(root.Alloc(SIZE_MAX - 8), std::bad_alloc);
    EXPECT_THROW(zu_alloc(8, nullptr, "x"), std::invalid_argument);
    EXPECT_EQ(Read(root).CountCumul, 0);
}
