// Names for the return addresses of sampled stacks (docs/sampling.md), from
// the files of the objects a snapshot lists and their debug information.
#pragma once

#include "Snapshot.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace dideverazez::report {

// One frame of a stack, as far as it could be named.
struct Frame {
    std::uint64_t address = 0; // the return address, as recorded
    int object = -1;           // its index in the snapshot's objects, -1 in none
    std::string function;      // demangled; "" when no symbol covers it
    std::string systemName;    // the symbol as the object names it (mangled)
    std::string file;          // source file, "" when unknown
    int line = 0;              // 0 when unknown
};

// Looks addresses up in the snapshot's objects. An object is read only when
// its file exists and has the build id the snapshot recorded; frames in any
// other object keep their address and the object's path. Built without libdw
// (DIDEVERAZEZ_HAVE_LIBDW unset), no object is read and frames are addresses.
class Symbols {
public:
    explicit Symbols(const std::vector<Object>& objects);
    ~Symbols();
    Symbols(const Symbols&) = delete;
    Symbols& operator=(const Symbols&) = delete;

    // The frame of return address `address`: looked up at address - 1, the
    // call instruction, since the return address may begin the next line or
    // function.
    Frame Resolve(std::uint64_t address) const;

    // Whether the object at `index` was read: its frames have names.
    bool Read(std::size_t index) const;

    // `stack` without its leading frames inside the library itself (objects
    // whose file name begins with "libdideverazez"), each frame resolved.
    std::vector<Frame> Stack(const std::vector<std::uint64_t>& stack) const;

private:
    int ObjectOf(std::uint64_t address) const;

    const std::vector<Object>& objects_;
    std::vector<bool> read_;
    struct Session;
    std::unique_ptr<Session> session_;
};

// A frame as text, one line: "function (file:line)", "function (object)",
// "0x1234 (object)" or "0x1234", the names escaped as Escaped does.
std::string Describe(const Frame& frame, const std::vector<Object>& objects);

// "0x" and the lowercase hex digits of `address`.
std::string Hex(std::uint64_t address);

} // namespace dideverazez::report
