// The calling thread's stack on Windows.

#include "platform/Platform.h"

#include <windows.h>

namespace dideverazez::platform {

int CaptureStack(void** frames, int capacity) noexcept {
    // The call itself is not one of the frames.
    int count = RtlCaptureStackBackTrace(1, static_cast<DWORD>(capacity), frames, nullptr);
    // A null return address is where the thread began; what Wine's walk finds
    // past it is no frame of the thread's.
    for (int i = 0; i < count; ++i) {
        if (frames[i] == nullptr) {
            count = i;
        }
    }
    return count;
}

} // namespace dideverazez::platform
