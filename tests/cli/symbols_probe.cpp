// Writes a snapshot (docs/sampling.md) whose one retired entry leaked through
// two stacks, with every object this process has loaded, as the library lists
// them: a return address inside probe::Site, and one inside probe_gap, code
// that no unit of the debug information covers. Standard error gets the frame
// `dideverazez-report leaks` must show for each, one a line.
#include <link.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

namespace probe {

__attribute__((noinline)) void* Where() {
    return __builtin_return_address(0);
}

__attribute__((noinline)) void* Site(int& line) {
    line = __LINE__ + 1; // the line of the call
    void* where = Where();
    return where;
}

// probe_gap lies between Before and After, in their section: past the end
// of Before's address range, before After's, where libdwfl takes Before's
// unit for the unit of an address, and the last line of Before for its line.
// It has a symbol and no line: assembly without debug information.
__attribute__((noinline, used, section(".text.probe"))) void* Before() {
    return Where();
}

} // namespace probe

#if defined(__x86_64__)
#define PROBE_GAP 1
extern "C" void* probe_gap();
asm(".pushsection .text.probe,\"ax\",@progbits\n"
    ".globl probe_gap\n"
    ".type probe_gap, @function\n"
    "probe_gap:\n"
    "    subq $8, %rsp\n"
    "    call _ZN5probe5WhereEv@PLT\n"
    "    addq $8, %rsp\n"
    "    ret\n"
    ".size probe_gap, .-probe_gap\n"
    ".popsection\n");
#endif

namespace probe {

__attribute__((noinline, used, section(".text.probe"))) void* After() {
    return Where();
}

} // namespace probe

namespace {

std::string BuildId(const dl_phdr_info* info) {
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr)& segment = info->dlpi_phdr[i];
        if (segment.p_type != PT_NOTE) {
            continue;
        }
        const auto* at = reinterpret_cast<const unsigned char*>(info->dlpi_addr + segment.p_vaddr);
        const unsigned char* end = at + segment.p_memsz;
        while (at + sizeof(ElfW(Nhdr)) <= end) {
            ElfW(Nhdr) note;
            std::memcpy(&note, at, sizeof note);
            const unsigned char* name = at + sizeof note;
            const unsigned char* desc = name + ((note.n_namesz + 3) & ~3U);
            if (note.n_type == NT_GNU_BUILD_ID && note.n_namesz == 4 &&
                std::memcmp(name, "GNU", 4) == 0) {
                std::string hex;
                for (unsigned j = 0; j < note.n_descsz; ++j) {
                    char digits[3];
                    std::snprintf(digits, sizeof digits, "%02x", desc[j]);
                    hex += digits;
                }
                return hex;
            }
            at = desc + ((note.n_descsz + 3) & ~3U);
        }
    }
    return "";
}

int Object(dl_phdr_info* info, std::size_t /*size*/, void* data) {
    auto& first = *static_cast<bool*>(data);
    std::uintptr_t start = UINTPTR_MAX, end = 0, offset = 0;
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr)& segment = info->dlpi_phdr[i];
        if (segment.p_type == PT_LOAD && info->dlpi_addr + segment.p_vaddr < start) {
            start = info->dlpi_addr + segment.p_vaddr;
            offset = segment.p_offset;
        }
        if (segment.p_type == PT_LOAD) {
            end =
                std::max<std::uintptr_t>(end, info->dlpi_addr + segment.p_vaddr + segment.p_memsz);
        }
    }
    std::string path = info->dlpi_name;
    if (path.empty()) {
        char exe[4096];
        const ssize_t got = readlink("/proc/self/exe", exe, sizeof exe - 1);
        path.assign(exe, got > 0 ? static_cast<std::size_t>(got) : 0);
    }
    std::printf("%s{\"path\": \"%s\", \"build_id\": \"%s\", \"base\": %ju, \"start\": %ju, "
                "\"end\": %ju, \"offset\": %ju}",
                first ? "" : ",\n  ", path.c_str(), BuildId(info).c_str(),
                static_cast<std::uintmax_t>(info->dlpi_addr), static_cast<std::uintmax_t>(start),
                static_cast<std::uintmax_t>(end), static_cast<std::uintmax_t>(offset));
    first = false;
    return 0;
}

} // namespace

int main() {
    int line = 0;
    const void* where = probe::Site(line);
#ifdef PROBE_GAP
    const void* gap = probe_gap();
#else
    const void* gap = where;
#endif
    std::printf("{\"format\": \"dideverazez-snapshot\", \"version\": 1, \"process\": %d, "
                "\"taken_ms\": 0,\n \"sampling\": {\"bytes\": 1},\n \"stacks\": [[%ju], [%ju]],\n"
                " \"objects\": [",
                static_cast<int>(getpid()),
                static_cast<std::uintmax_t>(reinterpret_cast<std::uintptr_t>(where)),
                static_cast<std::uintmax_t>(reinterpret_cast<std::uintptr_t>(gap)));
    bool first = true;
    dl_iterate_phdr(Object, &first);
    std::printf(
        "],\n \"trees\": [],\n \"retired\": [{\"path\": \"Probe\", \"handles\": 1, "
        "\"born_ms\": 0, \"died_ms\": 0, \"metrics\": {\"time_total\": 0, \"self_peak\": 12, "
        "\"memory_peak\": 12, \"memory_current\": 12, \"memory_cumul\": 12, "
        "\"count_current\": 2, \"count_cumul\": 2}, \"sites\": [{\"stack\": 0, "
        "\"in_use\": {\"bytes\": 8, \"blocks\": 1}, \"allocated\": {\"bytes\": 8, "
        "\"blocks\": 1}}, {\"stack\": 1, \"in_use\": {\"bytes\": 4, \"blocks\": 1}, "
        "\"allocated\": {\"bytes\": 4, \"blocks\": 1}}]}],\n \"histogram\": {\"name\": "
        "\"Global\", \"pages\": 0, \"classes\": []}}\n");
    std::fprintf(stderr, "probe::Site(int&) (%s:%d)\n", __FILE__, line);
#ifdef PROBE_GAP
    char exe[4096];
    const ssize_t got = readlink("/proc/self/exe", exe, sizeof exe - 1);
    std::fprintf(stderr, "probe_gap (%.*s)\n", static_cast<int>(got > 0 ? got : 0), exe);
#endif
    return 0;
}
