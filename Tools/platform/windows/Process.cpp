// The process on Windows: who it is, the processor time it spent, its
// environment, how it ends (Windows has no fork), and the system's last error.

#include "platform/Platform.h"

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <windows.h>

namespace dideverazez::platform {
namespace {

// FILETIME counts 100-nanosecond intervals; 10000 of them make a millisecond.
std::uint64_t Milliseconds(const FILETIME& time) {
    const ULARGE_INTEGER value{{time.dwLowDateTime, time.dwHighDateTime}};
    return value.QuadPart / 10000u;
}

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

void* CurrentProcess() {
    return ::GetCurrentProcess();
}

std::uint32_t CurrentProcessId() {
    return static_cast<std::uint32_t>(::GetCurrentProcessId());
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

const char* TrustedEnvironment(const char* name) {
    return std::getenv(name);
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

bool ProcessEnding() {
    return gProcessEnding.load() || (gShutdownInProgress != nullptr && gShutdownInProgress());
}

void NoteProcessEnding() {
    gProcessEnding.store(true);
}

void OfferExitHook(void (*)()) {}

bool ThisCopyServes() {
    return true;
}

void KeepModuleLoaded() {
    HMODULE module = nullptr;
    ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                         reinterpret_cast<LPCWSTR>(&KeepModuleLoaded), &module);
}

void OnFork(void (*)(), void (*)(), void (*)()) {}

const char* LastError() {
    thread_local char text[32];
    std::snprintf(text, sizeof text, "error %lu", static_cast<unsigned long>(::GetLastError()));
    return text;
}

} // namespace dideverazez::platform
