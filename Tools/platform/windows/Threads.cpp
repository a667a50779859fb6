// Threads of the library's own and the lock hint, on Windows.

#include "platform/Platform.h"

#include <cstdint>
#include <new>
#include <windows.h>

namespace dideverazez::platform {
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

bool LooksHeld(std::mutex&) noexcept {
    return false; // winpthreads keeps its mutex behind a pointer: only tried
}

} // namespace dideverazez::platform
