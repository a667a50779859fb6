// A process that ends while another of its threads allocates without pause:
// on Windows that thread is stopped wherever it is, perhaps holding its tree's
// lock, and so is the reporter's thread, perhaps holding the lock of the
// handles' registry, before the library's last snapshot and its own end. Run
// with DIDEVERAZEZ_REPORT set; the process must end (a hang is the failure),
// with its report written, or on standard error the reason it was not.

#include "handle/dideverazez.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

int main() {
    auto* busy = new zu_allocator("Busy"); // never destroyed: the thread runs to the end
    static std::atomic<bool> started{false};
    std::thread([busy] {
        for (unsigned i = 0;; ++i) {
            zu_free(zu_alloc(16 + i % 2000, busy, "busy"), nullptr);
            started.store(true, std::memory_order_relaxed);
        }
    }).detach();
    while (!started.load()) {
        std::this_thread::yield();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    std::puts("main returns");
    return 0;
}
