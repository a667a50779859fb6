// Threads of the library's own and the lock hint, on POSIX systems.

#include "platform/Platform.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <pthread.h>
#include <signal.h>

namespace dideverazez::platform {
namespace {

extern "C" void* RunThread(void* entry) {
    const auto* run = static_cast<const Thread::Entry*>(entry);
    run->body(run->argument);
    return nullptr;
}

} // namespace

static_assert(sizeof(pthread_t) <= sizeof(std::uint64_t));

bool Thread::Start(void (*body)(void*), void* argument) {
    entry_ = {body, argument};
    sigset_t all, before;
    sigfillset(&all);
    ::pthread_sigmask(SIG_SETMASK, &all, &before); // the new thread starts with this mask
    pthread_t thread{};
    const int error = ::pthread_create(&thread, nullptr, RunThread, &entry_);
    ::pthread_sigmask(SIG_SETMASK, &before, nullptr);
    if (error != 0) {
        errno = error;
        return false;
    }
    std::memcpy(&id_, &thread, sizeof thread);
    started_ = true;
    return true;
}

void Thread::Join() {
    if (started_) {
        pthread_t thread{};
        std::memcpy(&thread, &id_, sizeof thread);
        ::pthread_join(thread, nullptr);
        started_ = false;
    }
}

bool LooksHeld(std::mutex& mutex) noexcept {
#if defined(__GLIBC__)
    // std::mutex is a pthread_mutex_t of the default kind, whose lock word is
    // 0 while it is free and 1 or 2 while it is held.
    return __atomic_load_n(&mutex.native_handle()->__data.__lock, __ATOMIC_RELAXED) != 0;
#else
    (void)mutex;
    return false;
#endif
}

} // namespace dideverazez::platform
