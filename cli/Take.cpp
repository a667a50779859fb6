// dideverazez-report take: one snapshot asked of a running program
// (docs/snapshot.md). The client side only: connect to the program's local
// socket (Linux) or named pipe (Windows), check that the listener is that
// process of this user, send "snapshot\n", read to the end of the stream,
// check that what came is one snapshot.

#include "Figures.h"
#include "Report.h"

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <stdexcept>
#include <string>

#if defined(_WIN32)
#include <windows.h>
#else
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#endif

namespace dideverazez::report {
namespace {

using Clock = std::chrono::steady_clock;

// An answer past this size is no snapshot (a million handles write less), and
// reading on would only exhaust memory.
constexpr std::size_t kLargestAnswer = std::size_t{1} << 30;

constexpr std::string_view kRequest = "snapshot\n";

[[noreturn]] void Fail(const std::string& what) {
    throw std::runtime_error("take: " + what);
}

// "10 s", or "250 ms" where the seconds are not whole.
std::string Duration(std::chrono::milliseconds timeout) {
    const auto ms = static_cast<std::int64_t>(timeout.count());
    return ms % 1000 == 0 ? Grouped(ms / 1000) + " s" : Grouped(ms) + " ms";
}

// What is left of the time allowed, at least 1 ms while any is left, so that
// a wait never lasts forever nor returns at once before the deadline.
int Remaining(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) {
        return 0;
    }
    return left.count() > 1 << 30 ? 1 << 30 : static_cast<int>(left.count()) + 1;
}

std::string RefusedMessage(const std::string& process) {
    return process + " closed the connection without answering: it refused the request (it "
                     "answers its own user only)";
}

std::string NotListeningMessage(const std::string& path, const std::string& process) {
    return "nothing listens at " + path + ": " + process +
           " runs without DIDEVERAZEZ_REPORT or DIDEVERAZEZ_METRICS set (the library listens "
           "only then), or has stopped listening";
}

// The answer, written out only once known to be a snapshot: one, whole.
std::string CheckedAnswer(std::string answer, const std::string& process) {
    if (answer.empty()) {
        Fail(RefusedMessage(process));
    }
    const std::string label = "answer of " + process;
    std::size_t count = 0;
    try {
        count = ParseSnapshots(answer, label).size();
    } catch (const ReadError& error) {
        Fail(error.what());
    }
    if (count != 1) {
        Fail(label + ": " + std::to_string(count) + " snapshots, where one was asked for");
    }
    return answer;
}

} // namespace

std::string SnapshotSocketPath(long pid) {
#if defined(_WIN32)
    return "\\\\.\\pipe\\dideverazez-report-" + std::to_string(pid);
#else
    return "@dideverazez/" + std::to_string(geteuid()) + "/" + std::to_string(pid);
#endif
}

#if defined(_WIN32)

namespace {

// A handle, closed on every way out.
class Handle {
public:
    explicit Handle(HANDLE handle) : handle_(handle) {}
    ~Handle() {
        if (handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE) {
            ::CloseHandle(handle_);
        }
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    HANDLE get() const { return handle_; }

private:
    HANDLE handle_;
};

std::string SystemMessage(DWORD error) {
    char text[256] = "";
    const DWORD length =
        ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error,
                         0, text, sizeof text, nullptr);
    std::string message(text, length);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                                message.back() == ' ' || message.back() == '.')) {
        message.pop_back();
    }
    return message.empty() ? "error " + std::to_string(error) : message;
}

} // namespace

std::string TakeSnapshot(long pid, std::chrono::milliseconds timeout) {
    const Clock::time_point deadline = Clock::now() + timeout;
    const std::string path = SnapshotSocketPath(pid);
    const std::string process = "process " + std::to_string(pid);
    const auto timedOut = [&](std::size_t received) {
        Fail(process + " sent no whole answer within " + Duration(timeout) + " (" +
             Grouped(static_cast<std::int64_t>(received)) + " bytes received)");
    };
    const std::wstring wide(path.begin(), path.end());
    HANDLE opened = INVALID_HANDLE_VALUE;
    for (;;) {
        opened = ::CreateFileW(wide.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                               OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
        if (opened != INVALID_HANDLE_VALUE) {
            break;
        }
        const DWORD error = ::GetLastError();
        if (error == ERROR_PIPE_BUSY) { // another client is being answered
            const int left = Remaining(deadline);
            if (left == 0 || !::WaitNamedPipeW(wide.c_str(), static_cast<DWORD>(left))) {
                timedOut(0);
            }
            continue;
        }
        if (error == ERROR_FILE_NOT_FOUND) {
            Handle running(::OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(pid)));
            const DWORD why = ::GetLastError();
            Fail(running.get() == nullptr && why != ERROR_ACCESS_DENIED
                     ? "nothing listens at " + path + ": " + process + " is not running"
                 : running.get() == nullptr
                     ? "nothing listens at " + path + ": " + process + " runs as another user"
                     : NotListeningMessage(path, process));
        }
        if (error == ERROR_ACCESS_DENIED) {
            Fail(path + ": cannot connect: the pipe is another user's: not asking it");
        }
        Fail(path + ": cannot connect: " + SystemMessage(error));
    }
    Handle pipe(opened);
    // Only the process named may answer for it.
    ULONG server = 0;
    if (!::GetNamedPipeServerProcessId(pipe.get(), &server)) {
        Fail(path + ": cannot read the listener's process: " + SystemMessage(::GetLastError()));
    }
    if (static_cast<long>(server) != pid) {
        Fail(path + ": the listener is process " + std::to_string(server) + ", not " +
             std::to_string(pid) + ": not asking it");
    }
    Handle done(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (done.get() == nullptr) {
        Fail("cannot make an event: " + SystemMessage(::GetLastError()));
    }
    // One overlapped transfer, waited for until the deadline; its bytes, or
    // 0 at the end of the stream.
    const auto transfer = [&](bool write, char* bytes, DWORD size, std::size_t received) {
        OVERLAPPED io{};
        io.hEvent = done.get();
        ::ResetEvent(done.get());
        const BOOL started = write ? ::WriteFile(pipe.get(), bytes, size, nullptr, &io)
                                   : ::ReadFile(pipe.get(), bytes, size, nullptr, &io);
        if (!started && ::GetLastError() != ERROR_IO_PENDING) {
            const DWORD error = ::GetLastError();
            if (error == ERROR_BROKEN_PIPE || error == ERROR_NO_DATA ||
                error == ERROR_PIPE_NOT_CONNECTED) {
                return DWORD{0};
            }
            Fail(path + ": cannot " + (write ? "send the request: " : "read the answer: ") +
                 SystemMessage(error));
        }
        const int left = Remaining(deadline);
        if (left == 0 ||
            ::WaitForSingleObject(done.get(), static_cast<DWORD>(left)) != WAIT_OBJECT_0) {
            ::CancelIo(pipe.get());
            DWORD ignored = 0;
            ::GetOverlappedResult(pipe.get(), &io, &ignored, TRUE);
            timedOut(received);
        }
        DWORD moved = 0;
        if (!::GetOverlappedResult(pipe.get(), &io, &moved, FALSE)) {
            const DWORD error = ::GetLastError();
            if (error == ERROR_BROKEN_PIPE || error == ERROR_NO_DATA ||
                error == ERROR_PIPE_NOT_CONNECTED) {
                return DWORD{0};
            }
            Fail(path + ": cannot " + (write ? "send the request: " : "read the answer: ") +
                 SystemMessage(error));
        }
        return moved;
    };
    std::string request(kRequest);
    for (std::size_t sent = 0; sent < request.size();) {
        const DWORD n =
            transfer(true, request.data() + sent, static_cast<DWORD>(request.size() - sent), 0);
        if (n == 0) {
            Fail(RefusedMessage(process));
        }
        sent += n;
    }
    // The answer ends where the program closes the pipe.
    std::string answer;
    char buffer[1 << 16];
    for (;;) {
        const DWORD n = transfer(false, buffer, sizeof buffer, answer.size());
        if (n == 0) {
            break;
        }
        if (answer.size() + n > kLargestAnswer) {
            Fail(process + " sent more than " + Grouped(static_cast<std::int64_t>(kLargestAnswer)) +
                 " bytes: no snapshot is that large");
        }
        answer.append(buffer, n);
    }
    return CheckedAnswer(std::move(answer), process);
}

#else

namespace {

// The descriptor, closed on every way out.
class Socket {
public:
    Socket() : fd_(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)) {}
    ~Socket() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    int fd() const { return fd_; }

private:
    int fd_;
};

} // namespace

std::string TakeSnapshot(long pid, std::chrono::milliseconds timeout) {
    const Clock::time_point deadline = Clock::now() + timeout;
    const std::string path = SnapshotSocketPath(pid);
    const std::string process = "process " + std::to_string(pid);
    const auto timedOut = [&](std::size_t received) {
        Fail(process + " sent no whole answer within " + Duration(timeout) + " (" +
             Grouped(static_cast<std::int64_t>(received)) + " bytes received)");
    };

    Socket socket;
    if (socket.fd() < 0) {
        Fail(std::string("cannot make a socket: ") + std::strerror(errno));
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    // An abstract name: its first byte, shown as '@', is NUL.
    std::memcpy(address.sun_path + 1, path.data() + 1, path.size() - 1);
    const auto size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size());
    // A listener whose queue is full makes connect wait, for no longer than
    // the send time-out.
    timeval wait{};
    wait.tv_sec = Remaining(deadline) / 1000;
    wait.tv_usec = Remaining(deadline) % 1000 * 1000;
    ::setsockopt(socket.fd(), SOL_SOCKET, SO_SNDTIMEO, &wait, sizeof wait);
    while (::connect(socket.fd(), reinterpret_cast<const sockaddr*>(&address), size) != 0) {
        if (errno == EINTR) {
            continue;
        }
        if (errno == ECONNREFUSED) {
            // Nothing listens under that name: the error reports why, from the process.
            const bool signalled = ::kill(static_cast<pid_t>(pid), 0) == 0;
            const int why = errno;
            Fail(!signalled && why == ESRCH
                     ? "nothing listens at " + path + ": " + process + " is not running"
                 : !signalled && why == EPERM
                     ? "nothing listens at " + path + ": " + process + " runs as another user"
                     : NotListeningMessage(path, process));
        }
        if (errno == EAGAIN || errno == EINPROGRESS || errno == ETIMEDOUT) {
            timedOut(0);
        }
        Fail(path + ": cannot connect: " + std::strerror(errno));
    }
    // Any process may take an abstract name: only that process, of this
    // user, may answer for it.
    ucred peer{};
    socklen_t length = sizeof peer;
    if (::getsockopt(socket.fd(), SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0) {
        Fail(path + ": cannot read the listener's credentials: " + std::strerror(errno));
    }
    if (peer.uid != geteuid()) {
        Fail(path + ": the listener runs as user " + std::to_string(peer.uid) +
             ", not as this user: not asking it");
    }
    if (peer.pid != static_cast<pid_t>(pid)) {
        Fail(path + ": the listener is process " + std::to_string(peer.pid) + ", not " +
             std::to_string(pid) + ": not asking it");
    }

    // A program that closed at once (another user's request) may make the
    // send fail; that is the same error as an empty answer.
    const auto refused = [&] { Fail(RefusedMessage(process)); };
    constexpr std::string_view request = kRequest;
    for (std::size_t sent = 0; sent < request.size();) {
        const ssize_t n =
            ::send(socket.fd(), request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && (errno == EPIPE || errno == ECONNRESET)) {
            refused();
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            timedOut(0);
        }
        if (n < 0) {
            Fail(path + ": cannot send the request: " + std::strerror(errno));
        }
        sent += static_cast<std::size_t>(n);
    }

    // The answer ends where the program closes the connection.
    std::string answer;
    char buffer[1 << 16];
    for (;;) {
        pollfd ready{socket.fd(), POLLIN, 0};
        const int wait_ms = Remaining(deadline);
        if (wait_ms == 0) {
            timedOut(answer.size());
        }
        const int polled = ::poll(&ready, 1, wait_ms);
        if (polled < 0 && errno == EINTR) {
            continue;
        }
        if (polled < 0) {
            Fail(path + ": cannot wait for the answer: " + std::strerror(errno));
        }
        if (polled == 0) {
            timedOut(answer.size());
        }
        const ssize_t n = ::recv(socket.fd(), buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && errno == ECONNRESET && answer.empty()) {
            refused();
        }
        if (n < 0) {
            Fail(path + ": cannot read the answer: " + std::strerror(errno));
        }
        if (n == 0) {
            break;
        }
        if (answer.size() + static_cast<std::size_t>(n) > kLargestAnswer) {
            Fail(process + " sent more than " + Grouped(static_cast<std::int64_t>(kLargestAnswer)) +
                 " bytes: no snapshot is that large");
        }
        answer.append(buffer, static_cast<std::size_t>(n));
    }
    return CheckedAnswer(std::move(answer), process);
}

#endif

} // namespace dideverazez::report
