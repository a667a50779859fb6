// The plain-text report sections, written over a caller's stream and compared
// line by line with hand-built expectations.

#include "ReportTestSupport.h"

#include "engines/kdideverazez_impl.h"
#include "handle/dideverazez.h"
#include "report/ReportStreams.h"
#include "statistics/AllocSizes.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

namespace {

using report_test::Blanks;
using report_test::Lines;
using Text = std::vector<std::string>;

// A label as the labelled lines set it: 25 columns, a tab and a bar.
std::string Label(const std::string& label) {
    return label + Blanks(25 - label.size()) + "\t|";
}

// "%12.0f" of a small count: right-aligned in twelve columns.
std::string Col12(const std::string& digits) {
    return Blanks(12 - digits.size()) + digits;
}

StatAlloc HandSet(StatValue memory, StatValue counter) {
    StatAlloc stat;
    stat.Memory = memory;
    stat.Counter = counter;
    return stat;
}

} // namespace

// Hand-set figures: grouped bytes, item counts with Dec derived, scaled sizes.
TEST(TextStatistics, ThreeLinesFromHandSetFigures) {
    const StatAlloc stat = HandSet({1234567, 2500000, 5000000}, {10, 12, 40});
    std::ostringstream os;
    LmAlloc::FileStream stream(os);
    stream.WriteStatistics(stat, "");
    // Dec = 40 - 10 = 30; 2500000 / 1024 = 2441.406; 5000000 / 1024 = 4882.8125.
    EXPECT_EQ(Lines(os.str()),
              (Text{"Current = " + Blanks(11) + "1,234,567 (Inc  = " + Col12("40") +
                        "; Dec  = " + Col12("30") + "; Peak = " + Col12("12") + ")",
                    "Peak    = " + Blanks(11) + "2,500,000 ( 2441.41 Ko )",
                    "Cumul   = " + Blanks(11) + "5,000,000 ( 4882.81 Ko )"}));
}

// A child engine's SelfStat after real pooled and heap allocations.
TEST(TextStatistics, ChildEngineFilledByAllocations) {
    allocator_data root("root", nullptr, false);
    allocator_data child("child", &root, false);
    // Three 100-byte requests take the 128-byte class, stride 152 each; a
    // 20000-byte request is a heap block of 20024. One pooled block is freed.
    void* a = child.Alloc(100, nullptr, nullptr);
    void* b = child.Alloc(100, nullptr, nullptr);
    void* c = child.Alloc(100, nullptr, nullptr);
    void* big = child.Alloc(20000, nullptr, nullptr);
    child.Free(a);

    std::ostringstream os;
    LmAlloc::FileStream stream(os);
    stream.WriteStatistics(child.SelfStat, "child.Self ");
    // Current = 2 * 152 + 20024 = 20328; Peak = Cumul = 3 * 152 + 20024 = 20480
    // = 20.00 Ko. Items: Inc 4, Dec 4 - 3 = 1, Peak 4.
    EXPECT_EQ(Lines(os.str()),
              (Text{"child.Self Current = " + Blanks(14) + "20,328 (Inc  = " + Col12("4") +
                        "; Dec  = " + Col12("1") + "; Peak = " + Col12("4") + ")",
                    "child.Self Peak    = " + Blanks(14) + "20,480 (   20.00 Ko )",
                    "child.Self Cumul   = " + Blanks(14) + "20,480 (   20.00 Ko )"}));

    child.Free(b);
    child.Free(c);
    child.Free(big);
}

// The root's GlobalStat counts its page and the child's heap block; small
// sizes are shown in bytes.
TEST(TextStatistics, RootGlobalStatCountsPagesAndHeapBlocks) {
    allocator_data root("root", nullptr, false);
    allocator_data child("child", &root, false);
    void* small = child.Alloc(8, nullptr, nullptr);  // pooled: not charged to the root
    void* big = child.Alloc(2000, nullptr, nullptr); // heap: 2024 to every engine
    child.Free(big);

    std::ostringstream os;
    LmAlloc::FileStream stream(os);
    stream.WriteStatistics(root.GlobalStat, "G ");
    // Page 4036, then + 2024 = 6060, then - 2024: Current 4036, Peak = Cumul
    // 6060. Items: page and block, Inc 2, Dec 1, Peak 2.
    EXPECT_EQ(Lines(os.str()), (Text{"G Current = " + Blanks(15) + "4,036 (Inc  = " + Col12("2") +
                                         "; Dec  = " + Col12("1") + "; Peak = " + Col12("2") + ")",
                                     "G Peak    = " + Blanks(15) + "6,060 (    6060 b  )",
                                     "G Cumul   = " + Blanks(15) + "6,060 (    6060 b  )"}));
    child.Free(small);
}

// A statistic that never held a byte writes nothing, whatever else it holds.
TEST(TextStatistics, NothingWhenCumulativeBytesAreZero) {
    std::ostringstream os;
    LmAlloc::FileStream stream(os);
    stream.WriteStatistics(HandSet({5, 5, 0}, {1, 1, 1}), "x ");
    stream.WriteStatistics(HandSet({0, 0, -3}, {0, 0, 0}), "y ");
    allocator_data fresh("fresh", nullptr, false);
    stream.WriteStatistics(fresh.SelfStat, "z ");
    EXPECT_EQ(os.str(), "");
}

// A null name is written as an empty one.
TEST(TextStatistics, NullNameIsWrittenEmpty) {
    std::ostringstream os;
    LmAlloc::FileStream stream(os);
    stream.WriteStatistics(HandSet({1, 1, 1}, {1, 1, 1}), nullptr);
    EXPECT_EQ(Lines(os.str()), (Text{"Current = " + Blanks(19) + "1 (Inc  = " + Col12("1") +
                                         "; Dec  = " + Col12("0") + "; Peak = " + Col12("1") + ")",
                                     "Peak    = " + Blanks(19) + "1 (       1 b  )",
                                     "Cumul   = " + Blanks(19) + "1 (       1 b  )"}));
}

// Byte figures wider than twenty columns keep their last twenty characters.
TEST(TextStatistics, WideByteFiguresAreCutToTwentyColumns) {
    // 10^15 grouped is "1,000,000,000,000,000" (21 characters).
    const std::int64_t quadrillion = 1000000000000000;
    std::ostringstream os;
    LmAlloc::FileStream stream(os);
    stream.WriteStatistics(HandSet({quadrillion, quadrillion, quadrillion}, {1, 1, 1}), "");
    // 10^15 >> 34 = 58207 > 624: To; >> 30 = 931322 Go; / 1024 = 909.494.
    EXPECT_EQ(Lines(os.str()), (Text{"Current = ,000,000,000,000,000 (Inc  = " + Col12("1") +
                                         "; Dec  = " + Col12("0") + "; Peak = " + Col12("1") + ")",
                                     "Peak    = ,000,000,000,000,000 (  909.49 To )",
                                     "Cumul   = ,000,000,000,000,000 (  909.49 To )"}));
}

// No VM start figure: the section writes nothing.
TEST(TextProcessFigures, NothingWithoutVmStart) {
    ProcessInfo process;
    process.UserTime = 1000;
    process.VmPeak = 100000000;
    std::ostringstream os;
    LmAlloc::FileStream stream(os);
    stream.WriteProcessFigures(process, 50000000);
    EXPECT_EQ(os.str(), "");
}

// An engine's own process figures never set VmStart, so they write nothing.
TEST(TextProcessFigures, EngineFiguresWriteNothing) {
    allocator_data engine("engine", nullptr, false);
    std::ostringstream os;
    LmAlloc::FileStream stream(os);
    stream.WriteProcessFigures(engine.Process, 123456789);
    EXPECT_EQ(os.str(), "");
}

// With no allocator delta only the time line is written.
TEST(TextProcessFigures, TimeLineOnlyWithoutAllocatorDelta) {
    ProcessInfo process;
    process.UserTime = 12000;
    process.KernelTime = 345;
    process.VmStart = 2048000;
    process.VmPeak = 100000000;
    std::ostringstream os;
    LmAlloc::FileStream stream(os);
    stream.WriteProcessFigures(process, 0);
    // 12000 + 345 = 12345 ms.
    EXPECT_EQ(Lines(os.str()), (Text{Label("Time Total") + "   12.345 sec"}));
}

// A VM growth of exactly 4 Mo is not rated.
TEST(TextProcessFigures, TimeLineOnlyUpToFourMegabytesOfGrowth) {
    ProcessInfo process;
    process.UserTime = 1;
    process.VmStart = 1;
    // The current VM reads 0, so the delta is the peak itself: 4194304.
    process.VmPeak = 4194304;
    std::ostringstream os;
    LmAlloc::FileStream stream(os);
    stream.WriteProcessFigures(process, 1000000);
    EXPECT_EQ(Lines(os.str()), (Text{Label("Time Total") + "    0.001 sec"}));
}

// Above 4 Mo of growth: the VM lines and the rating.
TEST(TextProcessFigures, VmLinesAndRating) {
    ProcessInfo process;
    process.UserTime = 1000;
    process.KernelTime = 500;
    process.VmStart = 2048000;
    process.VmPeak = 12288000;
    std::ostringstream os;
    LmAlloc::FileStream stream(os);
    stream.WriteProcessFigures(process, 6144000);
    // End = GetCurrentVm() = 0; delta = 12288000 - min(0, 2048000) = 12288000.
    // 2048000 / 1024000 = 2, >> 10 = 2000 -> "2 000"; 12288000 -> "12 000";
    // 6144000 -> "6 000"; rating 6144000 / 12288000 * 100 = 50.
    EXPECT_EQ(Lines(os.str()), (Text{Label("Time Total") + "    1.500 sec",
                                     Label("VM Start") + "    2 000 Ko|      2048000",
                                     Label("VM End") + "        0 Ko|            0",
                                     Label("VM Peak") + "   12 000 Ko|     12288000",
                                     Label("Delta VM") + "   12 000 Ko|     12288000",
                                     Label("Delta (allocator)") + "    6 000 Ko|      6144000",
                                     Label(" Rating VM") + "    50.00 %"}));
}

// Two passes over the classes that ever held a page: blocks, then pages.
TEST(TextMemoryManagers, BlocksThenPagesOfClassesThatHeldAPage) {
    report_test::ThreeClassPool pool;
    std::ostringstream os;
    LmAlloc::FileStream stream(os);
    stream.WriteMemoryManagers(pool.Pool());
    // Dec = Cumul - Current: 8-byte 1 - 1 = 0, 64-byte 2 - 0 = 2, 1024-byte
    // blocks 4 - 3 = 1 and pages 2 - 1 = 1.
    EXPECT_EQ(Lines(os.str()), (Text{" Detailed allocation (paged memory)",
                                     "  MM(   8) = Alloc(Inc = " + Col12("1") +
                                         "; Dec = " + Col12("0") + "; Max = " + Col12("1") + ")",
                                     "  MM(  64) = Alloc(Inc = " + Col12("2") +
                                         "; Dec = " + Col12("2") + "; Max = " + Col12("2") + ")",
                                     "  MM(1024) = Alloc(Inc = " + Col12("4") +
                                         "; Dec = " + Col12("1") + "; Max = " + Col12("4") + ")",
                                     "",
                                     "  MM(   8) = Pages(Inc = " + Col12("1") +
                                         "; Dec = " + Col12("0") + "; Max = " + Col12("1") + ")",
                                     "  MM(  64) = Pages(Inc = " + Col12("1") +
                                         "; Dec = " + Col12("1") + "; Max = " + Col12("1") + ")",
                                     "  MM(1024) = Pages(Inc = " + Col12("2") +
                                         "; Dec = " + Col12("1") + "; Max = " + Col12("2") + ")",
                                     ""}));
}

// Block figures alone, without a page, do not bring a class into the report.
TEST(TextMemoryManagers, ClassWithoutPagesIsLeftOut) {
    allocator_data engine("engine", nullptr, false);
    PagedMemory pool(&engine);
    pool.Managers[2].Blocks = {5, 6, 7};
    pool.Managers[4].Pages = {0, 1, 1};
    pool.Managers[4].Blocks = {7, 20, 100};
    std::ostringstream os;
    LmAlloc::FileStream stream(os);
    stream.WriteMemoryManagers(pool);
    // The 64-byte class (index 4): Dec = 100 - 7 = 93; pages Dec = 1 - 0 = 1.
    EXPECT_EQ(Lines(os.str()), (Text{" Detailed allocation (paged memory)",
                                     "  MM(  64) = Alloc(Inc = " + Col12("100") +
                                         "; Dec = " + Col12("93") + "; Max = " + Col12("20") + ")",
                                     "",
                                     "  MM(  64) = Pages(Inc = " + Col12("1") +
                                         "; Dec = " + Col12("1") + "; Max = " + Col12("1") + ")",
                                     ""}));
}

// A pool that never held a page writes nothing.
TEST(TextMemoryManagers, NothingForAPoolThatNeverHeldAPage) {
    allocator_data engine("engine", nullptr, false);
    std::ostringstream os;
    LmAlloc::FileStream stream(os);
    stream.WriteMemoryManagers(engine.OwnPool);
    EXPECT_EQ(os.str(), "");
}

// A histogram filled by recording real request sizes: header, rows whose lower
// bound is the previous class even when skipped, TOTAL, PAGES.
TEST(TextAllocSizes, RecordedSizesWithTotalAndPages) {
    zu_allocator storage("sizes storage");
    AllocSizes sizes("requests", &storage);
    sizes.Record(0);    // class "  0 b "
    sizes.Record(100);  // class "112 b ", above " 96 b "
    sizes.Record(112);  // the same class
    sizes.Record(5000); // class "  8 Ko", above "  4 Ko"
    sizes.RecordPage();
    sizes.RecordPage();
    sizes.RecordPage();

    std::ostringstream os;
    LmAlloc::FileStream stream(os);
    stream.WriteAllocSizes(sizes);
    // TOTAL = 1 + 2 + 1 = 4; the pages are not part of it.
    EXPECT_EQ(Lines(os.str()),
              (Text{"ALLOC_SIZES : requests", " RANGE" + Blanks(15) + "| Count" + Blanks(4),
                    "[" + Blanks(11) + "  0 b  ] |         1", "]  96 b  to 112 b  ] |         2",
                    "]   4 Ko to   8 Ko ] |         1", "TOTAL" + Blanks(16) + "|         4",
                    "PAGES( sz=   4036 b) |         3"}));
}

// Only row 0 counted: its line and the TOTAL, no page line.
TEST(TextAllocSizes, OnlyTheFirstRow) {
    zu_allocator storage("sizes storage");
    AllocSizes sizes("zero", &storage);
    sizes.Record(0);
    sizes.Record(0);
    std::ostringstream os;
    LmAlloc::FileStream stream(os);
    stream.WriteAllocSizes(sizes);
    EXPECT_EQ(
        Lines(os.str()),
        (Text{"ALLOC_SIZES : zero", " RANGE" + Blanks(15) + "| Count" + Blanks(4),
              "[" + Blanks(11) + "  0 b  ] |         2", "TOTAL" + Blanks(16) + "|         2"}));
}

// Only pages counted: the header and the page line, no TOTAL.
TEST(TextAllocSizes, OnlyPages) {
    zu_allocator storage("sizes storage");
    AllocSizes sizes("pages", &storage);
    sizes.Reset();
    sizes.RecordPage();
    sizes.RecordPage();
    std::ostringstream os;
    LmAlloc::FileStream stream(os);
    stream.WriteAllocSizes(sizes);
    EXPECT_EQ(Lines(os.str()),
              (Text{"ALLOC_SIZES : pages", " RANGE" + Blanks(15) + "| Count" + Blanks(4),
                    "PAGES( sz=   4036 b) |         2"}));
}

// An empty histogram, with or without its table, writes nothing at all.
TEST(TextAllocSizes, NothingForAnEmptyHistogram) {
    zu_allocator storage("sizes storage");
    AllocSizes without("no table", &storage);
    AllocSizes with("table", &storage);
    with.Reset();
    std::ostringstream os;
    LmAlloc::FileStream stream(os);
    stream.WriteAllocSizes(without);
    stream.WriteAllocSizes(with);
    EXPECT_EQ(os.str(), "");
}

// Every call writes its own header.
TEST(TextAllocSizes, EachCallWritesItsHeader) {
    zu_allocator storage("sizes storage");
    AllocSizes sizes("twice", &storage);
    sizes.Record(2000); // class "  2 Ko", above "  1 Ko"
    std::ostringstream os;
    LmAlloc::FileStream stream(os);
    stream.WriteAllocSizes(sizes);
    stream.WriteAllocSizes(sizes);
    const Text once{"ALLOC_SIZES : twice", " RANGE" + Blanks(15) + "| Count" + Blanks(4),
                    "]   1 Ko to   2 Ko ] |         1", "TOTAL" + Blanks(16) + "|         1"};
    Text twice = once;
    twice.insert(twice.end(), once.begin(), once.end());
    EXPECT_EQ(Lines(os.str()), twice);
}

// Counts beyond 32 bits are written as their low 32 bits; TOTAL sums in 64.
TEST(TextAllocSizes, CountsAreWrittenAsTheirLow32Bits) {
    zu_allocator storage("sizes storage");
    AllocSizes sizes("big", &storage);
    sizes.Reset();
    sizes.classes[1].count = 4294967297; // 2^32 + 1
    sizes.classes[2].count = 2;
    sizes.pages = 4294967296 + 7;
    std::ostringstream os;
    LmAlloc::FileStream stream(os);
    stream.WriteAllocSizes(sizes);
    // TOTAL = 2^32 + 3 -> 3; pages 2^32 + 7 -> 7.
    EXPECT_EQ(Lines(os.str()),
              (Text{"ALLOC_SIZES : big", " RANGE" + Blanks(15) + "| Count" + Blanks(4),
                    "]   0 b  to   2 b  ] |         1", "]   2 b  to   4 b  ] |         2",
                    "TOTAL" + Blanks(16) + "|         3", "PAGES( sz=   4036 b) |         7"}));
}

// Neither the allocator section nor the dump writes a character, and the
// caller's stream keeps its state.
TEST(TextAllocator, AllocatorAndDumpWriteNothing) {
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
    root.Free(p);
}
