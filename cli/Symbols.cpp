#include "Symbols.h"

#include "Figures.h"

#include <cxxabi.h>

#include <cstdio>
#include <cstdlib>

#ifdef DIDEVERAZEZ_HAVE_LIBDW
#include <elfutils/libdwelf.h>
#include <elfutils/libdwfl.h>
#include <fcntl.h>
#include <unistd.h>
#endif

namespace dideverazez::report {
namespace {

std::string BaseName(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

#ifdef DIDEVERAZEZ_HAVE_LIBDW
// `name` demangled when it is a mangled C++ name, else as it is.
std::string Demangled(const char* name) {
    int status = 0;
    char* demangled = abi::__cxa_demangle(name, nullptr, nullptr, &status);
    std::string result = status == 0 && demangled != nullptr ? demangled : name;
    std::free(demangled);
    return result;
}

// Whether `path` opens as an ELF file; if so `hex` is its GNU build id in
// lowercase hex, "" when it has none.
bool FileBuildId(const std::string& path, std::string& hex) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    elf_version(EV_CURRENT);
    Elf* elf = elf_begin(fd, ELF_C_READ_MMAP, nullptr);
    bool isElf = elf != nullptr && elf_kind(elf) == ELF_K_ELF;
    hex.clear();
    if (isElf) {
        const void* bits = nullptr;
        const ssize_t size = dwelf_elf_gnu_build_id(elf, &bits);
        for (ssize_t i = 0; i < size; ++i) {
            char digits[3];
            std::snprintf(digits, sizeof digits, "%02x",
                          static_cast<const unsigned char*>(bits)[i]);
            hex += digits;
        }
    }
    if (elf != nullptr) {
        elf_end(elf);
    }
    ::close(fd);
    return isElf;
}

bool SameHex(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        const auto lower = [](char c) { return c >= 'A' && c <= 'F' ? char(c - 'A' + 'a') : c; };
        if (lower(a[i]) != lower(b[i])) {
            return false;
        }
    }
    return true;
}
#endif

} // namespace

#ifdef DIDEVERAZEZ_HAVE_LIBDW
// Offline reporting: each object's file at the address it was loaded, with
// the standard search for separate debug information (.gnu_debuglink, and
// /usr/lib/debug/.build-id/).
struct Symbols::Session {
    Dwfl_Callbacks callbacks{};
    char* debuginfoPath = nullptr;
    Dwfl* dwfl = nullptr;

    Session() {
        callbacks.find_elf = dwfl_build_id_find_elf;
        callbacks.find_debuginfo = dwfl_standard_find_debuginfo;
        callbacks.section_address = dwfl_offline_section_address;
        callbacks.debuginfo_path = &debuginfoPath;
        dwfl = dwfl_begin(&callbacks);
    }
    ~Session() {
        if (dwfl != nullptr) {
            dwfl_end(dwfl);
        }
    }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;
};
#else
struct Symbols::Session {};
#endif

Symbols::Symbols(const std::vector<Object>& objects)
    : objects_(objects), read_(objects.size(), false), session_(std::make_unique<Session>()) {
#ifdef DIDEVERAZEZ_HAVE_LIBDW
    if (session_->dwfl == nullptr) {
        return;
    }
    dwfl_report_begin(session_->dwfl);
    for (std::size_t i = 0; i < objects_.size(); ++i) {
        const Object& object = objects_[i];
        std::string buildId;
        if (object.path.empty() || !FileBuildId(object.path, buildId) ||
            !SameHex(buildId, object.buildId)) {
            continue; // another file now, or none: its names would be wrong
        }
        // base is the load bias, what the object's addresses are moved by:
        // added to the segments' own addresses (add_p_vaddr).
        read_[i] = dwfl_report_elf(session_->dwfl, BaseName(object.path).c_str(),
                                   object.path.c_str(), -1, object.base, true) != nullptr;
    }
    dwfl_report_end(session_->dwfl, nullptr, nullptr);
#endif
}

Symbols::~Symbols() = default;

bool Symbols::Read(std::size_t index) const {
    return index < read_.size() && read_[index];
}

int Symbols::ObjectOf(std::uint64_t address) const {
    for (std::size_t i = 0; i < objects_.size(); ++i) {
        if (address >= objects_[i].start && address < objects_[i].end) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

Frame Symbols::Resolve(std::uint64_t address) const {
    Frame frame;
    frame.address = address;
    frame.object = ObjectOf(address);
#ifdef DIDEVERAZEZ_HAVE_LIBDW
    if (frame.object < 0 || !read_[static_cast<std::size_t>(frame.object)] || address == 0) {
        return frame;
    }
    const Dwarf_Addr call = address - 1;
    Dwfl_Module* module = dwfl_addrmodule(session_->dwfl, call);
    if (module == nullptr) {
        return frame;
    }
    GElf_Off offset = 0;
    GElf_Sym symbol;
    if (const char* name =
            dwfl_module_addrinfo(module, call, &offset, &symbol, nullptr, nullptr, nullptr)) {
        frame.systemName = name;
        // Without the symbol's version (memcpy@@GLIBC_2.14), which no
        // demangler takes and no reader needs.
        const std::string unversioned = frame.systemName.substr(0, frame.systemName.find('@'));
        frame.function = Demangled(unversioned.c_str());
    }
    if (Dwfl_Line* line = dwfl_module_getsrc(module, call)) {
        int number = 0;
        if (const char* file = dwfl_lineinfo(line, nullptr, &number, nullptr, nullptr, nullptr)) {
            frame.file = file;
            frame.line = number;
        }
    } else {
        // Without .debug_aranges (clang writes none by default) libdw of
        // Debian 12 finds no unit for an address: each unit's own ranges say.
        Dwarf_Addr bias = 0;
        for (Dwarf_Die* unit = dwfl_module_nextcu(module, nullptr, &bias); unit != nullptr;
             unit = dwfl_module_nextcu(module, unit, &bias)) {
            if (dwarf_haspc(unit, call - bias) <= 0) {
                continue;
            }
            int number = 0;
            Dwarf_Line* found = dwarf_getsrc_die(unit, call - bias);
            const char* file = found != nullptr ? dwarf_linesrc(found, nullptr, nullptr) : nullptr;
            if (file != nullptr && dwarf_lineno(found, &number) == 0) {
                frame.file = file;
                frame.line = number;
            }
            break;
        }
    }
#endif
    return frame;
}

std::vector<Frame> Symbols::Stack(const std::vector<std::uint64_t>& stack) const {
    std::vector<Frame> frames;
    bool leading = true;
    for (const std::uint64_t address : stack) {
        const int object = ObjectOf(address);
        if (leading && object >= 0 &&
            BaseName(objects_[static_cast<std::size_t>(object)].path).rfind("libdideverazez", 0) ==
                0) {
            continue;
        }
        leading = false;
        frames.push_back(Resolve(address));
    }
    return frames;
}

std::string Hex(std::uint64_t address) {
    char text[2 + 16 + 1];
    std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(address));
    return text;
}

std::string Describe(const Frame& frame, const std::vector<Object>& objects) {
    const std::string object =
        frame.object < 0 ? "" : Escaped(objects[static_cast<std::size_t>(frame.object)].path);
    if (frame.function.empty()) {
        return Hex(frame.address) + (object.empty() ? "" : " (" + object + ")");
    }
    if (frame.file.empty()) {
        return Escaped(frame.function) + " (" + object + ")";
    }
    return Escaped(frame.function) + " (" + Escaped(frame.file) + ":" + std::to_string(frame.line) +
           ")";
}

} // namespace dideverazez::report
