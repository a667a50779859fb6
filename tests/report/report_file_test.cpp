// The report file of owning streams: which sections create it, appending and
// truncation, line-by-line flushing, a file that cannot be created, and
// streams that write to their caller's stream instead.

#include "ReportTestSupport.h"

#include "engines/kdideverazez_impl.h"
#include "handle/dideverazez.h"
#include "report/ReportStreams.h"
#include "statistics/AllocSizes.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using report_test::Lines;
using report_test::ReadFile;
using report_test::ReportFile;
using Text = std::vector<std::string>;

// Starts and ends every test without a report file of this process.
class WithoutReportFile : public ::testing::Test {
protected:
    void SetUp() override { fs::remove_all(ReportFile()); }
    void TearDown() override { fs::remove_all(ReportFile()); }
};

StatAlloc NeverHeldBytes() {
    StatAlloc stat;
    stat.Counter = {1, 1, 1};
    return stat;
}

StatAlloc OneByte() {
    StatAlloc stat;
    stat.Memory = {1, 1, 1};
    stat.Counter = {1, 1, 1};
    return stat;
}

// The text-stream lines of OneByte() under the name "n ".
const Text kOneByteLines{
    "n Current = " + report_test::Blanks(19) + "1 (Inc  = " + report_test::Blanks(11) +
        "1; Dec  = " + report_test::Blanks(11) + "0; Peak = " + report_test::Blanks(11) + "1)",
    "n Peak    = " + report_test::Blanks(19) + "1 (       1 b  )",
    "n Cumul   = " + report_test::Blanks(19) + "1 (       1 b  )"};

using OwnedTextFile = WithoutReportFile;
using OwnedXmlFile = WithoutReportFile;
using CallerStream = WithoutReportFile;

} // namespace

// The operations that write nothing open nothing, and neither does a pool that
// never held a page.
TEST_F(OwnedTextFile, SectionsWithoutOpeningPointCreateNoFile) {
    allocator_data engine("engine", nullptr, false);
    void* p = engine.Alloc(5000, nullptr, nullptr); // not empty: WriteAllocator asks its kind
    {
        LmAlloc::FileStream stream;
        stream.BeginReport();
        stream.WriteAllocator(engine);
        stream.DumpAllocator(engine);
        stream.WriteMemoryManagers(engine.OwnPool); // no page: the block is a heap block
        stream.EndReport();
        EXPECT_FALSE(fs::exists(ReportFile()));
        EXPECT_EQ(stream.Stream, nullptr);
    }
    EXPECT_FALSE(fs::exists(ReportFile()));
    engine.Free(p);
}

// WriteStatistics creates the file even when the statistic writes nothing.
TEST_F(OwnedTextFile, StatisticsCreateTheFileEvenWhenWritingNothing) {
    LmAlloc::FileStream stream;
    stream.WriteStatistics(NeverHeldBytes(), "n ");
    EXPECT_TRUE(fs::is_regular_file(ReportFile()));
    EXPECT_EQ(ReadFile(ReportFile()), "");
}

// WriteProcessFigures creates the file even without a VM start figure.
TEST_F(OwnedTextFile, ProcessFiguresCreateTheFileEvenWhenWritingNothing) {
    LmAlloc::FileStream stream;
    stream.WriteProcessFigures(ProcessInfo(), 100);
    EXPECT_TRUE(fs::is_regular_file(ReportFile()));
    EXPECT_EQ(ReadFile(ReportFile()), "");
}

// WriteAllocSizes creates the file even for an empty histogram.
TEST_F(OwnedTextFile, AllocSizesCreateTheFileEvenWhenWritingNothing) {
    zu_allocator storage("sizes storage");
    AllocSizes sizes("empty", &storage);
    LmAlloc::FileStream stream;
    stream.WriteAllocSizes(sizes);
    EXPECT_TRUE(fs::is_regular_file(ReportFile()));
    EXPECT_EQ(ReadFile(ReportFile()), "");
}

// A pool that held a page opens the file and writes its section there.
TEST_F(OwnedTextFile, MemoryManagersOfAUsedPoolCreateTheFile) {
    report_test::ThreeClassPool pool;
    LmAlloc::FileStream stream;
    stream.WriteMemoryManagers(pool.Pool());
    // Title, three block lines, blank, three page lines, blank.
    const Text lines = Lines(ReadFile(ReportFile()));
    ASSERT_EQ(lines.size(), 9u);
    EXPECT_EQ(lines[0], " Detailed allocation (paged memory)");
}

// Every line is flushed: the file is complete while the stream is alive.
TEST_F(OwnedTextFile, EveryLineIsInTheFileAtOnce) {
    LmAlloc::FileStream stream;
    stream.WriteStatistics(OneByte(), "n ");
    EXPECT_EQ(Lines(ReadFile(ReportFile())), kOneByteLines);
}

// Later sections of one stream append; a second owning stream truncates.
TEST_F(OwnedTextFile, SectionsAppendAndASecondStreamTruncates) {
    fs::path path = ReportFile();
    {
        std::ofstream stale(path);
        stale << "stale line" << std::endl;
    }
    {
        LmAlloc::FileStream first;
        first.WriteStatistics(OneByte(), "n ");
        first.WriteStatistics(OneByte(), "n ");
    }
    Text twice = kOneByteLines;
    twice.insert(twice.end(), kOneByteLines.begin(), kOneByteLines.end());
    EXPECT_EQ(Lines(ReadFile(path)), twice);

    LmAlloc::FileStream second;
    second.WriteProcessFigures(ProcessInfo(), 0);
    EXPECT_EQ(ReadFile(path), "");
}

// A file that cannot be created (its path is a directory) drops the writes;
// every section returns normally and the failed stream is still kept.
TEST_F(OwnedTextFile, UncreatableFileDropsWrites) {
    fs::create_directory(ReportFile());
    report_test::ThreeClassPool pool;
    zu_allocator storage("sizes storage");
    AllocSizes sizes("sizes", &storage);
    sizes.Record(10);
    sizes.RecordPage();
    ProcessInfo process;
    process.VmStart = 1;
    process.VmPeak = 100000000;
    {
        LmAlloc::FileStream stream;
        stream.WriteStatistics(OneByte(), "n ");
        ASSERT_NE(stream.Stream, nullptr);
        EXPECT_TRUE(stream.Stream->fail());
        stream.WriteProcessFigures(process, 1000000);
        stream.WriteMemoryManagers(pool.Pool());
        stream.WriteAllocSizes(sizes);
        stream.WriteAllocator(pool.root);
        stream.DumpAllocator(pool.root);
    }
    EXPECT_TRUE(fs::is_directory(ReportFile()));
    EXPECT_TRUE(fs::is_empty(ReportFile()));
}

// The XML stream opens at the same points, except that WriteAllocator opens.
TEST_F(OwnedXmlFile, OpeningPoints) {
    allocator_data engine("engine", nullptr, false);
    {
        LmAlloc::XMLFileStream stream;
        stream.BeginReport();
        stream.DumpAllocator(engine);
        stream.WriteMemoryManagers(engine.OwnPool);
        stream.EndReport();
        EXPECT_FALSE(fs::exists(ReportFile()));
    }
    EXPECT_FALSE(fs::exists(ReportFile()));
    {
        LmAlloc::XMLFileStream stream;
        stream.WriteStatistics(NeverHeldBytes(), "n");
        EXPECT_EQ(ReadFile(ReportFile()), "");
    }
    fs::remove(ReportFile());
    {
        zu_allocator storage("sizes storage");
        AllocSizes sizes("empty", &storage);
        LmAlloc::XMLFileStream stream;
        stream.WriteAllocSizes(sizes);
        EXPECT_EQ(ReadFile(ReportFile()), "");
    }
    fs::remove(ReportFile());
    {
        LmAlloc::XMLFileStream stream;
        stream.WriteProcessFigures(ProcessInfo(), 0);
        EXPECT_EQ(ReadFile(ReportFile()), "");
    }
    fs::remove(ReportFile());
    {
        LmAlloc::XMLFileStream stream;
        stream.WriteAllocator(engine);
        EXPECT_EQ(Lines(ReadFile(ReportFile())).size(), 2u);
    }
}

// The XML stream over an uncreatable file drops its writes too.
TEST_F(OwnedXmlFile, UncreatableFileDropsWrites) {
    fs::create_directory(ReportFile());
    report_test::ThreeClassPool pool;
    {
        LmAlloc::XMLFileStream stream;
        stream.WriteAllocator(pool.root);
        stream.WriteStatistics(OneByte(), nullptr);
        stream.WriteMemoryManagers(pool.Pool());
        ASSERT_NE(stream.Stream, nullptr);
        EXPECT_TRUE(stream.Stream->fail());
    }
    EXPECT_TRUE(fs::is_empty(ReportFile()));
}

// A stream over the caller's stream never creates the report file, and leaves
// the caller's stream open and usable.
TEST_F(CallerStream, NeverCreatesTheReportFile) {
    report_test::ThreeClassPool pool;
    zu_allocator storage("sizes storage");
    AllocSizes sizes("sizes", &storage);
    sizes.Record(10);
    std::ostringstream text;
    std::ostringstream xml;
    {
        LmAlloc::FileStream textStream(text);
        LmAlloc::XMLFileStream xmlStream(xml);
        for (LmAlloc::OutputStream* stream : {static_cast<LmAlloc::OutputStream*>(&textStream),
                                              static_cast<LmAlloc::OutputStream*>(&xmlStream)}) {
            stream->BeginReport();
            stream->WriteAllocator(pool.root);
            stream->WriteStatistics(OneByte(), "n ");
            stream->WriteProcessFigures(ProcessInfo(), 0);
            stream->WriteMemoryManagers(pool.Pool());
            stream->WriteAllocSizes(sizes);
            stream->DumpAllocator(pool.root);
            stream->EndReport();
        }
    }
    EXPECT_FALSE(fs::exists(ReportFile()));
    EXPECT_FALSE(text.str().empty());
    EXPECT_FALSE(xml.str().empty());
    text << "after";
    EXPECT_TRUE(text.good());
    EXPECT_EQ(text.str().substr(text.str().size() - 5), "after");
}

// A caller's stream in a failed state: writes are dropped, sections return.
TEST_F(CallerStream, FailedCallerStreamDropsWrites) {
    report_test::ThreeClassPool pool;
    std::ostringstream os;
    os.setstate(std::ios::badbit);
    LmAlloc::XMLFileStream stream(os);
    stream.WriteAllocator(pool.root);
    stream.WriteStatistics(OneByte(), "n");
    stream.WriteMemoryManagers(pool.Pool());
    LmAlloc::FileStream text(os);
    text.WriteStatistics(OneByte(), "n ");
    text.WriteMemoryManagers(pool.Pool());
    EXPECT_EQ(os.str(), "");
    EXPECT_TRUE(os.bad());
}

// Reports of an engine that another thread is allocating from read its
// figures through atomic snapshots (checked under TSan), and each section
// stays well formed.
TEST(ConcurrentReport, SectionsOfAnEngineInUseElsewhere) {
    allocator_data root("root", nullptr, false);
    allocator_data child("child", &root, false);
    child.Free(child.Alloc(8, nullptr, nullptr)); // every section has figures from the start
    std::atomic<bool> stop{false};
    std::thread worker([&] {
        std::vector<void*> blocks;
        while (!stop.load()) {
            for (std::uint64_t size : {8u, 100u, 1000u, 3000u}) {
                blocks.push_back(child.Alloc(size, nullptr, nullptr));
            }
            for (void* p : blocks) {
                child.Free(p);
            }
            blocks.clear();
        }
    });
    for (int i = 0; i < 200; ++i) {
        std::ostringstream text;
        std::ostringstream xml;
        LmAlloc::FileStream textStream(text);
        LmAlloc::XMLFileStream xmlStream(xml);
        textStream.WriteStatistics(child.SelfStat, "child ");
        textStream.WriteMemoryManagers(*root.Pool);
        xmlStream.WriteAllocator(child);
        xmlStream.WriteStatistics(root.GlobalStat, "root");
        xmlStream.WriteMemoryManagers(*root.Pool);
        const Text textLines = Lines(text.str());
        ASSERT_FALSE(textLines.empty());
        EXPECT_EQ(textLines[0].rfind("child Current = ", 0), 0u) << textLines[0];
        const Text xmlLines = Lines(xml.str());
        ASSERT_GE(xmlLines.size(), 2u);
        EXPECT_EQ(xmlLines[1], "</ALLOCATOR>");
        for (const std::string& line : xmlLines) {
            EXPECT_EQ(line.front(), '<') << line;
            EXPECT_EQ(line.back(), '>') << line;
        }
    }
    stop.store(true);
    worker.join();
}
