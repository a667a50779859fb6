// Requests for a report on POSIX systems: the abstract local socket, the
// pipe that wakes the waiting thread, and SIGUSR1.

#include "platform/Platform.h"

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

namespace dideverazez::platform {

// Only one listening object at a time: its objects live here, where the
// signal handler finds the pipe without a lock (the write end is read
// atomically, so the handler sees it whole or -1).
namespace {

constinit std::atomic<int> gRequestPipe{-1};

// Peers whose request one Wait can take; more wait for the next.
constexpr int kPending = 4;
// How long a peer may take to send its request, and to take the answer.
constexpr int kPeerMs = 1000;
constexpr int kAnswerSeconds = 5;

struct Channel {
    int read = -1, write = -1; // the pipe: stop ('s') and signal ('r') bytes
    int listening = -1;        // the socket
    char socketPath[sizeof(sockaddr_un::sun_path)] = {}; // its name, '@' for the NUL
    bool signal = false;                                 // our handler installed
    struct sigaction previous {};
    int pending[kPending] = {-1, -1, -1, -1};
};

constinit Channel gChannel;

extern "C" void OnReportSignal(int) {
    const int saved = errno;
    if (const int fd = gRequestPipe.load(); fd >= 0) {
        [[maybe_unused]] const ssize_t n = ::write(fd, "r", 1);
    }
    errno = saved;
}

bool OursIsInstalled() {
    struct sigaction current {};
    ::sigaction(SIGUSR1, nullptr, &current);
    return (current.sa_flags & SA_SIGINFO) == 0 && current.sa_handler == OnReportSignal;
}

// The listening socket named `channel.socketPath` in the abstract namespace,
// or -1 (the error is logged on standard error). An abstract name has no file:
// nothing is left behind however the process ends, and no folder's mode
// guards it, so Asks checks each peer.
int Listen(Channel& channel) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::size_t length = std::strlen(channel.socketPath); // '@', then the name
    std::memcpy(address.sun_path + 1, channel.socketPath + 1, length - 1);
    const auto size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length);
    if (fd < 0 || ::bind(fd, reinterpret_cast<const sockaddr*>(&address), size) != 0 ||
        ::listen(fd, kPending) != 0) {
        std::fprintf(stderr, "dideverazez: cannot listen at %s: %s; no snapshot on request\n",
                     channel.socketPath, std::strerror(errno));
        if (fd >= 0) {
            ::close(fd);
        }
        return -1;
    }
    return fd;
}

// Whether peer `fd` is this user (or the superuser) and asks for a snapshot
// within kPeerMs.
bool Asks(int fd) {
    ucred peer{};
    socklen_t length = sizeof peer;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0 ||
        (peer.uid != ::geteuid() && peer.uid != 0)) {
        return false;
    }
    static constexpr char kRequest[] = "snapshot\n";
    char got[sizeof kRequest - 1];
    std::size_t have = 0;
    for (pollfd wanted{fd, POLLIN, 0}; have<sizeof got&& ::poll(&wanted, 1, kPeerMs)> 0;) {
        const ssize_t n = ::read(fd, got + have, sizeof got - have);
        if (n <= 0 && !(n < 0 && (errno == EINTR || errno == EAGAIN))) {
            return false;
        }
        have += n > 0 ? static_cast<std::size_t>(n) : 0;
    }
    return have == sizeof got && std::memcmp(got, kRequest, sizeof got) == 0;
}

void Hangup(int& fd) {
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

} // namespace

void ReportRequests::SocketPath(char* buffer, std::size_t size, std::uint32_t process) {
    std::snprintf(buffer, size, "@dideverazez/%u/%u", static_cast<unsigned>(::geteuid()),
                  static_cast<unsigned>(process));
}

bool ReportRequests::Open(bool signal) {
    Channel& channel = gChannel;
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
        std::fprintf(stderr, "dideverazez: cannot make a pipe: %s; reports at exit only\n",
                     std::strerror(errno));
        return false;
    }
    channel.read = fds[0];
    channel.write = fds[1];
    state_ = &channel;
    SocketPath(channel.socketPath, sizeof channel.socketPath, CurrentProcessId());
    channel.listening = Listen(channel);
    listening_ = channel.listening >= 0;
    if (!signal) {
        return true;
    }
    struct sigaction current {};
    ::sigaction(SIGUSR1, nullptr, &current);
    // A handler of the program, or its choice to ignore the signal, stays.
    // Ours, inherited across fork, is not the program's.
    if (!OursIsInstalled()) {
        channel.previous = current;
        if ((current.sa_flags & SA_SIGINFO) != 0 || current.sa_handler != SIG_DFL) {
            std::fputs("dideverazez: SIGUSR1 is the program's own: no snapshot on that signal\n",
                       stderr);
            return true;
        }
    }
    gRequestPipe.store(channel.write);
    struct sigaction ours {};
    ours.sa_handler = OnReportSignal;
    ours.sa_flags = SA_RESTART;
    sigemptyset(&ours.sa_mask);
    channel.signal = ::sigaction(SIGUSR1, &ours, nullptr) == 0;
    listening_ = listening_ || channel.signal;
    return true;
}

void ReportRequests::Close() {
    auto* channel = static_cast<Channel*>(state_);
    if (channel == nullptr) {
        return;
    }
    if (channel->signal && OursIsInstalled()) {
        ::sigaction(SIGUSR1, &channel->previous, nullptr);
    }
    gRequestPipe.store(-1);
    for (int& fd : channel->pending) {
        Hangup(fd);
    }
    Hangup(channel->listening);
    Hangup(channel->read);
    Hangup(channel->write);
    *channel = Channel{};
    state_ = nullptr;
    listening_ = false;
}

void ReportRequests::Abandon() {
    if (auto* channel = static_cast<Channel*>(state_)) {
        // The listening socket is the parent's: closing this process's copy
        // leaves it listening there.
        channel->signal = false; // the handler stays, and finds the new pipe
        Close();
    }
    stopped_.store(false);
}

ReportRequests::~ReportRequests() {
    Close();
}

bool ReportRequests::Wait(std::int64_t timeoutMs) {
    auto* channel = static_cast<Channel*>(state_);
    if (stopped_.load() || channel == nullptr) {
        return false;
    }
    pollfd wanted[2] = {{channel->read, POLLIN, 0}, {channel->listening, POLLIN, 0}};
    const int timeout = timeoutMs < 0           ? -1
                        : timeoutMs > INT32_MAX ? INT32_MAX
                                                : static_cast<int>(timeoutMs);
    if (::poll(wanted, channel->listening >= 0 ? 2 : 1, timeout) <= 0) {
        return false;
    }
    char bytes[64];
    bool request = false;
    for (ssize_t n; (n = ::read(channel->read, bytes, sizeof bytes)) > 0;) {
        request = request || std::memchr(bytes, 'r', static_cast<std::size_t>(n)) != nullptr;
    }
    for (int& slot : channel->pending) {
        if (slot >= 0 || channel->listening < 0) {
            continue;
        }
        const int peer = ::accept4(channel->listening, nullptr, nullptr, SOCK_CLOEXEC);
        if (peer < 0) {
            break; // none waiting (EAGAIN), or it went away
        }
        slot = peer;
        if (!Asks(slot)) {
            Hangup(slot);
        }
        request = request || slot >= 0;
    }
    return request && !stopped_.load();
}

void ReportRequests::Answer(const char* text, std::size_t size) {
    auto* channel = static_cast<Channel*>(state_);
    if (channel == nullptr) {
        return;
    }
    for (int& fd : channel->pending) {
        if (fd < 0) {
            continue;
        }
        const timeval limit{kAnswerSeconds, 0}; // a peer that does not read is let go
        ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
        for (std::size_t done = 0; done < size;) {
            const ssize_t n = ::send(fd, text + done, size - done, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                break;
            }
            done += static_cast<std::size_t>(n);
        }
        Hangup(fd);
    }
}

void ReportRequests::Stop() {
    stopped_.store(true);
    if (auto* channel = static_cast<Channel*>(state_)) {
        [[maybe_unused]] const ssize_t n = ::write(channel->write, "s", 1);
    }
}

} // namespace dideverazez::platform
