// Requests for a report (Tools/platform/*/ReportRequests.cpp): what happens
// when they cannot be opened. Which test owns which rule:
//  - Platform.ClosedRequestsKeepNoDescriptor: Close lets go of every
//    descriptor.
//  - Platform.NoPipeFailsTheListenerAndLeavesTheSignal,
//    NoSocketLeavesTheSignalAsking, ASocketNameTakenByAnotherListenerIsReported:
//    each failure reported with the system's reason, and what still works.
// The socket's requests and answers, the signal and the wait: reporter_test.cpp
// (observe).

#include "platform/Platform.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstddef>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <string>
#include <vector>

#if !defined(_WIN32)
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#endif

namespace {

namespace platform = dideverazez::platform;

#if !defined(_WIN32)
// Runs `body` with only `spare` descriptors left below the process's limit.
template <class Body> void WithSpareDescriptors(int spare, Body&& body) {
    rlimit before{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &before), 0);
    rlimit low = before;
    low.rlim_cur = 64;
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
    std::vector<int> held;
    for (int fd; (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) {
        held.push_back(fd);
    }
    for (int i = 0; i < spare; ++i) {
        ::close(held.back());
        held.pop_back();
    }
    body();
    for (int fd : held) {
        ::close(fd);
    }
    ::setrlimit(RLIMIT_NOFILE, &before);
}

// The line that reports the socket could not be opened, up to the reason.
std::string ListenFailed() {
    char socket[108];
    platform::ReportRequests::SocketPath(socket, sizeof socket, platform::CurrentProcessId());
    return std::string("dideverazez: cannot listen at ") + socket + ": ";
}

// Requests opened with the signal and closed keep no descriptor.
TEST(Platform, ClosedRequestsKeepNoDescriptor) {
    const auto descriptors = [] {
        return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {});
    };
    const auto before = descriptors();
    {
        platform::ReportRequests requests;
        ASSERT_TRUE(requests.Open(true));
    }
    EXPECT_EQ(descriptors(), before) << "a descriptor kept after Close";
}

// Without a descriptor for the pipe nothing can wake a wait: the listener is
// refused, reported, and the signal left alone.
TEST(Platform, NoPipeFailsTheListenerAndLeavesTheSignal) {
    ::testing::internal::CaptureStderr();
    WithSpareDescriptors(0, [] {
        platform::ReportRequests requests;
        EXPECT_FALSE(requests.Open(true));
        EXPECT_FALSE(requests.Listening());
        EXPECT_FALSE(requests.Wait(-1));
    });
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "dideverazez: cannot make a pipe: Too many open files; reports at exit only\n");
    EXPECT_EQ(std::signal(SIGUSR1, SIG_DFL), SIG_DFL);
}

// With a pipe but no descriptor for the socket, the socket is reported and
// the signal still asks.
TEST(Platform, NoSocketLeavesTheSignalAsking) {
    ::testing::internal::CaptureStderr();
    WithSpareDescriptors(2, [] {
        platform::ReportRequests requests;
        EXPECT_TRUE(requests.Open(true));
        EXPECT_TRUE(requests.Listening());
        std::raise(SIGUSR1);
        EXPECT_TRUE(requests.Wait(-1));
    });
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              ListenFailed() + "Too many open files; no snapshot on request\n");
    EXPECT_EQ(std::signal(SIGUSR1, SIG_DFL), SIG_DFL);
}

// The socket's name taken by another listener (any process may take an
// abstract name): reported, and nothing listens; the requests still open.
TEST(Platform, ASocketNameTakenByAnotherListenerIsReported) {
    char socket[108];
    platform::ReportRequests::SocketPath(socket, sizeof socket, platform::CurrentProcessId());
    const int squatter = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path + 1, socket + 1, std::strlen(socket) - 1);
    ASSERT_EQ(::bind(squatter, reinterpret_cast<const sockaddr*>(&address),
                     static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + std::strlen(socket))),
              0);
    {
        platform::ReportRequests requests;
        ::testing::internal::CaptureStderr();
        EXPECT_TRUE(requests.Open(false));
        EXPECT_EQ(::testing::internal::GetCapturedStderr(),
                  ListenFailed() + "Address already in use; no snapshot on request\n");
        EXPECT_FALSE(requests.Listening());
        EXPECT_FALSE(requests.Wait(0));
    }
    ::close(squatter);
}
#endif

} // namespace
