// The objects loaded in the process, on POSIX systems: the maps reader and
// the ELF reader that finds each object's build id and base.
//
// They are read from /proc/self/maps and the objects' files, not with
// dl_iterate_phdr: that takes the loader's lock, which a process ending holds
// while it runs the library's destructors, and those wait for the thread that
// writes snapshots.

#include "platform/Platform.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <unistd.h>

namespace dideverazez::platform {
namespace {

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

} // namespace dideverazez::platform
