// Threads of the library's own and the lock hint, on Windows.

#include "platform/Platform.h"

#include <cstdint>
#include <windows.h>

namespace dideverazez::platform {
namespace {

DWORD WINAPI RunThread(LPVOID entry) {
    const auto* run = static_cast<const Thread::Entry*>(entry);
    run->body(run->argument);
    return 0;
}

} // namespace

bool Thread::Start(void (*body)(void*), void* argument) {
    entry_ = {body, argument};
    const HANDLE thread = ::CreateThread(nullptr, 0, RunThread, &entry_, 0, nullptr);
    if (thread == nullptr) {
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

bool LooksHeld(std::mutex&) noexcept {
    return false; // winpthreads keeps its mutex behind a pointer: only tried
}

} // namespace dideverazez::platform
