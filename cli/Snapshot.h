// Reading snapshot files (docs/snapshot.md): one snapshot, or a time series of
// them, one JSON object after another (one a line as the library writes them).
//
// The reader checks every key the tool and the viewer use, with its type, and
// the shape of each tree; anything else in a document is left alone, provided
// it nests no deeper than kMaxNesting. What it returns is therefore safe to
// use without further checks: every engine's parent is an earlier engine of
// its tree, and every document can be written out again.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace dideverazez::report {

// The seven words of zu_allocator::GetMetrics.
struct Metrics {
    std::int64_t timeTotal = 0;
    std::int64_t selfPeak = 0;
    std::int64_t memoryPeak = 0;
    std::int64_t memoryCurrent = 0;
    std::int64_t memoryCumul = 0;
    std::int64_t countCurrent = 0;
    std::int64_t countCumul = 0;
};

// One statistic's items (its Counter): now, at most, ever.
struct Items {
    std::int64_t current = 0;
    std::int64_t peak = 0;
    std::int64_t cumulative = 0;
};

// A call site that allocated through a handle (docs/sampling.md): the index
// of its stack in Snapshot::stacks, and estimates of what it holds now and of
// all it allocated, in bytes requested and blocks.
struct Site {
    std::size_t stack = 0;
    std::int64_t inUseBytes = 0;
    std::int64_t inUseBlocks = 0;
    std::int64_t allocatedBytes = 0;
    std::int64_t allocatedBlocks = 0;
};

// An object loaded in the process when the snapshot was taken: its addresses
// in the file plus `base` are where they ran; [start, end) covers its loaded
// segments, the one at `start` read from file offset `offset`.
struct Object {
    std::string path;
    std::string buildId; // lowercase or uppercase hex, "" for none
    std::uint64_t base = 0;
    std::uint64_t start = 0;
    std::uint64_t end = 0;
    std::uint64_t offset = 0;
};

struct Engine {
    std::string path;
    std::string name;    // its own name, "<noname>" for a handle without one
    std::string address; // the key its children's `parent` names
    std::string kind;    // "paged", "basic", or what a later library calls another
    int depth = 0;       // 0 for a root
    std::int64_t bornMs = 0;
    Metrics metrics;
    // The items of four of its statistics (statistics/<key>/items), which the
    // blocks of a paged root are made of (Report.h, BlocksOf).
    Items globalItems;       // the engine and its descendants
    Items selfItems;         // the engine alone; a root's pages among them
    Items pageItems;         // the pages of the pool it owns
    Items pooledItems;       // its blocks from the size classes
    std::vector<Site> sites; // empty without sampling
};

struct Retired {
    std::string path;
    std::int64_t handles = 1; // how many destroyed handles of this path were merged here
    std::int64_t bornMs = 0;
    std::int64_t diedMs = 0;
    Metrics metrics;
    std::vector<Site> sites; // the sampled blocks it still held when destroyed
};

struct Snapshot {
    std::int64_t process = 0;
    std::int64_t takenMs = 0;
    // Every engine of every tree: the trees in the file's order, each tree
    // depth first from its root, the children of an engine in the file's order.
    std::vector<Engine> engines;
    std::vector<Retired> retired;
    // Sampling (docs/sampling.md): one allocation sampled per samplingBytes
    // bytes requested, 0 when the snapshot has no `sampling`. Every Site's
    // stack indexes `stacks`; each stack is return addresses, innermost first.
    std::int64_t samplingBytes = 0;
    std::vector<std::vector<std::uint64_t>> stacks;
    std::vector<Object> objects;
    nlohmann::json document; // the object as read, for the viewer
};

// How deep a document may nest: the document is level 1, and a value inside
// a container one level deeper than the container. The library's snapshots
// nest 8 levels (an engine's statistics' items); anything nested deeper than
// this is refused as it is read, since writing a value out for the viewer
// recurses once a level and a deep enough one would overflow the stack.
inline constexpr std::size_t kMaxNesting = 64;

// What is wrong with a file, as a whole message: "FILE:LINE:COLUMN: what" for
// malformed JSON, "FILE:LINE: not a snapshot: /json/pointer: what" for a
// document of another shape (LINE is where that document starts), and
// "FILE:LINE:COLUMN: not a snapshot: nested deeper than 64 levels" at the
// bracket that opens level 65.
class ReadError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Every snapshot of `text`, in order; `file` names it in messages. Throws
// ReadError when the text is not one or more snapshots.
std::vector<Snapshot> ParseSnapshots(std::string_view text, const std::string& file);

// ParseSnapshots of the file's content; a file that cannot be read is a
// ReadError too.
std::vector<Snapshot> ReadSnapshots(const std::string& file);

} // namespace dideverazez::report
