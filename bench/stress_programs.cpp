// Unchanged programs that allocate hard, through plain malloc and free, for
// bench/programs.sh to run plainly and through the preload library beside the
// real programs. Each shape is one that makes allocators differ:
//
//   stress_programs loop|threads|larson|xmalloc|forks|spawn [SCALE]
//
//   loop     one thread replacing random blocks of 16-512 bytes among 1,000
//            live ones: what one malloc+free pair costs
//   threads  four threads doing `loop` on blocks of their own
//   larson   a server's churn: four threads replace random blocks of 8-1,000
//            bytes among 2,000 each; every round each thread ends and a new
//            one takes over its blocks, so that most frees are of blocks
//            another (ended) thread made
//   xmalloc  two threads make blocks of 16-256 bytes and hand them in batches
//            to two others, which free them: every free crosses threads
//   forks    500 children forked one after another while three threads of the
//            parent allocate; each child allocates, frees and exits
//   spawn    /bin/true started 200 times, one after another: what loading
//            the heap costs each process
//
// SCALE (1 by default) multiplies the work. Prints one line that depends on
// the arguments alone (a checksum of the blocks' sizes), so that a heap that
// loses or mixes up blocks shows.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

// Through a volatile pointer, so that no compiler pairs a malloc with its free
// and drops both.
void* (*volatile gMalloc)(std::size_t) = std::malloc;
void (*volatile gFree)(void*) = std::free;

void* Allocate(std::size_t bytes) {
    auto* block = static_cast<unsigned char*>(gMalloc(bytes));
    if (block == nullptr) {
        std::fprintf(stderr, "stress_programs: out of memory\n");
        std::exit(1);
    }
    block[0] = static_cast<unsigned char>(bytes);
    block[bytes - 1] = static_cast<unsigned char>(bytes);
    return block;
}

struct Random {
    std::uint64_t state;
    std::uint64_t Next() {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return state;
    }
    std::size_t Between(std::size_t low, std::size_t high) {
        return low + static_cast<std::size_t>(Next() % (high - low + 1));
    }
};

// A set of live blocks, each replaced at random; the sum of the sizes of every
// block made, read back from the block's last byte when it is freed.
struct Slots {
    std::vector<unsigned char*> blocks;
    std::vector<std::size_t> sizes;
    std::uint64_t sum = 0;

    Slots(std::size_t count, Random& random, std::size_t low, std::size_t high)
        : blocks(count), sizes(count) {
        for (std::size_t i = 0; i < count; ++i) {
            sizes[i] = random.Between(low, high);
            blocks[i] = static_cast<unsigned char*>(Allocate(sizes[i]));
        }
    }
    void Replace(Random& random, std::size_t low, std::size_t high) {
        const std::size_t i = random.Between(0, blocks.size() - 1);
        sum += blocks[i][sizes[i] - 1];
        gFree(blocks[i]);
        sizes[i] = random.Between(low, high);
        blocks[i] = static_cast<unsigned char*>(Allocate(sizes[i]));
    }
    void FreeAll() {
        for (std::size_t i = 0; i < blocks.size(); ++i) {
            sum += blocks[i][sizes[i] - 1];
            gFree(blocks[i]);
        }
    }
};

std::uint64_t Loop(std::uint64_t seed, long steps) {
    Random random{seed};
    Slots slots(1000, random, 16, 512);
    for (long i = 0; i < steps; ++i) {
        slots.Replace(random, 16, 512);
    }
    slots.FreeAll();
    return slots.sum;
}

std::uint64_t Threads(long steps) {
    std::vector<std::uint64_t> sums(4);
    std::vector<std::thread> threads;
    for (std::size_t t = 0; t < sums.size(); ++t) {
        threads.emplace_back([&sums, t, steps] { sums[t] = Loop(t + 1, steps); });
    }
    std::uint64_t sum = 0;
    for (std::size_t t = 0; t < threads.size(); ++t) {
        threads[t].join();
        sum += sums[t];
    }
    return sum;
}

std::uint64_t Larson(long rounds, long steps) {
    std::vector<Slots> slots;
    std::vector<Random> randoms;
    for (std::uint64_t t = 0; t < 4; ++t) {
        randoms.push_back(Random{t + 1});
        slots.emplace_back(2000, randoms.back(), 8, 1000);
    }
    for (long round = 0; round < rounds; ++round) {
        std::vector<std::thread> threads;
        for (std::size_t t = 0; t < slots.size(); ++t) {
            threads.emplace_back([&slots, &randoms, t, steps] {
                for (long i = 0; i < steps; ++i) {
                    slots[t].Replace(randoms[t], 8, 1000);
                }
            });
        }
        for (std::thread& thread : threads) {
            thread.join();
        }
    }
    std::uint64_t sum = 0;
    for (Slots& s : slots) {
        s.FreeAll();
        sum += s.sum;
    }
    return sum;
}

std::uint64_t Xmalloc(long batches) {
    constexpr std::size_t kBatch = 256;
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<std::vector<unsigned char*>> queue;
    int makersLeft = 2;
    std::uint64_t made = 0, freed = 0;
    std::vector<std::thread> threads;
    for (std::uint64_t t = 0; t < 2; ++t) {
        threads.emplace_back([&, t] {
            Random random{t + 1};
            std::uint64_t sum = 0;
            for (long b = 0; b < batches; ++b) {
                std::vector<unsigned char*> batch(kBatch);
                for (unsigned char*& block : batch) {
                    const std::size_t bytes = random.Between(16, 256);
                    block = static_cast<unsigned char*>(Allocate(bytes));
                    sum += bytes & 0xFF;
                }
                std::unique_lock<std::mutex> lock(mutex);
                changed.wait(lock, [&] { return queue.size() < 64; });
                queue.push_back(std::move(batch));
                changed.notify_all();
            }
            std::lock_guard<std::mutex> lock(mutex);
            made += sum;
            --makersLeft;
            changed.notify_all();
        });
        threads.emplace_back([&] {
            std::uint64_t sum = 0;
            for (;;) {
                std::vector<unsigned char*> batch;
                {
                    std::unique_lock<std::mutex> lock(mutex);
                    changed.wait(lock, [&] { return !queue.empty() || makersLeft == 0; });
                    if (queue.empty()) {
                        break;
                    }
                    batch = std::move(queue.front());
                    queue.pop_front();
                    changed.notify_all();
                }
                for (unsigned char* block : batch) {
                    sum += block[0];
                    gFree(block);
                }
            }
            std::lock_guard<std::mutex> lock(mutex);
            freed += sum;
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    return made == freed ? made : 0;
}

// Waits for `child` and fails the program unless it exited with 0.
void Reap(pid_t child) {
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "stress_programs: a child failed\n");
        std::exit(1);
    }
}

std::uint64_t Forks(long children) {
    std::atomic<bool> done{false};
    std::vector<std::uint64_t> sums(3);
    std::vector<std::thread> threads;
    for (std::size_t t = 0; t < sums.size(); ++t) {
        threads.emplace_back([&done, &sums, t] {
            Random random{t + 1};
            Slots slots(1000, random, 16, 512);
            while (!done.load(std::memory_order_relaxed)) {
                slots.Replace(random, 16, 512);
            }
            slots.FreeAll();
            sums[t] = slots.sum;
        });
    }
    for (long c = 0; c < children; ++c) {
        const pid_t child = fork();
        if (child == 0) {
            Random random{static_cast<std::uint64_t>(c) + 1};
            Slots slots(100, random, 16, 512);
            slots.FreeAll();
            std::exit(0);
        }
        Reap(child);
    }
    done = true;
    for (std::thread& thread : threads) {
        thread.join();
    }
    return static_cast<std::uint64_t>(children); // the threads' sums depend on timing
}

std::uint64_t Spawn(long processes) {
    char program[] = "/bin/true";
    char* arguments[] = {program, nullptr};
    for (long p = 0; p < processes; ++p) {
        pid_t child = -1;
        if (posix_spawn(&child, program, nullptr, nullptr, arguments, environ) != 0) {
            child = -1;
        }
        Reap(child);
    }
    return static_cast<std::uint64_t>(processes);
}

} // namespace

int main(int argc, char** argv) {
    std::string shape = argc > 1 ? argv[1] : "";
    const long scale = argc > 2 ? std::strtol(argv[2], nullptr, 10) : 1;
    if (argc > 3 || scale <= 0) {
        shape.clear();
    }
    std::uint64_t sum = 0;
    if (shape == "loop") {
        sum = Loop(1, 30'000'000 * scale);
    } else if (shape == "threads") {
        sum = Threads(10'000'000 * scale);
    } else if (shape == "larson") {
        sum = Larson(50 * scale, 50'000);
    } else if (shape == "xmalloc") {
        sum = Xmalloc(10'000 * scale);
    } else if (shape == "forks") {
        sum = Forks(500 * scale);
    } else if (shape == "spawn") {
        sum = Spawn(200 * scale);
    } else {
        std::fprintf(stderr,
                     "usage: stress_programs loop|threads|larson|xmalloc|forks|spawn [SCALE]\n");
        return 2;
    }
    std::printf("%s %ld %llu\n", shape.c_str(), scale, static_cast<unsigned long long>(sum));
    return 0;
}
