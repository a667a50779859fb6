// The calling thread's stack on Windows.

#include "platform/Platform.h"

#include <windows.h>

namespace dideverazez::platform {

int CaptureStack(void** frames, int capacity) noexcept {
    // The call itself is not one of the frames.
    return RtlCaptureStackBackTrace(1, static_cast<DWORD>(capacity), frames, nullptr);
}

} // namespace dideverazez::platform
