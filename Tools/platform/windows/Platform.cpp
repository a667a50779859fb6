// Windows implementation of the platform layer.

#include "platform/Platform.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
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

void RemoveFile(const char* path) {
    if (KindOfPath(path) == PathKind::Regular) {
        ::DeleteFileA(path);
    }
}

void ProgramName(char* buffer, std::size_t size) {
    char path[MAX_PATH + 1];
    const DWORD length = ::GetModuleFileNameA(nullptr, path, MAX_PATH);
    path[length <= MAX_PATH ? length : 0] = '\0';
    const char* name = path;
    for (const char* c = path; *c != '\0'; ++c) {
        if (*c == '\\' || *c == '/') {
            name = c + 1;
        }
    }
    // Without ".exe", as the program is started by name and as POSIX names it.
    std::size_t kept = std::strlen(name);
    if (kept > 4 && _stricmp(name + kept - 4, ".exe") == 0) {
        kept -= 4;
    }
    std::snprintf(buffer, size, "%.*s", static_cast<int>(kept), name);
}

void OfferExitHook(void (*)()) {}

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

namespace {

std::atomic<bool> gProcessEnding{false};

// ntdll's answer is true from the start of a process's end, while the modules
// loaded after this one are detached (their handles destroyed), before this
// module's own detach notes it.
using ShutdownQuery = BOOLEAN(WINAPI*)();
const ShutdownQuery gShutdownInProgress = [] {
    const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr ? reinterpret_cast<ShutdownQuery>(reinterpret_cast<void (*)()>(
                                  ::GetProcAddress(ntdll, "RtlDllShutdownInProgress")))
                            : nullptr;
}();

} // namespace

bool ProcessEnding() {
    return gProcessEnding.load() || (gShutdownInProgress != nullptr && gShutdownInProgress());
}

bool LooksHeld(std::mutex&) noexcept {
    return false; // winpthreads keeps its mutex behind a pointer: only tried
}

void NoteProcessEnding() {
    gProcessEnding.store(true);
}

void KeepModuleLoaded() {
    HMODULE module = nullptr;
    ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                         reinterpret_cast<LPCWSTR>(&KeepModuleLoaded), &module);
}

const char* LastError() {
    thread_local char text[32];
    std::snprintf(text, sizeof text, "error %lu", static_cast<unsigned long>(::GetLastError()));
    return text;
}

// ---------------------------------------------------------------------------
// Threads; Windows has no fork

namespace {

struct ThreadStart {
    void (*body)(void*);
    void* argument;
};

DWORD WINAPI RunThread(LPVOID start) {
    const ThreadStart run = *static_cast<ThreadStart*>(start);
    delete static_cast<ThreadStart*>(start);
    run.body(run.argument);
    return 0;
}

} // namespace

bool Thread::Start(void (*body)(void*), void* argument) {
    auto* start = new (std::nothrow) ThreadStart{body, argument};
    const HANDLE thread =
        start != nullptr ? ::CreateThread(nullptr, 0, RunThread, start, 0, nullptr) : nullptr;
    if (thread == nullptr) {
        delete start;
        return false;
    }
    id_ = reinterpret_cast<std::uintptr_t>(thread);
    started_ = true;
    return true;
}

void Thread::Join() {
    if (started_) {
        const auto thread = reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(id_));
        ::WaitForSingleObject(thread, INFINITE);
        ::CloseHandle(thread);
        started_ = false;
    }
}

void OnFork(void (*)(), void (*)(), void (*)()) {}

int CaptureStack(void** frames, int capacity) noexcept {
    // The call itself is not one of the frames.
    return RtlCaptureStackBackTrace(1, static_cast<DWORD>(capacity), frames, nullptr);
}

// Addresses only: the report tool resolves no Windows module yet.
void ForEachLoadedObject(void (*)(void*, const LoadedObject&), void*) {}

// ---------------------------------------------------------------------------
// Requests for a report

namespace {

struct Events {
    HANDLE request = nullptr, stop = nullptr;
};

} // namespace

void ReportRequests::SocketPath(char* buffer, std::size_t size, std::uint32_t) {
    if (size > 0) {
        buffer[0] = '\0';
    }
}

bool ReportRequests::Open(bool) {
    auto* events = new Events;
    const std::wstring name =
        L"Local\\dideverazez-report-" + std::to_wstring(::GetCurrentProcessId());
    events->request = ::CreateEventW(nullptr, FALSE, FALSE, name.c_str());
    events->stop = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    state_ = events;
    listening_ = events->request != nullptr;
    if (events->stop == nullptr) {
        std::fprintf(stderr, "dideverazez: cannot make an event: %s; reports at exit only\n",
                     LastError());
        Close();
        return false;
    }
    return true;
}

void ReportRequests::Close() {
    auto* events = static_cast<Events*>(state_);
    if (events == nullptr) {
        return;
    }
    for (HANDLE event : {events->request, events->stop}) {
        if (event != nullptr) {
            ::CloseHandle(event);
        }
    }
    delete events;
    state_ = nullptr;
    listening_ = false;
}

void ReportRequests::Abandon() {
    Close();
    stopped_.store(false);
}

ReportRequests::~ReportRequests() {
    Close();
}

bool ReportRequests::Wait(std::int64_t timeoutMs) {
    auto* events = static_cast<Events*>(state_);
    if (stopped_.load() || events == nullptr) {
        return false;
    }
    const HANDLE both[] = {events->stop, events->request};
    // INFINITE is 0xFFFFFFFF: a longer interval is cut just short of it.
    const DWORD timeout = timeoutMs < 0                         ? INFINITE
                          : timeoutMs >= std::int64_t{INFINITE} ? INFINITE - 1
                                                                : static_cast<DWORD>(timeoutMs);
    return ::WaitForMultipleObjects(events->request != nullptr ? 2 : 1, both, FALSE, timeout) ==
               WAIT_OBJECT_0 + 1 &&
           !stopped_.load();
}

void ReportRequests::Answer(const char*, std::size_t) {}

void ReportRequests::Stop() {
    stopped_.store(true);
    if (auto* events = static_cast<Events*>(state_); events != nullptr && events->stop != nullptr) {
        ::SetEvent(events->stop);
    }
}

} // namespace dideverazez::platform
