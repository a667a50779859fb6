// Forks from a parent whose other threads allocate without pause: each child
// allocates, frees, and exits through exit() (destructors, the reports at
// exit). A lock that a thread of the parent held at the fork and that nothing
// gave back hangs the child on its first heap call; the parent then says so and
// fails instead of waiting for ever.
//
//   fork_storm FORKS
//
// Exit status 0 when every child ended with status 0 within 10 s of its fork.

#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

std::atomic<bool> gStop{false};

// Blocks of many sizes, some kept a while, some freed by another thread.
void Busy(unsigned seed, std::atomic<void*>* handOff) {
    std::vector<void*> kept(32);
    for (unsigned i = seed; !gStop.load(std::memory_order_relaxed); ++i) {
        std::free(kept[i % kept.size()]);
        kept[i % kept.size()] = std::malloc(8 + (i * 2654435761u) % 3000);
        std::free(handOff->exchange(std::malloc(64 + i % 200)));
        std::string text(100 + i % 50, 'x'); // operator new too
    }
    for (void* block : kept) {
        std::free(block);
    }
}

int Child(int round) {
    std::vector<std::string> made;
    for (int i = 0; i < 200; ++i) {
        made.push_back(std::string(20 + (i * round) % 700, 'c'));
    }
    void* large = std::malloc(1 << 20);
    std::memset(large, 1, 4096);
    std::free(large);
    std::exit(made.size() == 200 ? 0 : 3);
}

} // namespace

int main(int argc, char** argv) {
    const int forks = argc > 1 ? std::atoi(argv[1]) : 500;
    std::atomic<void*> handOff{nullptr};
    std::vector<std::thread> threads;
    for (unsigned t = 0; t < 3; ++t) {
        threads.emplace_back(Busy, t * 1000, &handOff);
    }
    int failed = 0;
    for (int round = 0; round < forks && failed == 0; ++round) {
        const pid_t child = fork();
        if (child == 0) {
            Child(round);
        }
        if (child < 0) {
            std::perror("fork");
            failed = 1;
            break;
        }
        const auto start = std::chrono::steady_clock::now();
        int status = 0;
        while (waitpid(child, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() - start > std::chrono::seconds(10)) {
                std::printf("child %d of round %d hangs: killed\n", static_cast<int>(child), round);
                kill(child, SIGKILL);
                waitpid(child, &status, 0);
                failed = 1;
                break;
            }
            usleep(200);
        }
        if (failed == 0 && (!WIFEXITED(status) || WEXITSTATUS(status) != 0)) {
            std::printf("child of round %d ended with status %d\n", round, status);
            failed = 1;
        }
    }
    gStop.store(true);
    for (std::thread& thread : threads) {
        thread.join();
    }
    std::free(handOff.load());
    std::printf("%s after %d forks\n", failed == 0 ? "no child hung" : "FAILED", forks);
    return failed;
}
