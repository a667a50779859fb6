// The platform layer: process identity, processor times and the report path,
// checked against the operating system's own answers.

#include "platform/Platform.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/resource.h>
#include <unistd.h>
#endif

namespace {

namespace platform = dideverazez::platform;

// The system's processor times of the process, in whole milliseconds.
void SystemTimes(std::uint64_t& userMs, std::uint64_t& kernelMs) {
#if defined(_WIN32)
    FILETIME creation{}, exit{}, kernel{}, user{};
    ASSERT_TRUE(::GetProcessTimes(::GetCurrentProcess(), &creation, &exit, &kernel, &user));
    // 100-nanosecond counts; 10000 make a millisecond.
    userMs = ((std::uint64_t{user.dwHighDateTime} << 32) | user.dwLowDateTime) / 10000u;
    kernelMs = ((std::uint64_t{kernel.dwHighDateTime} << 32) | kernel.dwLowDateTime) / 10000u;
#else
    rusage usage{};
    ASSERT_EQ(::getrusage(RUSAGE_SELF, &usage), 0);
    userMs = static_cast<std::uint64_t>(usage.ru_utime.tv_sec) * 1000u +
             static_cast<std::uint64_t>(usage.ru_utime.tv_usec) / 1000u;
    kernelMs = static_cast<std::uint64_t>(usage.ru_stime.tv_sec) * 1000u +
               static_cast<std::uint64_t>(usage.ru_stime.tv_usec) / 1000u;
#endif
}

// Spends processor time until the process's user time has grown by at least
// `ms` milliseconds (or half a minute of wall time has passed).
void BurnProcessorTime(std::uint64_t ms) {
    std::uint64_t startUser = 0, startKernel = 0;
    SystemTimes(startUser, startKernel);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    volatile std::uint64_t sink = 0;
    for (;;) {
        for (int i = 0; i < 100000; ++i) {
            sink = sink + static_cast<std::uint64_t>(i) * 2654435761u;
        }
        std::uint64_t user = 0, kernel = 0;
        SystemTimes(user, kernel);
        if (user >= startUser + ms || std::chrono::steady_clock::now() > deadline) {
            return;
        }
    }
}

} // namespace

// The process identifier is the operating system's; the process handle is the
// pseudo-handle on Windows and null elsewhere.
TEST(Platform, ProcessIdentityIsTheSystems) {
#if defined(_WIN32)
    EXPECT_EQ(platform::CurrentProcessId(), static_cast<std::uint32_t>(::GetCurrentProcessId()));
    EXPECT_EQ(platform::CurrentProcess(), ::GetCurrentProcess());
#else
    EXPECT_EQ(platform::CurrentProcessId(), static_cast<std::uint32_t>(::getpid()));
    EXPECT_EQ(platform::CurrentProcess(), nullptr);
#endif
}

// ProcessTimes answers between two readings of the system's own figures taken
// just before and just after it: same source, same unit (milliseconds).
// Processor time spent between two calls shows in the user time.
TEST(Platform, ProcessTimesLieBetweenSystemReadings) {
    BurnProcessorTime(20); // so that the figures are not all zero
    std::uint64_t userBefore = 0, kernelBefore = 0, userAfter = 0, kernelAfter = 0;
    std::uint64_t user = 0, kernel = 0, user2 = 0, kernel2 = 0;
    SystemTimes(userBefore, kernelBefore);
    EXPECT_TRUE(platform::ProcessTimes(platform::CurrentProcess(), user, kernel));
    SystemTimes(userAfter, kernelAfter);
    EXPECT_GE(user, userBefore);
    EXPECT_LE(user, userAfter);
    EXPECT_GE(kernel, kernelBefore);
    EXPECT_LE(kernel, kernelAfter);
    EXPECT_GT(user, 0u);
    BurnProcessorTime(30);
    ASSERT_TRUE(platform::ProcessTimes(platform::CurrentProcess(), user2, kernel2));
    EXPECT_GE(user2, user + 30);
    EXPECT_GE(kernel2, kernel);
}

// The report path is numbered with the process identifier; a buffer too small
// gets it cut to size - 1 characters and terminated (a one-byte buffer the
// terminator alone), and the bytes behind it are untouched.
TEST(Platform, ReportPathCarriesTheProcessIdAndIsCutToTheBuffer) {
#if defined(_WIN32)
    const std::string path =
        "c:\\allocator_" + std::to_string(platform::CurrentProcessId()) + ".txt";
    const char* cut = "c:\\al"; // 5 characters of "c:\allocator_..."
#else
    const std::string path =
        "/tmp/allocator_" + std::to_string(platform::CurrentProcessId()) + ".txt";
    const char* cut = "/tmp/"; // 5 characters of "/tmp/allocator_..."
#endif
    const struct {
        std::size_t size;
        std::string expected;
    } rows[] = {{64, path}, {6, cut}, {1, ""}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.size);
        char buffer[66];
        std::fill(buffer, buffer + sizeof buffer, 'X');
        platform::ReportPath(buffer, row.size);
        EXPECT_EQ(std::string(buffer), row.expected);
        EXPECT_EQ(buffer[row.size], 'X');
        EXPECT_EQ(buffer[row.size + 1], 'X');
    }
}
