// The unwind rule of an x86-64 frame, read from its object's .eh_frame as
// the compiler's unwinder reads it (UnwindRules.cpp); Stack.cpp keeps them by
// return address and walks stacks with them.
#pragma once

#include <cstdint>

namespace dideverazez::platform::unwind {

// A frame's rule in one word, so that a reader sees it whole:
//  bits 0-1   what the frame is (kStep, kLast, kOther; 0: not known yet)
//  bit 2      the frame address is rbp + offset (else rsp + offset)
//  bit 3      the caller's rbp is saved at frame address + its offset
//  bits 4-31  that offset, signed
//  bits 32-63 the frame address's offset, signed
// The return address is always at frame address - 8: another place is kOther.
constexpr std::uint64_t kStep = 1;  // the caller follows by the rule
constexpr std::uint64_t kLast = 2;  // the outermost frame: nothing follows
constexpr std::uint64_t kOther = 3; // not of this shape: the compiler's unwinder takes the stack
constexpr std::uint64_t kFromBp = 4, kBpSaved = 8;

inline std::int64_t FrameAddressOffset(std::uint64_t rule) {
    return static_cast<std::int64_t>(rule) >> 32;
}
inline std::int64_t SavedBpOffset(std::uint64_t rule) {
    return static_cast<std::int64_t>(rule << 32) >> 36;
}

// The rule of the frame whose return address is `pc`: its FDE found through
// libgcc's _Unwind_Find_FDE, as the unwinder finds it, then the CIE's and the
// FDE's instructions run up to `pc`. Allocates nothing and takes no lock of
// its own.
std::uint64_t ReadRule(std::uint64_t pc) noexcept;

// The rule at `pc` of the function starting at `start` whose FDE (in loaded
// .eh_frame bytes, its CIE before it) is at `fde`.
std::uint64_t RuleAt(const unsigned char* fde, std::uint64_t start, std::uint64_t pc) noexcept;

} // namespace dideverazez::platform::unwind
