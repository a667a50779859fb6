// Windows implementation of the platform layer.

#include "platform/Platform.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <windows.h>

namespace dideverazez::platform {
namespace {

// FILETIME counts 100-nanosecond intervals; 10000 of them make a millisecond.
std::uint64_t Milliseconds(const FILETIME& time) {
    const ULARGE_INTEGER value{{time.dwLowDateTime, time.dwHighDateTime}};
    return value.QuadPart / 10000u;
}

} // namespace

void* CurrentProcess() {
    return ::GetCurrentProcess();
}

std::uint32_t CurrentProcessId() {
    return static_cast<std::uint32_t>(::GetCurrentProcessId());
}

bool ProcessTimes(void* process, std::uint64_t& userMs, std::uint64_t& kernelMs) {
    FILETIME creation{}, exit{}, kernel{}, user{};
    if (!::GetProcessTimes(static_cast<HANDLE>(process), &creation, &exit, &kernel, &user)) {
        userMs = 0;
        kernelMs = 0;
        return false;
    }
    userMs = Milliseconds(user);
    kernelMs = Milliseconds(kernel);
    return true;
}

void ReportPath(char* buffer, std::size_t size) {
    std::snprintf(buffer, size, "c:\\allocator_%d.txt", static_cast<int>(CurrentProcessId()));
}

const char* TrustedEnvironment(const char* name) {
    return std::getenv(name);
}

namespace {

bool WriteNew(const std::wstring& path, const std::string& text, DWORD disposition, DWORD access) {
    const HANDLE file =
        ::CreateFileW(path.c_str(), access, FILE_SHARE_READ, nullptr, disposition,
                      FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    DWORD written = 0;
    const BOOL ok =
        ::WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    ::CloseHandle(file);
    return ok && written == text.size();
}

std::wstring Wide(const char* path) {
    const int n = ::MultiByteToWideChar(CP_UTF8, 0, path, -1, nullptr, 0);
    std::wstring wide(n > 0 ? static_cast<std::size_t>(n) : 1, L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, path, -1, wide.data(), n);
    wide.resize(wide.size() - 1);
    return wide;
}

} // namespace

bool WriteWholeFile(const char* path, const std::string& text) {
    const std::wstring target = Wide(path);
    const std::wstring temporary =
        target + L"." + std::to_wstring(::GetCurrentProcessId()) + L".tmp";
    ::DeleteFileW(temporary.c_str());
    if (!WriteNew(temporary, text, CREATE_NEW, GENERIC_WRITE)) {
        return false;
    }
    if (!::MoveFileExW(temporary.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        ::DeleteFileW(temporary.c_str());
        return false;
    }
    return true;
}

bool AppendToFile(const char* path, const std::string& text) {
    return WriteNew(Wide(path), text, OPEN_ALWAYS, FILE_APPEND_DATA);
}

std::string LastError() {
    return "error " + std::to_string(::GetLastError());
}

namespace {

struct Events {
    HANDLE request = nullptr, stop = nullptr;
};

} // namespace

ReportRequests::ReportRequests() {
    auto* events = new Events;
    const std::wstring name =
        L"Local\\dideverazez-report-" + std::to_wstring(::GetCurrentProcessId());
    events->request = ::CreateEventW(nullptr, FALSE, FALSE, name.c_str());
    events->stop = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    state_ = events;
    listening_ = events->request != nullptr;
}

ReportRequests::~ReportRequests() {
    auto* events = static_cast<Events*>(state_);
    for (HANDLE event : {events->request, events->stop}) {
        if (event != nullptr) {
            ::CloseHandle(event);
        }
    }
    delete events;
}

bool ReportRequests::Wait(std::int64_t timeoutMs) {
    auto* events = static_cast<Events*>(state_);
    if (stopped_.load() || events->stop == nullptr) {
        return false;
    }
    const HANDLE both[] = {events->stop, events->request};
    const DWORD timeout = timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs);
    return ::WaitForMultipleObjects(events->request != nullptr ? 2 : 1, both, FALSE, timeout) ==
               WAIT_OBJECT_0 + 1 &&
           !stopped_.load();
}

void ReportRequests::Stop() {
    stopped_.store(true);
    if (auto* events = static_cast<Events*>(state_); events->stop != nullptr) {
        ::SetEvent(events->stop);
    }
}

} // namespace dideverazez::platform
