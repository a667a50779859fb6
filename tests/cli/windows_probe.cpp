// A Windows host whose answers are known (tests/cli/windows_leaks.sh runs it
// under Wine with every allocation sampled): LeakEight's handle never frees
// its 8 MiB block; the program ends with status 0 and its snapshot at exit.
// With "wait STOP" it first prints its process id and runs until the file
// STOP exists (at most a minute), for `take` to ask it meanwhile.

#include "handle/dideverazez.h"

#include <windows.h>

#include <cstdio>
#include <cstring>

// Kept so that no compiler drops the block.
void* volatile gKept;

[[gnu::noinline]] void* LeakEight(zu_allocator& handle) {
    return zu_alloc(8 << 20, &handle, "eight");
}

int main(int argc, char** argv) {
    // Alive to the end, as a host's handles are when it exits.
    auto* root = new zu_allocator("Probe");
    auto* leaking = new zu_allocator(*root, "Leaking");
    gKept = LeakEight(*leaking);
    if (argc == 3 && std::strcmp(argv[1], "wait") == 0) {
        std::printf("%lu\n", GetCurrentProcessId());
        std::fflush(stdout);
        for (int i = 0; i < 600 && GetFileAttributesA(argv[2]) == INVALID_FILE_ATTRIBUTES; ++i) {
            Sleep(100);
        }
    }
    return 0;
}
