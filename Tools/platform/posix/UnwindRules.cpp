// Unwind rules of x86-64 frames, from .eh_frame: the CIE and FDE formats and
// the call frame instructions compilers emit, followed for the three places
// a caller's frame needs (frame address, return address, rbp).

#include "platform/posix/UnwindRules.h"

#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstring>

// libgcc's lookup of the FDE that covers `pc`, the one its unwinder uses
// (exported by libgcc_s since GCC 3.0, not declared by any header).
extern "C" {
struct DideverazezEhBases {
    void* tbase;
    void* dbase;
    void* func;
};
const void* _Unwind_Find_FDE(void* pc, DideverazezEhBases* bases);
}

namespace dideverazez::platform::unwind {
namespace {

constexpr int kRbp = 6, kRsp = 7, kReturnAddress = 16; // DWARF's x86-64 register numbers

std::uint64_t StepRule(bool fromBp, std::int64_t cfaOffset, bool bpSaved, std::int64_t bpOffset) {
    if (cfaOffset < INT32_MIN || cfaOffset > INT32_MAX || bpOffset < -(1 << 27) ||
        bpOffset >= (1 << 27)) {
        return kOther;
    }
    return kStep | (fromBp ? kFromBp : 0) | (bpSaved ? kBpSaved : 0) |
           ((static_cast<std::uint64_t>(bpOffset) & 0x0fffffff) << 4) |
           (static_cast<std::uint64_t>(cfaOffset) << 32);
}

// Reads the encoded values of .eh_frame within [at, end); `ok` turns false
// past the end or on an encoding it does not know.
class EhReader {
public:
    EhReader(const unsigned char* at, const unsigned char* end) : at_(at), end_(end) {}

    bool Ok() const { return ok_; }
    bool AtEnd() const { return at_ >= end_; }
    const unsigned char* At() const { return at_; }

    template <class T> T Fixed() {
        T value{};
        if (static_cast<std::size_t>(end_ - at_) < sizeof value) {
            ok_ = false;
            at_ = end_;
            return value;
        }
        std::memcpy(&value, at_, sizeof value);
        at_ += sizeof value;
        return value;
    }
    std::uint64_t Uleb() { return Leb128(false); }
    std::int64_t Sleb() { return static_cast<std::int64_t>(Leb128(true)); }
    // Steps over a pointer of DW_EH_PE encoding `encoding`.
    void SkipPointer(std::uint8_t encoding) {
        switch (encoding & 0x0f) {
        case 0x00: // absptr
        case 0x04: // udata8
        case 0x0c: // sdata8
            Skip(8);
            break;
        case 0x02: // udata2
        case 0x0a: // sdata2
            Skip(2);
            break;
        case 0x03: // udata4
        case 0x0b: // sdata4
            Skip(4);
            break;
        case 0x01: // uleb128
            Uleb();
            break;
        case 0x09: // sleb128
            Sleb();
            break;
        default:
            ok_ = false;
        }
    }
    void Skip(std::uint64_t bytes) {
        if (static_cast<std::uint64_t>(end_ - at_) < bytes) {
            ok_ = false;
            at_ = end_;
            return;
        }
        at_ += bytes;
    }

private:
    // A LEB128 number; a signed one's sign bit extended over the bits above it.
    std::uint64_t Leb128(bool sign) {
        std::uint64_t value = 0;
        for (int shift = 0;; shift += 7) {
            const auto byte = Fixed<std::uint8_t>();
            if (!ok_ || shift > 63) {
                ok_ = false;
                return 0;
            }
            value |= static_cast<std::uint64_t>(byte & 0x7f) << shift;
            if ((byte & 0x80) == 0) {
                if (sign && shift + 7 < 64 && (byte & 0x40) != 0) {
                    value |= ~std::uint64_t{0} << (shift + 7);
                }
                return value;
            }
        }
    }

    const unsigned char* at_;
    const unsigned char* end_;
    bool ok_ = true;
};

// The body of the CIE or FDE at `entry` (loaded, so trusted to be whole):
// false for a terminator or a 64-bit length, which compilers emit for no code.
bool EntryBody(const unsigned char* entry, const unsigned char*& body, const unsigned char*& end) {
    std::uint32_t length = 0;
    std::memcpy(&length, entry, sizeof length);
    if (length == 0 || length == 0xffffffff) {
        return false;
    }
    body = entry + sizeof length;
    end = body + length;
    return true;
}

// Where a register's value in the caller is, for the two registers followed.
struct Saved {
    enum Kind : std::uint8_t { Same, Undefined, AtOffset, Other } kind = Same;
    std::int64_t offset = 0; // from the frame address, for AtOffset
};

struct FrameState {
    int cfaRegister = kRsp;
    std::int64_t cfaOffset = 0;
    bool cfaOther = true; // an expression, a register not followed, or not defined yet
    Saved bp, ra;
};

// What the CIE says of every FDE that points to it.
struct CieFacts {
    std::uint64_t codeAlign = 1;
    std::int64_t dataAlign = 1;
    std::uint64_t returnRegister = kReturnAddress;
    std::uint8_t pointerEncoding = 0; // of the FDE's addresses
    bool augmented = false;           // the FDE has augmentation data
    const unsigned char* program = nullptr;
    const unsigned char* programEnd = nullptr;
};

bool ReadCie(const unsigned char* cie, CieFacts& facts) {
    const unsigned char *body = nullptr, *end = nullptr;
    if (!EntryBody(cie, body, end)) {
        return false;
    }
    EhReader in(body, end);
    if (in.Fixed<std::uint32_t>() != 0) { // a CIE's id in .eh_frame
        return false;
    }
    const auto version = in.Fixed<std::uint8_t>();
    const char* augmentation = reinterpret_cast<const char*>(in.At());
    const std::size_t augmentationLength =
        ::strnlen(augmentation, static_cast<std::size_t>(end - in.At()));
    in.Skip(augmentationLength + 1);
    if (std::strstr(augmentation, "eh") != nullptr) {
        return false;
    }
    facts.codeAlign = in.Uleb();
    facts.dataAlign = in.Sleb();
    facts.returnRegister = version == 1 ? in.Fixed<std::uint8_t>() : in.Uleb();
    if (augmentation[0] == 'z') {
        facts.augmented = true;
        const std::uint64_t dataLength = in.Uleb();
        const unsigned char* dataEnd = in.At() + dataLength;
        for (const char* letter = augmentation + 1; *letter != '\0' && in.Ok(); ++letter) {
            switch (*letter) {
            case 'R':
                facts.pointerEncoding = in.Fixed<std::uint8_t>();
                break;
            case 'P':
                in.SkipPointer(in.Fixed<std::uint8_t>());
                break;
            case 'L':
                in.Fixed<std::uint8_t>();
                break;
            case 'S': // a signal frame: its caller's registers are in a context
            default:
                return false;
            }
        }
        if (in.At() > dataEnd) {
            return false;
        }
        in.Skip(static_cast<std::uint64_t>(dataEnd - in.At()));
    } else if (augmentation[0] != '\0') {
        return false;
    }
    facts.program = in.At();
    facts.programEnd = end;
    return in.Ok();
}

// Runs the call frame instructions of [program, end) while the location is
// below `pc`, from `location`. false on an instruction not known here.
bool RunProgram(const unsigned char* program, const unsigned char* end, const CieFacts& cie,
                std::uint64_t location, std::uint64_t pc, const FrameState& initial,
                FrameState& state) {
    constexpr int kRemembered = 16;
    FrameState remembered[kRemembered];
    int depth = 0;
    EhReader in(program, end);
    const auto offsetRule = [&](std::uint64_t reg, std::int64_t offset) {
        Saved* saved = reg == kRbp ? &state.bp : reg == cie.returnRegister ? &state.ra : nullptr;
        if (saved != nullptr) {
            *saved = {Saved::AtOffset, offset};
        }
    };
    const auto setRule = [&](std::uint64_t reg, Saved::Kind kind) {
        if (reg == kRbp) {
            state.bp = {kind, 0};
        } else if (reg == cie.returnRegister) {
            state.ra = {kind, 0};
        }
    };
    const auto restore = [&](std::uint64_t reg) {
        if (reg == kRbp) {
            state.bp = initial.bp;
        } else if (reg == cie.returnRegister) {
            state.ra = initial.ra;
        }
    };
    const auto defineCfa = [&](std::uint64_t reg) {
        state.cfaRegister = static_cast<int>(reg);
        state.cfaOther = reg != kRsp && reg != kRbp;
    };
    while (!in.AtEnd() && location < pc) {
        const auto op = in.Fixed<std::uint8_t>();
        switch (op & 0xc0) {
        case 0x40: // advance_loc
            location += (op & 0x3f) * cie.codeAlign;
            continue;
        case 0x80: // offset
            offsetRule(op & 0x3f, static_cast<std::int64_t>(in.Uleb()) * cie.dataAlign);
            continue;
        case 0xc0: // restore
            restore(op & 0x3f);
            continue;
        default:
            break;
        }
        switch (op) {
        case 0x00: // nop
            break;
        case 0x02: // advance_loc1
            location += in.Fixed<std::uint8_t>() * cie.codeAlign;
            break;
        case 0x03: // advance_loc2
            location += in.Fixed<std::uint16_t>() * cie.codeAlign;
            break;
        case 0x04: // advance_loc4
            location += in.Fixed<std::uint32_t>() * cie.codeAlign;
            break;
        case 0x05: { // offset_extended
            const std::uint64_t reg = in.Uleb();
            offsetRule(reg, static_cast<std::int64_t>(in.Uleb()) * cie.dataAlign);
            break;
        }
        case 0x06: // restore_extended
            restore(in.Uleb());
            break;
        case 0x07: // undefined
            setRule(in.Uleb(), Saved::Undefined);
            break;
        case 0x08: // same_value
            setRule(in.Uleb(), Saved::Same);
            break;
        case 0x09: // register: held in another register, not followed
            setRule(in.Uleb(), Saved::Other);
            in.Uleb();
            break;
        case 0x0a: // remember_state
            if (depth == kRemembered) {
                return false;
            }
            remembered[depth++] = state;
            break;
        case 0x0b: // restore_state
            if (depth == 0) {
                return false;
            }
            state = remembered[--depth];
            break;
        case 0x0c: { // def_cfa
            defineCfa(in.Uleb());
            state.cfaOffset = static_cast<std::int64_t>(in.Uleb());
            break;
        }
        case 0x0d: // def_cfa_register
            defineCfa(in.Uleb());
            break;
        case 0x0e: // def_cfa_offset
            state.cfaOffset = static_cast<std::int64_t>(in.Uleb());
            break;
        case 0x0f: // def_cfa_expression
            state.cfaOther = true;
            in.Skip(in.Uleb());
            break;
        case 0x10:   // expression
        case 0x16: { // val_expression
            setRule(in.Uleb(), Saved::Other);
            in.Skip(in.Uleb());
            break;
        }
        case 0x11: { // offset_extended_sf
            const std::uint64_t reg = in.Uleb();
            offsetRule(reg, in.Sleb() * cie.dataAlign);
            break;
        }
        case 0x12: { // def_cfa_sf
            defineCfa(in.Uleb());
            state.cfaOffset = in.Sleb() * cie.dataAlign;
            break;
        }
        case 0x13: // def_cfa_offset_sf
            state.cfaOffset = in.Sleb() * cie.dataAlign;
            break;
        case 0x14:   // val_offset
        case 0x15: { // val_offset_sf
            setRule(in.Uleb(), Saved::Other);
            op == 0x14 ? static_cast<void>(in.Uleb()) : static_cast<void>(in.Sleb());
            break;
        }
        case 0x2e: // GNU_args_size
            in.Uleb();
            break;
        case 0x2f: { // GNU_negative_offset_extended
            const std::uint64_t reg = in.Uleb();
            offsetRule(reg, -static_cast<std::int64_t>(in.Uleb()) * cie.dataAlign);
            break;
        }
        default: // set_loc and the rest: not met in compiled code
            return false;
        }
    }
    return in.Ok();
}

// glibc's signal return trampoline (mov $15, %rax; syscall), which the
// compiler's unwinder recognises when no FDE covers it.
bool IsSignalReturn(std::uint64_t pc) {
    static constexpr unsigned char kSigreturn[] = {0x48, 0xc7, 0xc0, 0x0f, 0x00,
                                                   0x00, 0x00, 0x0f, 0x05};
    return std::memcmp(reinterpret_cast<const void*>(pc), kSigreturn, sizeof kSigreturn) == 0;
}

} // namespace

std::uint64_t ReadRule(std::uint64_t pc) noexcept {
    DideverazezEhBases bases{};
    const auto* fde = static_cast<const unsigned char*>(
        _Unwind_Find_FDE(reinterpret_cast<void*>(pc - 1), &bases));
    if (fde == nullptr) {
        return IsSignalReturn(pc) ? kOther : kLast;
    }
    return RuleAt(fde, reinterpret_cast<std::uint64_t>(bases.func), pc);
}

std::uint64_t RuleAt(const unsigned char* fde, std::uint64_t start, std::uint64_t pc) noexcept {
    const unsigned char *body = nullptr, *end = nullptr;
    if (!EntryBody(fde, body, end)) {
        return kOther;
    }
    EhReader in(body, end);
    const unsigned char* cieField = in.At();
    const auto cieDistance = in.Fixed<std::uint32_t>();
    CieFacts cie;
    if (!in.Ok() || !ReadCie(cieField - cieDistance, cie)) {
        return kOther;
    }
    in.SkipPointer(cie.pointerEncoding); // the start: the caller has it
    in.SkipPointer(cie.pointerEncoding); // the range, of the same size
    if (cie.augmented) {
        in.Skip(in.Uleb());
    }
    if (!in.Ok()) {
        return kOther;
    }
    FrameState initial;
    if (!RunProgram(cie.program, cie.programEnd, cie, 0, UINT64_MAX, initial, initial)) {
        return kOther;
    }
    FrameState state = initial;
    if (!RunProgram(in.At(), end, cie, start, pc, initial, state)) {
        return kOther;
    }
    if (state.ra.kind == Saved::Undefined) {
        return kLast;
    }
    if (state.cfaOther || state.ra.kind != Saved::AtOffset || state.ra.offset != -8 ||
        (state.bp.kind != Saved::Same && state.bp.kind != Saved::AtOffset)) {
        return kOther;
    }
    return StepRule(state.cfaRegister == kRbp, state.cfaOffset, state.bp.kind == Saved::AtOffset,
                    state.bp.offset);
}

} // namespace dideverazez::platform::unwind
