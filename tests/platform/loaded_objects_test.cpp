// Loaded objects (Tools/platform/*/LoadedObjects.cpp). Which test owns which
// rule:
//  - Platform.LoadedObjectsAreTheLoadersOwn: the program first, each ELF file
//    once, with its build id and the base the loader moved it by.
//  - Platform.LoadedObjectsComeFromEveryLineOfTheMaps: maps text cut by reads
//    anywhere, a line past the reader's buffer, files that are no object, a
//    build id read from a note segment only.
//  - Platform.LoadedModulesAreTheProgramAndItsDlls (Windows): the program
//    first, each module's range and path, the CodeView identity.
// Under memcheck too (memcheck.platform): a decision on bytes never read.

#include "platform/Platform.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#if !defined(_WIN32)
#include <fcntl.h>
#include <link.h>
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace {

namespace platform = dideverazez::platform;

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
    // An object linked at a fixed address whose first loadable segment starts
    // past its file's first page: that segment, not the second, says where the
    // file's start belongs, from the start of the segment's first page.
    // `tail` follows the program headers.
    const auto elf = [](const std::string& name, std::vector<ElfW(Phdr)> segments,
                        const std::vector<unsigned char>& tail = {}) {
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
        file.write(reinterpret_cast<const char*>(tail.data()),
                   static_cast<std::streamsize>(tail.size()));
        return path;
    };
    ElfW(Phdr) first{}, second{};
    first.p_type = second.p_type = PT_LOAD;
    first.p_vaddr = 0x11234;
    first.p_offset = 0x1234;
    second.p_vaddr = 0x22000;
    second.p_offset = 0x1000;
    const std::string fixed = elf("fixed", {first, second});
    const auto [fixedStart, fixedEnd] = mapped(fixed);
    // A GNU build-id note behind two program headers: read from a note
    // segment, and not from a segment of another type that holds the same bytes.
    const ElfW(Nhdr) header{4, 20, NT_GNU_BUILD_ID};
    std::vector<unsigned char> note(sizeof header + 4 + 20);
    std::memcpy(note.data(), &header, sizeof header);
    std::memcpy(note.data() + sizeof header, "GNU", 4);
    for (std::size_t i = 0; i < 20; ++i) { // the id: 1, 2, ... 20
        note[sizeof header + 4 + i] = static_cast<unsigned char>(i + 1);
    }
    ElfW(Phdr) noteSegment{};
    noteSegment.p_type = PT_NOTE;
    noteSegment.p_offset = sizeof(ElfW(Ehdr)) + 2 * sizeof(ElfW(Phdr));
    noteSegment.p_filesz = note.size();
    const std::string noted = elf("noted", {first, noteSegment}, note);
    mapped(noted);
    ElfW(Phdr) stackSegment = noteSegment;
    stackSegment.p_type = PT_GNU_STACK;
    const std::string disguised = elf("disguised", {first, stackSegment}, note);
    mapped(disguised);
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
        std::vector<unsigned char> buildId;
    };
    std::vector<Seen> objects;
    platform::testing::ReadMapsFrom(path.c_str());
    errno = EINTR; // left by the caller's code: no read was interrupted
    platform::ForEachLoadedObject(
        [](void* into, const platform::LoadedObject& object) {
            static_cast<std::vector<Seen>*>(into)->push_back(
                {object.Path, object.Base, object.Start, object.End,
                 std::vector<unsigned char>(object.BuildId, object.BuildId + object.BuildIdSize)});
        },
        &objects);
    platform::testing::ReadMapsFrom(nullptr);
    std::filesystem::remove(path);
    std::filesystem::remove(fixed);
    std::filesystem::remove(noted);
    std::filesystem::remove(disguised);
    std::filesystem::remove(bare);
    std::filesystem::remove(headless);

    ASSERT_EQ(objects.size(), 5u);
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
    EXPECT_EQ(objects[2].base, fixedStart + 0x1000 - 0x11000);
    EXPECT_TRUE(objects[2].buildId.empty());
    EXPECT_EQ(objects[3].path, noted);
    EXPECT_EQ(objects[3].buildId, std::vector<unsigned char>(note.end() - 20, note.end()));
    EXPECT_EQ(objects[4].path, disguised);
    EXPECT_TRUE(objects[4].buildId.empty());
}
#endif

#if defined(_WIN32)
// Every module is listed, the program first: the range its image is mapped
// at, moved by its own base, and the identity of its CodeView record (the
// toolchain writes one with --build-id): a GUID, then the age, 1.
TEST(Platform, LoadedModulesAreTheProgramAndItsDlls) {
    struct Seen {
        std::string path, id;
        std::uint64_t base, start, end, offset;
    };
    std::vector<Seen> modules;
    platform::ForEachLoadedObject(
        [](void* context, const platform::LoadedObject& object) {
            std::string id;
            for (std::size_t i = 0; i < object.BuildIdSize; ++i) {
                char digits[3];
                std::snprintf(digits, sizeof digits, "%02x", object.BuildId[i]);
                id += digits;
            }
            static_cast<std::vector<Seen>*>(context)->push_back(
                {object.Path, id, object.Base, object.Start, object.End, object.Offset});
        },
        &modules);
    ASSERT_FALSE(modules.empty());
    const Seen& program = modules[0];
    const auto lower = [](std::string text) {
        for (char& c : text) {
            c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
        }
        return text;
    };
    EXPECT_TRUE(lower(program.path).ends_with("\\platform_tests.exe")) << program.path;
    const auto here = reinterpret_cast<std::uint64_t>(&platform::ForEachLoadedObject);
    EXPECT_LE(program.start, here);
    EXPECT_LT(here, program.end);
    EXPECT_EQ(program.base, program.start);
    EXPECT_EQ(program.offset, 0u);
    EXPECT_EQ(program.id.size(), 40u) << program.id;
    EXPECT_TRUE(program.id.ends_with("00000001")) << program.id;
    std::size_t kernel32 = 0;
    for (const Seen& module : modules) {
        EXPECT_LT(module.start, module.end) << module.path;
        kernel32 += lower(module.path).ends_with("\\kernel32.dll") ? 1 : 0;
    }
    EXPECT_EQ(kernel32, 1u);
}
#endif

} // namespace
