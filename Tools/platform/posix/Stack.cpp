// The calling thread's stack on POSIX systems, through the compiler's unwinder.

#include "platform/Platform.h"

#include <unwind.h>

namespace dideverazez::platform {
namespace {

struct StackWalk {
    void** frames;
    int capacity;
    int count;
};

_Unwind_Reason_Code TakeFrame(struct _Unwind_Context* context, void* argument) {
    auto* walk = static_cast<StackWalk*>(argument);
    const _Unwind_Ptr at = _Unwind_GetIP(context);
    if (at == 0 || walk->count == walk->capacity) {
        return _URC_END_OF_STACK;
    }
    walk->frames[walk->count++] = reinterpret_cast<void*>(at);
    return _URC_NO_REASON;
}

} // namespace

int CaptureStack(void** frames, int capacity) noexcept {
    StackWalk walk{frames, capacity, 0};
    _Unwind_Backtrace(TakeFrame, &walk);
    return walk.count;
}

} // namespace dideverazez::platform
