// The platform layer (Tools/platform), against the operating system's own
// answers. Which test owns which rule:
//  - Platform.AnswersAreTheSystems: the process's identity, its processor
//    times in milliseconds, a thread, the report path.
//  - Platform.LoadedObjectsAreTheLoadersOwn, LoadedObjectsComeFromEveryLineOfTheMaps:
//    the loaded objects, their bases and build ids, from maps text cut anywhere.
//  - Platform.ClosedRequestsKeepNoDescriptor, NoPipeRefusesTheListenerAndLeavesTheSignal,
//    NoSocketLeavesTheSignalAsking, ASocketNameTakenByAnotherListenerIsReported:
//    each failure to open the requests reported with the system's reason, and
//    what still works.
//  - Platform.ARefusedWriteLeavesTheFileAsItWas, ATemporaryNamePastPathMaxIsRefused:
//    the report files' writes.
//  - Platform.LooksHeldWhileAnyThreadHoldsTheMutex: the tree lock's peek.
// The requests' socket, signal and answers: reporter_test.cpp (observe).

#include "platform/Platform.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstddef>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#include <link.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
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
// the call and grows with processor time spent; a thread runs and is joined
// once; the report path carries the process id and is cut to the buffer,
// terminated.
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
    platform::Thread thread;
    bool ran = false;
    ASSERT_TRUE(thread.Start([](void* flag) { *static_cast<bool*>(flag) = true; }, &ran));
    EXPECT_TRUE(thread.Started());
    thread.Join();
    EXPECT_TRUE(ran);
    EXPECT_FALSE(thread.Started());
    thread.Join(); // none started: nothing
    char buffer[64];
    platform::ReportPath(buffer, sizeof buffer);
    EXPECT_EQ(buffer, path);
    buffer[6] = 'X';
    platform::ReportPath(buffer, 6);
    EXPECT_EQ(std::string(buffer), path.substr(0, 5));
    EXPECT_EQ(buffer[6], 'X');
}

#if !defined(_WIN32)
// The loaded objects are the loader's own: the program first, then each ELF
// file it mapped, once, with its build id (the toolchain gives every object
// one) and the base the loader moved it by; found whole though the maps are
// longer than one read (the mappings made here see to that).
TEST(Platform, LoadedObjectsAreTheLoadersOwn) {
    std::vector<void*> mappings;
    for (int i = 0; i < 400; ++i) { // alternating, so that none merge: a line each
        mappings.push_back(::mmap(nullptr, 4096, i % 2 == 0 ? PROT_READ : PROT_NONE,
                                  MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
        ASSERT_NE(mappings.back(), MAP_FAILED);
    }
    // A mapped file that is no ELF file, though its program header count
    // (at 56) would pass for one's: not an object.
    const std::string notElf =
        std::filesystem::temp_directory_path() / ("not-elf-" + std::to_string(::getpid()));
    {
        std::string bytes(4096, '\0');
        bytes[56] = 1;
        std::ofstream(notElf, std::ios::binary) << bytes;
    }
    const int notElfFd = ::open(notElf.c_str(), O_RDONLY | O_CLOEXEC);
    mappings.push_back(::mmap(nullptr, 4096, PROT_READ, MAP_PRIVATE, notElfFd, 0));
    ASSERT_NE(mappings.back(), MAP_FAILED);
    ::close(notElfFd);
    std::map<std::string, std::uint64_t> loaded; // canonical path: base
    ::dl_iterate_phdr(
        [](dl_phdr_info* info, std::size_t, void* into) {
            const std::string name =
                info->dlpi_name[0] == '\0' ? "/proc/self/exe" : info->dlpi_name;
            std::error_code error;
            const auto path = std::filesystem::canonical(name, error);
            if (!error) {
                (*static_cast<std::map<std::string, std::uint64_t>*>(into))[path] = info->dlpi_addr;
            }
            return 0;
        },
        &loaded);
    std::string maps;
    {
        std::ifstream file("/proc/self/maps");
        maps.assign(std::istreambuf_iterator<char>(file), {});
    }
    ASSERT_GT(maps.size(), 2 * 8192u); // more than two reads

    struct Seen {
        std::string path;
        std::uint64_t base, start, end;
        std::size_t buildIdSize;
    };
    std::vector<Seen> objects;
    platform::ForEachLoadedObject(
        [](void* into, const platform::LoadedObject& object) {
            static_cast<std::vector<Seen>*>(into)->push_back(
                {object.Path, object.Base, object.Start, object.End, object.BuildIdSize});
        },
        &objects);
    for (void* mapping : mappings) {
        ::munmap(mapping, 4096);
    }
    std::filesystem::remove(notElf);
    ASSERT_FALSE(objects.empty());
    EXPECT_EQ(std::filesystem::canonical(objects[0].path),
              std::filesystem::canonical("/proc/self/exe"));
    std::set<std::string> reported;
    for (const Seen& object : objects) {
        const std::string path = std::filesystem::canonical(object.path);
        EXPECT_TRUE(reported.insert(path).second) << path << " twice";
        EXPECT_GT(object.buildIdSize, 0u) << path;
        EXPECT_LT(object.start, object.end) << path;
        const auto found = loaded.find(path);
        if (found != loaded.end()) {
            EXPECT_EQ(object.base, found->second) << path;
        }
    }
    EXPECT_EQ(reported.count(notElf), 0u);
    for (const auto& [path, base] : loaded) {
        if (maps.find(path) != std::string::npos) {
            EXPECT_EQ(reported.count(path), 1u) << path << " loaded and mapped, not reported";
        }
    }
}
#endif

#if !defined(_WIN32)
// The first loadable segment's page-aligned address and file offset in the
// ELF file at `path`, read here from its program headers.
std::pair<std::uint64_t, std::uint64_t> FirstLoad(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    ElfW(Ehdr) header{};
    file.read(reinterpret_cast<char*>(&header), sizeof header);
    for (int i = 0; i < header.e_phnum; ++i) {
        ElfW(Phdr) segment{};
        file.seekg(static_cast<std::streamoff>(header.e_phoff + i * sizeof segment));
        file.read(reinterpret_cast<char*>(&segment), sizeof segment);
        if (segment.p_type == PT_LOAD) {
            return {segment.p_vaddr & ~std::uint64_t{4095},
                    segment.p_offset & ~std::uint64_t{4095}};
        }
    }
    ADD_FAILURE() << path << ": no loadable segment";
    return {};
}

// Maps text that reads cut anywhere, with a line longer than the reader's
// buffer among them, gives the objects its lines name: the program first,
// each from its first mapping to its last, moved by where its file's start
// is mapped (by its first loadable segment); the long line is dropped and the
// lines after it still read, and a file that cannot be opened is no object.
// An errno the caller left behind is not taken for an interrupted read.
TEST(Platform, LoadedObjectsComeFromEveryLineOfTheMaps) {
    char self[PATH_MAX] = {};
    ASSERT_GT(::readlink("/proc/self/exe", self, sizeof self - 1), 0);
    std::string library;
    platform::ForEachLoadedObject(
        [](void* into, const platform::LoadedObject& object) {
            auto& found = *static_cast<std::string*>(into);
            if (found.empty() &&
                std::string_view(object.Path).find("libc.so") != std::string_view::npos) {
                found = object.Path;
            }
        },
        &library);
    ASSERT_FALSE(library.empty());

    std::string maps;
    char line[128];
    std::uint64_t at = 0x100000;
    const auto anonymous = [&](int count) {
        for (int i = 0; i < count; ++i, at += 0x1000) {
            std::snprintf(line, sizeof line, "%llx-%llx rw-p 00000000 00:00 0 \n",
                          static_cast<unsigned long long>(at),
                          static_cast<unsigned long long>(at + 0x1000));
            maps += line;
        }
    };
    // An object's mappings: its file's start at `at`, then more.
    const auto mapped = [&](const std::string& path,
                            std::vector<unsigned long long> offsets = {0x0, 0x1000, 0x3000}) {
        const std::uint64_t start = at;
        for (const unsigned long long offset : offsets) {
            std::snprintf(line, sizeof line, "%llx-%llx r--p %08llx 08:01 77    ",
                          static_cast<unsigned long long>(at),
                          static_cast<unsigned long long>(at + 0x2000), offset);
            maps += line + path + "\n";
            at += 0x2000;
        }
        return std::pair{start, at};
    };
    while (maps.size() < 8191 - 60) { // the first read ends inside the library's first line
        anonymous(1);
    }
    const auto [libraryStart, libraryEnd] = mapped(library);
    anonymous(150);
    maps += "7f0000000000-7f0000001000 r--p 00000000 08:01 78 /" + std::string(12000, 'x') + "\n";
    anonymous(200);
    // An object linked at a fixed address: its first loadable segment, not
    // its second, says where its file's start belongs, from the start of the
    // segment's first page.
    const auto elf = [](const std::string& name, std::vector<ElfW(Phdr)> segments) {
        const std::string path = std::filesystem::temp_directory_path() /
                                 (name + "-" + std::to_string(::getpid()) + ".so");
        ElfW(Ehdr) header{};
        std::memcpy(header.e_ident, ELFMAG, SELFMAG);
        header.e_phoff = sizeof header;
        header.e_phentsize = sizeof(ElfW(Phdr));
        header.e_phnum = static_cast<ElfW(Half)>(segments.size());
        std::ofstream file(path, std::ios::binary);
        file.write(reinterpret_cast<const char*>(&header), sizeof header);
        file.write(reinterpret_cast<const char*>(segments.data()),
                   static_cast<std::streamsize>(sizeof(ElfW(Phdr)) * segments.size()));
        return path;
    };
    ElfW(Phdr) first{}, second{};
    first.p_type = second.p_type = PT_LOAD;
    first.p_vaddr = 0x11234;
    first.p_offset = 0x234;
    second.p_vaddr = 0x22000;
    second.p_offset = 0x1000;
    const std::string fixed = elf("fixed", {first, second});
    const auto [fixedStart, fixedEnd] = mapped(fixed);
    mapped("/dideverazez-absent/libgone.so"); // a file that cannot be opened is no object
    const std::string bare = elf("bare", {}); // nor is an ELF file without segments,
    mapped(bare);
    const std::string headless = elf("headless", {first}); // nor one whose start is not mapped
    mapped(headless, {0x1000, 0x3000});
    anonymous(3);
    const auto [selfStart, selfEnd] = mapped(self); // the last lines: no line after ends it
    ASSERT_GT(maps.size(), 3 * 8192u);
    const std::string path =
        std::filesystem::temp_directory_path() / ("maps-" + std::to_string(::getpid()));
    std::ofstream(path) << maps;

    struct Seen {
        std::string path;
        std::uint64_t base, start, end;
    };
    std::vector<Seen> objects;
    platform::testing::ReadMapsFrom(path.c_str());
    errno = EINTR; // left by the caller's code: no read was interrupted
    platform::ForEachLoadedObject(
        [](void* into, const platform::LoadedObject& object) {
            static_cast<std::vector<Seen>*>(into)->push_back(
                {object.Path, object.Base, object.Start, object.End});
        },
        &objects);
    platform::testing::ReadMapsFrom(nullptr);
    std::filesystem::remove(path);
    std::filesystem::remove(fixed);
    std::filesystem::remove(bare);
    std::filesystem::remove(headless);

    ASSERT_EQ(objects.size(), 3u);
    const auto [selfVaddr, selfOffset] = FirstLoad(self);
    const auto [libraryVaddr, libraryOffset] = FirstLoad(library);
    EXPECT_EQ(objects[0].path, self);
    EXPECT_EQ(objects[0].start, selfStart);
    EXPECT_EQ(objects[0].end, selfEnd);
    EXPECT_EQ(objects[0].base, selfStart + selfOffset - selfVaddr);
    EXPECT_EQ(objects[1].path, library);
    EXPECT_EQ(objects[1].start, libraryStart);
    EXPECT_EQ(objects[1].end, libraryEnd);
    EXPECT_EQ(objects[1].base, libraryStart + libraryOffset - libraryVaddr);
    EXPECT_EQ(objects[2].path, fixed);
    EXPECT_EQ(objects[2].start, fixedStart);
    EXPECT_EQ(objects[2].end, fixedEnd);
    EXPECT_EQ(objects[2].base, fixedStart - 0x11000);
}
#endif

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
TEST(Platform, NoPipeRefusesTheListenerAndLeavesTheSignal) {
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

// A write the system refuses (past RLIMIT_FSIZE, its signal ignored) fails
// with its reason; a whole file is then left as it was, no temporary beside
// it, and an appended one fails too.
TEST(Platform, ARefusedWriteLeavesTheFileAsItWas) {
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
TEST(Platform, ATemporaryNamePastPathMaxIsRefused) {
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
#endif

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
