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

// The object files that names come from, each read once (its ELF and debug
// information, found by path and build id), and the frames already named in
// each, by offset: every Symbols built over one SymbolFiles shares them, so
// that the snapshots of one process, which list the same objects, read each
// file once and name each address once, wherever each snapshot found it loaded.
class SymbolFiles {
public:
    SymbolFiles();
    ~SymbolFiles();
    SymbolFiles(const SymbolFiles&) = delete;
    SymbolFiles& operator=(const SymbolFiles&) = delete;

    // One object's file, and the frames named in it (Symbols.cpp).
    class File;

    // The file of `object` when it exists with the build id the snapshot
    // recorded and could be read; null otherwise.
    File* Open(const Object& object);

private:
    struct Files;
    std::unique_ptr<Files> files_;
};

// Looks addresses up in the snapshot's objects. An object is read only when
// its file exists and has the build id the snapshot recorded; frames in any
// other object keep their address and the object's path. On Linux objects are
// read with libdw (ELF files); built without it (DIDEVERAZEZ_HAVE_LIBDW
// unset), no object is read and frames are addresses. On Windows modules are
// read with DbgHelp, which finds their PDB files (Wine's reads the DWARF of
// MinGW-w64's images, up to version 4).
class Symbols {
public:
    // Reads the objects' files for itself.
    explicit Symbols(const std::vector<Object>& objects);
    // Names frames through `files`, which must outlive it.
    Symbols(const std::vector<Object>& objects, SymbolFiles& files);
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
    // whose file name begins with "libdideverazez", or dideverazez.dll),
    // each frame resolved.
    std::vector<Frame> Stack(const std::vector<std::uint64_t>& stack) const;

private:
    int ObjectOf(std::uint64_t address) const;

    const std::vector<Object>& objects_;
    std::unique_ptr<SymbolFiles> own_;     // when built without a SymbolFiles
    std::vector<SymbolFiles::File*> read_; // each object's file, null when not read
};

// A frame as text, one line: "function (file:line)", "function (object)",
// "0x1234 (object+0x234)" (the address less the object's base) or "0x1234",
// the names escaped as Escaped does, file paths as EscapedPath does.
std::string Describe(const Frame& frame, const std::vector<Object>& objects);

// "0x" and the lowercase hex digits of `address`.
std::string Hex(std::uint64_t address);

} // namespace dideverazez::report
