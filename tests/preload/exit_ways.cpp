// Ends as its argument says, under the preload library with DIDEVERAZEZ_REPORT
// set (tests/preload/ends.sh reads what it leaves):
//   children  forks a child that ends with _exit, then a vfork child that
//             does (it shares this process's memory: it must write nothing),
//             prints both ids, and ends with _exit(3);
//   _Exit     ends with _Exit(5).
// Each process first allocates a block it never frees.

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

// Where the blocks never freed are kept, so that no compiler drops them.
void* volatile gKept;

int main(int argc, char** argv) {
    gKept = std::malloc(1000);
    if (argc == 2 && std::strcmp(argv[1], "children") == 0) {
        const pid_t child = fork();
        if (child == 0) {
            gKept = std::malloc(77);
            _exit(0);
        }
        waitpid(child, nullptr, 0);
        const pid_t shared = vfork();
        if (shared == 0) {
            _exit(0);
        }
        waitpid(shared, nullptr, 0);
        std::printf("%d %d\n", static_cast<int>(child), static_cast<int>(shared));
        std::fflush(stdout);
        _exit(3);
    }
    if (argc == 2 && std::strcmp(argv[1], "_Exit") == 0) {
        _Exit(5);
    }
    return 2;
}
