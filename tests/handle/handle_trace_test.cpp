// The trace a handle writes when it is built and destroyed, the pending-memory
// error lines, and the search for the client context told about them.

#include "HandleTesting.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <optional>

using dideverazez::test::Engine;
using dideverazez::test::ExpectRecord;
using dideverazez::test::Kind;
using dideverazez::test::PageOfPooledBlock;
using dideverazez::test::PointerText;
using dideverazez::test::RecordingContext;
using dideverazez::test::TraceCapture;

namespace {

constexpr const char* kFile = "kdideverazez";
constexpr const char* kCategory = "R9_ALLOCATOR:";
constexpr const char* kCtorScope = "R9_ALLOCATOR:zu_allocator::ctor";
constexpr const char* kDtorScope = "R9_ALLOCATOR:zu_allocator::dtor";

// The scope and four lines of a construction.
void ExpectConstructionTrace(const std::vector<Tracer::TraceRecord>& records,
                             const zu_allocator* handle, const zu_allocator* parent,
                             const std::string& name) {
    ASSERT_EQ(records.size(), 6u);
    ExpectRecord(records[0], Kind::ScopeOpen, 16, kCtorScope, kFile, 223, nullptr, nullptr);
    ExpectRecord(records[1], Kind::Line, 2, "This:" + PointerText(handle), kFile, 224, kCategory,
                 "initor");
    ExpectRecord(records[2], Kind::Line, 2, "Parent:" + PointerText(parent), kFile, 225, kCategory,
                 "initor");
    ExpectRecord(records[3], Kind::Line, 2, "Name:" + name, kFile, 226, kCategory, "initor");
    ExpectRecord(records[4], Kind::Line, 2, "Kind:paged", kFile, 227, kCategory, "initor");
    ExpectRecord(records[5], Kind::ScopeClose, 16, kCtorScope, kFile, 223, nullptr, nullptr);
}

void ExpectDestructionHead(const std::vector<Tracer::TraceRecord>& records, const void* handle,
                           const std::string& name) {
    ASSERT_GE(records.size(), 3u);
    ExpectRecord(records[0], Kind::ScopeOpen, 16, kDtorScope, kFile, 282, nullptr, nullptr);
    ExpectRecord(records[1], Kind::Line, 2, "This:" + PointerText(handle), kFile, 283, kCategory,
                 "~zu_allocator");
    ExpectRecord(records[2], Kind::Line, 2, "Name:" + name, kFile, 284, kCategory, "~zu_allocator");
}

void ExpectScopeCloseLast(const std::vector<Tracer::TraceRecord>& records) {
    ASSERT_FALSE(records.empty());
    ExpectRecord(records.back(), Kind::ScopeClose, 16, kDtorScope, kFile, 282, nullptr, nullptr);
}

} // namespace

// Construction: scope, This, Parent (null for a root, also one built by the
// pointer constructor with a null parent), Name ("<noname>" for a null one,
// at destruction too), Kind paged.
TEST(HandleTrace, ConstructionOfRootsAndChildren) {
    zu_allocator alpha("alpha");
    {
        TraceCapture capture;
        zu_allocator root("alpha");
        ExpectConstructionTrace(capture.Records(), &root, nullptr, "alpha");
    }
    {
        TraceCapture capture;
        zu_allocator child(alpha, "beta");
        ExpectConstructionTrace(capture.Records(), &child, &alpha, "beta");
    }
    {
        TraceCapture capture;
        zu_allocator root(static_cast<zu_allocator*>(nullptr), "gamma");
        ExpectConstructionTrace(capture.Records(), &root, nullptr, "gamma");
    }
    TraceCapture capture;
    std::optional<zu_allocator> handle;
    handle.emplace();
    const void* address = &*handle;
    ExpectConstructionTrace(capture.Records(), &*handle, nullptr, "<noname>");
    capture.Clear();
    handle.reset();
    ExpectDestructionHead(capture.Records(), address, "<noname>");
}

// An empty handle's destruction: scope, This, Name, its peak, and no error.
TEST(HandleTrace, EmptyHandleDestruction) {
    zu_allocator root("R");
    std::optional<zu_allocator> child;
    child.emplace(root, "beta");
    const void* address = &*child;
    child->Free(child->Alloc(100)); // peak 152, the stride of the 128-byte class
    TraceCapture capture;
    child.reset();
    const auto& records = capture.Records();
    ASSERT_EQ(records.size(), 5u);
    ExpectDestructionHead(records, address, "beta");
    ExpectRecord(records[3], Kind::Line, 2, "MemoryPeak:152", kFile, 289, kCategory,
                 "~zu_allocator");
    ExpectScopeCloseLast(records);
}

// Pending memory at destruction: the two error lines with the subtree's count
// and bytes, between the peak line and the closing of the scope.
TEST(HandleTrace, PendingMemoryErrorLines) {
    std::optional<zu_allocator> root;
    root.emplace("R");
    std::optional<zu_allocator> child;
    child.emplace(*root, "leaky");
    const void* address = &*child;
    void* block = child->Alloc(100); // stride 152
    child->IncMemoryUsed(300);
    void* page = PageOfPooledBlock(block);
    TraceCapture capture;
    child.reset();
    const auto& records = capture.Records();
    ASSERT_EQ(records.size(), 7u);
    ExpectDestructionHead(records, address, "leaky");
    // 152 + 300 bytes, two counts.
    ExpectRecord(records[3], Kind::Line, 2, "MemoryPeak:452", kFile, 289, kCategory,
                 "~zu_allocator");
    ExpectRecord(records[4], Kind::Error, 0,
                 "MEMORY ERROR : Release allocator with pending memory blocks : 2", kFile, 299,
                 kCategory, "~zu_allocator");
    ExpectRecord(records[5], Kind::Error, 0, "MEMORY ERROR : unreleased bytes : 452", kFile, 300,
                 kCategory, "~zu_allocator");
    ExpectScopeCloseLast(records);
    // The pending block's page is still in use, so the root keeps it; give it
    // back once the root is gone.
    root.reset();
    dbg_free(page);
}

// A heap block left pending is reported with its full size, request + 24.
TEST(HandleTrace, PendingHeapBlockReportedAtItsSize) {
    zu_allocator root("R");
    std::optional<zu_allocator> child;
    child.emplace(root, "leaky");
    void* block = child->Alloc(5000);
    TraceCapture capture;
    child.reset();
    const auto& records = capture.Records();
    ASSERT_EQ(records.size(), 7u);
    EXPECT_EQ(records[3].text, "MemoryPeak:5024");
    EXPECT_EQ(records[4].text, "MEMORY ERROR : Release allocator with pending memory blocks : 1");
    EXPECT_EQ(records[5].text, "MEMORY ERROR : unreleased bytes : 5024");
    // Give the block back to the heap, and its bytes back to the root's figures.
    dbg_free(static_cast<char*>(block) - 24);
    Engine(root).GlobalStat.Discharge(5024);
}

// A global handle's destruction writes scope, This and Name only, even with
// memory pending; its engine then writes its own single error.
TEST(HandleTrace, GlobalHandleShorterDestruction) {
    std::optional<zu_allocator> global;
    global.emplace("G", true);
    const void* address = &*global;
    RecordingContext context;
    global->SetAllocatorContext(&context);
    void* block = global->Alloc(3000); // heap block, 3024
    TraceCapture capture;
    global.reset();
    const auto& records = capture.Records();
    ASSERT_EQ(records.size(), 5u);
    ExpectDestructionHead(records, address, "G");
    ExpectRecord(records[3], Kind::Error, 0,
                 "MEMORY ERROR : Release global allocator with pending memory blocks : 1",
                 "kdideverazez_impl", 105, kCategory, "~allocator_impl");
    ExpectScopeCloseLast(records);
    EXPECT_EQ(context.calls, 0);
    dbg_free(static_cast<char*>(block) - 24);
}

// An empty global handle's destruction: the scope and two lines.
TEST(HandleTrace, EmptyGlobalHandleDestruction) {
    std::optional<zu_allocator> global;
    global.emplace("G", true);
    const void* address = &*global;
    global->Free(global->Alloc(64));
    TraceCapture capture;
    global.reset();
    const auto& records = capture.Records();
    ASSERT_EQ(records.size(), 4u);
    ExpectDestructionHead(records, address, "G");
    ExpectScopeCloseLast(records);
}

// The context set on the pending handle itself is told, once, with true; an
// ancestor's context is not.
TEST(HandleContext, ContextOnSelf) {
    TraceCapture quiet; // the ancestors report their own pending amounts
    zu_allocator root("R");
    RecordingContext rootContext;
    RecordingContext ownContext;
    root.SetAllocatorContext(&rootContext);
    {
        zu_allocator child(root, "C");
        child.SetAllocatorContext(&ownContext);
        child.IncMemoryUsed(10);
    }
    EXPECT_EQ(ownContext.calls, 1);
    EXPECT_TRUE(ownContext.lastArgument);
    EXPECT_EQ(rootContext.calls, 0);
    root.SetAllocatorContext(nullptr); // the root is pending too now
}

// With a context on an ancestor only, that ancestor's context is told.
TEST(HandleContext, ContextOnAncestorOnly) {
    TraceCapture quiet; // the ancestors report their own pending amounts
    zu_allocator root("R");
    RecordingContext rootContext;
    root.SetAllocatorContext(&rootContext);
    zu_allocator child(root, "C");
    {
        zu_allocator grandchild(child, "G");
        grandchild.Reserve(10);
    }
    EXPECT_EQ(rootContext.calls, 1);
    EXPECT_TRUE(rootContext.lastArgument);
    root.SetAllocatorContext(nullptr);
}

// With no context on the handle or its ancestors, nothing is told: a sibling's
// context stays silent and destruction completes with the two error lines.
TEST(HandleContext, NoContextOnTheChain) {
    TraceCapture capture;
    zu_allocator root("R");
    zu_allocator sibling(root, "S");
    RecordingContext siblingContext;
    sibling.SetAllocatorContext(&siblingContext);
    {
        zu_allocator child(root, "C");
        child.IncMemoryUsed(10);
    }
    EXPECT_EQ(siblingContext.calls, 0);
    int errors = 0;
    for (const auto& record : capture.Records()) {
        errors += record.kind == Kind::Error ? 1 : 0;
    }
    EXPECT_EQ(errors, 2);
}

// An empty handle tells no context.
TEST(HandleContext, EmptyHandleTellsNoContext) {
    RecordingContext context;
    {
        zu_allocator root("R");
        root.SetAllocatorContext(&context);
        root.Free(root.Alloc(2000));
    }
    EXPECT_EQ(context.calls, 0);
}

// A later SetAllocatorContext replaces the earlier context, and null clears it
// so that the search goes on to the parent.
TEST(HandleContext, ReplacedAndClearedContexts) {
    TraceCapture quiet; // the ancestors report their own pending amounts
    zu_allocator root("R");
    RecordingContext rootContext;
    RecordingContext first;
    RecordingContext second;
    root.SetAllocatorContext(&rootContext);
    {
        zu_allocator child(root, "C");
        child.SetAllocatorContext(&first);
        child.SetAllocatorContext(&second);
        child.IncMemoryUsed(1);
    }
    EXPECT_EQ(first.calls, 0);
    EXPECT_EQ(second.calls, 1);
    {
        zu_allocator child(root, "D");
        child.SetAllocatorContext(&first);
        child.SetAllocatorContext(nullptr);
        child.IncMemoryUsed(1);
    }
    EXPECT_EQ(first.calls, 0);
    EXPECT_EQ(rootContext.calls, 1);
    root.SetAllocatorContext(nullptr);
}
