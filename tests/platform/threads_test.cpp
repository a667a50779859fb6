// Threads and locks (Tools/platform/*/Threads.cpp). Which test owns which
// rule:
//  - Platform.AThreadRunsAndIsJoinedOnce: the library's own threads.
//  - Platform.AForkedChildLetsGoOfItsParentsThread: Thread::Forget.
//  - Platform.LooksHeldWhileAnyThreadHoldsTheMutex: the tree lock's peek.
// Threads on shared trees: concurrency_stress_test.cpp (reliability).

#include "platform/Platform.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>

#if !defined(_WIN32)
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {

namespace platform = dideverazez::platform;

// A thread runs its function once and is joined; one never started, or
// joined already, is not started and joining it does nothing.
TEST(Platform, AThreadRunsAndIsJoinedOnce) {
    platform::Thread never;
    EXPECT_FALSE(never.Started());
    never.Join();
    platform::Thread thread;
    bool ran = false;
    ASSERT_TRUE(thread.Start([](void* flag) { *static_cast<bool*>(flag) = true; }, &ran));
    EXPECT_TRUE(thread.Started());
    thread.Join();
    EXPECT_TRUE(ran);
    EXPECT_FALSE(thread.Started());
    thread.Join(); // none started: nothing
}

#if !defined(_WIN32)
// A forked child has none of its parent's threads: it lets go of a running
// one, which then reads as not started and is not waited for.
TEST(Platform, AForkedChildLetsGoOfItsParentsThread) {
    struct Gate {
        std::atomic<bool> running{false};
        std::mutex held;
    } gate;
    gate.held.lock();
    platform::Thread thread;
    ASSERT_TRUE(thread.Start(
        [](void* argument) {
            auto& gate = *static_cast<Gate*>(argument);
            gate.running.store(true);
            const std::lock_guard<std::mutex> wait(gate.held);
        },
        &gate));
    // Forked once the thread runs, so that the child holds nothing of its
    // start (memcheck checks the child's heap too).
    while (!gate.running.load()) {
        std::this_thread::yield();
    }
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        thread.Forget();
        const bool started = thread.Started();
        thread.Join(); // would wait for ever for a thread the child does not have
        ::_exit(started ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    gate.held.unlock();
    thread.Join();
}
#endif

// The tree lock's waiters read whether a mutex is held without taking it: on
// glibc the lock word tells, held by this thread or another; elsewhere the
// answer is always "not held", which makes a waiter try the lock instead.
TEST(Platform, LooksHeldWhileAnyThreadHoldsTheMutex) {
#if defined(__GLIBC__)
    constexpr bool kReadable = true;
#else
    constexpr bool kReadable = false;
#endif
    std::mutex mutex;
    EXPECT_FALSE(platform::LooksHeld(mutex));
    mutex.lock();
    EXPECT_EQ(platform::LooksHeld(mutex), kReadable);
    bool seenByOther = false;
    std::thread([&] { seenByOther = platform::LooksHeld(mutex); }).join();
    EXPECT_EQ(seenByOther, kReadable);
    mutex.unlock();
    EXPECT_FALSE(platform::LooksHeld(mutex));
}

} // namespace
