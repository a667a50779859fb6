// The report sections in both notations, written over a caller's stream and
// compared line by line with hand-built expectations. Scenarios that both
// notations share are table rows carrying the text and the XML lines.

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

// The lines a fresh stream of kind `Stream` writes when `write` is run on it.
template <class Stream, class Write> Text Written(Write write) {
    std::ostringstream os;
    Stream stream(os);
    write(stream);
    return Lines(os.str());
}

// A label as the labelled lines set it: 25 columns, a tab and a bar.
std::string Label(const std::string& label) {
    return label + Blanks(25 - label.size()) + "\t|";
}

// "%12.0f" of a small count: right-aligned in twelve columns.
std::string Col12(const std::string& digits) {
    return Blanks(12 - digits.size()) + digits;
}

// The text statistics lines: bytes right-aligned in 20 columns, then either
// the item counts or the scaled size.
Text StatLines(const std::string& name, const std::string& current, const std::string& peak,
               const std::string& cumul, const std::string& peakSize, const std::string& cumulSize,
               const std::string& inc, const std::string& dec, const std::string& items) {
    auto bytes = [](const std::string& s) { return Blanks(20 - s.size()) + s; };
    return {name + "Current = " + bytes(current) + " (Inc  = " + Col12(inc) +
                "; Dec  = " + Col12(dec) + "; Peak = " + Col12(items) + ")",
            name + "Peak    = " + bytes(peak) + " (" + peakSize + " )",
            name + "Cumul   = " + bytes(cumul) + " (" + cumulSize + " )"};
}

// The STAT_ALLOC element: name, then grouped memory and counter figures.
Text StatElement(const std::string& name, const std::string& memory, const std::string& counter) {
    return {"<STAT_ALLOC Name=\"" + name + "\">", "<MEMORY " + memory + "/>",
            "<COUNTER " + counter + "/>", "</STAT_ALLOC>"};
}

// One text memory-manager line.
std::string MmLine(const char* size, const char* kind, const char* inc, const char* dec,
                   const char* max) {
    return std::string("  MM(") + size + ") = " + kind + "(Inc = " + Col12(inc) +
           "; Dec = " + Col12(dec) + "; Max = " + Col12(max) + ")";
}

std::string Open(const std::string& name, const void* engine, const char* self,
                 const char* global) {
    return "<ALLOCATOR Name=\"" + name + "\" Address=\"" + PointerText(engine) + "\" SelfPeak=\"" +
           self + "\" GlobalPeak=\"" + global + "\"";
}

StatAlloc HandSet(StatValue memory, StatValue counter) {
    StatAlloc stat;
    stat.Memory = memory;
    stat.Counter = counter;
    return stat;
}

const std::string kSizesHeader = " RANGE" + Blanks(15) + "| Count" + Blanks(4);
const std::string kTotal = "TOTAL" + Blanks(16) + "|";

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

// Hand-set statistics in both notations; a statistic that never held a byte
// writes nothing, whatever else it holds.
TEST(ReportStatistics, HandSetFiguresInBothNotations) {
    const std::int64_t quadrillion = 1000000000000000; // 10^15
    struct Row {
        const char* what;
        StatAlloc stat;
        const char* name;
        Text text;
        Text xml;
    };
    const Row rows[] = {
        // Dec = 40 - 10 = 30; 2500000 / 1024 = 2441.406; 5000000 / 1024 = 4882.8125.
        {"grouped bytes and scaled sizes", HandSet({1234567, 2500000, 5000000}, {10, 12, 40}), "",
         StatLines("", "1,234,567", "2,500,000", "5,000,000", " 2441.41 Ko", " 4882.81 Ko", "40",
                   "30", "12"),
         StatElement("", "Current=\"1,234,567\" Peak=\"2,500,000\" Cumul=\"5,000,000\"",
                     "Current=\"10\" Peak=\"12\" Cumul=\"40\"")},
        // A null name is empty in text and "_null" in XML.
        {"null name", HandSet({1, 1, 1}, {1, 1, 1}), nullptr,
         StatLines("", "1", "1", "1", "       1 b ", "       1 b ", "1", "0", "1"),
         StatElement("_null", "Current=\"1\" Peak=\"1\" Cumul=\"1\"",
                     "Current=\"1\" Peak=\"1\" Cumul=\"1\"")},
        // Dec = 1500 - (-3) = 1503; 1000000 / 1024 = 976.5625. XML groups counts.
        {"negative current items", HandSet({0, 1000000, 1000000}, {-3, 700, 1500}), nullptr,
         StatLines("", "0", "1,000,000", "1,000,000", "  976.56 Ko", "  976.56 Ko", "1500", "1503",
                   "700"),
         StatElement("_null", "Current=\"0\" Peak=\"1,000,000\" Cumul=\"1,000,000\"",
                     "Current=\"-3\" Peak=\"700\" Cumul=\"1,500\"")},
        // Text keeps the last 20 of the 21 characters of "1,000,000,000,000,000";
        // 10^15 >> 34 = 58207 > 624: To; >> 30 = 931322 Go; / 1024 = 909.494.
        {"wide byte figures",
         HandSet({quadrillion, quadrillion, quadrillion}, {1, 1, 1}),
         "",
         {"Current = ,000,000,000,000,000 (Inc  = " + Col12("1") + "; Dec  = " + Col12("0") +
              "; Peak = " + Col12("1") + ")",
          "Peak    = ,000,000,000,000,000 (  909.49 To )",
          "Cumul   = ,000,000,000,000,000 (  909.49 To )"},
         StatElement("",
                     "Current=\"" + std::string("1,000,000,000,000,000") + "\" Peak=\"" +
                         "1,000,000,000,000,000\" Cumul=\"1,000,000,000,000,000\"",
                     "Current=\"1\" Peak=\"1\" Cumul=\"1\"")},
        {"no cumulative bytes", HandSet({5, 5, 0}, {1, 1, 1}), "x", {}, {}},
        {"negative cumulative bytes", HandSet({0, 0, -3}, {0, 0, 0}), "y", {}, {}},
        {"items without bytes", HandSet({0, 0, 0}, {1, 1, 1500}), "z", {}, {}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        auto write = [&](LmAlloc::OutputStream& s) { s.WriteStatistics(row.stat, row.name); };
        EXPECT_EQ(Written<LmAlloc::FileStream>(write), row.text);
        EXPECT_EQ(Written<LmAlloc::XMLFileStream>(write), row.xml);
    }
}

// A child engine's SelfStat after real pooled and heap allocations.
TEST(ReportStatistics, ChildEngineFilledByAllocations) {
    allocator_data root("root", nullptr, false);
    allocator_data child("child", &root, false);
    // Three 100-byte requests take the 128-byte class, stride 152 each; a
    // 20000-byte request is a heap block of 20024. One pooled block is freed.
    void* a = child.Alloc(100, nullptr, nullptr);
    void* b = child.Alloc(100, nullptr, nullptr);
    void* c = child.Alloc(100, nullptr, nullptr);
    void* big = child.Alloc(20000, nullptr, nullptr);
    child.Free(a);
    auto write = [&](LmAlloc::OutputStream& s) {
        s.WriteStatistics(child.SelfStat, "child.Self ");
    };
    // Current = 2 * 152 + 20024 = 20328; Peak = Cumul = 3 * 152 + 20024 = 20480
    // = 20.00 Ko. Items: Inc 4, Dec 4 - 3 = 1, Peak 4.
    EXPECT_EQ(Written<LmAlloc::FileStream>(write),
              StatLines("child.Self ", "20,328", "20,480", "20,480", "   20.00 Ko", "   20.00 Ko",
                        "4", "1", "4"));
    EXPECT_EQ(Written<LmAlloc::XMLFileStream>(write),
              StatElement("child.Self ", "Current=\"20,328\" Peak=\"20,480\" Cumul=\"20,480\"",
                          "Current=\"3\" Peak=\"4\" Cumul=\"4\""));
    child.Free(b);
    child.Free(c);
    child.Free(big);
}

// The root's GlobalStat counts its page and the child's heap block (not the
// child's pooled blocks); small sizes are shown in bytes. A fresh engine's
// statistic writes nothing.
TEST(ReportStatistics, RootGlobalStatCountsPagesAndHeapBlocks) {
    allocator_data root("root", nullptr, false);
    allocator_data child("child", &root, false);
    void* small = child.Alloc(8, nullptr, nullptr);  // pooled: not charged to the root
    void* big = child.Alloc(2000, nullptr, nullptr); // heap: 2024 to every engine
    child.Free(big);
    // Page 4036, then + 2024 = 6060, then - 2024: Current 4036, Peak = Cumul
    // 6060. Items: page and block, Inc 2, Dec 1, Peak 2.
    EXPECT_EQ(
        Written<LmAlloc::FileStream>(
            [&](LmAlloc::OutputStream& s) { s.WriteStatistics(root.GlobalStat, "G "); }),
        StatLines("G ", "4,036", "6,060", "6,060", "    6060 b ", "    6060 b ", "2", "1", "2"));
    allocator_data fresh("fresh", nullptr, false);
    EXPECT_EQ(Written<LmAlloc::FileStream>(
                  [&](LmAlloc::OutputStream& s) { s.WriteStatistics(fresh.SelfStat, "z "); }),
              Text{});
    child.Free(small);
}

// A child's SelfStat with a pooled block freed and a heap block kept, as XML.
TEST(ReportStatistics, XmlElementFromRealAllocations) {
    allocator_data root("root", nullptr, false);
    allocator_data child("child", &root, false);
    void* a = child.Alloc(1024, nullptr, nullptr); // stride 1048
    void* b = child.Alloc(1025, nullptr, nullptr); // heap block 1049
    child.Free(a);
    // Memory: 1048, then 2097, then 1049: Current 1049, Peak 2097, Cumul 2097.
    // Items: 1, 2, 1: Current 1, Peak 2, Cumul 2.
    EXPECT_EQ(Written<LmAlloc::XMLFileStream>(
                  [&](LmAlloc::OutputStream& s) { s.WriteStatistics(child.SelfStat, "Self"); }),
              StatElement("Self", "Current=\"1,049\" Peak=\"2,097\" Cumul=\"2,097\"",
                          "Current=\"1\" Peak=\"2\" Cumul=\"2\""));
    child.Free(b);
}

// Process figures: nothing without a VM start, the time line alone up to 4 Mo
// of growth, VM lines and the rating above. XML writes the same text lines.
TEST(ReportProcessFigures, LinesByVmGrowthInBothNotations) {
    struct Row {
        const char* what;
        std::uint64_t user, kernel, vmStart, vmPeak, delta;
        Text lines;
    };
    const Row rows[] = {
        {"no VM start", 1000, 0, 0, 100000000, 50000000, {}},
        // 12000 + 345 = 12345 ms.
        {"no allocator delta",
         12000,
         345,
         2048000,
         100000000,
         0,
         {Label("Time Total") + "   12.345 sec"}},
        // The current VM reads 0, so the growth is the peak itself: 4194304.
        {"exactly 4 Mo of growth",
         1,
         0,
         1,
         4194304,
         1000000,
         {Label("Time Total") + "    0.001 sec"}},
        {"no VM peak", 2000, 7, 1, 0, 0, {Label("Time Total") + "    2.007 sec"}},
        // End = 0; delta = 12288000 - min(0, 2048000) = 12288000. 2048000 /
        // 1024000 = 2, >> 10 = 2000 -> "2 000"; 12288000 -> "12 000"; 6144000 ->
        // "6 000"; rating 6144000 / 12288000 * 100 = 50.
        {"growth above 4 Mo",
         1000,
         500,
         2048000,
         12288000,
         6144000,
         {Label("Time Total") + "    1.500 sec", Label("VM Start") + "    2 000 Ko|      2048000",
          Label("VM End") + "        0 Ko|            0",
          Label("VM Peak") + "   12 000 Ko|     12288000",
          Label("Delta VM") + "   12 000 Ko|     12288000",
          Label("Delta (allocator)") + "    6 000 Ko|      6144000",
          Label(" Rating VM") + "    50.00 %"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        ProcessInfo process;
        process.UserTime = row.user;
        process.KernelTime = row.kernel;
        process.VmStart = row.vmStart;
        process.VmPeak = row.vmPeak;
        auto write = [&](LmAlloc::OutputStream& s) { s.WriteProcessFigures(process, row.delta); };
        EXPECT_EQ(Written<LmAlloc::FileStream>(write), row.lines);
        EXPECT_EQ(Written<LmAlloc::XMLFileStream>(write), row.lines);
    }
    // An engine's own process figures never set VmStart.
    allocator_data engine("engine", nullptr, false);
    EXPECT_EQ(Written<LmAlloc::FileStream>([&](LmAlloc::OutputStream& s) {
                  s.WriteProcessFigures(engine.Process, 123456789);
              }),
              Text{});
}

// The three-class pool: text gives blocks then pages of every class that held
// a page, XML one MEMORY_MANAGER per such class, named by block size.
TEST(ReportMemoryManagers, ClassesThatHeldAPageInBothNotations) {
    report_test::ThreeClassPool pool;
    auto write = [&](LmAlloc::OutputStream& s) { s.WriteMemoryManagers(pool.Pool()); };
    // Dec = Cumul - Current: 8-byte 1 - 1 = 0, 64-byte 2 - 0 = 2, 1024-byte
    // blocks 4 - 3 = 1 and pages 2 - 1 = 1.
    EXPECT_EQ(
        Written<LmAlloc::FileStream>(write),
        (Text{" Detailed allocation (paged memory)", MmLine("   8", "Alloc", "1", "0", "1"),
              MmLine("  64", "Alloc", "2", "2", "2"), MmLine("1024", "Alloc", "4", "1", "4"), "",
              MmLine("   8", "Pages", "1", "0", "1"), MmLine("  64", "Pages", "1", "1", "1"),
              MmLine("1024", "Pages", "2", "1", "2"), ""}));
    EXPECT_EQ(
        Written<LmAlloc::XMLFileStream>(write),
        (Text{"<MEMORY_MANAGERS>", "<MEMORY_MANAGER Name=\"8\">",
              "<Alloc Current=\"1\" Peak=\"1\" Cumul=\"1\"/>",
              "<Pages Current=\"1\" Peak=\"1\" Cumul=\"1\"/>", "</MEMORY_MANAGER>",
              "<MEMORY_MANAGER Name=\"64\">", "<Alloc Current=\"0\" Peak=\"2\" Cumul=\"2\"/>",
              "<Pages Current=\"0\" Peak=\"1\" Cumul=\"1\"/>", "</MEMORY_MANAGER>",
              "<MEMORY_MANAGER Name=\"1,024\">", "<Alloc Current=\"3\" Peak=\"4\" Cumul=\"4\"/>",
              "<Pages Current=\"1\" Peak=\"2\" Cumul=\"2\"/>", "</MEMORY_MANAGER>",
              "</MEMORY_MANAGERS>"}));
}

// Block figures alone, without a page, bring no class into the report; a pool
// that never held a page writes nothing in either notation.
TEST(ReportMemoryManagers, ClassesWithoutPagesAreLeftOut) {
    allocator_data engine("engine", nullptr, false);
    engine.OwnPool.Managers[0].Blocks = {1, 1, 1};
    auto never = [&](LmAlloc::OutputStream& s) { s.WriteMemoryManagers(engine.OwnPool); };
    EXPECT_EQ(Written<LmAlloc::FileStream>(never), Text{});
    EXPECT_EQ(Written<LmAlloc::XMLFileStream>(never), Text{});
    engine.OwnPool.Managers[0].Blocks = {};

    PagedMemory pool(&engine);
    pool.Managers[2].Blocks = {5, 6, 7};
    pool.Managers[4].Pages = {0, 1, 1};
    pool.Managers[4].Blocks = {7, 20, 100};
    auto write = [&](LmAlloc::OutputStream& s) { s.WriteMemoryManagers(pool); };
    // The 64-byte class (index 4): Dec = 100 - 7 = 93; pages Dec = 1 - 0 = 1.
    EXPECT_EQ(
        Written<LmAlloc::FileStream>(write),
        (Text{" Detailed allocation (paged memory)", MmLine("  64", "Alloc", "100", "93", "20"), "",
              MmLine("  64", "Pages", "1", "1", "1"), ""}));
    EXPECT_EQ(Written<LmAlloc::XMLFileStream>(write),
              (Text{"<MEMORY_MANAGERS>", "<MEMORY_MANAGER Name=\"64\">",
                    "<Alloc Current=\"7\" Peak=\"20\" Cumul=\"100\"/>",
                    "<Pages Current=\"0\" Peak=\"1\" Cumul=\"1\"/>", "</MEMORY_MANAGER>",
                    "</MEMORY_MANAGERS>"}));
}

// Histograms in both notations: a row's lower bound is the previous class even
// when skipped, TOTAL leaves the pages out, text counts are their low 32 bits
// while XML groups the full count, and an empty histogram writes nothing.
TEST(ReportAllocSizes, HistogramsInBothNotations) {
    struct Row {
        const char* what;
        void (*fill)(AllocSizes&);
        Text text;
        Text xml;
    };
    const Row rows[] = {
        // 0 -> "  0 b "; 100 and 112 -> "112 b " above " 96 b "; 5000 -> "  8 Ko"
        // above "  4 Ko"; class 51 is "  2 Go" above "  1 Go". TOTAL = 1 + 2 + 1 +
        // 12345 = 12349.
        {"recorded sizes and pages",
         [](AllocSizes& s) {
             for (std::uint64_t size : {0, 100, 112, 5000}) {
                 s.Record(size);
             }
             s.classes[51].count = 12345;
             s.pages = 3;
         },
         {"ALLOC_SIZES : h", kSizesHeader, "[" + Blanks(11) + "  0 b  ] |         1",
          "]  96 b  to 112 b  ] |         2", "]   4 Ko to   8 Ko ] |         1",
          "]   1 Go to   2 Go ] |     12345", kTotal + "     12349",
          "PAGES( sz=   4036 b) |         3"},
         {"<ALLOC_SIZES>", "<Alloc Range=\"[   0 b  ]\" Count=\"1\"/>",
          "<Alloc Range=\"]  96 b  to 112 b  ]\" Count=\"2\"/>",
          "<Alloc Range=\"]   4 Ko to   8 Ko ]\" Count=\"1\"/>",
          "<Alloc Range=\"]   1 Go to   2 Go ]\" Count=\"12,345\"/>",
          "<Alloc Range=\"TOTAL\" Count=\"12,349\"/>",
          "<Alloc Range=\"PAGES( sz=   4036 b)\" Count=\"3\"/>", "</ALLOC_SIZES>"}},
        {"only the first row",
         [](AllocSizes& s) {
             s.Record(0);
             s.Record(0);
         },
         {"ALLOC_SIZES : h", kSizesHeader, "[" + Blanks(11) + "  0 b  ] |         2",
          kTotal + "         2"},
         {"<ALLOC_SIZES>", "<Alloc Range=\"[   0 b  ]\" Count=\"2\"/>",
          "<Alloc Range=\"TOTAL\" Count=\"2\"/>", "</ALLOC_SIZES>"}},
        {"only pages, no TOTAL",
         [](AllocSizes& s) {
             s.Reset();
             s.RecordPage();
             s.RecordPage();
         },
         {"ALLOC_SIZES : h", kSizesHeader, "PAGES( sz=   4036 b) |         2"},
         {"<ALLOC_SIZES>", "<Alloc Range=\"PAGES( sz=   4036 b)\" Count=\"2\"/>",
          "</ALLOC_SIZES>"}},
        // TOTAL = 2^32 + 3 -> 3 in text; pages 2^32 + 7 -> 7.
        {"counts beyond 32 bits",
         [](AllocSizes& s) {
             s.Reset();
             s.classes[1].count = 4294967297; // 2^32 + 1
             s.classes[2].count = 2;
             s.pages = 4294967296 + 7;
         },
         {"ALLOC_SIZES : h", kSizesHeader, "]   0 b  to   2 b  ] |         1",
          "]   2 b  to   4 b  ] |         2", kTotal + "         3",
          "PAGES( sz=   4036 b) |         7"},
         {"<ALLOC_SIZES>", "<Alloc Range=\"]   0 b  to   2 b  ]\" Count=\"4,294,967,297\"/>",
          "<Alloc Range=\"]   2 b  to   4 b  ]\" Count=\"2\"/>",
          "<Alloc Range=\"TOTAL\" Count=\"4,294,967,299\"/>",
          "<Alloc Range=\"PAGES( sz=   4036 b)\" Count=\"4,294,967,303\"/>", "</ALLOC_SIZES>"}},
        {"empty without a table", [](AllocSizes&) {}, {}, {}},
        {"empty with a table", [](AllocSizes& s) { s.Reset(); }, {}, {}},
    };
    zu_allocator storage("sizes storage");
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        AllocSizes sizes("h", &storage);
        row.fill(sizes);
        auto write = [&](LmAlloc::OutputStream& s) { s.WriteAllocSizes(sizes); };
        EXPECT_EQ(Written<LmAlloc::FileStream>(write), row.text);
        EXPECT_EQ(Written<LmAlloc::XMLFileStream>(write), row.xml);
    }
}

// Every text call writes its own header.
TEST(ReportAllocSizes, EachTextCallWritesItsHeader) {
    zu_allocator storage("sizes storage");
    AllocSizes sizes("twice", &storage);
    sizes.Record(2000); // class "  2 Ko", above "  1 Ko"
    const Text once{"ALLOC_SIZES : twice", kSizesHeader, "]   1 Ko to   2 Ko ] |         1",
                    kTotal + "         1"};
    Text twice = once;
    twice.insert(twice.end(), once.begin(), once.end());
    EXPECT_EQ(Written<LmAlloc::FileStream>([&](LmAlloc::OutputStream& s) {
                  s.WriteAllocSizes(sizes);
                  s.WriteAllocSizes(sizes);
              }),
              twice);
}

// Text: neither the allocator section nor the dump writes a character, and the
// caller's stream keeps its state. XML: dump, begin and end write nothing.
TEST(ReportAllocator, TextAllocatorAndDumpsWriteNothing) {
    allocator_data root("root", nullptr, false);
    void* p = root.Alloc(3000, nullptr, nullptr); // not empty: GetKind is asked
    std::ostringstream os;
    {
        LmAlloc::FileStream stream(os);
        stream.BeginReport();
        stream.WriteAllocator(root);
        stream.DumpAllocator(root);
        stream.EndReport();
    }
    EXPECT_EQ(os.str(), "");
    EXPECT_TRUE(os.good());
    os << "still usable";
    EXPECT_EQ(os.str(), "still usable");
    EXPECT_EQ(Written<LmAlloc::XMLFileStream>([&](LmAlloc::XMLFileStream& s) {
                  s.BeginReport();
                  s.DumpAllocator(root);
                  s.EndReport();
              }),
              Text{});
    root.Free(p);
}

// A root element: Name, Address, grouped SelfPeak and GlobalPeak, end tag.
TEST(ReportAllocator, XmlRootElementWithGroupedPeaks) {
    allocator_data engine("DEBUG", nullptr, false);
    engine.GlobalStat.Memory.Peak = 1234567;
    EXPECT_EQ(Written<LmAlloc::XMLFileStream>(
                  [&](LmAlloc::OutputStream& s) { s.WriteAllocator(engine); }),
              (Text{Open("DEBUG", &engine, "0", "1,234,567") + ">", "</ALLOCATOR>"}));
}

// A child's element names its parent, whose address is the parent element's.
TEST(ReportAllocator, XmlChildElementNamesItsParent) {
    allocator_data root("root", nullptr, false);
    allocator_data child("child", &root, false);
    void* small = child.Alloc(100, nullptr, nullptr); // stride 152, a page for the root
    void* big = child.Alloc(2000, nullptr, nullptr);  // heap block of 2024
    // Child: Self = Global = 152 + 2024 = 2176. Root: Self = the page, 4036;
    // Global = 4036 + 2024 = 6060 (its own pooled blocks are not charged to it).
    EXPECT_EQ(Written<LmAlloc::XMLFileStream>([&](LmAlloc::OutputStream& s) {
                  s.WriteAllocator(root);
                  s.WriteAllocator(child);
              }),
              (Text{Open("root", &root, "4,036", "6,060") + ">", "</ALLOCATOR>",
                    Open("child", &child, "2,176", "2,176") +
                        " ParentName=\"root\" ParentAddress=\"" + PointerText(&root) + "\">",
                    "</ALLOCATOR>"}));
    child.Free(small);
    child.Free(big);
}

// An absent engine name is "_null"; the parent's name is written as it is,
// markup included, and a null parent name leaves its quotes empty.
TEST(ReportAllocator, XmlAbsentNamesAndUnescapedParentName) {
    allocator_data root("a<b&\"c", nullptr, false);
    allocator_data child("child", &root, false);
    auto write = [&](LmAlloc::OutputStream& s) { s.WriteAllocator(child); };
    const std::string parentAddress = " ParentAddress=\"" + PointerText(&root) + "\">";
    child.Name = nullptr;
    EXPECT_EQ(Written<LmAlloc::XMLFileStream>(write),
              (Text{Open("_null", &child, "0", "0") + " ParentName=\"a<b&\"c\"" + parentAddress,
                    "</ALLOCATOR>"}));
    child.Name = "child";
    const char* const rootName = root.Name;
    root.Name = nullptr;
    EXPECT_EQ(Written<LmAlloc::XMLFileStream>(write).at(0),
              Open("child", &child, "0", "0") + " ParentName=\"\"" + parentAddress);
    root.Name = rootName;
}

// A derived stream's DumpAllocator is reached through the virtual table and
// its lines stand inside the element.
TEST(ReportAllocator, XmlDerivedDumpAllocatorWritesInsideTheElement) {
    allocator_data engine("engine", nullptr, false);
    std::ostringstream os;
    KindDumpingStream stream(os);
    LmAlloc::OutputStream& sink = stream;
    sink.WriteAllocator(engine);
    EXPECT_EQ(stream.dumps, 1);
    EXPECT_EQ(Lines(os.str()), (Text{Open("engine", &engine, "0", "0") + ">", "<KIND Value=\"1\"/>",
                                     "</ALLOCATOR>"}));
}
