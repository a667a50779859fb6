// The process on POSIX systems: who it is, the processor time it spent, its
// environment, how it ends and forks, and the system's last error.

#include "platform/Platform.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

namespace dideverazez::platform {
namespace {

std::uint64_t Milliseconds(const timeval& time) {
    return static_cast<std::uint64_t>(time.tv_sec) * 1000u +
           static_cast<std::uint64_t>(time.tv_usec) / 1000u;
}

} // namespace

void* CurrentProcess() {
    return nullptr;
}

std::uint32_t CurrentProcessId() {
    return static_cast<std::uint32_t>(::getpid());
}

void ProgramName(char* buffer, std::size_t size) {
    // Read once, on the first call (the reporter's, as the library loads): a
    // server may later write its status over its arguments, where glibc's
    // program_invocation_short_name points.
    static const struct Name {
        char text[256];
        Name() { std::snprintf(text, sizeof text, "%s", program_invocation_short_name); }
    } name;
    std::snprintf(buffer, size, "%s", name.text);
}

const char* TrustedEnvironment(const char* name) {
    return ::secure_getenv(name);
}

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

bool ProcessEnding() {
    return false;
}

void NoteProcessEnding() {}

// The preload library's own symbol: where it resolves, the preload is loaded.
constexpr const char* kPreloadHook = "dideverazez_preload_set_exit_hook";

void OfferExitHook(void (*write)()) {
    using SetHook = void (*)(void (*)());
    if (auto set = reinterpret_cast<SetHook>(::dlsym(RTLD_DEFAULT, kPreloadHook))) {
        set(write);
    }
}

bool ThisCopyServes() {
    void* hook = ::dlsym(RTLD_DEFAULT, kPreloadHook);
    Dl_info preload{};
    Dl_info own{};
    return hook == nullptr || ::dladdr(hook, &preload) == 0 ||
           ::dladdr(reinterpret_cast<void*>(&ThisCopyServes), &own) == 0 ||
           preload.dli_fbase == own.dli_fbase;
}

void KeepModuleLoaded() {}

void OnFork(void (*prepare)(), void (*parent)(), void (*child)()) {
    ::pthread_atfork(prepare, parent, child);
}

const char* LastError() {
    return std::strerror(errno);
}

} // namespace dideverazez::platform
