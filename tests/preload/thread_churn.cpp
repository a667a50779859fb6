// Many short-lived threads, a few alive at a time, each allocating and freeing
// small blocks (and, when asked, leaking a few): the shape that makes an
// allocator with per-thread state keep the state of every thread ever made.
// Run plainly and under the preload library by tests/preload/churn.sh and
// bench/churn.sh, which compare peak memory, time and the snapshot's size.
//
//   thread_churn THREADS ALIVE BYTES [LEAK [KEPT]]
//
// THREADS threads in all, ALIVE at a time; each allocates blocks of 16 to 512
// bytes adding up to BYTES, keeping the last KEPT (64 by default; 0 keeps them
// all) and freeing the rest as it goes, then frees those; LEAK bytes of each
// thread's blocks are never freed.
// Prints one line that depends on the arguments alone, and its peak resident
// set on standard error ("peak KiB N").

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <sys/resource.h>
#include <thread>
#include <vector>

namespace {

std::uint64_t Work(std::uint64_t seed, std::uint64_t bytes, std::uint64_t leak, std::size_t keep) {
    std::vector<void*> kept(keep != 0 ? keep : bytes / 16 + 1);
    std::uint64_t sum = 0, state = seed * 0x9E3779B97F4A7C15u + 1;
    for (std::uint64_t done = 0, i = 0; done < bytes; ++i) {
        state ^= state << 13, state ^= state >> 7, state ^= state << 17;
        const std::size_t size = 16 + state % 497;
        auto* block = static_cast<unsigned char*>(std::malloc(size));
        block[0] = static_cast<unsigned char>(i);
        sum += block[0];
        std::free(kept[i % kept.size()]);
        kept[i % kept.size()] = block;
        done += size;
    }
    for (std::uint64_t left = leak; left >= 16; left -= 16) {
        static_cast<unsigned char*>(std::malloc(16))[0] = 1; // never freed
    }
    for (void* block : kept) {
        std::free(block);
    }
    return sum;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fputs("usage: thread_churn THREADS ALIVE BYTES [LEAK [KEPT]]\n", stderr);
        return 2;
    }
    const std::uint64_t threads = std::strtoull(argv[1], nullptr, 10);
    const std::uint64_t alive = std::strtoull(argv[2], nullptr, 10);
    const std::uint64_t bytes = std::strtoull(argv[3], nullptr, 10);
    const std::uint64_t leak = argc > 4 ? std::strtoull(argv[4], nullptr, 10) : 0;
    const std::size_t keep = argc > 5 ? std::strtoull(argv[5], nullptr, 10) : 64;
    std::deque<std::thread> running;
    std::deque<std::uint64_t> sums(threads);
    for (std::uint64_t t = 0; t < threads; ++t) {
        if (running.size() == alive) {
            running.front().join();
            running.pop_front();
        }
        running.emplace_back(
            [&sums, t, bytes, leak, keep] { sums[t] = Work(t, bytes, leak, keep); });
    }
    for (std::thread& thread : running) {
        thread.join();
    }
    std::uint64_t total = 0;
    for (const std::uint64_t sum : sums) {
        total += sum;
    }
    std::printf("%llu threads, %llu at a time: %llu\n", static_cast<unsigned long long>(threads),
                static_cast<unsigned long long>(alive), static_cast<unsigned long long>(total));
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::fprintf(stderr, "peak KiB %ld\n", usage.ru_maxrss);
    return 0;
}
