// The XML report sections, written over a caller's stream and compared line by
// line with hand-built expectations.

#include "ReportTestSupport.h"

#include "engines/kdideverazez_impl.h"
#include "handle/dideverazez.h"
#include "report/ReportStreams.h"
#include "statistics/AllocSizes.h"

#include <gtest/gtest.h>

#include <ostream>
#include <sstream>
#include <string>
#include <vector>

namespace {

using report_test::Blanks;
using report_test::Lines;
using report_test::PointerText;
using Text = std::vector<std::string>;

// Gives DumpAllocator content, to show where the allocator element puts it.
class KindDumpingStream : public LmAlloc::XMLFileStream {
public:
    using XMLFileStream::XMLFileStream;
    void DumpAllocator(const allocator_impl& engine) override {
        ++dumps;
        *Stream << "<KIND Value=\"" << engine.GetKind() << "\"/>" << std::endl;
    }
    int dumps = 0;
};

} // namespace

// A root without parent: Name, Address, SelfPeak, GlobalPeak, then the end tag.
TEST(XmlAllocator, RootElementWithGroupedPeaks) {
    allocator_data engine("DEBUG", nullptr, false);
    engine.GlobalStat.Memory.Peak = 1234567;
    std::ostringstream os;
    LmAlloc::XMLFileStream stream(os);
    stream.WriteAllocator(engine);
    EXPECT_EQ(Lines(os.str()), (Text{"<ALLOCATOR Name=\"DEBUG\" Address=\"" + PointerText(&engine) +
                                         "\" SelfPeak=\"0\" GlobalPeak=\"1,234,567\">",
                                     "</ALLOCATOR>"}));
}

// A child's element names its parent, whose address is the parent element's.
TEST(XmlAllocator, ChildElementNamesItsParent) {
    allocator_data root("root", nullptr, false);
    allocator_data child("child", &root, false);
    void* small = child.Alloc(100, nullptr, nullptr); // stride 152, a page for the root
    void* big = child.Alloc(2000, nullptr, nullptr);  // heap block of 2024
    std::ostringstream os;
    LmAlloc::XMLFileStream stream(os);
    stream.WriteAllocator(root);
    stream.WriteAllocator(child);
    // Child: Self = Global = 152 + 2024 = 2176. Root: Self = the page, 4036;
    // Global = 4036 + 2024 = 6060 (its own pooled blocks are not charged to it).
    const std::string rootAddress = PointerText(&root);
    EXPECT_EQ(Lines(os.str()),
              (Text{"<ALLOCATOR Name=\"root\" Address=\"" + rootAddress +
                        "\" SelfPeak=\"4,036\" GlobalPeak=\"6,060\">",
                    "</ALLOCATOR>",
                    "<ALLOCATOR Name=\"child\" Address=\"" + PointerText(&child) +
                        "\" SelfPeak=\"2,176\" GlobalPeak=\"2,176\" ParentName=\"root\" "
                        "ParentAddress=\"" +
                        rootAddress + "\">",
                    "</ALLOCATOR>"}));
    child.Free(small);
    child.Free(big);
}

// An absent engine name is "_null"; the parent's name is written as it is,
// markup included.
TEST(XmlAllocator, AbsentNameAndUnescapedParentName) {
    allocator_data root("a<b&\"c", nullptr, false);
    allocator_data child("child", &root, false);
    const char* const kept = child.Name;
    child.Name = nullptr;
    std::ostringstream os;
    LmAlloc::XMLFileStream stream(os);
    stream.WriteAllocator(child);
    child.Name = kept;
    EXPECT_EQ(Lines(os.str()),
              (Text{"<ALLOCATOR Name=\"_null\" Address=\"" + PointerText(&child) +
                        "\" SelfPeak=\"0\" GlobalPeak=\"0\" ParentName=\"a<b&\"c\" "
                        "ParentAddress=\"" +
                        PointerText(&root) + "\">",
                    "</ALLOCATOR>"}));
}

// A parent without a name leaves its quotes empty rather than writing "_null".
TEST(XmlAllocator, NullParentNameLeavesQuotesEmpty) {
    allocator_data root("root", nullptr, false);
    allocator_data child("child", &root, false);
    root.Name = nullptr;
    std::ostringstream os;
    LmAlloc::XMLFileStream stream(os);
    stream.WriteAllocator(child);
    root.Name = "root";
    EXPECT_EQ(Lines(os.str()).at(0), "<ALLOCATOR Name=\"child\" Address=\"" + PointerText(&child) +
                                         "\" SelfPeak=\"0\" GlobalPeak=\"0\" ParentName=\"\" "
                                         "ParentAddress=\"" +
                                         PointerText(&root) + "\">");
}

// A derived stream's DumpAllocator is reached through the virtual table and
// its lines stand inside the element.
TEST(XmlAllocator, DerivedDumpAllocatorWritesInsideTheElement) {
    allocator_data engine("engine", nullptr, false);
    std::ostringstream os;
    KindDumpingStream stream(os);
    LmAlloc::OutputStream& sink = stream;
    sink.WriteAllocator(engine);
    EXPECT_EQ(stream.dumps, 1);
    EXPECT_EQ(Lines(os.str()),
              (Text{"<ALLOCATOR Name=\"engine\" Address=\"" + PointerText(&engine) +
                        "\" SelfPeak=\"0\" GlobalPeak=\"0\">",
                    "<KIND Value=\"1\"/>", "</ALLOCATOR>"}));
}

// The plain XML stream's DumpAllocator, BeginReport and EndReport write nothing.
TEST(XmlAllocator, DumpBeginAndEndWriteNothing) {
    allocator_data engine("engine", nullptr, false);
    std::ostringstream os;
    LmAlloc::XMLFileStream stream(os);
    stream.BeginReport();
    stream.DumpAllocator(engine);
    stream.EndReport();
    EXPECT_EQ(os.str(), "");
}

// A child's SelfStat after real allocations, as a STAT_ALLOC element.
TEST(XmlStatistics, ElementFromRealAllocations) {
    allocator_data root("root", nullptr, false);
    allocator_data child("child", &root, false);
    void* a = child.Alloc(1024, nullptr, nullptr); // stride 1048
    void* b = child.Alloc(1025, nullptr, nullptr); // heap block 1049
    child.Free(a);
    std::ostringstream os;
    LmAlloc::XMLFileStream stream(os);
    stream.WriteStatistics(child.SelfStat, "Self");
    // Memory: 1048, then 2097, then 1049: Current 1049, Peak 2097, Cumul 2097.
    // Items: 1, 2, 1: Current 1, Peak 2, Cumul 2.
    EXPECT_EQ(Lines(os.str()),
              (Text{"<STAT_ALLOC Name=\"Self\">",
                    "<MEMORY Current=\"1,049\" Peak=\"2,097\" Cumul=\"2,097\"/>",
                    "<COUNTER Current=\"1\" Peak=\"2\" Cumul=\"2\"/>", "</STAT_ALLOC>"}));
    child.Free(b);
}

// Grouped counts, and "_null" for an absent name.
TEST(XmlStatistics, GroupedCountsAndNullName) {
    StatAlloc stat;
    stat.Memory = {0, 1000000, 1000000};
    stat.Counter = {-3, 700, 1500};
    std::ostringstream os;
    LmAlloc::XMLFileStream stream(os);
    stream.WriteStatistics(stat, nullptr);
    EXPECT_EQ(Lines(os.str()),
              (Text{"<STAT_ALLOC Name=\"_null\">",
                    "<MEMORY Current=\"0\" Peak=\"1,000,000\" Cumul=\"1,000,000\"/>",
                    "<COUNTER Current=\"-3\" Peak=\"700\" Cumul=\"1,500\"/>", "</STAT_ALLOC>"}));
}

// A statistic that never held a byte writes nothing.
TEST(XmlStatistics, NothingWhenCumulativeBytesAreZero) {
    StatAlloc stat;
    stat.Counter = {1, 1, 1500};
    std::ostringstream os;
    LmAlloc::XMLFileStream stream(os);
    stream.WriteStatistics(stat, "x");
    EXPECT_EQ(os.str(), "");
}

// One MEMORY_MANAGER per class that ever held a page, named by block size.
TEST(XmlMemoryManagers, ElementPerClassThatHeldAPage) {
    report_test::ThreeClassPool pool;
    std::ostringstream os;
    LmAlloc::XMLFileStream stream(os);
    stream.WriteMemoryManagers(pool.Pool());
    EXPECT_EQ(
        Lines(os.str()),
        (Text{"<MEMORY_MANAGERS>", "<MEMORY_MANAGER Name=\"8\">",
              "<Alloc Current=\"1\" Peak=\"1\" Cumul=\"1\"/>",
              "<Pages Current=\"1\" Peak=\"1\" Cumul=\"1\"/>", "</MEMORY_MANAGER>",
              "<MEMORY_MANAGER Name=\"64\">", "<Alloc Current=\"0\" Peak=\"2\" Cumul=\"2\"/>",
              "<Pages Current=\"0\" Peak=\"1\" Cumul=\"1\"/>", "</MEMORY_MANAGER>",
              "<MEMORY_MANAGER Name=\"1,024\">", "<Alloc Current=\"3\" Peak=\"4\" Cumul=\"4\"/>",
              "<Pages Current=\"1\" Peak=\"2\" Cumul=\"2\"/>", "</MEMORY_MANAGER>",
              "</MEMORY_MANAGERS>"}));
}

// A pool that never held a page writes no element, not even an empty one.
TEST(XmlMemoryManagers, NothingForAPoolThatNeverHeldAPage) {
    allocator_data engine("engine", nullptr, false);
    engine.OwnPool.Managers[0].Blocks = {1, 1, 1};
    std::ostringstream os;
    LmAlloc::XMLFileStream stream(os);
    stream.WriteMemoryManagers(engine.OwnPool);
    engine.OwnPool.Managers[0].Blocks = {};
    EXPECT_EQ(os.str(), "");
}

// Recorded sizes: Range texts, grouped counts, TOTAL and PAGES rows.
TEST(XmlAllocSizes, RecordedSizesWithTotalAndPages) {
    zu_allocator storage("sizes storage");
    AllocSizes sizes("requests", &storage);
    sizes.Record(0);
    sizes.Record(100); // "112 b ", above " 96 b "
    sizes.Record(112);
    sizes.Record(5000); // "  8 Ko", above "  4 Ko"
    sizes.classes[51].count = 12345;
    sizes.RecordPage();
    sizes.RecordPage();
    sizes.RecordPage();
    std::ostringstream os;
    LmAlloc::XMLFileStream stream(os);
    stream.WriteAllocSizes(sizes);
    // TOTAL = 1 + 2 + 1 + 12345 = 12349; the histogram's name is not written.
    EXPECT_EQ(Lines(os.str()),
              (Text{"<ALLOC_SIZES>", "<Alloc Range=\"[   0 b  ]\" Count=\"1\"/>",
                    "<Alloc Range=\"]  96 b  to 112 b  ]\" Count=\"2\"/>",
                    "<Alloc Range=\"]   4 Ko to   8 Ko ]\" Count=\"1\"/>",
                    "<Alloc Range=\"]   1 Go to   2 Go ]\" Count=\"12,345\"/>",
                    "<Alloc Range=\"TOTAL\" Count=\"12,349\"/>",
                    "<Alloc Range=\"PAGES( sz=   4036 b)\" Count=\"3\"/>", "</ALLOC_SIZES>"}));
}

// Only pages: the element opens for the page row, with no TOTAL row.
TEST(XmlAllocSizes, OnlyPages) {
    zu_allocator storage("sizes storage");
    AllocSizes sizes("pages", &storage);
    sizes.Reset();
    sizes.RecordPage();
    sizes.RecordPage();
    sizes.RecordPage();
    std::ostringstream os;
    LmAlloc::XMLFileStream stream(os);
    stream.WriteAllocSizes(sizes);
    EXPECT_EQ(Lines(os.str()),
              (Text{"<ALLOC_SIZES>", "<Alloc Range=\"PAGES( sz=   4036 b)\" Count=\"3\"/>",
                    "</ALLOC_SIZES>"}));
}

// Only row 0: its single-value Range and the TOTAL.
TEST(XmlAllocSizes, OnlyTheFirstRow) {
    zu_allocator storage("sizes storage");
    AllocSizes sizes("zero", &storage);
    sizes.Record(0);
    sizes.Record(0);
    std::ostringstream os;
    LmAlloc::XMLFileStream stream(os);
    stream.WriteAllocSizes(sizes);
    EXPECT_EQ(Lines(os.str()), (Text{"<ALLOC_SIZES>", "<Alloc Range=\"[   0 b  ]\" Count=\"2\"/>",
                                     "<Alloc Range=\"TOTAL\" Count=\"2\"/>", "</ALLOC_SIZES>"}));
}

// An empty histogram writes nothing, not even an empty element.
TEST(XmlAllocSizes, NothingForAnEmptyHistogram) {
    zu_allocator storage("sizes storage");
    AllocSizes without("no table", &storage);
    AllocSizes with("table", &storage);
    with.Reset();
    std::ostringstream os;
    LmAlloc::XMLFileStream stream(os);
    stream.WriteAllocSizes(without);
    stream.WriteAllocSizes(with);
    EXPECT_EQ(os.str(), "");
}

// The process figures are the text stream's lines, not an element.
TEST(XmlProcessFigures, InheritedTextLines) {
    ProcessInfo process;
    process.UserTime = 2000;
    process.KernelTime = 7;
    process.VmStart = 1;
    std::ostringstream os;
    LmAlloc::XMLFileStream stream(os);
    stream.WriteProcessFigures(process, 0);
    EXPECT_EQ(Lines(os.str()), (Text{"Time Total" + Blanks(15) + "\t|    2.007 sec"}));
}
