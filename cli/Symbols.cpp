#include "Symbols.h"

#include "Figures.h"

#include <cxxabi.h>

#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <unordered_map>

#ifdef DIDEVERAZEZ_HAVE_LIBDW
#include <elfutils/libdwelf.h>
#include <elfutils/libdwfl.h>
#include <fcntl.h>
#include <unistd.h>
#elif defined(_WIN32)
#include <windows.h>
// windows.h first: dbghelp.h needs its types.
#include <dbghelp.h>

#include <filesystem>
#include <fstream>
#endif

namespace dideverazez::report {
namespace {

std::string BaseName(const std::string& path) {
    const std::size_t slash = path.find_last_of(
#if defined(_WIN32)
        "/\\"
#else
        "/"
#endif
    );
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Whether `name` is the library's file: libdideverazez.so (and the preload
// library beside it), or dideverazez.dll in any case.
bool OfTheLibrary(const std::string& name) {
    std::string lower = name;
    for (char& c : lower) {
        c = c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c;
    }
    return name.rfind("libdideverazez", 0) == 0 || lower == "dideverazez.dll";
}

#if defined(DIDEVERAZEZ_HAVE_LIBDW) || defined(_WIN32)
// `name` demangled when it is a mangled C++ name, else as it is.
std::string Demangled(const char* name) {
    int status = 0;
    char* demangled = abi::__cxa_demangle(name, nullptr, nullptr, &status);
    std::string result = status == 0 && demangled != nullptr ? demangled : name;
    std::free(demangled);
    return result;
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

#ifdef DIDEVERAZEZ_HAVE_LIBDW

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

#endif

} // namespace

// A frame's names, as its file gives them.
struct Named {
    std::string function;
    std::string systemName;
    std::string file;
    int line = 0;
};

#ifdef DIDEVERAZEZ_HAVE_LIBDW
// Offline reporting of one file at its own addresses (bias 0), with the
// standard search for separate debug information (.gnu_debuglink, and
// /usr/lib/debug/.build-id/).
class SymbolFiles::File {
public:
    explicit File(const std::string& path) {
        callbacks_.find_elf = dwfl_build_id_find_elf;
        callbacks_.find_debuginfo = dwfl_standard_find_debuginfo;
        callbacks_.section_address = dwfl_offline_section_address;
        callbacks_.debuginfo_path = &debuginfoPath_;
        dwfl_ = dwfl_begin(&callbacks_);
        if (dwfl_ == nullptr) {
            return;
        }
        dwfl_report_begin(dwfl_);
        module_ = dwfl_report_elf(dwfl_, BaseName(path).c_str(), path.c_str(), -1, 0, true);
        dwfl_report_end(dwfl_, nullptr, nullptr);
    }
    ~File() {
        if (dwfl_ != nullptr) {
            dwfl_end(dwfl_);
        }
    }
    File(const File&) = delete;
    File& operator=(const File&) = delete;

    bool Read() const { return module_ != nullptr; }

    // The frame whose return address is `offset` in the file's own terms
    // (the address less the object's base), named once.
    const Named& Name(std::uint64_t offset) {
        const auto [at, added] = named_.try_emplace(offset);
        if (added && offset != 0) {
            Look(offset - 1, at->second);
        }
        return at->second;
    }

private:
    void Look(Dwarf_Addr call, Named& named) const;

    Dwfl_Callbacks callbacks_{};
    char* debuginfoPath_ = nullptr;
    Dwfl* dwfl_ = nullptr;
    Dwfl_Module* module_ = nullptr;
    std::unordered_map<std::uint64_t, Named> named_;
};

void SymbolFiles::File::Look(Dwarf_Addr call, Named& named) const {
    Dwfl_Module* module = dwfl_addrmodule(dwfl_, call);
    if (module == nullptr) {
        return;
    }
    GElf_Off offset = 0;
    GElf_Sym symbol;
    if (const char* name =
            dwfl_module_addrinfo(module, call, &offset, &symbol, nullptr, nullptr, nullptr)) {
        named.systemName = name;
        // Without the symbol's version (memcpy@@GLIBC_2.14), which no
        // demangler takes and no reader needs.
        const std::string unversioned = named.systemName.substr(0, named.systemName.find('@'));
        named.function = Demangled(unversioned.c_str());
    }
    // The unit whose ranges hold the address. libdwfl's own (that of
    // dwfl_module_getsrc too) is that of the last range that begins below the
    // address, even past that range's end, and without .debug_aranges (clang
    // writes none by default) libdw of Debian 12 finds none: each unit's own
    // ranges say. An address that no unit holds has no file and line.
    Dwarf_Addr bias = 0;
    Dwarf_Die* unit = dwfl_module_addrdie(module, call, &bias);
    if (unit == nullptr || dwarf_haspc(unit, call - bias) <= 0) {
        unit = dwfl_module_nextcu(module, nullptr, &bias);
        while (unit != nullptr && dwarf_haspc(unit, call - bias) <= 0) {
            unit = dwfl_module_nextcu(module, unit, &bias);
        }
    }
    if (unit == nullptr) {
        return;
    }
    int number = 0;
    Dwarf_Line* found = dwarf_getsrc_die(unit, call - bias);
    const char* file = found != nullptr ? dwarf_linesrc(found, nullptr, nullptr) : nullptr;
    if (file != nullptr && dwarf_lineno(found, &number) == 0) {
        named.file = file;
        named.line = number;
    }
}

namespace {

// The file of `object` when it is there with the build id recorded and reads;
// null otherwise: another file now, or none, would give wrong names.
std::unique_ptr<SymbolFiles::File> ReadFile(const Object& object) {
    std::string buildId;
    if (object.path.empty() || !FileBuildId(object.path, buildId) ||
        !SameHex(buildId, object.buildId)) {
        return nullptr;
    }
    auto file = std::make_unique<SymbolFiles::File>(object.path);
    return file->Read() ? std::move(file) : nullptr;
}

} // namespace
#elif defined(_WIN32)
namespace {

std::wstring Wide(const std::string& utf8) {
    const int length =
        MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(),
                        length);
    return wide;
}

std::string Utf8(const wchar_t* wide) {
    const int length = WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<std::size_t>(length > 0 ? length - 1 : 0), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide, -1, utf8.data(), length, nullptr, nullptr);
    return utf8;
}

// The CodeView identity of the PE file at `path`, as the library writes a
// module's (its GUID's three numbers, its last eight bytes, then the age,
// in hex), and whether the record names a PDB (MinGW-w64's names none);
// false when the file is not there or is no 64-bit image.
bool FileIdentity(const std::string& path, std::string& hex, bool& namesPdb) {
    std::ifstream file(std::filesystem::path(Wide(path)), std::ios::binary);
    const auto read = [&file](std::uint64_t at, void* to, std::size_t bytes) {
        file.seekg(static_cast<std::streamoff>(at));
        return static_cast<bool>(
            file.read(static_cast<char*>(to), static_cast<std::streamsize>(bytes)));
    };
    IMAGE_DOS_HEADER dos;
    IMAGE_NT_HEADERS64 nt;
    if (!file || !read(0, &dos, sizeof dos) || dos.e_magic != IMAGE_DOS_SIGNATURE ||
        !read(static_cast<std::uint64_t>(dos.e_lfanew), &nt, sizeof nt) ||
        nt.Signature != IMAGE_NT_SIGNATURE ||
        nt.OptionalHeader.Magic != IMAGE_NT_OPTIONAL_HDR64_MAGIC) {
        return false;
    }
    hex.clear();
    namesPdb = false;
    if (nt.OptionalHeader.NumberOfRvaAndSizes <= IMAGE_DIRECTORY_ENTRY_DEBUG) {
        return true;
    }
    const IMAGE_DATA_DIRECTORY debug = nt.OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_DEBUG];
    // Where the section holding `rva` keeps it in the file.
    const std::uint64_t sections = static_cast<std::uint64_t>(dos.e_lfanew) +
                                   offsetof(IMAGE_NT_HEADERS64, OptionalHeader) +
                                   nt.FileHeader.SizeOfOptionalHeader;
    const auto fileOffset = [&](std::uint32_t rva, std::uint64_t& at) {
        for (WORD i = 0; i < nt.FileHeader.NumberOfSections; ++i) {
            IMAGE_SECTION_HEADER section;
            if (!read(sections + i * sizeof section, &section, sizeof section)) {
                return false;
            }
            if (rva >= section.VirtualAddress &&
                rva < section.VirtualAddress + section.SizeOfRawData) {
                at = section.PointerToRawData + (rva - section.VirtualAddress);
                return true;
            }
        }
        return false;
    };
    std::uint64_t entries = 0;
    if (!fileOffset(debug.VirtualAddress, entries)) {
        return true;
    }
    for (DWORD i = 0; i < debug.Size / sizeof(IMAGE_DEBUG_DIRECTORY) && i < 16; ++i) {
        IMAGE_DEBUG_DIRECTORY entry;
        struct {
            DWORD signature;
            GUID guid;
            DWORD age;
        } record;
        std::uint64_t at = 0;
        if (!read(entries + i * sizeof entry, &entry, sizeof entry)) {
            break;
        }
        if (entry.Type != IMAGE_DEBUG_TYPE_CODEVIEW || !fileOffset(entry.AddressOfRawData, at) ||
            !read(at, &record, sizeof record) || record.signature != 0x53445352) { // "RSDS"
            continue;
        }
        char text[41];
        std::snprintf(text, sizeof text, "%08lx%04x%04x",
                      static_cast<unsigned long>(record.guid.Data1), record.guid.Data2,
                      record.guid.Data3);
        hex = text;
        for (const unsigned char byte : record.guid.Data4) {
            std::snprintf(text, sizeof text, "%02x", byte);
            hex += text;
        }
        std::snprintf(text, sizeof text, "%08lx", static_cast<unsigned long>(record.age));
        hex += text;
        char first = '\0';
        namesPdb = read(at + sizeof record, &first, 1) && first != '\0';
        break;
    }
    return true;
}

// The tool's one DbgHelp session, over no process: each file is loaded at an
// address of its own, 4 GiB apart, and looked up there.
HANDLE Session() {
    static const HANDLE session = [] {
        const auto handle = reinterpret_cast<HANDLE>(std::uintptr_t{0xd1de});
        SymSetOptions(SYMOPT_LOAD_LINES | SYMOPT_FAIL_CRITICAL_ERRORS | SYMOPT_NO_PROMPTS);
        SymInitializeW(handle, nullptr, FALSE);
        return handle;
    }();
    return session;
}

// DbgHelp's default search path (the current folder, _NT_SYMBOL_PATH and
// _NT_ALTERNATE_SYMBOL_PATH), read once.
const std::wstring& DefaultSearchPath() {
    static const std::wstring path = [] {
        wchar_t text[4096] = {};
        return SymGetSearchPathW(Session(), text, static_cast<DWORD>(std::size(text)))
                   ? std::wstring(text)
                   : std::wstring();
    }();
    return path;
}

} // namespace

// A module's file as DbgHelp reads it: its PDB, or the DWARF that MinGW-w64
// writes into the image (which Wine's DbgHelp reads).
class SymbolFiles::File {
public:
    File(const std::string& path, std::uint64_t size, bool namesPdb) {
        static std::uint64_t next = std::uint64_t{1} << 32;
        base_ = next;
        next += std::uint64_t{1} << 32;
        const std::wstring& standard = DefaultSearchPath(); // read before it is first set
        const std::wstring wide = Wide(path);
        // DbgHelp may read through the handle for as long as the module is loaded.
        image_ = CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
        if (image_ == INVALID_HANDLE_VALUE) {
            return;
        }
        // A record that names no PDB matches every file of the folders DbgHelp
        // searches, and Wine 8 frees a bad pointer for each that is no image:
        // such an image is named as if inside itself, so no folder is searched.
        const std::size_t slash = wide.find_last_of(L"\\/");
        const std::wstring folder = slash == std::wstring::npos ? L"." : wide.substr(0, slash);
        const std::wstring searched = namesPdb ? folder + L';' + standard : wide;
        const std::wstring name =
            namesPdb ? wide
                     : wide + L'\\' + wide.substr(slash == std::wstring::npos ? 0 : slash + 1);
        SymSetSearchPathW(Session(), searched.c_str());
        read_ = SymLoadModuleExW(Session(), image_, name.c_str(), nullptr, base_,
                                 static_cast<DWORD>(size), nullptr, 0) != 0;
    }
    ~File() {
        if (read_) {
            SymUnloadModule64(Session(), base_);
        }
        if (image_ != INVALID_HANDLE_VALUE) {
            CloseHandle(image_);
        }
    }
    File(const File&) = delete;
    File& operator=(const File&) = delete;

    bool Read() const { return read_; }

    // The frame whose return address is `offset` into the module, named once.
    const Named& Name(std::uint64_t offset) {
        const auto [at, added] = named_.try_emplace(offset);
        if (added && offset != 0) {
            Look(base_ + offset - 1, at->second);
        }
        return at->second;
    }

private:
    void Look(std::uint64_t call, Named& named) const {
        constexpr ULONG kLongest = 1024;
        alignas(
            SYMBOL_INFOW) unsigned char storage[sizeof(SYMBOL_INFOW) + kLongest * sizeof(wchar_t)];
        auto* symbol = reinterpret_cast<SYMBOL_INFOW*>(storage);
        symbol->SizeOfStruct = sizeof(SYMBOL_INFOW);
        symbol->MaxNameLen = kLongest;
        DWORD64 displacement = 0;
        if (SymFromAddrW(Session(), call, &displacement, symbol)) {
            named.systemName = Utf8(symbol->Name);
            named.function = Demangled(named.systemName.c_str());
        }
        IMAGEHLP_LINEW64 line{};
        line.SizeOfStruct = sizeof line;
        DWORD column = 0;
        if (SymGetLineFromAddrW64(Session(), call, &column, &line) && line.FileName != nullptr) {
            named.file = Utf8(line.FileName);
            named.line = static_cast<int>(line.LineNumber);
        }
    }

    std::uint64_t base_ = 0;
    HANDLE image_ = INVALID_HANDLE_VALUE;
    bool read_ = false;
    std::unordered_map<std::uint64_t, Named> named_;
};

namespace {

// The module's file when it is there with the CodeView identity recorded and
// DbgHelp reads it; null otherwise. A module without a record is not read:
// nothing shows its file to be the one that was loaded.
std::unique_ptr<SymbolFiles::File> ReadFile(const Object& object) {
    std::string identity;
    bool namesPdb = false;
    if (object.path.empty() || object.buildId.empty() ||
        !FileIdentity(object.path, identity, namesPdb) || !SameHex(identity, object.buildId)) {
        return nullptr;
    }
    auto file =
        std::make_unique<SymbolFiles::File>(object.path, object.end - object.start, namesPdb);
    return file->Read() ? std::move(file) : nullptr;
}

} // namespace
#else
class SymbolFiles::File {
public:
    const Named& Name(std::uint64_t) { return none_; }

private:
    Named none_;
};

namespace {

std::unique_ptr<SymbolFiles::File> ReadFile(const Object&) {
    return nullptr;
}

} // namespace
#endif

struct SymbolFiles::Files {
    // By path and build id in lowercase; null for a file that is not there
    // with that build id, or could not be read.
    std::unordered_map<std::string, std::unique_ptr<File>> byKey;
};

SymbolFiles::File* SymbolFiles::Open(const Object& object) {
    std::string key = object.path + '\0';
    for (const char c : object.buildId) {
        key += c >= 'A' && c <= 'F' ? char(c - 'A' + 'a') : c;
    }
    const auto [at, added] = files_->byKey.try_emplace(key);
    if (added) {
        at->second = ReadFile(object);
    }
    return at->second.get();
}

SymbolFiles::SymbolFiles() : files_(std::make_unique<Files>()) {}
SymbolFiles::~SymbolFiles() = default;

Symbols::Symbols(const std::vector<Object>& objects)
    : objects_(objects), own_(std::make_unique<SymbolFiles>()) {
    for (const Object& object : objects_) {
        read_.push_back(own_->Open(object));
    }
}

Symbols::Symbols(const std::vector<Object>& objects, SymbolFiles& files) : objects_(objects) {
    for (const Object& object : objects_) {
        read_.push_back(files.Open(object));
    }
}

Symbols::~Symbols() = default;

bool Symbols::Read(std::size_t index) const {
    return index < read_.size() && read_[index] != nullptr;
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
    if (frame.object < 0) {
        return frame;
    }
    const auto index = static_cast<std::size_t>(frame.object);
    if (read_[index] == nullptr) {
        return frame;
    }
    // An address below base wraps to an offset that no segment of the file has.
    const Named& named = read_[index]->Name(address - objects_[index].base);
    frame.function = named.function;
    frame.systemName = named.systemName;
    frame.file = named.file;
    frame.line = named.line;
    return frame;
}

std::vector<Frame> Symbols::Stack(const std::vector<std::uint64_t>& stack) const {
    std::vector<Frame> frames;
    bool leading = true;
    for (const std::uint64_t address : stack) {
        const int object = ObjectOf(address);
        if (leading && object >= 0 &&
            OfTheLibrary(BaseName(objects_[static_cast<std::size_t>(object)].path))) {
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
        frame.object < 0 ? "" : EscapedPath(objects[static_cast<std::size_t>(frame.object)].path);
    if (frame.function.empty()) {
        // The offset is the address in the object's own terms: what addr2line
        // or a symbol server's tools take.
        return Hex(frame.address) +
               (frame.object < 0 ? ""
                                 : " (" + object + "+" +
                                       Hex(frame.address -
                                           objects[static_cast<std::size_t>(frame.object)].base) +
                                       ")");
    }
    if (frame.file.empty()) {
        return Escaped(frame.function) + " (" + object + ")";
    }
    return Escaped(frame.function) + " (" + EscapedPath(frame.file) + ":" +
           std::to_string(frame.line) + ")";
}

} // namespace dideverazez::report
