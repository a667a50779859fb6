// The report file of owning streams: which sections create it, appending,
// truncation, line-by-line flushing, closing, a file that cannot be created;
// streams that write to their caller's stream instead, and the null stream.

#include "ReportTestSupport.h"

#include "engines/kdideverazez_impl.h"
#include "handle/HandleTesting.h"
#include "handle/dideverazez.h"
#include "report/ReportStreams.h"
#include "statistics/AllocSizes.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using dideverazez::test::SpyEngine;
using report_test::Lines;
using report_test::OpenDescriptors;
using report_test::ReadFile;
using report_test::ReportFile;
using Text = std::vector<std::string>;

// Starts and ends every test without a report file of this process.
class ReportFileTest : public ::testing::Test {
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

// Runs every section on `stream`: a used pool, a histogram with a row and a
// page, process figures with a VM start.
void WriteEverySection(LmAlloc::OutputStream& stream, report_test::ThreeClassPool& pool,
                       const AllocSizes& sizes) {
    ProcessInfo process;
    process.VmStart = 1;
    process.VmPeak = 100000000;
    stream.BeginReport();
    stream.WriteAllocator(pool.root);
    stream.WriteStatistics(OneByte(), "n ");
    stream.WriteProcessFigures(process, 1000000);
    stream.WriteMemoryManagers(pool.Pool());
    stream.WriteAllocSizes(sizes);
    stream.DumpAllocator(pool.root);
    stream.EndReport();
}

} // namespace

// Owning streams own their file and have not opened it; streams over a
// caller's stream write there and own nothing.
TEST_F(ReportFileTest, ConstructionOpensNothing) {
    std::ostringstream out;
    {
        LmAlloc::FileStream text;
        LmAlloc::XMLFileStream xml;
        LmAlloc::FileStream callerText(out);
        LmAlloc::XMLFileStream callerXml(out);
        for (LmAlloc::FileStream* stream : {&text, static_cast<LmAlloc::FileStream*>(&xml)}) {
            EXPECT_EQ(stream->Stream, nullptr);
            EXPECT_TRUE(stream->OwnsStream);
        }
        for (LmAlloc::FileStream* stream :
             {&callerText, static_cast<LmAlloc::FileStream*>(&callerXml)}) {
            EXPECT_EQ(stream->Stream, &out);
            EXPECT_FALSE(stream->OwnsStream);
        }
    }
    EXPECT_FALSE(fs::exists(ReportFile()));
}

// Which single section of a fresh owning stream creates the file, and how many
// lines it then holds: sections that need the file open it even when they
// write nothing; the text stream's allocator section and both dumps never do,
// nor does a pool that never held a page; the XML allocator element does.
TEST_F(ReportFileTest, SectionsThatCreateTheFile) {
    allocator_data engine("engine", nullptr, false);
    void* heapBlock = engine.Alloc(5000, nullptr, nullptr); // not empty: its kind is asked
    allocator_data empty("empty", nullptr, false);
    report_test::ThreeClassPool pool;
    zu_allocator storage("sizes storage");
    const AllocSizes noSizes("empty", &storage);
    using Section = std::function<void(LmAlloc::OutputStream&)>;
    struct Row {
        const char* what;
        bool xml;
        Section section;
        int lines; // -1: no file
    };
    const Row rows[] = {
        {"text begin", false, [](auto& s) { s.BeginReport(); }, -1},
        {"text allocator", false, [&](auto& s) { s.WriteAllocator(engine); }, -1},
        {"text empty allocator", false, [&](auto& s) { s.WriteAllocator(empty); }, -1},
        {"text dump", false, [&](auto& s) { s.DumpAllocator(engine); }, -1},
        {"text unused pool", false, [&](auto& s) { s.WriteMemoryManagers(engine.OwnPool); }, -1},
        {"text end", false, [](auto& s) { s.EndReport(); }, -1},
        {"text statistics", false, [](auto& s) { s.WriteStatistics(NeverHeldBytes(), "n "); }, 0},
        {"text process", false, [](auto& s) { s.WriteProcessFigures(ProcessInfo(), 100); }, 0},
        {"text sizes", false, [&](auto& s) { s.WriteAllocSizes(noSizes); }, 0},
        // Title, three block lines, blank, three page lines, blank.
        {"text used pool", false, [&](auto& s) { s.WriteMemoryManagers(pool.Pool()); }, 9},
        {"xml begin", true, [](auto& s) { s.BeginReport(); }, -1},
        {"xml dump", true, [&](auto& s) { s.DumpAllocator(engine); }, -1},
        {"xml unused pool", true, [&](auto& s) { s.WriteMemoryManagers(engine.OwnPool); }, -1},
        {"xml end", true, [](auto& s) { s.EndReport(); }, -1},
        {"xml statistics", true, [](auto& s) { s.WriteStatistics(NeverHeldBytes(), "n"); }, 0},
        {"xml process", true, [](auto& s) { s.WriteProcessFigures(ProcessInfo(), 0); }, 0},
        {"xml sizes", true, [&](auto& s) { s.WriteAllocSizes(noSizes); }, 0},
        {"xml allocator", true, [&](auto& s) { s.WriteAllocator(engine); }, 2},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        fs::remove(ReportFile());
        {
            std::unique_ptr<LmAlloc::FileStream> stream;
            if (row.xml) {
                stream = std::make_unique<LmAlloc::XMLFileStream>();
            } else {
                stream = std::make_unique<LmAlloc::FileStream>();
            }
            row.section(*stream);
            EXPECT_EQ(stream->Stream == nullptr, row.lines < 0);
            EXPECT_EQ(fs::exists(ReportFile()), row.lines >= 0);
        }
        if (row.lines >= 0) {
            EXPECT_EQ(Lines(ReadFile(ReportFile())).size(), static_cast<std::size_t>(row.lines));
        }
    }
    EXPECT_EQ(Lines(ReadFile(ReportFile())).at(0).rfind("<ALLOCATOR Name=\"engine\"", 0), 0u);
    engine.Free(heapBlock);
}

// DumpAllocator asks the engine's kind every time; WriteAllocator only when
// the engine holds memory. Neither writes a character.
TEST_F(ReportFileTest, KindAskedByDumpAlwaysAndByWriteWhenNotEmpty) {
    SpyEngine spy;
    std::ostringstream out;
    LmAlloc::FileStream stream(out);
    stream.WriteAllocator(spy);
    EXPECT_EQ(spy.kindCalls, 0);
    stream.DumpAllocator(spy);
    EXPECT_EQ(spy.kindCalls, 1);
    spy.LargeStat.Charge(100); // now not empty
    stream.WriteAllocator(spy);
    EXPECT_EQ(spy.kindCalls, 2);
    EXPECT_TRUE(out.str().empty());
    EXPECT_EQ(out.rdstate(), std::ios::goodbit);
}

// The first opening truncates an earlier file; every line is in the file at
// once; later sections append; destroying the stream closes the file; a
// second owning stream truncates again.
TEST_F(ReportFileTest, TruncatedFlushedAppendedAndClosed) {
    {
        std::ofstream stale(ReportFile());
        stale << "stale line" << std::endl;
    }
    const std::size_t descriptors = OpenDescriptors();
    {
        LmAlloc::FileStream first;
        first.WriteStatistics(OneByte(), "n ");
        EXPECT_EQ(OpenDescriptors(), descriptors + 1);
        EXPECT_EQ(Lines(ReadFile(ReportFile())), kOneByteLines);
        first.WriteStatistics(OneByte(), "n ");
        Text twice = kOneByteLines;
        twice.insert(twice.end(), kOneByteLines.begin(), kOneByteLines.end());
        EXPECT_EQ(Lines(ReadFile(ReportFile())), twice);
        EXPECT_TRUE(first.Stream->good());
        // Through the interface, the XML kind, while the first is still open:
        // opens, truncates, closes on delete.
        LmAlloc::OutputStream* second = new LmAlloc::XMLFileStream();
        second->WriteProcessFigures(ProcessInfo(), 0);
        EXPECT_EQ(ReadFile(ReportFile()), "");
        EXPECT_EQ(OpenDescriptors(), descriptors + 2);
        delete second;
        EXPECT_EQ(OpenDescriptors(), descriptors + 1);
    }
    EXPECT_EQ(OpenDescriptors(), descriptors);
}

// A file that cannot be created (its path is a directory) leaves a failed
// stream: every section of either kind returns normally, writes are dropped.
TEST_F(ReportFileTest, UncreatableFileDropsWrites) {
    fs::create_directory(ReportFile());
    report_test::ThreeClassPool pool;
    zu_allocator storage("sizes storage");
    AllocSizes sizes("sizes", &storage);
    sizes.Record(10);
    sizes.RecordPage();
    {
        LmAlloc::FileStream text;
        LmAlloc::XMLFileStream xml;
        for (LmAlloc::FileStream* stream : {&text, static_cast<LmAlloc::FileStream*>(&xml)}) {
            stream->WriteStatistics(OneByte(), "n ");
            ASSERT_NE(stream->Stream, nullptr);
            EXPECT_TRUE(stream->Stream->fail());
            WriteEverySection(*stream, pool, sizes);
        }
    }
    EXPECT_TRUE(fs::is_directory(ReportFile()));
    EXPECT_TRUE(fs::is_empty(ReportFile()));
}

// A stream over the caller's stream never creates the report file, and leaves
// the caller's stream open and usable.
TEST_F(ReportFileTest, CallerStreamNeverCreatesTheReportFile) {
    const fs::path mine =
        fs::temp_directory_path() / ("report_caller_" + std::to_string(::getpid()) + ".txt");
    std::ofstream out(mine);
    report_test::ThreeClassPool pool;
    zu_allocator storage("sizes storage");
    AllocSizes sizes("sizes", &storage);
    sizes.Record(10);
    {
        LmAlloc::FileStream text(out);
        LmAlloc::XMLFileStream xml(out);
        WriteEverySection(text, pool, sizes);
        WriteEverySection(xml, pool, sizes);
    }
    EXPECT_FALSE(fs::exists(ReportFile()));
    EXPECT_TRUE(out.is_open());
    out << "still usable\n";
    out.close();
    EXPECT_TRUE(out.good());
    const std::string text = ReadFile(mine);
    EXPECT_EQ(text.rfind(kOneByteLines[0], 0), 0u);
    EXPECT_EQ(text.substr(text.size() - 13), "still usable\n");
    fs::remove(mine);
}

// A caller's stream in a failed state: writes are dropped, sections return.
TEST_F(ReportFileTest, FailedCallerStreamDropsWrites) {
    report_test::ThreeClassPool pool;
    zu_allocator storage("sizes storage");
    AllocSizes sizes("sizes", &storage);
    sizes.Record(10);
    std::ostringstream os;
    os.setstate(std::ios::badbit);
    LmAlloc::XMLFileStream xml(os);
    LmAlloc::FileStream text(os);
    WriteEverySection(xml, pool, sizes);
    WriteEverySection(text, pool, sizes);
    EXPECT_EQ(os.str(), "");
    EXPECT_TRUE(os.bad());
}

// The null stream writes nothing and opens nothing, whatever it is given, and
// is destroyed through the interface.
TEST_F(ReportFileTest, NullStreamDiscardsEverything) {
    report_test::ThreeClassPool pool;
    zu_allocator storage("sizes storage");
    AllocSizes sizes("h", &storage);
    sizes.Record(30);
    const std::size_t descriptors = OpenDescriptors();
    LmAlloc::OutputStream* sink = new LmAlloc::NullStream();
    WriteEverySection(*sink, pool, sizes);
    sink->WriteStatistics(pool.root.GlobalStat, "GlobalStat");
    delete sink;
    EXPECT_FALSE(fs::exists(ReportFile()));
    EXPECT_EQ(OpenDescriptors(), descriptors);
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
