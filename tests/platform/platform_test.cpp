// The platform layer, against the operating system's own answers: the
// process's identity, its processor times in milliseconds, the report path.

#include "platform/Platform.h"

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <thread>

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/resource.h>
#include <unistd.h>
#endif

namespace {

namespace platform = dideverazez::platform;

// User time of the process in milliseconds, as the system tells it.
std::uint64_t SystemUserMs() {
#if defined(_WIN32)
    FILETIME created, exited, kernel, user;
    GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
    return (static_cast<std::uint64_t>(user.dwHighDateTime) << 32 | user.dwLowDateTime) / 10000;
#else
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<std::uint64_t>(usage.ru_utime.tv_sec) * 1000 +
           static_cast<std::uint64_t>(usage.ru_utime.tv_usec) / 1000;
#endif
}

// Identity and times: the user time lies between the system's readings around
// the call and grows with processor time spent; the report path carries the
// process id and is cut to the buffer, terminated.
TEST(Platform, AnswersAreTheSystems) {
#if defined(_WIN32)
    EXPECT_EQ(platform::CurrentProcessId(), static_cast<std::uint32_t>(GetCurrentProcessId()));
    EXPECT_EQ(platform::CurrentProcess(), GetCurrentProcess());
    const std::string path = "c:\\allocator_" + std::to_string(GetCurrentProcessId()) + ".txt";
#else
    EXPECT_EQ(platform::CurrentProcessId(), static_cast<std::uint32_t>(getpid()));
    EXPECT_EQ(platform::CurrentProcess(), nullptr);
    const std::string path = "/tmp/allocator_" + std::to_string(getpid()) + ".txt";
#endif
    for (const std::uint64_t start = SystemUserMs(); SystemUserMs() < start + 20;) {
    }
    std::uint64_t user = 0, kernel = 0;
    const std::uint64_t before = SystemUserMs();
    EXPECT_TRUE(platform::ProcessTimes(platform::CurrentProcess(), user, kernel));
    EXPECT_GE(user, before);
    EXPECT_LE(user, SystemUserMs());
    EXPECT_GE(user, 20u);
    char buffer[64];
    platform::ReportPath(buffer, sizeof buffer);
    EXPECT_EQ(buffer, path);
    buffer[6] = 'X';
    platform::ReportPath(buffer, 6);
    EXPECT_EQ(std::string(buffer), path.substr(0, 5));
    EXPECT_EQ(buffer[6], 'X');
}

// The tree lock's waiters read whether a mutex is held without taking it: on
// glibc the lock word tells, held by this thread or another; elsewhere the
// answer is always "not held", which makes a waiter try the lock instead.
TEST(Platform, LooksHeldWhileAnyThreadHoldsTheMutex) {
#if defined(__GLIBC__)
    constexpr bool kReadable = true;
#else
    constexpr bool kReadable = false;
#endif
    std::mutex mutex;
    EXPECT_FALSE(platform::LooksHeld(mutex));
    mutex.lock();
    EXPECT_EQ(platform::LooksHeld(mutex), kReadable);
    bool seenByOther = false;
    std::thread([&] { seenByOther = platform::LooksHeld(mutex); }).join();
    EXPECT_EQ(seenByOther, kReadable);
    mutex.unlock();
    EXPECT_FALSE(platform::LooksHeld(mutex));
}

} // namespace
