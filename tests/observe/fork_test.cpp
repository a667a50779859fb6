// Fork protection (Tools/observe/Fork.cpp). Which test owns which rule:
//  - Fork.AChildOfABusyProcessFindsEveryLockFree: every lock of the library
//    (registry, trees, samples) taken before a fork and released in both
//    processes, and the samples never half built in the child.
//  - Fork.WaitsForAStackBeingTaken: fork waits for a capture in progress
//    before it takes any lock; a sample taken meanwhile keeps no frames.
//  - Fork.ACaptureCountedAtTheForkIsNotTheChilds: the child does not count
//    its parent's captures, and forks in its turn; the parent counts it out.
// A reporter's socket and pipe in a forked child: Reporter.AForkedChildListensOnItsOwn
// and Reporter.AFailureIsReportedOnceAProcessForkedOrNot; forks of real programs
// through the preload: preload.forks.*.

#include "engines/kdideverazez_impl.h"
#include "observe/SampleStore.h"
#include "observe/Sampler.h"
#include "observe/StackCapture.h"
#include "platform/Platform.h"
#include "support/ObserveSupport.h" // handles recorded: a child meets the registry
#include "support/TestSupport.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <thread>

#if !defined(_WIN32)
#include <sys/wait.h>
#include <unistd.h>
#if __has_include(<valgrind/valgrind.h>)
#include <valgrind/valgrind.h>
#endif
#endif

namespace {

using namespace dideverazez::observe;
using namespace dideverazez::test;

#if !defined(_WIN32)
// A forked child's work: it builds a handle in `tree`, allocates and frees
// through it, and ends, killed by its alarm if that takes a minute. Ended by
// another program: what other threads held at the fork is lost to this copy
// of them, and memcheck, which does not follow the program, has no end of
// this one to count it at.
[[noreturn]] void InTheChild(zu_allocator& tree) {
    ::alarm(60);
    {
        zu_allocator mine(tree, "forked");
        zu_free(zu_alloc(64, &mine, "forked"), &mine);
    }
    ::alarm(0);
    ::execl("/bin/true", "true", static_cast<char*>(nullptr));
    ::_exit(0);
}

// A child forked while other threads allocate, free and build handles in a
// tree finds every lock the library takes free, and nothing half built: the
// first fork may come while a busy thread's first sample builds the samples.
// At once the child builds a handle in that tree and allocates and frees
// through it, sampled. A child still at it after a minute is ended by its
// alarm; the parent's wait has no deadline, because under memcheck the busy
// threads can keep the parent from running for seconds.
TEST(Fork, AChildOfABusyProcessFindsEveryLockFree) {
    dideverazez::observe::testing::SampleEvery(1);
    struct Busy {
        zu_allocator tree{"Busy"};
        std::atomic<bool> stop{false};
    } busy;
    // The platform's threads: what starts one is freed as it starts, so that
    // memcheck finds nothing of it left in a child.
    dideverazez::platform::Thread threads[2];
    for (auto& thread : threads) {
        ASSERT_TRUE(thread.Start(
            [](void* context) {
                auto& busy = *static_cast<Busy*>(context);
                while (!busy.stop.load()) {
                    zu_allocator child(busy.tree, "worker");
                    zu_free(zu_alloc(64, &child, "busy"), nullptr);
                }
            },
            &busy));
    }
    const auto forks = static_cast<int>(dideverazez::test::Scaled(100));
    for (int i = 0; i < forks; ++i) {
        const pid_t child = ::fork();
        if (child == 0) {
            InTheChild(busy.tree);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        if (WIFSIGNALED(status) && WTERMSIG(status) == SIGALRM) {
            ADD_FAILURE() << "fork " << i << ": the child waits on a lock held at the fork";
            break;
        }
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            ADD_FAILURE() << "fork " << i << ": the child ended with " << status;
            break;
        }
    }
    busy.stop.store(true);
    for (auto& thread : threads) {
        thread.Join();
    }
    dideverazez::observe::testing::SampleEvery(0);
}

// A block of `engine`, sampled as a handle's allocation is.
void* Sampled(allocator_impl& engine) {
    void* block = engine.Alloc(64, "sampled", nullptr);
    Sample(block, 64, engine, nullptr);
    return block;
}

// The next capture of a stack stops inside, where a fork waits for it, until
// let go: 1 while it is held, 2 once it may go on.
std::atomic<bool> gHoldNextCapture{false};
std::atomic<int> gCaptureHeld{0};
void HoldOneCapture() {
    if (gHoldNextCapture.exchange(false)) {
        gCaptureHeld.store(1);
        while (gCaptureHeld.load() != 2) {
            std::this_thread::yield();
        }
    }
}

// Fork waits for a stack being taken before it takes any lock (the unwinder
// holds the loader's lock, which a child would never get back), and a sample
// taken while it waits keeps no frames.
TEST(Fork, WaitsForAStackBeingTaken) {
    dideverazez::observe::testing::SampleEvery(1);
    dideverazez::observe::testing::InsideCaptures(HoldOneCapture);
    zu_allocator root("Capturing");
    gHoldNextCapture.store(true);
    std::thread capturing([&] { zu_free(zu_alloc(64, &root, "held"), nullptr); });
    while (gCaptureHeld.load() != 1) {
        std::this_thread::yield();
    }
    std::atomic<bool> forked{false};
    pid_t child = -1;
    std::thread forking([&] {
        child = ::fork();
        if (child == 0) {
            InTheChild(root);
        }
        forked.store(true);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(forked.load()) << "fork went on while a stack was being taken";
    zu_allocator during(root, "during");
    void* block = zu_alloc(64, &during, "during");
    SamplesCopy copy;
    ASSERT_TRUE(CopySamples(copy));
    const auto [site, end] =
        copy.SitesOf(reinterpret_cast<std::uintptr_t>(zu_allocator_access::Engine(during)));
    ASSERT_EQ(end - site, 1);
    EXPECT_EQ(copy.StackStarts[site->Stack + 1], copy.StackStarts[site->Stack]);
    gCaptureHeld.store(2);
    capturing.join();
    forking.join();
    int status = -1;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    zu_free(block, nullptr);
    dideverazez::observe::testing::InsideCaptures(nullptr);
    dideverazez::observe::testing::SampleEvery(0);
}

// A capture that begins once fork has stopped waiting (it keeps no frames)
// may still be counted when the child is made; the child, which lacks that
// thread, does not count it, and forks in its turn. Here a capture waits,
// counted, while fork holds the samples' lock. The capturing thread samples
// through an engine of no tree, whose allocation takes no lock that fork
// holds.
std::atomic<bool> gForkSeen{false};
void WaitWhileForkHoldsTheSamples() {
    SamplesCopy copy;
    for (int i = 0; i < 200 && !gForkSeen.load(); ++i) {
        if (!CopySamples(copy, false)) { // only fork takes the lock meanwhile
            gForkSeen.store(true);
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
    }
}

TEST(Fork, ACaptureCountedAtTheForkIsNotTheChilds) {
#if defined(RUNNING_ON_VALGRIND)
    if (RUNNING_ON_VALGRIND) {
        GTEST_SKIP() << "memcheck runs one thread at a time: fork's wait for a moment with no "
                        "capture counted takes minutes";
    }
#endif
    dideverazez::observe::testing::SampleEvery(1);
    allocator_none engine("no tree", nullptr, false);
    zu_free(Sampled(engine), nullptr); // the samples exist
    dideverazez::observe::testing::InsideCaptures(WaitWhileForkHoldsTheSamples);
    std::atomic<bool> stop{false};
    std::thread capturing([&] {
        while (!stop.load()) {
            zu_free(Sampled(engine), nullptr);
        }
    });
    int forks = 0;
    for (; forks < 100 && !gForkSeen.load() && !HasFailure(); ++forks) {
        const pid_t child = ::fork();
        if (child == 0) {
            // Its own fork waits for no capture; one that waits for a capture
            // this child lacks is ended by the alarm.
            ::alarm(30);
            const pid_t grandchild = ::fork();
            if (grandchild == 0) {
                ::_exit(0);
            }
            int status = -1;
            ::_exit(::waitpid(grandchild, &status, 0) == grandchild && WIFEXITED(status) ? 0 : 1);
        }
        int status = -1;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "fork " << forks;
    }
    stop.store(true);
    capturing.join();
    dideverazez::observe::testing::InsideCaptures(nullptr);
    dideverazez::observe::testing::SampleEvery(0);
    EXPECT_TRUE(gForkSeen.load()) << forks << " forks, none while a capture was counted";
    // The parent still counts that capture out when it ends: a fork now finds
    // none in progress (a count left wrong would keep it waiting; its alarm
    // ends the test).
    ::alarm(30);
    const pid_t last = ::fork();
    if (last == 0) {
        ::_exit(0);
    }
    ::alarm(0);
    int status = -1;
    EXPECT_EQ(::waitpid(last, &status, 0), last);
}
#endif

} // namespace
