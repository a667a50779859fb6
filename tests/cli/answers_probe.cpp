// A program in C style, built with debug information, whose answers are known
// (tests/cli/run.sh runs it with `dideverazez-report run`):
//   - LeakEight never frees its 8 MiB block;
//   - PeakSixtyFour holds 64 MiB for a moment, then frees it: the peak;
//   - a forked child allocates 1,000 bytes it never frees, and ends with
//     _exit(0);
//   - the program ends with status 7.

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

// Where the blocks never freed are kept, so that no compiler drops them.
void* volatile gKept[2];

[[gnu::noinline]] void* LeakEight() {
    void* block = std::malloc(8 << 20);
    std::memset(block, 1, 8 << 20);
    return block;
}

[[gnu::noinline]] void PeakSixtyFour() {
    void* block = std::malloc(64 << 20);
    std::memset(block, 2, 64 << 20);
    gKept[1] = block;
    std::free(block);
    gKept[1] = nullptr;
}

int main() {
    gKept[0] = LeakEight();
    PeakSixtyFour();
    const pid_t child = fork();
    if (child == 0) {
        gKept[1] = std::malloc(1000);
        _exit(0);
    }
    waitpid(child, nullptr, 0);
    return 7;
}
