// POSIX implementation of the platform layer.

#include "platform/Platform.h"

#include <cstdio>
#include <sys/resource.h>
#include <unistd.h>

namespace dideverazez::platform {
namespace {

std::uint64_t Milliseconds(const timeval& time) {
    return static_cast<std::uint64_t>(time.tv_sec) * 1000u +
           static_cast<std::uint64_t>(time.tv_usec) / 1000u;
}

} // namespace

void* CurrentProcess() { return nullptr; }

std::uint32_t CurrentProcessId() { return static_cast<std::uint32_t>(::getpid()); }

bool ProcessTimes(void*, std::uint64_t& userMs, std::uint64_t& kernelMs) {
    rusage usage{};
    if (::getrusage(RUSAGE_SELF, &usage) != 0) {
        userMs = 0;
        kernelMs = 0;
        return false;
    }
    userMs = Milliseconds(usage.ru_utime);
    kernelMs = Milliseconds(usage.ru_stime);
    return true;
}

void ReportPath(char* buffer, std::size_t size) {
    std::snprintf(buffer, size, "/tmp/allocator_%d.txt", static_cast<int>(CurrentProcessId()));
}

} // namespace dideverazez::platform
