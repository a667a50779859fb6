// Unwind rules read from .eh_frame (Tools/platform/posix/UnwindRules.cpp).
// Which test owns which rule:
//  - UnwindRules.CallFrameInstructionsGiveTheRule: each call frame
//    instruction compilers emit, run up to the address asked for, and the
//    rule it leaves: where the frame address is, whether rbp is saved, or
//    that the frame is the last or of another shape.
//  - UnwindRules.TheCieDecidesWhatItsFdesMean: the augmentations read (a
//    signal frame's among them), pointers of every size, the code alignment
//    factor, a CIE's own instructions and a restore to them, a CIE that
//    defines no frame address, augmentation data past their length, and an
//    FDE that points to something other than a CIE.
// That the rules of real objects give the compiler's unwinder's stacks is
// stack_test.cpp's, and the checking build's on every stack walked.

#if defined(__x86_64__) && defined(__ELF__)

#include "platform/posix/UnwindRules.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace {

namespace unwind = dideverazez::platform::unwind;
using Bytes = std::vector<unsigned char>;

constexpr std::uint64_t kStart = 0x1000; // the function's first byte

void Append32(Bytes& bytes, std::uint32_t value) {
    unsigned char raw[4];
    std::memcpy(raw, &value, sizeof raw);
    bytes.insert(bytes.end(), raw, raw + 4);
}

// A pointer of DW_EH_PE encoding `encoding` (its low four bits give the size).
void AppendPointer(Bytes& bytes, unsigned char encoding, std::uint32_t value) {
    switch (encoding & 0x0f) {
    case 0x02:
    case 0x0a:
        bytes.push_back(static_cast<unsigned char>(value));
        bytes.push_back(static_cast<unsigned char>(value >> 8));
        break;
    case 0x03:
    case 0x0b:
        Append32(bytes, value);
        break;
    case 0x01: // a uleb128 of up to 14 bits
        bytes.push_back(static_cast<unsigned char>(0x80 | (value & 0x7f)));
        bytes.push_back(static_cast<unsigned char>((value >> 7) & 0x7f));
        break;
    default: // eight bytes
        Append32(bytes, value);
        Append32(bytes, 0);
        break;
    }
}

struct Cie {
    std::uint32_t id = 0; // a CIE's; anything else is an FDE
    std::string augmentation = "zR";
    unsigned char pointerEncoding = 0x1b;     // FDE addresses: pc-relative, signed 4 bytes
    unsigned char personalityEncoding = 0x9b; // indirect pc-relative, signed 4 bytes
    unsigned char codeAlign = 1;
    unsigned char dataAlign = 0x78; // -8, as a one-byte sleb
    int dataLength = -1;            // the augmentation data's length as written; -1: their size
    // At a call: the frame address is rsp + 8, the return address below it.
    Bytes instructions = {0x0c, 7, 8, 0x90, 1};
};

// A CIE and one FDE after it, as a linker lays them out in .eh_frame; the
// FDE's offset in the buffer is returned through `fde`.
Bytes Entries(const Cie& cie, const Bytes& instructions, std::size_t& fde) {
    Bytes body;
    Append32(body, cie.id);
    body.push_back(1);                           // version 1
    for (const char letter : cie.augmentation) { // byte by byte: GCC 12 at -O2 warns of the range
        body.push_back(static_cast<unsigned char>(letter));
    }
    body.push_back(0);
    body.push_back(cie.codeAlign);
    body.push_back(cie.dataAlign);
    body.push_back(16); // the return address's column
    if (!cie.augmentation.empty() && cie.augmentation[0] == 'z') {
        Bytes data;
        for (const char letter : cie.augmentation.substr(1)) {
            if (letter == 'R') {
                data.push_back(cie.pointerEncoding);
            } else if (letter == 'P') {
                data.push_back(cie.personalityEncoding);
                AppendPointer(data, cie.personalityEncoding, 0x1234);
            } else if (letter == 'L') {
                data.push_back(0x1b);
            }
        }
        body.push_back(static_cast<unsigned char>(
            cie.dataLength < 0 ? data.size() : std::size_t(cie.dataLength)));
        body.insert(body.end(), data.begin(), data.end());
    }
    body.insert(body.end(), cie.instructions.begin(), cie.instructions.end());
    Bytes all;
    Append32(all, static_cast<std::uint32_t>(body.size()));
    all.insert(all.end(), body.begin(), body.end());
    fde = all.size();
    Bytes fdeBody;
    Append32(fdeBody, static_cast<std::uint32_t>(fde + 4)); // back to the CIE
    // The start (the caller knows it) and the range, in the encoding 'R'
    // gives, else of a pointer's size.
    const unsigned char encoding =
        cie.augmentation.find('R') != std::string::npos ? cie.pointerEncoding : 0x00;
    AppendPointer(fdeBody, encoding, 0);
    AppendPointer(fdeBody, encoding, 0x1000);
    if (!cie.augmentation.empty() && cie.augmentation[0] == 'z') {
        fdeBody.push_back(0);
    }
    fdeBody.insert(fdeBody.end(), instructions.begin(), instructions.end());
    Append32(all, static_cast<std::uint32_t>(fdeBody.size()));
    all.insert(all.end(), fdeBody.begin(), fdeBody.end());
    return all;
}

std::uint64_t RuleAt(const Cie& cie, const Bytes& instructions, std::uint64_t offset) {
    std::size_t fde = 0;
    const Bytes entries = Entries(cie, instructions, fde);
    return unwind::RuleAt(entries.data() + fde, kStart, kStart + offset);
}

// A step rule written as text, for messages that show it.
std::string Describe(std::uint64_t rule) {
    switch (rule & 3) {
    case unwind::kLast:
        return "last";
    case unwind::kOther:
        return "other";
    case unwind::kStep:
        return std::string((rule & unwind::kFromBp) != 0 ? "rbp" : "rsp") + "+" +
               std::to_string(unwind::FrameAddressOffset(rule)) +
               ((rule & unwind::kBpSaved) != 0
                    ? ", rbp at " + std::to_string(unwind::SavedBpOffset(rule))
                    : ", rbp kept");
    default:
        return "unknown";
    }
}

TEST(UnwindRules, CallFrameInstructionsGiveTheRule) {
    // push rbp; mov rbp, rsp; ...; remember; leave; ret; restore
    const Bytes framed = {0x41, 0x0e, 16,   0x86, 2, // +1: rsp+16, rbp at -16
                          0x43, 0x0d, 6,             // +4: rbp+16
                          0x02, 60,                  // +64
                          0x0a, 0xc6, 0x0c, 7,    8, // remember; rbp restored; rsp+8
                          0x41, 0x0b};               // +65: the state remembered
    const struct {
        const char* shape;
        Bytes instructions;
        std::uint64_t offset;
        std::string rule;
    } cases[] = {
        {"at entry", framed, 0, "rsp+8, rbp kept"},
        {"an instruction applies from its location on", framed, 1, "rsp+8, rbp kept"},
        {"after push rbp", framed, 2, "rsp+16, rbp at -16"},
        {"after mov rbp, rsp", framed, 5, "rbp+16, rbp at -16"},
        {"in the epilogue", framed, 65, "rsp+8, rbp kept"},
        {"after the epilogue, the state restored", framed, 66, "rbp+16, rbp at -16"},
        {"advance_loc2 and a frame of 10000 bytes",
         {0x03, 0x00, 0x01, 0x0e, 0x90, 0x4e},
         0x101,
         "rsp+10000, rbp kept"},
        {"advance_loc4 not yet reached",
         {0x04, 0x00, 0x00, 0x01, 0x00, 0x0e, 32},
         0x100,
         "rsp+8, rbp kept"},
        {"advance_loc4 reached",
         {0x04, 0x00, 0x00, 0x01, 0x00, 0x0e, 32},
         0x10001,
         "rsp+32, rbp kept"},
        {"def_cfa", {0x0c, 6, 24}, 1, "rbp+24, rbp kept"},
        {"def_cfa_sf", {0x12, 7, 0x7c}, 1, "rsp+32, rbp kept"},
        {"def_cfa_offset_sf", {0x13, 0x7e}, 1, "rsp+16, rbp kept"},
        {"offset_extended", {0x05, 6, 3}, 1, "rsp+8, rbp at -24"},
        {"offset_extended_sf", {0x11, 6, 0x7d}, 1, "rsp+8, rbp at 24"},
        {"GNU_negative_offset_extended", {0x2f, 6, 2}, 1, "rsp+8, rbp at 16"},
        {"restore", {0x86, 2, 0xc6}, 1, "rsp+8, rbp kept"},
        {"restore_extended", {0x86, 2, 0x06, 6}, 1, "rsp+8, rbp kept"},
        {"same_value", {0x86, 2, 0x08, 6}, 1, "rsp+8, rbp kept"},
        {"GNU_args_size and nops", {0x2e, 16, 0x00, 0x00}, 1, "rsp+8, rbp kept"},
        {"other registers saved", {0x83, 3, 0x05, 12, 4, 0x09, 13, 4}, 1, "rsp+8, rbp kept"},
        {"the return address undefined", {0x07, 16}, 1, "last"},
        {"the return address elsewhere", {0x90, 2}, 1, "other"},
        {"the frame address from r10", {0x0c, 10, 0}, 1, "other"},
        {"the frame address from r10, then rsp",
         {0x0c, 10, 0, 0x41, 0x0c, 7, 8},
         2,
         "rsp+8, rbp kept"},
        {"the frame address by an expression", {0x0f, 2, 0x77, 8}, 1, "other"},
        {"rbp by an expression", {0x10, 6, 2, 0x76, 0}, 1, "other"},
        {"rbp by val_expression", {0x16, 6, 2, 0x76, 0}, 1, "other"},
        {"rbp by val_offset", {0x14, 6, 1}, 1, "other"},
        {"rbp by val_offset_sf", {0x15, 6, 0x7f}, 1, "other"},
        {"rbp in another register", {0x09, 6, 3}, 1, "other"},
        {"rbp undefined", {0x07, 6}, 1, "other"},
        {"set_loc, which compilers do not emit", {0x01, 0, 0, 0, 0}, 1, "other"},
        {"restore_state with nothing remembered", {0x0b}, 1, "other"},
        {"an offset past 32 bits", {0x0e, 0x80, 0x80, 0x80, 0x80, 0x08}, 1, "other"},
        // rbp's slot is kept in 28 signed bits: 2^24 slots of 8 bytes below
        // the frame address fit, one more does not, nor 2^27 bytes above.
        {"rbp at -2^27", {0x05, 6, 0x80, 0x80, 0x80, 0x08}, 1, "rsp+8, rbp at -134217728"},
        {"rbp below -2^27", {0x05, 6, 0x81, 0x80, 0x80, 0x08}, 1, "other"},
        {"rbp at 2^27 - 8", {0x11, 6, 0x81, 0x80, 0x80, 0x78}, 1, "rsp+8, rbp at 134217720"},
        {"rbp at 2^27", {0x11, 6, 0x80, 0x80, 0x80, 0x78}, 1, "other"},
        {"instructions cut short", {0x0e}, 1, "other"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Describe(RuleAt(Cie{}, c.instructions, c.offset)), c.rule) << c.shape;
    }
    // More states remembered than the reader keeps: another shape, not a
    // state lost.
    Bytes deep(17, 0x0a);
    EXPECT_EQ(Describe(RuleAt(Cie{}, deep, 1)), "other");
    deep.resize(16);
    EXPECT_EQ(Describe(RuleAt(Cie{}, deep, 1)), "rsp+8, rbp kept");
}

TEST(UnwindRules, TheCieDecidesWhatItsFdesMean) {
    const Bytes pushRbp = {0x41, 0x0e, 16, 0x86, 2};
    EXPECT_EQ(Describe(RuleAt(Cie{}, pushRbp, 2)), "rsp+16, rbp at -16");
    Cie personality;
    personality.augmentation = "zPLR";
    EXPECT_EQ(Describe(RuleAt(personality, pushRbp, 2)), "rsp+16, rbp at -16");
    Cie plain; // no augmentation data at all, in the CIE or the FDE
    plain.augmentation = "";
    EXPECT_EQ(Describe(RuleAt(plain, pushRbp, 2)), "rsp+16, rbp at -16");
    Cie signal;
    signal.augmentation = "zRS";
    EXPECT_EQ(Describe(RuleAt(signal, pushRbp, 2)), "other");
    Cie old;
    old.augmentation = "eh";
    EXPECT_EQ(Describe(RuleAt(old, pushRbp, 2)), "other");
    Cie unknown;
    unknown.augmentation = "zRX";
    EXPECT_EQ(Describe(RuleAt(unknown, pushRbp, 2)), "other");
    Cie coarse; // each advance counts four bytes
    coarse.codeAlign = 4;
    for (const Bytes& advance :
         {Bytes{0x41}, Bytes{0x02, 1}, Bytes{0x03, 1, 0}, Bytes{0x04, 1, 0, 0, 0}}) {
        Bytes instructions = advance;
        instructions.insert(instructions.end(), {0x0e, 16, 0x86, 2});
        EXPECT_EQ(Describe(RuleAt(coarse, instructions, 3)), "rsp+8, rbp kept") << int{advance[0]};
        EXPECT_EQ(Describe(RuleAt(coarse, instructions, 5)), "rsp+16, rbp at -16")
            << int{advance[0]};
    }
    for (const unsigned char encoding : {0x00, 0x01, 0x02, 0x03, 0x04, 0x0a, 0x0b, 0x0c}) {
        Cie sized; // the FDE's addresses and the personality, of each size
        sized.augmentation = "zPR";
        sized.pointerEncoding = encoding;
        sized.personalityEncoding = encoding;
        EXPECT_EQ(Describe(RuleAt(sized, pushRbp, 2)), "rsp+16, rbp at -16") << int{encoding};
    }
    Cie notACie; // the FDE points to another FDE
    notACie.id = 4;
    notACie.augmentation = ""; // so that the FDE reads the same either way
    EXPECT_EQ(Describe(RuleAt(notACie, {0x07, 16}, 1)), "other"); // not "last"
    Cie shortData; // augmentation data longer than the length written for them
    shortData.augmentation = "zPLR";
    shortData.dataLength = 3;
    // (the FDE's instructions say all, whatever of the CIE's would be read)
    EXPECT_EQ(Describe(RuleAt(shortData, {0x0c, 7, 16, 0x90, 1, 0x86, 2}, 1)), "other");
    Cie saved; // the CIE's own instructions say rbp is saved
    saved.instructions = {0x0c, 7, 16, 0x90, 1, 0x86, 2};
    EXPECT_EQ(Describe(RuleAt(saved, {}, 1)), "rsp+16, rbp at -16");
    EXPECT_EQ(Describe(RuleAt(saved, {0x08, 6, 0x41, 0xc6}, 2)),
              "rsp+16, rbp at -16"); // restore: the CIE's
    Cie noFrame; // the CIE defines no frame address: only an FDE's definition counts
    noFrame.instructions = {0x90, 1};
    EXPECT_EQ(Describe(RuleAt(noFrame, {}, 1)), "other");
    EXPECT_EQ(Describe(RuleAt(noFrame, {0x0e, 16}, 1)), "other"); // an offset from no register
    EXPECT_EQ(Describe(RuleAt(noFrame, {0x0c, 7, 16}, 1)), "rsp+16, rbp kept");
}

} // namespace

#endif
