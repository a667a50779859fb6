// The shell of the report streams: construction over a caller's stream or an
// owned report file, when the owned file is created, destruction, and the two
// operations that write nothing (WriteAllocator and DumpAllocator of the text
// stream). The null stream discards everything.

#include "report/ReportStreams.h"

#include "engines/kdideverazez_impl.h"
#include "handle/HandleTesting.h"
#include "statistics/AllocSizes.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <unistd.h>

#if defined(_WIN32)
#include <io.h>
#endif

using dideverazez::test::SpyEngine;

namespace {

namespace fs = std::filesystem;

// The report file of this process, named here from the process id.
fs::path ReportFile() {
#if defined(_WIN32)
    return "c:\\allocator_" + std::to_string(::getpid()) + ".txt";
#else
    return "/tmp/allocator_" + std::to_string(::getpid()) + ".txt";
#endif
}

// The descriptors the process holds open. On Windows, those of the C runtime
// (at most 2048 in msvcrt), which file streams open their files through.
std::size_t OpenDescriptors() {
#if defined(_WIN32)
    std::size_t open = 0;
    for (int descriptor = 0; descriptor < 2048; ++descriptor) {
        open += ::_get_osfhandle(descriptor) != -1 ? 1u : 0u;
    }
    return open;
#else
    return static_cast<std::size_t>(
        std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator()));
#endif
}

std::string Contents(const fs::path& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Every test starts and ends without a report file of this process.
class ReportShell : public ::testing::Test {
protected:
    void SetUp() override { fs::remove_all(ReportFile()); }
    void TearDown() override { fs::remove_all(ReportFile()); }
};

} // namespace

// A default-built file stream owns its file and has not opened it.
TEST_F(ReportShell, OwningConstructionOpensNothing) {
    {
        LmAlloc::FileStream stream;
        EXPECT_EQ(stream.Stream, nullptr);
        EXPECT_TRUE(stream.OwnsStream);
        LmAlloc::XMLFileStream xml;
        EXPECT_EQ(xml.Stream, nullptr);
        EXPECT_TRUE(xml.OwnsStream);
    }
    EXPECT_FALSE(fs::exists(ReportFile()));
}

// A file stream over a caller's stream writes there and owns nothing.
TEST_F(ReportShell, CallerStreamConstruction) {
    std::ostringstream out;
    LmAlloc::FileStream stream(out);
    EXPECT_EQ(stream.Stream, &out);
    EXPECT_FALSE(stream.OwnsStream);
    LmAlloc::XMLFileStream xml(out);
    EXPECT_EQ(xml.Stream, &out);
    EXPECT_FALSE(xml.OwnsStream);
}

// BeginReport, WriteAllocator, DumpAllocator and EndReport of an owning text
// stream create no file, whether the engine holds memory or not.
TEST_F(ReportShell, NonWritingOperationsCreateNoFile) {
    zu_allocator root("R");
    void* block = root.Alloc(2000);
    zu_allocator empty("E");
    {
        LmAlloc::FileStream stream;
        stream.BeginReport();
        stream.WriteAllocator(dideverazez::test::Engine(root));
        stream.WriteAllocator(dideverazez::test::Engine(empty));
        stream.DumpAllocator(dideverazez::test::Engine(root));
        stream.EndReport();
        EXPECT_EQ(stream.Stream, nullptr);
        LmAlloc::XMLFileStream xml;
        xml.BeginReport();
        xml.DumpAllocator(dideverazez::test::Engine(root));
        xml.EndReport();
        EXPECT_EQ(xml.Stream, nullptr);
    }
    EXPECT_FALSE(fs::exists(ReportFile()));
    root.Free(block);
}

// DumpAllocator asks the engine's kind every time; WriteAllocator only when
// the engine holds memory. Neither writes a character.
TEST_F(ReportShell, KindAskedByDumpAlwaysAndByWriteWhenNotEmpty) {
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

// The first operation that needs the owned file creates it, truncating an
// earlier file of the same name; destroying the stream closes it.
TEST_F(ReportShell, OwnedFileCreatedTruncatedAndClosed) {
    {
        std::ofstream earlier(ReportFile());
        earlier << "left over from an earlier run\n";
    }
    const std::size_t descriptors = OpenDescriptors();
    {
        LmAlloc::FileStream stream;
        StatAlloc never{};
        stream.WriteStatistics(never, "Never"); // opens, writes nothing
        ASSERT_NE(stream.Stream, nullptr);
        EXPECT_TRUE(stream.OwnsStream);
        EXPECT_TRUE(stream.Stream->good());
        EXPECT_EQ(OpenDescriptors(), descriptors + 1);
        EXPECT_EQ(Contents(ReportFile()), "");
    }
    EXPECT_EQ(OpenDescriptors(), descriptors);
    EXPECT_TRUE(fs::exists(ReportFile()));
}

// A second owning stream opens the same file again and truncates it.
TEST_F(ReportShell, SecondOwningStreamTruncatesAgain) {
    LmAlloc::FileStream first;
    first.WriteAllocSizes(AllocSizes("h", nullptr)); // opens the file
    ASSERT_NE(first.Stream, nullptr);
    *first.Stream << "first\n" << std::flush;
    EXPECT_EQ(Contents(ReportFile()), "first\n");
    LmAlloc::FileStream second;
    second.WriteStatistics(StatAlloc{}, "S");
    EXPECT_EQ(Contents(ReportFile()), "");
}

// A report file that cannot be created leaves a failed stream: the operation
// returns normally, later writes are dropped, and destruction releases it.
TEST_F(ReportShell, UncreatableFileFailsSilently) {
    fs::create_directory(ReportFile()); // a directory stands where the file would go
    {
        LmAlloc::FileStream stream;
        EXPECT_NO_THROW(stream.WriteStatistics(StatAlloc{}, "S"));
        ASSERT_NE(stream.Stream, nullptr);
        EXPECT_TRUE(stream.Stream->fail());
        EXPECT_NO_THROW(stream.WriteStatistics(StatAlloc{}, "S"));
    }
    EXPECT_TRUE(fs::is_directory(ReportFile()));
}

// A stream over the caller's stream never creates the report file, whatever is
// written through it, and leaves the caller's stream open and usable.
TEST_F(ReportShell, CallerStreamNeverOpensReportFile) {
    const fs::path mine =
        fs::temp_directory_path() / ("report_shell_" + std::to_string(::getpid()) + ".txt");
    std::ofstream out(mine);
    zu_allocator root("R");
    {
        LmAlloc::FileStream stream(out);
        stream.BeginReport();
        stream.WriteAllocator(dideverazez::test::Engine(root));
        stream.WriteStatistics(StatAlloc{}, "S");
        stream.WriteProcessFigures(ProcessInfo{}, 0);
        stream.WriteAllocSizes(AllocSizes("h", &root));
        stream.DumpAllocator(dideverazez::test::Engine(root));
        stream.EndReport();
    }
    EXPECT_FALSE(fs::exists(ReportFile()));
    EXPECT_TRUE(out.is_open());
    out << "still usable\n";
    out.close();
    EXPECT_TRUE(out.good());
    const std::string text = Contents(mine);
    EXPECT_EQ(text.substr(text.size() - 13), "still usable\n");
    fs::remove(mine);
}

// The null stream writes nothing and opens nothing, whatever it is given.
TEST_F(ReportShell, NullStreamDiscardsEverything) {
    zu_allocator root("R");
    zu_allocator child(root, "C");
    void* block = child.Alloc(30);
    AllocSizes sizes("h", &root);
    sizes.Record(30);
    const std::size_t descriptors = OpenDescriptors();
    LmAlloc::NullStream stream;
    LmAlloc::OutputStream& sink = stream;
    const allocator_impl& engine = dideverazez::test::Engine(root);
    sink.BeginReport();
    sink.WriteAllocator(engine);
    sink.WriteStatistics(engine.GlobalStat, "GlobalStat");
    sink.WriteProcessFigures(engine.Process, 12345);
    sink.WriteMemoryManagers(static_cast<const allocator_data&>(engine).OwnPool);
    sink.WriteAllocSizes(sizes);
    sink.DumpAllocator(engine);
    sink.EndReport();
    EXPECT_FALSE(fs::exists(ReportFile()));
    EXPECT_EQ(OpenDescriptors(), descriptors);
    child.Free(block);
}

// Streams are destroyed through the interface; an owning one closes its file.
TEST_F(ReportShell, DestroyedThroughInterface) {
    const std::size_t descriptors = OpenDescriptors();
    LmAlloc::OutputStream* owning = new LmAlloc::XMLFileStream();
    owning->WriteStatistics(StatAlloc{}, "S");
    EXPECT_EQ(OpenDescriptors(), descriptors + 1);
    delete owning;
    EXPECT_EQ(OpenDescriptors(), descriptors);
    LmAlloc::OutputStream* null = new LmAlloc::NullStream();
    delete null;
}
