// A Windows host whose answers are known (tests/cli/windows_leaks.sh runs it
// under Wine with every allocation sampled): LeakEight's handle never frees
// its 8 MiB block; the program ends with status 0 and its snapshot at exit.

#include "handle/dideverazez.h"

// Kept so that no compiler drops the block.
void* volatile gKept;

[[gnu::noinline]] void* LeakEight(zu_allocator& handle) {
    return zu_alloc(8 << 20, &handle, "eight");
}

int main() {
    // Alive to the end, as a host's handles are when it exits.
    auto* root = new zu_allocator("Probe");
    auto* leaking = new zu_allocator(*root, "Leaking");
    gKept = LeakEight(*leaking);
    return 0;
}
