// Handles destroyed with blocks still in use: the two error lines with the
// exact counts and bytes, and one call of the nearest context.

#include "engines/kdideverazez_impl.h"
#include "handle/dideverazez.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

namespace {

using dideverazez::test::TraceCapture;

struct CountingContext final : IAllocatorContext {
    int calls = 0;
    bool pending = false;
    void OnMemoryError(bool value) override {
        ++calls;
        pending = value;
    }
};

std::vector<Tracer::TraceRecord> Errors(const TraceCapture& capture) {
    std::vector<Tracer::TraceRecord> errors;
    for (const Tracer::TraceRecord& record : capture.Records()) {
        if (record.kind == Tracer::TraceRecord::Kind::Error) {
            errors.push_back(record);
        }
    }
    return errors;
}

// What a destroyed handle left behind goes back to the heap once its tree is
// gone: heap blocks start 24 bytes before the user pointer, pooled blocks live
// in pages reached through their Link word, 24 bytes before it.
class Leftovers {
public:
    void Keep(void* block) {
        char* start = static_cast<char*>(block) - 24;
        if (HeaderOf(block)->Size != 0) {
            heapBlocks_.push_back(start);
        } else {
            pages_.insert(*reinterpret_cast<void**>(start));
        }
    }
    ~Leftovers() {
        for (void* block : heapBlocks_) {
            dbg_free(block);
        }
        for (void* page : pages_) {
            dbg_free(page);
        }
    }

private:
    std::vector<void*> heapBlocks_;
    std::set<void*> pages_;
};

struct PendingCase {
    std::size_t blocks;
    std::size_t size;
    const char* count; // GlobalStat.Counter.Current of the destroyed handle
    const char* bytes; // GlobalStat.Memory.Current of the destroyed handle
};

class LeakReport : public ::testing::TestWithParam<PendingCase> {};

// A grandchild destroyed with blocks in use writes the two error lines with
// its subtree's count and bytes, and calls its parent's context (the nearest)
// once, not the root's.
TEST_P(LeakReport, WritesTwoErrorLinesAndCallsTheNearestContextOnce) {
    const PendingCase& row = GetParam();
    Leftovers leftovers;
    TraceCapture capture;
    CountingContext rootContext;
    CountingContext childContext;
    {
        zu_allocator root("leak-root");
        root.SetAllocatorContext(&rootContext);
        zu_allocator child(root, "leak-child");
        child.SetAllocatorContext(&childContext);
        {
            zu_allocator grandchild(child, "leak-grandchild");
            for (std::size_t i = 0; i < row.blocks; ++i) {
                leftovers.Keep(grandchild.Alloc(row.size));
            }
            capture.Clear();
        }
        const std::vector<Tracer::TraceRecord> errors = Errors(capture);
        ASSERT_EQ(errors.size(), 2u);
        EXPECT_EQ(errors[0].text,
                  std::string("MEMORY ERROR : Release allocator with pending memory blocks : ") +
                      row.count);
        EXPECT_EQ(errors[1].text, std::string("MEMORY ERROR : unreleased bytes : ") + row.bytes);
        EXPECT_EQ(errors[0].line, 299);
        EXPECT_EQ(errors[1].line, 300);
        for (const Tracer::TraceRecord& error : errors) {
            EXPECT_STREQ(error.file, "kdideverazez");
            EXPECT_STREQ(error.category, "R9_ALLOCATOR:");
            EXPECT_STREQ(error.function, "~zu_allocator");
        }
        EXPECT_EQ(childContext.calls, 1);
        EXPECT_TRUE(childContext.pending);
        EXPECT_EQ(rootContext.calls, 0);
        // The child and the root still carry the grandchild's charges and
        // report them too when they go; that is their own report.
    }
}

INSTANTIATE_TEST_SUITE_P(PendingBlocks, LeakReport,
                         ::testing::Values(
                             // 100 bytes: the 128-byte class, stride 128 + 24 = 152.
                             PendingCase{1, 100, "1", "152"},
                             // 2000 bytes: heap blocks of 2000 + 24 = 2024 bytes; 10 * 2024.
                             PendingCase{10, 2000, "10", "20240"},
                             // 8 bytes: stride 8 + 24 = 32; 1000 * 32.
                             PendingCase{1000, 8, "1000", "32000"}),
                         [](const ::testing::TestParamInfo<PendingCase>& info) {
                             return std::to_string(info.param.blocks) + "Blocks";
                         });

// A handle whose blocks and declared amounts all went back writes no error
// line and calls no context.
TEST(LeakReportNothingPending, WritesNothingAndCallsNoContext) {
    TraceCapture capture;
    CountingContext context;
    zu_allocator root("quiet-root");
    root.SetAllocatorContext(&context);
    {
        zu_allocator child(root, "quiet-child");
        child.SetAllocatorContext(&context);
        void* pooled = child.Alloc(100);
        void* heap = child.Alloc(5000);
        child.IncMemoryUsed(64);
        child.Reserve(128);
        child.Free(pooled);
        zu_free(heap, nullptr);
        child.DecMemoryUsed(64);
        child.UnReserve(128);
        capture.Clear();
    }
    EXPECT_TRUE(Errors(capture).empty());
    EXPECT_EQ(context.calls, 0);
}

} // namespace
