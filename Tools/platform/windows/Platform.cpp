// Windows implementation of the platform layer.

#include "platform/Platform.h"

#include <cstdio>
#include <windows.h>

namespace dideverazez::platform {
namespace {

// FILETIME counts 100-nanosecond intervals; 10000 of them make a millisecond.
std::uint64_t Milliseconds(const FILETIME& time) {
    const ULARGE_INTEGER value{{time.dwLowDateTime, time.dwHighDateTime}};
    return value.QuadPart / 10000u;
}

} // namespace

void* CurrentProcess() { return ::GetCurrentProcess(); }

std::uint32_t CurrentProcessId() { return static_cast<std::uint32_t>(::GetCurrentProcessId()); }

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

} // namespace dideverazez::platform
