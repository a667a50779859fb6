// POSIX implementation of the platform layer.

#include "platform/Platform.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace dideverazez::platform {
namespace {

std::uint64_t Milliseconds(const timeval& time) {
    return static_cast<std::uint64_t>(time.tv_sec) * 1000u +
           static_cast<std::uint64_t>(time.tv_usec) / 1000u;
}

} // namespace

void* CurrentProcess() {
    return nullptr;
}

std::uint32_t CurrentProcessId() {
    return static_cast<std::uint32_t>(::getpid());
}

bool ProcessTimes(void*, std::uint64_t& userMs, std::uint64_t& kernelMs) {
    rusage usage{};
    if (::getrusage(RUSAGE_SELF, &usage) != 0) {
        userMs = 0;
        kernelMs = 0;
        return false;
    }
    userMs = Milliseconds(usage.ru_utime);
    kernelMs = Milliseconds(usage.ru_stime);
    return true;
}

void ReportPath(char* buffer, std::size_t size) {
    std::snprintf(buffer, size, "/tmp/allocator_%d.txt", static_cast<int>(CurrentProcessId()));
}

const char* TrustedEnvironment(const char* name) {
    return ::secure_getenv(name);
}

namespace {

// Writes all of `text`: one write, then the rest if a signal cut it short.
bool WriteAll(int fd, const std::string& text) {
    for (std::size_t done = 0; done < text.size();) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno != EINTR) {
            return false;
        }
        done += n > 0 ? static_cast<std::size_t>(n) : 0;
    }
    return true;
}

bool WriteAndClose(int fd, const std::string& text) {
    const bool written = ::fchmod(fd, 0644) == 0 && WriteAll(fd, text);
    return ::close(fd) == 0 && written;
}

} // namespace

bool WriteWholeFile(const char* path, const std::string& text) {
    const std::string temporary = std::string(path) + "." + std::to_string(::getpid()) + ".tmp";
    ::unlink(temporary.c_str()); // a stale one, or a link planted there
    const int fd =
        ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) {
        return false;
    }
    if (!WriteAndClose(fd, text) || ::rename(temporary.c_str(), path) != 0) {
        const int error = errno;
        ::unlink(temporary.c_str());
        errno = error;
        return false;
    }
    return true;
}

bool AppendToFile(const char* path, const std::string& text) {
    const int fd = ::open(path, O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC, 0644);
    return fd >= 0 && WriteAndClose(fd, text);
}

std::string LastError() {
    return std::strerror(errno);
}

// The signal handler writes one byte to the pipe of the listening object; the
// write end is read atomically, so the handler sees it whole or -1.
namespace {

constinit std::atomic<int> gRequestPipe{-1};

struct Pipe {
    int read = -1, write = -1;
    struct sigaction previous {};
};

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

} // namespace

ReportRequests::ReportRequests() {
    auto* pipe = new Pipe;
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
        delete pipe;
        return;
    }
    pipe->read = fds[0];
    pipe->write = fds[1];
    state_ = pipe;
    ::sigaction(SIGUSR1, nullptr, &pipe->previous);
    // A handler of the program, or its choice to ignore the signal, stays.
    if ((pipe->previous.sa_flags & SA_SIGINFO) != 0 || pipe->previous.sa_handler != SIG_DFL) {
        std::fputs("dideverazez: SIGUSR1 is the program's own: reports come at exit and on the "
                   "interval only\n",
                   stderr);
        return;
    }
    gRequestPipe.store(pipe->write);
    struct sigaction ours {};
    ours.sa_handler = OnReportSignal;
    ours.sa_flags = SA_RESTART;
    sigemptyset(&ours.sa_mask);
    listening_ = ::sigaction(SIGUSR1, &ours, nullptr) == 0;
}

ReportRequests::~ReportRequests() {
    auto* pipe = static_cast<Pipe*>(state_);
    if (pipe == nullptr) {
        return;
    }
    if (listening_ && OursIsInstalled()) {
        ::sigaction(SIGUSR1, &pipe->previous, nullptr);
    }
    gRequestPipe.store(-1);
    ::close(pipe->read);
    ::close(pipe->write);
    delete pipe;
}

bool ReportRequests::Wait(std::int64_t timeoutMs) {
    auto* pipe = static_cast<Pipe*>(state_);
    if (stopped_.load() || pipe == nullptr) {
        return false;
    }
    pollfd wanted{pipe->read, POLLIN, 0};
    const int timeout = timeoutMs < 0           ? -1
                        : timeoutMs > INT32_MAX ? INT32_MAX
                                                : static_cast<int>(timeoutMs);
    if (::poll(&wanted, 1, timeout) <= 0) {
        return false;
    }
    char bytes[64];
    bool request = false;
    for (ssize_t n; (n = ::read(pipe->read, bytes, sizeof bytes)) > 0;) {
        request = request || std::memchr(bytes, 'r', static_cast<std::size_t>(n)) != nullptr;
    }
    return request && !stopped_.load();
}

void ReportRequests::Stop() {
    stopped_.store(true);
    if (auto* pipe = static_cast<Pipe*>(state_)) {
        [[maybe_unused]] const ssize_t n = ::write(pipe->write, "s", 1);
    }
}

} // namespace dideverazez::platform
