// The reporter (Tools/observe/Reporter.cpp) and the requests, socket and
// files it writes through (platform/Platform.h's ReportRequests, WriteWholeFile,
// AppendToFile). Which test owns which rule:
//  - Reporter.PathPattern: %p and %% in the report path, and which paths name their process.
//  - Reporter.IntervalIsMillisecondsAboveZero: DIDEVERAZEZ_REPORT_INTERVAL_MS
//    read or rejected; only a request writes before exit without a series.
//  - Reporter.AFailureIsReportedOnceAProcessForkedOrNot,
//    NoMemoryForTheSnapshotIsReportedForWhatWasAskedFor, NoMemoryForThePathsWritesNeither,
//    MetricsPastSixtyFourBitsAreReportedOnceAndNotWritten,
//    APathThatCannotBeWrittenAnyMoreIsReportedOnce: each failure to write reported
//    once, for what was asked for.
//  - Reporter.AnAnswerWaitsForALockedTree: the watcher's snapshot, and one
//    that only tries the tree's lock.
//  - Reporter.SignalOnlyWhenTheEnvironmentAsks, ASignalIsARequest,
//    AWaitEndsByItselfOnlyWhenFinite, TheProgramsHandlerStays: SIGUSR1 and
//    the listener's wait.
//  - Reporter.TheSocketIsNamedForItsUserAndProcessUntilClosed,
//    OnlyASnapshotRequestIsAnswered, ARequestInPiecesIsOneAndAskersShareTheAnswer,
//    ARequestCutShortIsNone, APeerOfAnotherUserIsHungUpOn,
//    TheSuperuserIsAnswered, AnAnswerArrivesWholeOrItsPeerIsLetGo,
//    AForkedChildListensOnItsOwn: the socket's name, requests and answers.
//  - Reporter.OnlyRegularFilesWholeOrAppended: the report files.
// The environment variables on an unchanged program: observe.client_writes_*
// and packaging's; the platform's own failures: tests/platform/'s files_test
// and report_requests_test.

#include "observe/Reporter.h"
#include "observe/SnapshotWriter.h"
#include "platform/Platform.h"
#include "support/ObserveSupport.h"
#include "support/TestSupport.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>

#if !defined(_WIN32)
#include <fcntl.h>
#include <linux/securebits.h>
#include <pthread.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {

using namespace dideverazez::observe;
using namespace dideverazez::test;

// %p is the process id, %% a percent sign; any other % stays as it is. A
// path names its process (and its metrics file is removed at exit) only
// through a %p that is not an escaped percent sign followed by p.
TEST(Reporter, PathPattern) {
    EXPECT_EQ(Reporter::ExpandPath("/tmp/a-%p.json", 42), "/tmp/a-42.json");
    EXPECT_EQ(Reporter::ExpandPath("%%p%p%q%", 7), "%p7%q%");
    EXPECT_TRUE(Reporter::NamesProcess("/tmp/a-%p.json"));
    EXPECT_TRUE(Reporter::NamesProcess("%%%p"));
    EXPECT_FALSE(Reporter::NamesProcess("/tmp/a-%%p.json"));
    EXPECT_FALSE(Reporter::NamesProcess("/tmp/a-%q%"));
}

#if !defined(_WIN32)
// A connection to the socket named `path` ("@name", abstract) that has sent
// `request`, or -1 when none could be made. Its reads time out: an answer
// never sent fails the test, not hangs it.
int Ask(const char* path, const char* request) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path);
    address.sun_path[0] = '\0';
    const auto size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + std::strlen(path));
    const auto length = static_cast<ssize_t>(std::strlen(request));
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), size) != 0 ||
        ::write(fd, request, static_cast<std::size_t>(length)) != length) {
        ::close(fd);
        return -1;
    }
    const timeval limit{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    return fd;
}

// A connection to the request socket of process `pid`, of this user, that
// has sent `request`.
int AskSocket(pid_t pid, const char* request) {
    char path[108];
    dideverazez::platform::ReportRequests::SocketPath(path, sizeof path, pid);
    const int fd = Ask(path, request);
    EXPECT_GE(fd, 0) << path << ": " << std::strerror(errno);
    return fd;
}

// What the socket answered, once it hung up.
std::string AnswerOn(int fd) {
    std::string got;
    char buffer[64];
    for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;) {
        got.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return got;
}

// Only a whole number of milliseconds above 0 makes a time series, appended
// to the file; anything else is reported, and the report at exit replaces it
// (with no series, nothing but a request writes before then).
TEST(Reporter, IntervalIsMillisecondsAboveZero) {
    const std::string path = std::filesystem::temp_directory_path() /
                             ("interval-" + std::to_string(::getpid()) + ".json");
    ::setenv("DIDEVERAZEZ_REPORT", path.c_str(), 1);
    for (const char* interval : {"5x", "", "abc", "0", "-3", "7"}) {
        std::ofstream(path) << "old\n";
        ::setenv("DIDEVERAZEZ_REPORT_INTERVAL_MS", interval, 1);
        const bool series = std::strcmp(interval, "7") == 0;
        ::testing::internal::CaptureStderr();
        {
            Reporter reporter(dideverazez::GlobalAllocSizes());
            if (!series) { // a wake that is no request writes nothing either
                EXPECT_EQ(AnswerOn(AskSocket(::getpid(), "something else")), "");
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
                std::ifstream file(path);
                EXPECT_EQ(std::string(std::istreambuf_iterator<char>(file), {}), "old\n");
            }
        }
        const std::string logged = ::testing::internal::GetCapturedStderr();
        std::ifstream file(path);
        const std::string first(std::istreambuf_iterator<char>(file), {});
        EXPECT_EQ(logged,
                  series ? ""
                         : "dideverazez: DIDEVERAZEZ_REPORT_INTERVAL_MS=" + std::string(interval) +
                               " is not a number of milliseconds above 0; no time series\n")
            << interval;
        EXPECT_EQ(first.rfind("old\n{", 0) == 0, series) << interval;
        EXPECT_EQ(first.rfind("{", 0) == 0, !series) << interval;
    }
    ::unsetenv("DIDEVERAZEZ_REPORT_INTERVAL_MS");
    ::unsetenv("DIDEVERAZEZ_REPORT");
    std::filesystem::remove(path);
}

// A report or metrics file that cannot be written is reported once a process:
// a forked child reports its own, under its own path, though its parent
// reported it already.
TEST(Reporter, AFailureIsReportedOnceAProcessForkedOrNot) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the child starts a thread after a fork of threads, which "
                    "ThreadSanitizer does not follow";
#endif
    ::setenv("DIDEVERAZEZ_REPORT", "/dideverazez-absent/report-%p.json", 1);
    ::setenv("DIDEVERAZEZ_METRICS", "/dideverazez-absent/metrics-%p.prom", 1);
    const auto logged = [](pid_t pid) {
        const std::string at = "/dideverazez-absent/", id = std::to_string(pid);
        const std::string absent = ": No such file or directory\n";
        return "dideverazez: cannot write the report " + at + "report-" + id + ".json" + absent +
               "dideverazez: cannot write the metrics " + at + "metrics-" + id + ".prom" + absent;
    };
    ::testing::internal::CaptureStderr();
    {
        Reporter reporter(dideverazez::GlobalAllocSizes());
        // Answered: the watcher runs, and nothing of its start is left to the
        // child to leak.
        EXPECT_NE(AnswerOn(AskSocket(::getpid(), "snapshot\n")), "");
        const pid_t child = ::fork();
        if (child == 0) {
            // Standard error to a file of the child's own, read back at its end.
            const std::string log = std::filesystem::temp_directory_path() /
                                    ("child-stderr-" + std::to_string(::getpid()));
            const int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            ::dup2(fd, 2);
            reporter.RestartInChild();
            reporter.~Reporter(); // its last snapshot, which cannot be written either
            std::ifstream file(log);
            const std::string text(std::istreambuf_iterator<char>(file), {});
            std::filesystem::remove(log);
            ::_exit(text == logged(::getpid()) ? 0 : 1);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
    ::unsetenv("DIDEVERAZEZ_REPORT");
    ::unsetenv("DIDEVERAZEZ_METRICS");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), logged(::getpid()));
}

// A snapshot with no memory for it is reported for what was asked for, and for
// nothing else, once: the metrics alone, then the report alone, each at a
// request's write (answered with nothing) and at the write at exit.
TEST(Reporter, NoMemoryForTheSnapshotIsReportedForWhatWasAskedFor) {
    for (const char* what : {"metrics", "report"}) {
        const bool metrics = std::strcmp(what, "metrics") == 0;
        const char* variable = metrics ? "DIDEVERAZEZ_METRICS" : "DIDEVERAZEZ_REPORT";
        const std::string path = std::filesystem::temp_directory_path() /
                                 ("no-memory-" + std::to_string(::getpid()) + "." + what);
        ::setenv(variable, path.c_str(), 1);
        ::testing::internal::CaptureStderr();
        {
            std::optional<HeapFault> fault; // ends after the reporter, whose end writes
            Reporter reporter(dideverazez::GlobalAllocSizes());
            fault.emplace(1); // the watcher's snapshot makes the next heap call
            EXPECT_EQ(AnswerOn(AskSocket(::getpid(), "snapshot\n")), "");
            fault.emplace(1);
        }
        EXPECT_EQ(::testing::internal::GetCapturedStderr(),
                  std::string("dideverazez: cannot write the ") + what + " " + path +
                      ": no memory for the snapshot\n");
        ::unsetenv(variable);
        std::filesystem::remove(path);
    }
}

// Whichever copy of the two paths finds no memory, neither the report nor the
// metrics are written, and that is reported once.
TEST(Reporter, NoMemoryForThePathsWritesNeither) {
    const std::string base =
        std::filesystem::temp_directory_path() /
        ("no-memory-for-a-path-longer-than-a-short-string-" + std::to_string(::getpid()));
    const std::string report = base + ".json", metrics = base + ".prom";
    ::setenv("DIDEVERAZEZ_REPORT", report.c_str(), 1);
    ::setenv("DIDEVERAZEZ_METRICS", metrics.c_str(), 1);
    std::uint64_t failures = 0;
    for (std::uint64_t k = 1;; ++k) {
        ::testing::internal::CaptureStderr();
        {
            std::optional<HeapFault> fault(std::in_place, k);
            Reporter reporter(dideverazez::GlobalAllocSizes());
            fault.reset();
        }
        const std::string logged = ::testing::internal::GetCapturedStderr();
        if (logged.empty()) { // the k-th heap call came after both paths were kept
            break;
        }
        ++failures;
        EXPECT_EQ(logged, "dideverazez: no memory for the report's path; no report\n") << k;
        EXPECT_FALSE(std::filesystem::exists(report)) << k;
        EXPECT_FALSE(std::filesystem::exists(metrics)) << k;
    }
    EXPECT_GE(failures, 4U); // each path expanded, then kept
    EXPECT_TRUE(std::filesystem::exists(report));
    EXPECT_TRUE(std::filesystem::exists(metrics));
    ::unsetenv("DIDEVERAZEZ_REPORT");
    ::unsetenv("DIDEVERAZEZ_METRICS");
    std::filesystem::remove(report);
    std::filesystem::remove(metrics);
}

// Metrics whose sum has no 64-bit value (two roots of one name, one series)
// are not written, and that is reported once, however many writes follow.
TEST(Reporter, MetricsPastSixtyFourBitsAreReportedOnceAndNotWritten) {
    const std::string metrics = std::filesystem::temp_directory_path() /
                                ("past-64-" + std::to_string(::getpid()) + ".prom");
    std::filesystem::remove(metrics);
    ::setenv("DIDEVERAZEZ_METRICS", metrics.c_str(), 1);
    auto first = std::make_unique<zu_allocator>("Twin");
    auto second = std::make_unique<zu_allocator>("Twin");
    first->IncMemoryUsed(std::numeric_limits<std::int64_t>::max());
    second->IncMemoryUsed(1);
    ::testing::internal::CaptureStderr();
    {
        Reporter reporter(dideverazez::GlobalAllocSizes());
        for (int i = 0; i < 2; ++i) {
            EXPECT_NE(AnswerOn(AskSocket(::getpid(), "snapshot\n")), "");
        }
    } // and the write at exit
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "dideverazez: the metrics " + metrics +
                  " are not written: a sum of counters has no 64-bit value\n");
    EXPECT_FALSE(std::filesystem::exists(metrics));
    ::unsetenv("DIDEVERAZEZ_METRICS");
    first->DecMemoryUsed(std::numeric_limits<std::int64_t>::max());
    second->DecMemoryUsed(1);
    RecordHandles(false); // no retired entry to carry the figures into later snapshots
    first.reset();
    second.reset();
    RecordHandles(true);
}

// A path that stops being a regular file after the start (a folder made in
// its place), or that cannot be written any more (its folder gone), is
// reported once, at the first write that meets it, however many writes follow.
TEST(Reporter, APathThatCannotBeWrittenAnyMoreIsReportedOnce) {
    namespace fs = std::filesystem;
    const fs::path dir = fs::temp_directory_path() / ("became-" + std::to_string(::getpid()));
    for (const bool folderGone : {false, true}) {
        fs::remove_all(dir);
        fs::create_directories(dir);
        ::setenv("DIDEVERAZEZ_REPORT", (dir / "report.json").c_str(), 1);
        ::setenv("DIDEVERAZEZ_METRICS", (dir / "metrics.prom").c_str(), 1);
        ::testing::internal::CaptureStderr();
        {
            Reporter reporter(dideverazez::GlobalAllocSizes());
            if (folderGone) {
                fs::remove_all(dir);
            } else {
                fs::create_directories(dir / "report.json");
                fs::create_directories(dir / "metrics.prom");
            }
            for (int i = 0; i < 2; ++i) {
                EXPECT_NE(AnswerOn(AskSocket(::getpid(), "snapshot\n")), "");
            }
        }
        const std::string logged = ::testing::internal::GetCapturedStderr();
        for (const char* what : {"report", "metrics"}) {
            const std::string once = folderGone
                                         ? std::string("dideverazez: cannot write the ") + what +
                                               " " + dir.string() + "/"
                                         : std::string("dideverazez: the ") + what + " path ";
            EXPECT_EQ(logged.find(once), logged.rfind(once)) << logged;
            EXPECT_NE(logged.find(once), std::string::npos) << logged;
        }
    }
    ::unsetenv("DIDEVERAZEZ_REPORT");
    ::unsetenv("DIDEVERAZEZ_METRICS");
    fs::remove_all(dir);
}

// The watcher's snapshot waits for a tree that another thread holds locked,
// and answers once it is free; so does a snapshot taken as the tools take
// one, while one asked not to wait says it is not complete.
TEST(Reporter, AnAnswerWaitsForALockedTree) {
    const auto report =
        std::filesystem::temp_directory_path() / ("held-" + std::to_string(::getpid()) + ".json");
    ::setenv("DIDEVERAZEZ_REPORT", report.c_str(), 1);
    {
        Reporter reporter(dideverazez::GlobalAllocSizes());
        zu_allocator held("HeldByAnother");
        void* block = held.Alloc(100);
        // Another thread holds the tree's lock for 200 ms from when this returns.
        const auto hold = [&] {
            std::atomic<bool> locked{false};
            std::thread holder([&] {
                const std::lock_guard<std::mutex> lock(EngineOf(held).Mutex);
                locked.store(true);
                std::this_thread::sleep_for(std::chrono::milliseconds(200));
            });
            while (!locked.load()) {
                std::this_thread::yield();
            }
            return holder;
        };
        std::thread holder = hold();
        bool complete = true;
        TakeSnapshot(dideverazez::GlobalAllocSizes(), false, &complete);
        EXPECT_FALSE(complete);
        const Snapshot waited = TakeSnapshot(dideverazez::GlobalAllocSizes());
        const Snapshot mine = Only(waited, "HeldByAnother");
        ASSERT_EQ(mine.Trees.size(), 1u);
        EXPECT_EQ(mine.Trees[0].Engines[0].Figures.MemoryCurrent, 4036); // the block's page
        holder.join();
        holder = hold();
        const std::string answer = AnswerOn(AskSocket(::getpid(), "snapshot\n"));
        holder.join();
        EXPECT_NE(answer.find("\"HeldByAnother\""), std::string::npos);
        zu_free(block, &held);
    }
    ::unsetenv("DIDEVERAZEZ_REPORT");
    std::filesystem::remove(report);
}

// A reporter takes SIGUSR1 only when DIDEVERAZEZ_REPORT_SIGNAL says USR1 or
// SIGUSR1, and gives it back at its end; another value is reported, and
// leaves the signal alone.
TEST(Reporter, SignalOnlyWhenTheEnvironmentAsks) {
    const std::string report =
        std::filesystem::temp_directory_path() / ("signal-" + std::to_string(::getpid()) + ".json");
    ::setenv("DIDEVERAZEZ_REPORT", report.c_str(), 1);
    const auto taken = [] {
        struct sigaction current {};
        ::sigaction(SIGUSR1, nullptr, &current);
        return current.sa_handler != SIG_DFL;
    };
    for (const std::string asked : {"", "USR2", "USR1", "SIGUSR1"}) {
        asked.empty() ? ::unsetenv("DIDEVERAZEZ_REPORT_SIGNAL")
                      : ::setenv("DIDEVERAZEZ_REPORT_SIGNAL", asked.c_str(), 1);
        ::testing::internal::CaptureStderr();
        {
            Reporter reporter(dideverazez::GlobalAllocSizes());
            EXPECT_EQ(taken(), asked.find("USR1") != std::string::npos) << asked;
        }
        EXPECT_EQ(::testing::internal::GetCapturedStderr(),
                  asked == "USR2" ? "dideverazez: DIDEVERAZEZ_REPORT_SIGNAL=USR2 is not USR1; no "
                                    "snapshot on a signal\n"
                                  : "")
            << asked;
        EXPECT_FALSE(taken()) << asked;
    }
    ::unsetenv("DIDEVERAZEZ_REPORT_SIGNAL");
    ::unsetenv("DIDEVERAZEZ_REPORT");
    std::filesystem::remove(report);
}

// Requests opened without the signal leave it alone; with it, SIGUSR1 is one
// request, taken once.
TEST(Reporter, ASignalIsARequest) {
    {
        dideverazez::platform::ReportRequests requests;
        ASSERT_TRUE(requests.Open(false));
        EXPECT_EQ(std::signal(SIGUSR1, SIG_DFL), SIG_DFL);
    }
    dideverazez::platform::ReportRequests requests;
    ASSERT_TRUE(requests.Open(true));
    std::raise(SIGUSR1);
    EXPECT_TRUE(requests.Wait(1000));
    EXPECT_FALSE(requests.Wait(0));
}

// A finite wait ends by itself; a negative or huge one waits for the request
// (bounded here only so that a fault cannot hang the test); once stopped, a
// wait returns at once.
TEST(Reporter, AWaitEndsByItselfOnlyWhenFinite) {
    dideverazez::platform::ReportRequests requests;
    ASSERT_TRUE(requests.Open(true));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(requests.Wait(20));
    for (const std::int64_t forever : {std::int64_t{-1}, std::int64_t{INT64_MAX}}) {
        std::thread later([] {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            std::raise(SIGUSR1);
        });
        EXPECT_TRUE(requests.Wait(forever)) << forever;
        later.join();
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    requests.Stop();
    EXPECT_TRUE(requests.Stopped());
    EXPECT_FALSE(requests.Wait(-1));
}

extern "C" void ProgramsOwn(int) {}

// A handler of the program stays: one set over ours when the requests close,
// and one set before, which the requests leave, reporting it.
TEST(Reporter, TheProgramsHandlerStays) {
    {
        dideverazez::platform::ReportRequests requests;
        ASSERT_TRUE(requests.Open(true));
        EXPECT_NE(std::signal(SIGUSR1, ProgramsOwn), SIG_DFL); // set over ours: it stays
    }
    EXPECT_EQ(std::signal(SIGUSR1, SIG_DFL), ProgramsOwn);
    EXPECT_EQ(std::signal(SIGUSR1, ProgramsOwn), SIG_DFL);
    {
        ::testing::internal::CaptureStderr();
        dideverazez::platform::ReportRequests requests;
        ASSERT_TRUE(requests.Open(true));
        EXPECT_NE(::testing::internal::GetCapturedStderr().find("SIGUSR1 is the program's own"),
                  std::string::npos);
    }
    EXPECT_EQ(std::signal(SIGUSR1, SIG_DFL), ProgramsOwn);
}

// The socket's name is abstract, "@dideverazez/<uid>/<pid>"; it listens
// once the requests open, and the name goes when they close.
TEST(Reporter, TheSocketIsNamedForItsUserAndProcessUntilClosed) {
    char path[108];
    dideverazez::platform::ReportRequests::SocketPath(path, sizeof path, ::getpid());
    EXPECT_EQ(std::string(path),
              "@dideverazez/" + std::to_string(::geteuid()) + "/" + std::to_string(::getpid()));
    dideverazez::platform::ReportRequests requests;
    ASSERT_TRUE(requests.Open(false));
    EXPECT_TRUE(requests.Listening());
    requests.Close();
    EXPECT_FALSE(requests.Listening());
    EXPECT_EQ(Ask(path, "snapshot\n"), -1);
    EXPECT_FALSE(requests.Wait(0));
}

// "snapshot\n" is a request and gets the answer; anything else is hung up on
// and wakes no one; an answer with no one waiting is sent to no later asker.
TEST(Reporter, OnlyASnapshotRequestIsAnswered) {
    dideverazez::platform::ReportRequests requests;
    ASSERT_TRUE(requests.Open(false));
    const int asking = AskSocket(::getpid(), "snapshot\n");
    EXPECT_TRUE(requests.Wait(1000));
    requests.Answer("{}\n", 3);
    EXPECT_EQ(AnswerOn(asking), "{}\n");
    const int other = AskSocket(::getpid(), "something else");
    EXPECT_FALSE(requests.Wait(1000));
    EXPECT_EQ(AnswerOn(other), "");
    requests.Answer("unasked", 7); // no one is waiting: nothing to send
    const int later = AskSocket(::getpid(), "snapshot\n");
    EXPECT_TRUE(requests.Wait(1000));
    requests.Answer("{}\n", 3);
    EXPECT_EQ(AnswerOn(later), "{}\n");
}

// A request may come in pieces, and a second asker waits beside the first
// for the same answer.
TEST(Reporter, ARequestInPiecesIsOneAndAskersShareTheAnswer) {
    dideverazez::platform::ReportRequests requests;
    ASSERT_TRUE(requests.Open(false));
    const int pieces = AskSocket(::getpid(), "snap");
    std::thread rest([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        EXPECT_EQ(::write(pieces, "shot\n", 5), 5);
    });
    EXPECT_TRUE(requests.Wait(1000));
    rest.join();
    const int second = AskSocket(::getpid(), "snapshot\n");
    EXPECT_TRUE(requests.Wait(1000));
    requests.Answer("{}\n", 3);
    EXPECT_EQ(AnswerOn(pieces), "{}\n");
    EXPECT_EQ(AnswerOn(second), "{}\n");
}

// A request cut short (its writer closed before the line ended) is none.
TEST(Reporter, ARequestCutShortIsNone) {
    dideverazez::platform::ReportRequests requests;
    ASSERT_TRUE(requests.Open(false));
    const int cut = AskSocket(::getpid(), "snapshot");
    ::shutdown(cut, SHUT_WR);
    EXPECT_FALSE(requests.Wait(1000));
    EXPECT_EQ(AnswerOn(cut), "");
}

// A peer of another user is hung up on, unanswered: an abstract name has no
// mode to keep it out (skipped where this process cannot make one).
TEST(Reporter, APeerOfAnotherUserIsHungUpOn) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs the superuser, to make a peer of another user";
    }
    dideverazez::platform::ReportRequests requests;
    ASSERT_TRUE(requests.Open(false));
    int asked[2];
    ASSERT_EQ(::pipe(asked), 0);
    char path[108]; // the parent's user's, which the peer is not
    dideverazez::platform::ReportRequests::SocketPath(path, sizeof path, ::getpid());
    const pid_t child = ::fork();
    if (child == 0) {
        if (::prctl(PR_SET_SECUREBITS, SECBIT_NO_SETUID_FIXUP) != 0 || ::seteuid(65534) != 0) {
            ::_exit(77);
        }
        const int fd = Ask(path, "snapshot\n");
        if (fd < 0) {
            ::_exit(77); // the listener's check is not reached
        }
        [[maybe_unused]] const ssize_t n = ::write(asked[1], "a", 1);
        ::_exit(AnswerOn(fd).empty() ? 0 : 1);
    }
    ::close(asked[1]);
    char byte = 0;
    const bool made = ::read(asked[0], &byte, 1) == 1;
    ::close(asked[0]);
    EXPECT_EQ(made && requests.Wait(1000), false);
    requests.Answer("{}\n", 3);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 77) {
        GTEST_SKIP() << "no peer of another user could be made, or reach the socket, here";
    }
    EXPECT_TRUE(made);
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the peer of another user was answered";
}

// The superuser is answered by a process of another user.
TEST(Reporter, TheSuperuserIsAnswered) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs the superuser";
    }
    int listening[2];
    ASSERT_EQ(::pipe(listening), 0);
    const pid_t child = ::fork();
    if (child == 0) {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) {
            ::_exit(77);
        }
        dideverazez::platform::ReportRequests requests;
        const bool open = requests.Open(false) && requests.Listening();
        [[maybe_unused]] const ssize_t n = ::write(listening[1], open ? "y" : "n", 1);
        const bool asked = open && requests.Wait(5000);
        requests.Answer("{}\n", 3);
        ::_exit(asked ? 0 : 1);
    }
    ::close(listening[1]);
    char open = 0;
    const bool answered = ::read(listening[0], &open, 1) == 1;
    ::close(listening[0]);
    std::string answer;
    if (answered && open == 'y') {
        char path[108];
        std::snprintf(path, sizeof path, "@dideverazez/65534/%d", static_cast<int>(child));
        const int fd = Ask(path, "snapshot\n");
        EXPECT_GE(fd, 0) << path << ": " << std::strerror(errno);
        answer = AnswerOn(fd);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 77) {
        GTEST_SKIP() << "no process of another user could be made here";
    }
    EXPECT_EQ(open, 'y');
    EXPECT_EQ(answer, "{}\n");
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

extern "C" void Interrupts(int) {}

// An answer far larger than the socket's buffer arrives whole while signals
// cut its sends short (some sent, or none: EINTR), and a peer that hangs up
// before it reads is let go at once.
TEST(Reporter, AnAnswerArrivesWholeOrItsPeerIsLetGo) {
    std::string text(4 << 20, '\0');
    for (std::size_t i = 0; i < text.size(); ++i) {
        text[i] = static_cast<char>('a' + (i * 7 + i / 4093) % 26);
    }
    struct sigaction interrupts {
    }, previous{};
    interrupts.sa_handler = Interrupts; // no SA_RESTART: a send in progress returns
    sigemptyset(&interrupts.sa_mask);
    ASSERT_EQ(::sigaction(SIGUSR2, &interrupts, &previous), 0);
    dideverazez::platform::ReportRequests requests;
    ASSERT_TRUE(requests.Open(false));

    const int asking = AskSocket(::getpid(), "snapshot\n");
    ASSERT_TRUE(requests.Wait(1000));
    std::atomic<bool> answered{false};
    const pthread_t answering = ::pthread_self();
    std::thread interrupter([&] {
        while (!answered.load()) {
            ::pthread_kill(answering, SIGUSR2);
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });
    std::string got;
    std::thread reader([&] {
        char buffer[4096];
        for (ssize_t n; (n = ::read(asking, buffer, sizeof buffer)) > 0;) {
            got.append(buffer, static_cast<std::size_t>(n));
            if (got.size() % (64 << 10) < sizeof buffer) {
                std::this_thread::sleep_for(std::chrono::microseconds(500)); // a slow peer
            }
        }
    });
    requests.Answer(text.data(), text.size());
    answered.store(true);
    interrupter.join();
    reader.join();
    ::close(asking);
    EXPECT_EQ(got.size(), text.size());
    EXPECT_TRUE(got == text) << "the answer's bytes out of order";

    const int gone = AskSocket(::getpid(), "snapshot\n");
    ASSERT_TRUE(requests.Wait(1000));
    ::close(gone);
    const auto start = std::chrono::steady_clock::now();
    requests.Answer(text.data(), text.size());
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    ::sigaction(SIGUSR2, &previous, nullptr);
}

// A forked child lets go of its parent's socket and pipe, which the parent
// keeps using, and listens again on its own.
TEST(Reporter, AForkedChildListensOnItsOwn) {
    dideverazez::platform::ReportRequests requests;
    ASSERT_TRUE(requests.Open(false));
    const pid_t child = ::fork();
    if (child == 0) {
        requests.Abandon();
        bool right = !requests.Listening();
        right = right && requests.Open(false) && requests.Listening();
        const int asking = AskSocket(::getpid(), "snapshot\n");
        right = right && requests.Wait(1000);
        requests.Answer("{}\n", 3);
        right = right && AnswerOn(asking) == "{}\n";
        requests.Close();
        ::_exit(right ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    const int asking = AskSocket(::getpid(), "snapshot\n");
    EXPECT_TRUE(requests.Wait(1000));
    requests.Answer("{}\n", 3);
    EXPECT_EQ(AnswerOn(asking), "{}\n");
}

// A file replaced whole or appended to, with mode 0644; a path that is not a
// regular file (a link, a FIFO, a folder) is refused, left as it was, and a
// FIFO is never waited on.
TEST(Reporter, OnlyRegularFilesWholeOrAppended) {
    namespace fs = std::filesystem;
    namespace platform = dideverazez::platform;
    const fs::path dir = fs::temp_directory_path() / ("observe-" + std::to_string(::getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    const auto text = [](const fs::path& p) {
        std::ifstream f(p);
        return std::string(std::istreambuf_iterator<char>(f), {});
    };
    std::ofstream(dir / "target") << "untouched";
    fs::create_symlink(dir / "target", dir / "link");
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
    for (const char* other : {"link", "fifo", ""}) {
        const fs::path path = dir / other;
        EXPECT_EQ(platform::KindOfPath(path.c_str()), platform::PathKind::Other) << other;
        EXPECT_FALSE(platform::AppendToFile(path.c_str(), "x", 1)) << other;
        EXPECT_FALSE(platform::WriteWholeFile(path.c_str(), "whole", 5)) << other;
    }
    // A FIFO with a reader opens at once, and is refused all the same.
    const int reader = ::open((dir / "fifo").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    EXPECT_FALSE(platform::AppendToFile((dir / "fifo").c_str(), "x", 1));
    EXPECT_FALSE(platform::CanWriteFile((dir / "fifo").c_str(), true));
    char byte = 0;
    EXPECT_EQ(::read(reader, &byte, 1), 0) << "written to the FIFO";
    ::close(reader);
    EXPECT_TRUE(fs::is_symlink(dir / "link"));
    EXPECT_TRUE(fs::is_fifo(dir / "fifo"));
    EXPECT_EQ(text(dir / "target"), "untouched");
    EXPECT_TRUE(platform::WriteWholeFile((dir / "target").c_str(), "whole", 5));
    EXPECT_EQ(text(dir / "target"), "whole");
    EXPECT_TRUE(platform::AppendToFile((dir / "series").c_str(), "1\n", 2));
    EXPECT_TRUE(platform::AppendToFile((dir / "series").c_str(), "2\n", 2));
    EXPECT_EQ(text(dir / "series"), "1\n2\n");
    EXPECT_EQ(fs::status(dir / "series").permissions(), static_cast<fs::perms>(0644));
    EXPECT_EQ(platform::KindOfPath((dir / "series").c_str()), platform::PathKind::Regular);
    EXPECT_EQ(platform::KindOfPath((dir / "none").c_str()), platform::PathKind::Absent);
    EXPECT_FALSE(platform::WriteWholeFile((dir / "none" / "x").c_str(), "x", 1));
    EXPECT_EQ(fs::remove_all(dir), 5u);
}
#endif

} // namespace
