// POSIX implementation of the platform layer.

#include "platform/Platform.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <unwind.h>

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

void RemoveFile(const char* path) {
    if (KindOfPath(path) == PathKind::Regular) {
        ::unlink(path);
    }
}

void ProgramName(char* buffer, std::size_t size) {
    // Read once, on the first call (the reporter's, as the library loads): a
    // server may later write its status over its arguments, where glibc's
    // program_invocation_short_name points.
    static const struct Name {
        char text[256];
        Name() { std::snprintf(text, sizeof text, "%s", program_invocation_short_name); }
    } name;
    std::snprintf(buffer, size, "%s", name.text);
}

void OfferExitHook(void (*write)()) {
    using SetHook = void (*)(void (*)());
    if (auto set =
            reinterpret_cast<SetHook>(::dlsym(RTLD_DEFAULT, "dideverazez_preload_set_exit_hook"))) {
        set(write);
    }
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
bool WriteAll(int fd, const char* text, std::size_t size) {
    for (std::size_t done = 0; done < size;) {
        const ssize_t n = ::write(fd, text + done, size - done);
        if (n < 0 && errno != EINTR) {
            return false;
        }
        done += n > 0 ? static_cast<std::size_t>(n) : 0;
    }
    return true;
}

bool WriteAndClose(int fd, const char* text, std::size_t size) {
    const bool written = ::fchmod(fd, 0644) == 0 && WriteAll(fd, text, size);
    return ::close(fd) == 0 && written;
}

// "<path>.<pid>.tmp", the name a whole file is written under first; false when
// it does not fit.
bool TemporaryName(char (&name)[PATH_MAX], const char* path) {
    const int n = std::snprintf(name, sizeof name, "%s.%d.tmp", path, static_cast<int>(::getpid()));
    if (n < 0 || static_cast<std::size_t>(n) >= sizeof name) {
        errno = ENAMETOOLONG;
        return false;
    }
    return true;
}

int OpenTemporary(const char* name) {
    ::unlink(name); // a stale one, or a link planted there
    return ::open(name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
}

// A regular file open for appending, or -1: O_NONBLOCK, so that a FIFO is
// not waited on before it is refused.
int OpenForAppending(const char* path) {
    const int fd =
        ::open(path, O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
    struct stat status {};
    if (fd >= 0 && (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode))) {
        ::close(fd);
        errno = EINVAL;
        return -1;
    }
    return fd;
}

} // namespace

PathKind KindOfPath(const char* path) {
    struct stat status {};
    if (::lstat(path, &status) != 0) {
        return errno == ENOENT ? PathKind::Absent : PathKind::Other;
    }
    return S_ISREG(status.st_mode) ? PathKind::Regular : PathKind::Other;
}

bool WriteWholeFile(const char* path, const char* text, std::size_t size) {
    if (KindOfPath(path) == PathKind::Other) {
        errno = EINVAL;
        return false;
    }
    char temporary[PATH_MAX];
    if (!TemporaryName(temporary, path)) {
        return false;
    }
    const int fd = OpenTemporary(temporary);
    if (fd < 0) {
        return false;
    }
    if (!WriteAndClose(fd, text, size) || ::rename(temporary, path) != 0) {
        const int error = errno;
        ::unlink(temporary);
        errno = error;
        return false;
    }
    return true;
}

bool AppendToFile(const char* path, const char* text, std::size_t size) {
    const int fd = OpenForAppending(path);
    return fd >= 0 && WriteAndClose(fd, text, size);
}

bool CanWriteFile(const char* path, bool append) {
    char temporary[PATH_MAX];
    if (!append && !TemporaryName(temporary, path)) {
        return false;
    }
    const int fd = append ? OpenForAppending(path) : OpenTemporary(temporary);
    if (fd < 0) {
        return false;
    }
    ::close(fd);
    if (!append) {
        ::unlink(temporary);
    }
    return true;
}

bool ProcessEnding() {
    return false;
}

void NoteProcessEnding() {}

bool LooksHeld(std::mutex& mutex) noexcept {
#if defined(__GLIBC__)
    // std::mutex is a pthread_mutex_t of the default kind, whose lock word is
    // 0 while it is free and 1 or 2 while it is held.
    return __atomic_load_n(&mutex.native_handle()->__data.__lock, __ATOMIC_RELAXED) != 0;
#else
    (void)mutex;
    return false;
#endif
}

void KeepModuleLoaded() {}

const char* LastError() {
    return std::strerror(errno);
}

// ---------------------------------------------------------------------------
// Threads and fork

namespace {

struct Start {
    void (*body)(void*);
    void* argument;
};

extern "C" void* RunThread(void* start) {
    const Start run = *static_cast<Start*>(start);
    std::free(start);
    run.body(run.argument);
    return nullptr;
}

} // namespace

static_assert(sizeof(pthread_t) <= sizeof(std::uint64_t));

bool Thread::Start(void (*body)(void*), void* argument) {
    auto* start = static_cast<struct Start*>(std::malloc(sizeof(struct Start)));
    if (start == nullptr) {
        errno = ENOMEM;
        return false;
    }
    *start = {body, argument};
    sigset_t all, before;
    sigfillset(&all);
    ::pthread_sigmask(SIG_SETMASK, &all, &before); // the new thread starts with this mask
    pthread_t thread{};
    const int error = ::pthread_create(&thread, nullptr, RunThread, start);
    ::pthread_sigmask(SIG_SETMASK, &before, nullptr);
    if (error != 0) {
        std::free(start);
        errno = error;
        return false;
    }
    std::memcpy(&id_, &thread, sizeof thread);
    started_ = true;
    return true;
}

void Thread::Join() {
    if (started_) {
        pthread_t thread{};
        std::memcpy(&thread, &id_, sizeof thread);
        ::pthread_join(thread, nullptr);
        started_ = false;
    }
}

// ---------------------------------------------------------------------------
// Stacks and loaded objects

namespace {

struct StackWalk {
    void** frames;
    int capacity;
    int count;
};

_Unwind_Reason_Code TakeFrame(struct _Unwind_Context* context, void* argument) {
    auto* walk = static_cast<StackWalk*>(argument);
    const _Unwind_Ptr at = _Unwind_GetIP(context);
    if (at == 0 || walk->count == walk->capacity) {
        return _URC_END_OF_STACK;
    }
    walk->frames[walk->count++] = reinterpret_cast<void*>(at);
    return _URC_NO_REASON;
}

// The loaded objects are read from /proc/self/maps and their files, not with
// dl_iterate_phdr: that takes the loader's lock, which a process ending holds
// while it runs the library's destructors, and those wait for the thread that
// writes snapshots.

// The GNU build id and the first loadable segment of the ELF file at `path`.
struct ElfFacts {
    unsigned char buildId[64];
    std::size_t buildIdSize = 0;
    std::uint64_t firstVaddr = 0, firstOffset = 0;
};

bool ReadElf(const char* path, ElfFacts& facts) {
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    bool ok = false;
    ElfW(Ehdr) header;
    if (::pread(fd, &header, sizeof header, 0) == static_cast<ssize_t>(sizeof header) &&
        std::memcmp(header.e_ident, ELFMAG, SELFMAG) == 0 &&
        header.e_phentsize == sizeof(ElfW(Phdr)) && header.e_phnum > 0 && header.e_phnum < 256) {
        ElfW(Phdr) segments[256];
        const auto bytes = static_cast<ssize_t>(sizeof(ElfW(Phdr)) * header.e_phnum);
        if (::pread(fd, segments, static_cast<std::size_t>(bytes),
                    static_cast<off_t>(header.e_phoff)) == bytes) {
            ok = true;
            bool loadSeen = false;
            for (int i = 0; i < header.e_phnum; ++i) {
                const ElfW(Phdr)& segment = segments[i];
                if (segment.p_type == PT_LOAD && !loadSeen) {
                    loadSeen = true;
                    facts.firstVaddr = segment.p_vaddr & ~std::uint64_t{4095};
                    facts.firstOffset = segment.p_offset & ~std::uint64_t{4095};
                }
                if (segment.p_type != PT_NOTE || facts.buildIdSize != 0 ||
                    segment.p_filesz > 4096) {
                    continue;
                }
                unsigned char notes[4096];
                const auto size = static_cast<ssize_t>(segment.p_filesz);
                if (::pread(fd, notes, static_cast<std::size_t>(size),
                            static_cast<off_t>(segment.p_offset)) != size) {
                    continue;
                }
                for (const unsigned char* at = notes; at + sizeof(ElfW(Nhdr)) <= notes + size;) {
                    ElfW(Nhdr) note;
                    std::memcpy(&note, at, sizeof note);
                    const unsigned char* name = at + sizeof note;
                    const unsigned char* desc = name + ((note.n_namesz + 3) & ~3U);
                    const unsigned char* next = desc + ((note.n_descsz + 3) & ~3U);
                    if (next > notes + size) {
                        break;
                    }
                    if (note.n_type == NT_GNU_BUILD_ID && note.n_namesz == 4 &&
                        std::memcmp(name, "GNU", 4) == 0 && note.n_descsz <= sizeof facts.buildId) {
                        std::memcpy(facts.buildId, desc, note.n_descsz);
                        facts.buildIdSize = note.n_descsz;
                        break;
                    }
                    at = next;
                }
            }
        }
    }
    ::close(fd);
    return ok;
}

// One object of the maps: its first mapping's line, then its others.
struct MappedObject {
    char path[PATH_MAX];
    std::uint64_t start = 0, end = 0;
    std::uint64_t fileStart = 0; // where its file offset 0 is mapped, if anywhere
    bool hasFileStart = false;
};

void Report(const MappedObject& mapped, void (*visit)(void*, const LoadedObject&), void* context) {
    ElfFacts facts;
    if (mapped.path[0] != '/' || !mapped.hasFileStart || !ReadElf(mapped.path, facts)) {
        return;
    }
    const std::uint64_t base = mapped.fileStart + facts.firstOffset - facts.firstVaddr;
    visit(context, LoadedObject{mapped.path, facts.buildId, facts.buildIdSize, base, mapped.start,
                                mapped.end, facts.firstOffset});
}

#if defined(DIDEVERAZEZ_TEST_SEAMS)
constinit std::atomic<const char*> gMapsPath{"/proc/self/maps"};
#else
constexpr const char* gMapsPath = "/proc/self/maps";
#endif

// Calls `line(context, text)` for each line of /proc/self/maps. The kernel
// hands it out in whole lines; a line cut by a read waits for its rest, and
// one longer than the buffer is dropped, lest a file of another kind mislead.
template <class Line> void ForEachMapsLine(Line&& line) {
    const int fd = ::open(gMapsPath, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return;
    }
    char buffer[8192];
    std::size_t held = 0;
    for (;;) {
        const ssize_t n = ::read(fd, buffer + held, sizeof buffer - 1 - held);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        held += static_cast<std::size_t>(n);
        std::size_t from = 0;
        for (std::size_t i = 0; i < held; ++i) {
            if (buffer[i] == '\n') {
                buffer[i] = '\0';
                line(buffer + from);
                from = i + 1;
            }
        }
        std::memmove(buffer, buffer + from, held - from);
        held -= from;
        if (held == sizeof buffer - 1) { // a line longer than the buffer: dropped
            held = 0;
        }
    }
    ::close(fd);
}

} // namespace

int CaptureStack(void** frames, int capacity) noexcept {
    StackWalk walk{frames, capacity, 0};
    _Unwind_Backtrace(TakeFrame, &walk);
    return walk.count;
}

void ForEachLoadedObject(void (*visit)(void* context, const LoadedObject& object), void* context) {
    // The program first, then the others in the order of their addresses.
    MappedObject current;
    char self[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    self[n > 0 ? n : 0] = '\0';
    for (const bool programPass : {true, false}) {
        current = MappedObject{};
        ForEachMapsLine([&](const char* text) {
            unsigned long long start = 0, end = 0, offset = 0;
            int pathAt = 0;
            if (std::sscanf(text, "%llx-%llx %*s %llx %*s %*s %n", &start, &end, &offset, &pathAt) <
                3) {
                return;
            }
            const char* path = pathAt > 0 ? text + pathAt : "";
            if (std::strcmp(path, current.path) != 0) {
                if (programPass == (std::strcmp(current.path, self) == 0)) {
                    Report(current, visit, context);
                }
                current = MappedObject{};
                std::snprintf(current.path, sizeof current.path, "%s", path);
                current.start = start;
            }
            current.end = end;
            if (offset == 0 && !current.hasFileStart) {
                current.fileStart = start;
                current.hasFileStart = true;
            }
        });
        if (programPass == (std::strcmp(current.path, self) == 0)) {
            Report(current, visit, context);
        }
    }
}

#if defined(DIDEVERAZEZ_TEST_SEAMS)
void testing::ReadMapsFrom(const char* path) noexcept {
    gMapsPath.store(path != nullptr ? path : "/proc/self/maps");
}
#endif

void OnFork(void (*prepare)(), void (*parent)(), void (*child)()) {
    ::pthread_atfork(prepare, parent, child);
}

// ---------------------------------------------------------------------------
// Requests for a report

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
// or -1 (said). An abstract name has no file: nothing is left behind however
// the process ends, and no folder's mode guards it, so Asks checks each peer.
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
