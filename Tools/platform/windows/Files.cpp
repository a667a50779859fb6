// Report files on Windows: the default path, what is at a path, whole and
// appended writes, the check before writing, and removal.

#include "platform/Platform.h"

#include <cstddef>
#include <cstdio>
#include <string>
#include <windows.h>

namespace dideverazez::platform {
namespace {

bool WriteNew(const std::wstring& path, const char* text, std::size_t size, DWORD disposition,
              DWORD access) {
    const HANDLE file =
        ::CreateFileW(path.c_str(), access, FILE_SHARE_READ, nullptr, disposition,
                      FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    DWORD written = 0;
    const BOOL ok = ::WriteFile(file, text, static_cast<DWORD>(size), &written, nullptr);
    ::CloseHandle(file);
    return ok && written == size;
}

std::wstring Wide(const char* path) {
    const int n = ::MultiByteToWideChar(CP_UTF8, 0, path, -1, nullptr, 0);
    std::wstring wide(n > 0 ? static_cast<std::size_t>(n) : 1, L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, path, -1, wide.data(), n);
    wide.resize(wide.size() - 1);
    return wide;
}

std::wstring TemporaryName(const std::wstring& target) {
    return target + L"." + std::to_wstring(::GetCurrentProcessId()) + L".tmp";
}

} // namespace

void ReportPath(char* buffer, std::size_t size) {
    std::snprintf(buffer, size, "c:\\allocator_%d.txt", static_cast<int>(CurrentProcessId()));
}

PathKind KindOfPath(const char* path) {
    const DWORD attributes = ::GetFileAttributesW(Wide(path).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = ::GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? PathKind::Absent
                                                                              : PathKind::Other;
    }
    return (attributes &
            (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE)) == 0
               ? PathKind::Regular
               : PathKind::Other;
}

bool WriteWholeFile(const char* path, const char* text, std::size_t size) {
    if (KindOfPath(path) == PathKind::Other) {
        return false;
    }
    const std::wstring target = Wide(path);
    const std::wstring temporary = TemporaryName(target);
    ::DeleteFileW(temporary.c_str());
    if (!WriteNew(temporary, text, size, CREATE_NEW, GENERIC_WRITE)) {
        return false;
    }
    if (!::MoveFileExW(temporary.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        ::DeleteFileW(temporary.c_str());
        return false;
    }
    return true;
}

bool AppendToFile(const char* path, const char* text, std::size_t size) {
    return KindOfPath(path) != PathKind::Other &&
           WriteNew(Wide(path), text, size, OPEN_ALWAYS, FILE_APPEND_DATA);
}

bool CanWriteFile(const char* path, bool append) {
    if (append) {
        return WriteNew(Wide(path), "", 0, OPEN_ALWAYS, FILE_APPEND_DATA);
    }
    const std::wstring temporary = TemporaryName(Wide(path));
    ::DeleteFileW(temporary.c_str());
    if (!WriteNew(temporary, "", 0, CREATE_NEW, GENERIC_WRITE)) {
        return false;
    }
    ::DeleteFileW(temporary.c_str());
    return true;
}

void RemoveFile(const char* path) {
    if (KindOfPath(path) == PathKind::Regular) {
        ::DeleteFileA(path);
    }
}

} // namespace dideverazez::platform
