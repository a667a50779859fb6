// The counters of live handles as OpenMetrics text (docs/metrics.md), the one
// writer of that format: the library writes it at each snapshot moment
// (DIDEVERAZEZ_METRICS) and `dideverazez-report metrics FILE` from a snapshot
// file, each turning its own snapshot into the plain rows below.
//
// Write allocates nothing (the library calls it after a snapshot, where
// nothing may go through a handle) and uses no part of the library: the rows
// and the caller's scratch are all it works in. WriteTo is the one adapter
// both sides call: it takes the scratch from the allocator of the string it
// appends to.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

namespace dideverazez::openmetrics {

// Past this many handle series in one text, the deepest paths are folded into
// their parents (docs/metrics.md).
inline constexpr std::size_t kMaxSeries = 1000;

inline constexpr std::size_t kNoParent = static_cast<std::size_t>(-1);

// One live handle, as a snapshot has it.
struct Row {
    std::string_view path; // names from the root, joined with '/'; any bytes
    std::string_view kind; // "paged", "basic"
    // Index of its parent's row, earlier in the rows; kNoParent for a root, and
    // a row whose parent is not earlier (itself, or later) is a root too.
    std::size_t parent;
    // Its counters: the bytes and blocks (GetMetrics' words) count the handle
    // and its descendants; declared and reserved bytes the handle alone.
    std::int64_t bytes, peakBytes, allocatedBytes, blocks, allocatedBlocks;
    std::int64_t selfPeakBytes, declaredBytes, reservedBytes;
};

// The process the counters are of: every sample carries its labels
// pid="<id>" and program="<program>" (the latter when known), so that the
// files of two processes, or of one program restarted, never give the same
// series. With `id` 0 the samples carry no process label.
struct Process {
    std::uint64_t id = 0;
    std::string_view program;
};

// Receives the text, piece by piece.
using Sink = void (*)(void* context, const char* text, std::size_t size);

// Writes the series of `rows` (count of them, each after its parent) and the
// process's totals, ending with "# EOF". `scratch` is the caller's,
// kScratchWords * count words, overwritten. Throws std::overflow_error, having
// written nothing, when a sum has no 64-bit value.
inline constexpr std::size_t kScratchWords = 7;
void Write(const Row* rows, std::size_t count, std::int64_t* scratch, Sink sink, void* context,
           const Process& process = {});

// Write, appending the text to `out` (a std::string, or the library's
// LibraryString, whose allocator also serves the scratch). Throws
// std::overflow_error as Write does, having appended nothing.
template <class String>
void WriteTo(String& out, const Row* rows, std::size_t count, const Process& process = {}) {
    using Allocator = typename std::allocator_traits<
        typename String::allocator_type>::template rebind_alloc<std::int64_t>;
    std::vector<std::int64_t, Allocator> scratch(count * kScratchWords,
                                                 Allocator(out.get_allocator()));
    Write(
        rows, count, scratch.data(),
        [](void* context, const char* text, std::size_t size) {
            static_cast<String*>(context)->append(text, size);
        },
        &out, process);
}

} // namespace dideverazez::openmetrics
