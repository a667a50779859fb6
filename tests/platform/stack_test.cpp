// Stacks (Tools/platform/*/Stack.cpp). Which test owns which rule:
//  - Platform.StacksAreTheCompilersUnwinders: frame for frame the stack the
//    compiler's unwinder takes, through frames addressed from rsp and from
//    rbp, through the C library, to the end of the main thread's stack and of
//    another thread's, and cut at the capacity; each from the rules kept.
//  - Platform.AStackTakenAgainReadsNoRule: a return address's rule is read
//    once, whichever thread meets it.
//  - Platform.ASignalFrameIsLeftToTheCompilersUnwinder: the stack of a signal
//    handler, whose caller's registers are in the signal's context.
//  - Platform.AStackEndsWhereItsThreadBegan (Windows): no frame past a null
//    return address, on the main thread and on another.
// The stacks of sampled blocks, from the handle's caller on, are the
// sampler's (sampler_test.cpp).

#include "platform/Platform.h"

#include <gtest/gtest.h>

#if defined(_WIN32)
#include <thread>
#else
#include <atomic>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <thread>
#include <unwind.h>
#include <vector>
#endif

namespace {

namespace platform = dideverazez::platform;

#if !defined(_WIN32)
constexpr int kCapacity = 128;

// The stack the compiler's unwinder takes from here, as CaptureStack took
// every stack before it kept rules.
[[gnu::noinline]] int CompilersStack(void** frames, int capacity) {
    struct Walk {
        void** frames;
        int capacity, count;
    } walk{frames, capacity, 0};
    _Unwind_Backtrace(
        [](_Unwind_Context* context, void* argument) {
            auto* w = static_cast<Walk*>(argument);
            const _Unwind_Ptr at = _Unwind_GetIP(context);
            if (at == 0 || w->count == w->capacity) {
                return _URC_END_OF_STACK;
            }
            w->frames[w->count++] = reinterpret_cast<void*>(at);
            return _URC_NO_REASON;
        },
        &walk);
    return walk.count;
}

// Both stacks, taken from one frame: from their third frames on (the first
// is in the function that took it, the second a different call here) they
// are the same frames.
struct Stacks {
    void* taken[kCapacity];
    void* reference[kCapacity];
    int takenCount, referenceCount;
};

[[gnu::noinline]] void TakeBoth(Stacks& stacks, int capacity) {
    stacks.takenCount = platform::CaptureStack(stacks.taken, capacity);
    stacks.referenceCount = CompilersStack(stacks.reference, capacity);
}

void ExpectSame(const Stacks& stacks, const char* shape) {
    ASSERT_EQ(stacks.takenCount, stacks.referenceCount) << shape;
    ASSERT_GT(stacks.takenCount, 3) << shape;
    for (int i = 2; i < stacks.takenCount; ++i) {
        EXPECT_EQ(stacks.taken[i], stacks.reference[i]) << shape << ", frame " << i;
    }
}

std::atomic<int> gSink{0}; // keeps the calls before it from being tail calls

// Frames addressed from rsp: a plain call chain.
[[gnu::noinline]] void Plain(Stacks& stacks, int depth, int capacity) {
    if (depth == 0) {
        TakeBoth(stacks, capacity);
    } else {
        Plain(stacks, depth - 1, capacity);
    }
    gSink.fetch_add(depth, std::memory_order_relaxed);
}

// Frames addressed from rbp: a frame of a size known only at run time.
[[gnu::noinline]] void Sized(Stacks& stacks, int depth) {
    auto* bytes = static_cast<volatile char*>(__builtin_alloca(16 + depth * 8));
    bytes[0] = static_cast<char>(depth);
    if (depth == 0) {
        TakeBoth(stacks, kCapacity);
    } else if (depth % 3 == 0) {
        Plain(stacks, 2, kCapacity);
    } else {
        Sized(stacks, depth - 1);
    }
    gSink.fetch_add(bytes[0], std::memory_order_relaxed);
}

// Through the C library's frames: qsort calls back.
Stacks* gSorted = nullptr;
[[gnu::noinline]] void ThroughTheCLibrary(Stacks& stacks) {
    gSorted = &stacks;
    int values[2] = {2, 1};
    std::qsort(values, 2, sizeof(int), [](const void* a, const void* b) {
        if (gSorted != nullptr) {
            Sized(*gSorted, 4);
            gSorted = nullptr;
        }
        return *static_cast<const int*>(a) - *static_cast<const int*>(b);
    });
    gSink.fetch_add(values[0], std::memory_order_relaxed);
}

TEST(Platform, StacksAreTheCompilersUnwinders) {
    const std::uint64_t leftBefore = platform::testing::StacksLeftToTheCompilersUnwinder();
    Stacks stacks;
    Plain(stacks, 30, kCapacity);
    ExpectSame(stacks, "plain");
    Sized(stacks, 10);
    ExpectSame(stacks, "sized");
    ThroughTheCLibrary(stacks);
    ExpectSame(stacks, "through qsort");
    Plain(stacks, 30, 7); // cut at the capacity
    EXPECT_EQ(stacks.takenCount, 7);
    ExpectSame(stacks, "cut");
    std::thread([&] { Sized(stacks, 7); }).join(); // to the end of another thread's stack
    ExpectSame(stacks, "another thread");
    EXPECT_EQ(platform::testing::StacksLeftToTheCompilersUnwinder(), leftBefore);
}

TEST(Platform, AStackTakenAgainReadsNoRule) {
    std::uint64_t read[2] = {};
    for (std::uint64_t& after : read) { // one call site: the same frames twice
        Stacks stacks;
        Sized(stacks, 9);
        ExpectSame(stacks, "sized");
        after = platform::testing::StackRulesRead();
    }
#if defined(__x86_64__)
    EXPECT_GT(read[0], 0u);
#endif
    EXPECT_EQ(read[1], read[0]);
    // Threads meeting the same frames at once: each takes the stack right.
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([] {
            for (int i = 0; i < 200; ++i) {
                Stacks stacks;
                Sized(stacks, 5 + i % 5);
                ExpectSame(stacks, "sized, four threads");
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
}

Stacks* gInHandler = nullptr;

TEST(Platform, ASignalFrameIsLeftToTheCompilersUnwinder) {
    Stacks stacks;
    gInHandler = &stacks;
    struct sigaction action = {}, old = {};
    action.sa_handler = [](int) { Plain(*gInHandler, 3, kCapacity); };
    sigemptyset(&action.sa_mask);
    ASSERT_EQ(::sigaction(SIGUSR1, &action, &old), 0);
    const std::uint64_t leftBefore = platform::testing::StacksLeftToTheCompilersUnwinder();
    std::raise(SIGUSR1);
    ::sigaction(SIGUSR1, &old, nullptr);
    ExpectSame(stacks, "in a signal handler");
#if defined(__x86_64__)
    EXPECT_EQ(platform::testing::StacksLeftToTheCompilersUnwinder(), leftBefore + 1);
#endif
}
#endif

#if defined(_WIN32)
// RtlCaptureStackBackTrace's walk goes on past the thread's first frame under
// Wine: the stack stops at its null return address, never with one in it.
TEST(Platform, AStackEndsWhereItsThreadBegan) {
    const auto take = [] {
        void* frames[128];
        const int count = platform::CaptureStack(frames, 128);
        EXPECT_GT(count, 1);
        for (int i = 0; i < count; ++i) {
            EXPECT_NE(frames[i], nullptr) << "frame " << i << " of " << count;
        }
    };
    take();
    std::thread(take).join();
}
#endif

} // namespace
