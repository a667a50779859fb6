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
#include <unwind.h>

namespace dideverazez::platform {
namespace {

std::uint64_t Milliseconds(const timeval& time) {
    return static_cast<std::uint64_t>(time.tv_sec) * 1000u +
           static_cast<std::uint64_t>(time.tv_usec) / 1000u;
}

_Unwind_Reason_Code StopAtOnce(_Unwind_Context*, void*) {
    return _URC_END_OF_STACK;
}

// libgcc fills its table of register sizes on its first unwind, and aborts when
// a personality routine sets a register before then. The preload library links
// its own copy of libgcc while the program's C++ runtime uses libgcc_s, and an
// exception may cross between them either way: the copy this file is linked
// with unwinds once as the library loads, before any exception can cross.
__attribute__((constructor)) void FillUnwinderTable() {
    _Unwind_Backtrace(StopAtOnce, nullptr);
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
    if (hook == nullptr) {
        return true;
    }
#if defined(DLFO_STRUCT_HAS_EH_DBASE) // glibc 2.35: no search of a symbol table
    dl_find_object preload{};
    dl_find_object own{};
    return ::_dl_find_object(hook, &preload) != 0 ||
           ::_dl_find_object(reinterpret_cast<void*>(&ThisCopyServes), &own) != 0 ||
           preload.dlfo_link_map == own.dlfo_link_map;
#else
    Dl_info preload{};
    Dl_info own{};
    return ::dladdr(hook, &preload) == 0 ||
           ::dladdr(reinterpret_cast<void*>(&ThisCopyServes), &own) == 0 ||
           preload.dli_fbase == own.dli_fbase;
#endif
}

void KeepModuleLoaded() {}

void OnFork(void (*prepare)(), void (*parent)(), void (*child)()) {
    ::pthread_atfork(prepare, parent, child);
}

const char* LastError() {
    return std::strerror(errno);
}

} // namespace dideverazez::platform
