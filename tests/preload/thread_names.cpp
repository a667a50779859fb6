// Threads named every way a program names them, run through the preload
// library by thread (tests/preload/names.sh reads the report): by itself
// before its first heap call, by another thread after it (the way a server
// names its workers), with prctl, with a tab in its name, and not at all.
// Every thread holds a block of its own until all have allocated, so that
// each shows as a live thread.

#include <pthread.h>
#include <sys/prctl.h>

#include <atomic>
#include <cstdlib>
#include <thread>
#include <vector>

namespace {

std::atomic<int> gAllocated{0};
std::atomic<bool> gNamed{false};

void HoldABlock(int threads) {
    void* block = std::malloc(100);
    ++gAllocated;
    while (gAllocated.load() < threads) {
        std::this_thread::yield();
    }
    std::free(block);
}

} // namespace

int main() {
    constexpr int kThreads = 5;
    std::vector<std::thread> threads;
    threads.emplace_back([] {
        pthread_setname_np(pthread_self(), "self-named");
        HoldABlock(kThreads);
    });
    threads.emplace_back([] {
        std::free(std::malloc(10)); // counted under its first name
        while (!gNamed.load()) {
            std::this_thread::yield();
        }
        HoldABlock(kThreads);
    });
    pthread_setname_np(threads.back().native_handle(), "named-later");
    gNamed.store(true);
    threads.emplace_back([] {
        prctl(PR_SET_NAME, "with-prctl");
        HoldABlock(kThreads);
    });
    threads.emplace_back([] {
        pthread_setname_np(pthread_self(), "tab\there");
        HoldABlock(kThreads);
    });
    threads.emplace_back([] { HoldABlock(kThreads); });
    for (std::thread& thread : threads) {
        thread.join();
    }
    return 0;
}
