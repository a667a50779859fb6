// The calling thread's stack on POSIX systems.
//
// The compiler's unwinder finds each frame's unwind information afresh, which
// makes a stack cost microseconds. On x86-64 each return address's rule (where
// its caller's stack pointer, return address and rbp are) is read once from
// its object's .eh_frame and kept in a table all threads share; a stack met
// again then costs a few loads a frame. A frame whose rule is not of that
// shape (a signal frame, a frame address computed by an expression) has the
// whole stack taken by the compiler's unwinder, which then gives the stack.

#include "platform/Platform.h"
#if defined(__x86_64__) && defined(__ELF__)
#include "platform/posix/UnwindRules.h"
#endif

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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

// Inlined, so that its stack starts in CaptureStack as the other's does.
[[gnu::always_inline]] inline int CompilersUnwinder(void** frames, int capacity) noexcept {
    StackWalk walk{frames, capacity, 0};
    _Unwind_Backtrace(TakeFrame, &walk);
    return walk.count;
}

} // namespace
} // namespace dideverazez::platform

#if defined(__x86_64__) && defined(__ELF__)

extern "C" {
// Walks from `pc`, `sp`, `bp`: the return address, stack pointer and rbp of
// a frame once its callee has returned.
__attribute__((visibility("hidden"))) int dideverazez_stack_walk(void** frames, int capacity,
                                                                 std::uint64_t pc, std::uint64_t sp,
                                                                 std::uint64_t bp) noexcept;
// Calls dideverazez_stack_walk with its caller's registers as they will be
// when it returns.
__attribute__((visibility("hidden"))) int dideverazez_stack_from_caller(void** frames,
                                                                        int capacity) noexcept;
}

asm(R"(
    .text
    .p2align 4
    .globl dideverazez_stack_from_caller
    .hidden dideverazez_stack_from_caller
    .type dideverazez_stack_from_caller, @function
dideverazez_stack_from_caller:
    .cfi_startproc
    movq (%rsp), %rdx
    leaq 8(%rsp), %rcx
    movq %rbp, %r8
    jmp dideverazez_stack_walk
    .cfi_endproc
    .size dideverazez_stack_from_caller, .-dideverazez_stack_from_caller
)");

namespace dideverazez::platform {
namespace {

// The rules read so far, by return address. A slot is claimed once by a
// compare-and-swap to its address with kClaiming set, filled, then published
// by storing the bare address; slots are never emptied, so a rule read under
// its published address stays that address's. A full neighbourhood leaves a
// rule uncached, not wrong.
constexpr std::size_t kSlots = std::size_t{1} << 15; // 512 KiB of zero pages until used
constexpr std::size_t kProbes = 16;
constexpr std::uint64_t kClaiming = std::uint64_t{1} << 63; // no user-space address has it

struct Slot {
    std::atomic<std::uint64_t> pc;
    std::atomic<std::uint64_t> rule;
};
constinit Slot gRules[kSlots] = {};
constinit std::atomic<std::uint64_t> gRulesRead{0};
constinit std::atomic<std::uint64_t> gLeftToTheCompiler{0};

std::size_t SlotOf(std::uint64_t pc) {
    return static_cast<std::size_t>((pc * 0x9e3779b97f4a7c15ULL) >> 49) & (kSlots - 1);
}

std::uint64_t RuleFor(std::uint64_t pc) noexcept {
    std::size_t at = SlotOf(pc);
    for (std::size_t probe = 0; probe < kProbes; ++probe, at = (at + 1) & (kSlots - 1)) {
        const std::uint64_t held = gRules[at].pc.load(std::memory_order_acquire);
        if (held == pc) {
            return gRules[at].rule.load(std::memory_order_relaxed);
        }
        if (held == 0) {
            break;
        }
    }
    const std::uint64_t rule = unwind::ReadRule(pc);
    gRulesRead.fetch_add(1, std::memory_order_relaxed);
    at = SlotOf(pc);
    for (std::size_t probe = 0; probe < kProbes; ++probe, at = (at + 1) & (kSlots - 1)) {
        std::uint64_t held = 0;
        if (gRules[at].pc.compare_exchange_strong(held, pc | kClaiming,
                                                  std::memory_order_relaxed)) {
            gRules[at].rule.store(rule, std::memory_order_relaxed);
            gRules[at].pc.store(pc, std::memory_order_release);
            break;
        }
        if ((held & ~kClaiming) == pc) {
            break; // another thread keeps it
        }
    }
    return rule;
}

} // namespace
} // namespace dideverazez::platform

// Stack memory the frames' own rules point into: the sanitizers' shadow
// knows nothing of saved registers.
__attribute__((no_sanitize("address"), no_sanitize("thread"))) int
dideverazez_stack_walk(void** frames, int capacity, std::uint64_t pc, std::uint64_t sp,
                       std::uint64_t bp) noexcept {
    using namespace dideverazez::platform;
    using namespace dideverazez::platform::unwind;
    int count = 0;
    while (count < capacity && pc != 0) {
        frames[count++] = reinterpret_cast<void*>(pc);
        const std::uint64_t rule = RuleFor(pc);
        const std::uint64_t kind = rule & 3;
        if (kind == kLast) {
            break;
        }
        if (kind != kStep) {
            return -1;
        }
        const std::uint64_t cfa = ((rule & kFromBp) != 0 ? bp : sp) +
                                  static_cast<std::uint64_t>(FrameAddressOffset(rule));
        if ((rule & kBpSaved) != 0) {
            const std::int64_t bpOffset = SavedBpOffset(rule);
            __builtin_memcpy(
                &bp, reinterpret_cast<const void*>(cfa + static_cast<std::uint64_t>(bpOffset)),
                sizeof bp);
        }
        __builtin_memcpy(&pc, reinterpret_cast<const void*>(cfa - 8), sizeof pc);
        sp = cfa;
    }
    return count;
}

namespace dideverazez::platform {

int CaptureStack(void** frames, int capacity) noexcept {
    const int count = dideverazez_stack_from_caller(frames, capacity);
    if (count >= 0) {
#if defined(DIDEVERAZEZ_CHECKED)
        // Every stack walked is the compiler's unwinder's, past the first
        // frame (each from its own call here).
        void* reference[256];
        const int limit = capacity < 256 ? capacity : 256;
        const int expected = CompilersUnwinder(reference, limit);
        const int walked = count < limit ? count : limit;
        for (int i = 1; i < expected || i < walked; ++i) {
            if (i >= walked || i >= expected || frames[i] != reference[i]) {
                std::fprintf(stderr,
                             "dideverazez: stack walk differs from the compiler's unwinder at "
                             "frame %d of %d (%p, expected %p)\n",
                             i, expected, i < walked ? frames[i] : nullptr,
                             i < expected ? reference[i] : nullptr);
                std::abort();
            }
        }
#endif
        return count;
    }
    gLeftToTheCompiler.fetch_add(1, std::memory_order_relaxed);
    return CompilersUnwinder(frames, capacity);
}

#if defined(DIDEVERAZEZ_TEST_SEAMS)
namespace testing {
std::uint64_t StackRulesRead() noexcept {
    return gRulesRead.load();
}
std::uint64_t StacksLeftToTheCompilersUnwinder() noexcept {
    return gLeftToTheCompiler.load();
}
} // namespace testing
#endif

} // namespace dideverazez::platform

#else

namespace dideverazez::platform {

int CaptureStack(void** frames, int capacity) noexcept {
    return CompilersUnwinder(frames, capacity);
}

#if defined(DIDEVERAZEZ_TEST_SEAMS)
namespace testing {
std::uint64_t StackRulesRead() noexcept {
    return 0;
}
std::uint64_t StacksLeftToTheCompilersUnwinder() noexcept {
    return 0;
}
} // namespace testing
#endif

} // namespace dideverazez::platform

#endif
