// The modules loaded in the process, on Windows: what turns a sampled address
// back into a module and an offset, and the identity under which a symbol
// server keeps the module's debug information.
//
// A module's headers are read with ReadProcessMemory, never through a
// pointer: another thread may unload a module between the listing and the
// read, and a read of memory no longer mapped then fails instead of faulting.

#include "platform/Platform.h"

#include <windows.h>
// windows.h first: psapi.h needs its types.
#include <psapi.h>

#include <cstdint>
#include <cstring>

namespace dideverazez::platform {
namespace {

constexpr std::size_t kMaxModules = 1024;
constexpr DWORD kMaxDebugEntries = 16;
constexpr DWORD kCodeViewSignature = 0x53445352; // "RSDS"

template <class T> bool ReadAt(std::uintptr_t address, T& value) {
    SIZE_T read = 0;
    return ReadProcessMemory(GetCurrentProcess(), reinterpret_cast<const void*>(address), &value,
                             sizeof value, &read) != 0 &&
           read == sizeof value;
}

void PutBigEndian(unsigned char* to, std::uint64_t value, int bytes) {
    for (int i = bytes - 1; i >= 0; --i, value >>= 8) {
        to[i] = static_cast<unsigned char>(value);
    }
}

struct Module {
    std::uint64_t size = 0;          // SizeOfImage: the whole image as mapped
    unsigned char identity[20] = {}; // the CodeView record's GUID, then its age
    std::size_t identitySize = 0;    // 0: no CodeView record
};

// The size and CodeView identity of the module mapped at `base`; false when
// its headers cannot be read (unloaded meanwhile) or are not a 64-bit image.
bool ReadModule(std::uintptr_t base, Module& module) {
    IMAGE_DOS_HEADER dos;
    IMAGE_NT_HEADERS64 nt;
    if (!ReadAt(base, dos) || dos.e_magic != IMAGE_DOS_SIGNATURE || dos.e_lfanew <= 0 ||
        !ReadAt(base + static_cast<std::uintptr_t>(dos.e_lfanew), nt) ||
        nt.Signature != IMAGE_NT_SIGNATURE ||
        nt.OptionalHeader.Magic != IMAGE_NT_OPTIONAL_HDR64_MAGIC) {
        return false;
    }
    module.size = nt.OptionalHeader.SizeOfImage;
    if (nt.OptionalHeader.NumberOfRvaAndSizes <= IMAGE_DIRECTORY_ENTRY_DEBUG) {
        return true;
    }
    const IMAGE_DATA_DIRECTORY& directory =
        nt.OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_DEBUG];
    const DWORD entries = directory.Size / sizeof(IMAGE_DEBUG_DIRECTORY);
    for (DWORD i = 0; i < entries && i < kMaxDebugEntries; ++i) {
        IMAGE_DEBUG_DIRECTORY entry;
        if (!ReadAt(base + directory.VirtualAddress + i * sizeof entry, entry)) {
            break;
        }
        // "RSDS", the GUID, the age; the PDB's path follows.
        struct {
            DWORD signature;
            GUID guid;
            DWORD age;
        } record;
        if (entry.Type != IMAGE_DEBUG_TYPE_CODEVIEW || entry.AddressOfRawData == 0 ||
            entry.SizeOfData < sizeof record || !ReadAt(base + entry.AddressOfRawData, record) ||
            record.signature != kCodeViewSignature) {
            continue;
        }
        // As a symbol server's key writes it: the GUID's three numbers, its
        // last eight bytes, then the age.
        PutBigEndian(module.identity, record.guid.Data1, 4);
        PutBigEndian(module.identity + 4, record.guid.Data2, 2);
        PutBigEndian(module.identity + 6, record.guid.Data3, 2);
        std::memcpy(module.identity + 8, record.guid.Data4, sizeof record.guid.Data4);
        PutBigEndian(module.identity + 16, record.age, 4);
        module.identitySize = sizeof module.identity;
        break;
    }
    return true;
}

} // namespace

void ForEachLoadedObject(void (*visit)(void* context, const LoadedObject& object), void* context) {
    HMODULE modules[kMaxModules];
    DWORD needed = 0;
    if (!K32EnumProcessModules(GetCurrentProcess(), modules, sizeof modules, &needed)) {
        return;
    }
    const std::size_t count = needed / sizeof(HMODULE) < kMaxModules
                                  ? needed / sizeof(HMODULE)
                                  : kMaxModules; // the first ones, the program among them
    for (std::size_t i = 0; i < count; ++i) {
        wchar_t wide[MAX_PATH * 4];
        const DWORD length = GetModuleFileNameW(modules[i], wide, MAX_PATH * 4);
        char path[MAX_PATH * 12];
        int bytes = 0;
        if (length > 0 && length < MAX_PATH * 4) {
            bytes = WideCharToMultiByte(CP_UTF8, 0, wide, static_cast<int>(length), path,
                                        sizeof path - 1, nullptr, nullptr);
        }
        path[bytes > 0 ? bytes : 0] = '\0'; // a path too long: the module by address alone
        const auto base = reinterpret_cast<std::uintptr_t>(modules[i]);
        Module module;
        if (length == 0 || !ReadModule(base, module)) {
            continue; // unloaded since it was listed
        }
        LoadedObject object{};
        object.Path = path;
        object.BuildId = module.identity;
        object.BuildIdSize = module.identitySize;
        object.Base = base;
        object.Start = base;
        object.End = base + module.size;
        object.Offset = 0;
        visit(context, object);
    }
}

} // namespace dideverazez::platform
