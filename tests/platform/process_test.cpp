// The process (Tools/platform/*/Process.cpp), against the operating
// system's own answers. Which test owns which rule:
//  - Platform.IdentityAndTimesAreTheSystems: the process's identity, and its
//    processor times in milliseconds between the system's readings.
// A fork's hooks: fork_test.cpp (observe).

#include "platform/Platform.h"

#include <gtest/gtest.h>

#include <cstdint>

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

// The process id and handle are the system's; the user time lies between the
// system's readings around the call and grows with processor time spent.
TEST(Platform, IdentityAndTimesAreTheSystems) {
#if defined(_WIN32)
    EXPECT_EQ(platform::CurrentProcessId(), static_cast<std::uint32_t>(GetCurrentProcessId()));
    EXPECT_EQ(platform::CurrentProcess(), GetCurrentProcess());
#else
    EXPECT_EQ(platform::CurrentProcessId(), static_cast<std::uint32_t>(getpid()));
    EXPECT_EQ(platform::CurrentProcess(), nullptr);
#endif
    for (const std::uint64_t start = SystemUserMs(); SystemUserMs() < start + 20;) {
    }
    std::uint64_t user = 0, kernel = 0;
    const std::uint64_t before = SystemUserMs();
    EXPECT_TRUE(platform::ProcessTimes(platform::CurrentProcess(), user, kernel));
    EXPECT_GE(user, before);
    EXPECT_LE(user, SystemUserMs());
    EXPECT_GE(user, 20u);
}

} // namespace
