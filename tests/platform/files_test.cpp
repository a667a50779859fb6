// Report files (Tools/platform/*/Files.cpp). Which test owns which rule:
//  - Platform.TheReportPathCarriesTheProcessId: the default path, cut to the
//    buffer and terminated.
//  - Platform.AFailedWriteLeavesTheFileAsItWas,
//    ATemporaryNamePastPathMaxIsAnError: whole and appended writes refused
//    with the system's reason.
//  - Platform.DescriptorZeroIsAFileLikeAnyOther: standard input closed.
// Only regular files, written whole or appended: Reporter.OnlyRegularFilesWholeOrAppended
// (observe).

#include "platform/Platform.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstddef>
#include <filesystem>
#include <string>

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/resource.h>
#include <unistd.h>
#endif

namespace {

namespace platform = dideverazez::platform;

// The default report path carries the process id; a buffer too short takes
// its first characters, terminated, and nothing past its end.
TEST(Platform, TheReportPathCarriesTheProcessId) {
#if defined(_WIN32)
    const std::string path = "c:\\allocator_" + std::to_string(GetCurrentProcessId()) + ".txt";
#else
    const std::string path = "/tmp/allocator_" + std::to_string(getpid()) + ".txt";
#endif
    char buffer[64];
    platform::ReportPath(buffer, sizeof buffer);
    EXPECT_EQ(buffer, path);
    buffer[6] = 'X';
    platform::ReportPath(buffer, 6);
    EXPECT_EQ(std::string(buffer), path.substr(0, 5));
    EXPECT_EQ(buffer[6], 'X');
}

#if !defined(_WIN32)
// A write the system refuses (past RLIMIT_FSIZE, its signal ignored) fails
// with its reason; a whole file is then left as it was, no temporary beside
// it, and an appended one fails too.
TEST(Platform, AFailedWriteLeavesTheFileAsItWas) {
    const std::filesystem::path folder =
        std::filesystem::temp_directory_path() / ("platform-" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder);
    const std::string whole = folder / "whole";
    ASSERT_TRUE(platform::WriteWholeFile(whole.c_str(), "kept", 4));
    rlimit size{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &size), 0);
    rlimit small = size;
    small.rlim_cur = 4;
    const auto previous = std::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    const bool wrote = platform::WriteWholeFile(whole.c_str(), "too long", 8);
    const int error = errno;
    const bool appended = platform::AppendToFile((folder / "series").c_str(), "too long", 8);
    ::setrlimit(RLIMIT_FSIZE, &size);
    std::signal(SIGXFSZ, previous);
    EXPECT_FALSE(wrote);
    EXPECT_EQ(error, EFBIG);
    EXPECT_FALSE(appended);
    EXPECT_EQ(std::filesystem::file_size(whole), 4u);
    EXPECT_EQ(std::filesystem::remove_all(folder), 3u); // the folder, whole, series
}

// A whole file's temporary name ("<path>.<pid>.tmp") that does not fit
// PATH_MAX is refused as too long; one that fits is tried (its folder absent).
TEST(Platform, ATemporaryNamePastPathMaxIsAnError) {
    const std::string suffix = "." + std::to_string(::getpid()) + ".tmp";
    for (const std::size_t room : {std::size_t{0}, std::size_t{1}}) {
        std::string path = "/dideverazez-absent";
        path.resize(PATH_MAX - suffix.size() - room, 'a');
        for (std::size_t at = 64; at < path.size(); at += 64) {
            path[at] = '/';
        }
        const int expected = room == 0 ? ENAMETOOLONG : ENOENT; // the name fits, the folder not
        errno = 0;
        EXPECT_FALSE(platform::WriteWholeFile(path.c_str(), "x", 1)) << room;
        EXPECT_EQ(errno, expected) << room;
        errno = 0;
        EXPECT_FALSE(platform::CanWriteFile(path.c_str(), false)) << room;
        EXPECT_EQ(errno, expected) << room;
    }
}

// With standard input closed, as a daemon's is, each file opened gets
// descriptor 0, and is written like any other.
TEST(Platform, DescriptorZeroIsAFileLikeAnyOther) {
    const std::filesystem::path folder =
        std::filesystem::temp_directory_path() / ("platform-zero-" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder);
    const std::string whole = folder / "whole";
    const std::string series = folder / "series";
    const int input = ::dup(0);
    ASSERT_GE(input, 0);
    ::close(0);
    const bool canWrite = platform::CanWriteFile(whole.c_str(), false);
    const bool canAppend = platform::CanWriteFile(series.c_str(), true);
    const bool wrote = platform::WriteWholeFile(whole.c_str(), "kept", 4);
    const bool appended = platform::AppendToFile(series.c_str(), "x", 1);
    ::dup2(input, 0);
    ::close(input);
    EXPECT_TRUE(canWrite);
    EXPECT_TRUE(canAppend);
    EXPECT_TRUE(wrote);
    EXPECT_TRUE(appended);
    EXPECT_EQ(std::filesystem::file_size(whole), 4u);
    EXPECT_EQ(std::filesystem::file_size(series), 1u);
    EXPECT_EQ(std::filesystem::remove_all(folder), 3u); // the folder, whole, series
}
#endif

} // namespace
