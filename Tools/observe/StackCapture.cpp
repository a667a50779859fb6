#include "observe/StackCapture.h"

#include "platform/Platform.h"

#include <atomic>

namespace dideverazez::observe {
namespace {

// Stacks being taken, and whether a fork waits for them: fork lets the
// captures in flight end and starts none until it is done; a sample taken
// meanwhile keeps no frames. Nothing waits on the count while it holds a
// lock of the library, so a capture held up by the loader's lock cannot hold
// up the fork for longer than the loader's holder takes.
constinit std::atomic<int> gCapturing{0};
constinit std::atomic<bool> gForking{false};
#if defined(DIDEVERAZEZ_TEST_SEAMS)
constinit std::atomic<void (*)()> gInsideCaptures{nullptr};
#endif

} // namespace

int CaptureStack(void** frames, int capacity) noexcept {
    gCapturing.fetch_add(1);
#if defined(DIDEVERAZEZ_TEST_SEAMS)
    if (void (*hook)() = gInsideCaptures.load()) {
        hook();
    }
#endif
    const int taken = gForking.load() ? 0 : platform::CaptureStack(frames, capacity);
    gCapturing.fetch_sub(1);
    return taken;
}

void CapturesBeforeFork() noexcept {
    gForking.store(true);
    while (gCapturing.load() != 0) {
        platform::CpuRelax();
    }
}

void CapturesAfterFork(bool child) noexcept {
    if (child) {
        gCapturing.store(0); // a thread the child lacks may have counted itself
    }
    gForking.store(false);
}

#if defined(DIDEVERAZEZ_TEST_SEAMS)
namespace testing {
void InsideCaptures(void (*hook)()) noexcept {
    gInsideCaptures.store(hook);
}
} // namespace testing
#endif

} // namespace dideverazez::observe
