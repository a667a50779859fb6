// The report tool's view of a snapshot (docs/snapshot.md): what the reader
// (SnapshotReader.h) returns of each document, the keys the tool and the
// viewer use. The reader checks them all, with their types, and the shape of
// each tree, so what it returns is safe to use without further checks: every
// engine's parent is an earlier engine of its tree.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
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
    // What it held when the sampled bytes in use of the whole process were
    // at their highest (Snapshot::peak); 0 for a site first sampled later.
    std::int64_t atPeakBytes = 0;
    std::int64_t atPeakBlocks = 0;
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
    Items globalItems; // the engine and its descendants
    Items selfItems;   // the engine alone; a root's pages among them
    Items pageItems;   // the pages of the pool it owns
    Items pooledItems; // its blocks from the size classes
    // What was declared by hand now (statistics/used/bytes, reserved), read
    // for `metrics`; declaredUnread names the first that was missing or not
    // three 64-bit values (both then 0), "" when both were read.
    std::int64_t usedBytes = 0;
    std::int64_t reservedBytes = 0;
    std::string declaredUnread;
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

// The highest estimate of the bytes in use of every sampled site together,
// reached `ms` after the library loaded: the peak that the sites' atPeak
// estimates describe (docs/sampling.md).
struct SampledPeak {
    bool known = false; // false: the snapshot has no sampling.peak
    std::int64_t bytes = 0;
    std::int64_t blocks = 0;
    std::int64_t ms = 0;
};

struct Snapshot {
    std::int64_t process = 0;
    std::int64_t takenMs = 0;
    std::string program; // the file name of the process's program, "" when not given
    bool atExit = false; // written as the process ended: what is in use was never freed
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
    SampledPeak peak;
};

} // namespace dideverazez::report
