// Reading snapshot files (docs/snapshot.md): one snapshot, or a time series of
// them, one JSON object after another (one a line as the library writes them).
// A file is read as a stream, one snapshot at a time, parsed with nlohmann's
// SAX interface: only the values of one engine, retired entry, stack or object
// are ever held as JSON at once, so a reader holds what it keeps and little
// more, whatever the size of the file.
//
// The reader checks every key the tool and the viewer use, with its type, and
// the shape of each tree; anything else in a document is left alone, provided
// it nests no deeper than kMaxNesting. What it returns is therefore safe to
// use without further checks: every engine's parent is an earlier engine of
// its tree, and every document can be written out again.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <ostream>
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
    // three 64-bit figures (both then 0), "" when both were read.
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
// figures describe (docs/sampling.md).
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

// Where a snapshot lies in its file: its text is `size` bytes from `offset`,
// from its opening brace to its closing one, on lines from `line`.
struct Place {
    std::uint64_t offset = 0;
    std::uint64_t size = 0;
    std::size_t line = 1;
    bool stacks = false; // whether it has sampled stacks (html names their frames)
};

// How deep a document may nest: the document is level 1, and a value inside
// a container one level deeper than the container. The library's snapshots
// nest 8 levels (an engine's statistics' items); anything nested deeper than
// this is refused as it is read, since writing a value out for the viewer
// recurses once a level and a deep enough one would overflow the stack.
inline constexpr std::size_t kMaxNesting = 64;

// The longest string or number the reader accepts, in bytes of the file
// between the quotes (escapes as written) or of the number's text. Names and
// paths are short; nlohmann's lexer builds a token whole, and keeps a copy of
// it for its messages, so without this bound one long token would take twice
// its size in memory. A longer one is refused at its first byte past the bound.
inline constexpr std::uint64_t kMaxString = std::uint64_t{1} << 20;

// The most bytes kept of a FILE that is not a regular one (a pipe) when its
// snapshots must be read again (SnapshotReader::Passes::kAgain).
inline constexpr std::uint64_t kMaxCopy = std::uint64_t{4} << 30;

// What is wrong with a file, as a whole message: "FILE:LINE:COLUMN: what" for
// malformed JSON, "FILE:LINE: not a snapshot: /json/pointer: what" for a
// document of another shape (LINE is where that document starts),
// "FILE:LINE:COLUMN: not a snapshot: nested deeper than 64 levels" at the
// bracket that opens level 65, "FILE:LINE:COLUMN: not a snapshot: a string
// longer than 1 MiB" (or "a number") at its first byte past kMaxString, and
// "FILE: more than 4 GiB from a pipe: ..." past kMaxCopy.
class ReadError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The snapshots of one file or text, one after another. Every snapshot is
// checked as it is read; Next throws ReadError at the first that is not one.
// One exception: when the document that is not whole JSON starts on the last
// line that holds anything, and a snapshot came before it, it is a line the
// program was writing when it ended, not a wrong file: Next skips it, returns
// false, and Warning() says so.
class SnapshotReader {
public:
    // Whether snapshots will be read again (ReadAt, CopyAt) once Next has read
    // through. A regular file is read again where it lies; a file of another
    // kind (a pipe, a terminal) is read once as it comes, so with kAgain what
    // is read of it is also written to an unnamed temporary file, which the
    // system removes however the process ends.
    enum class Passes { kOnce, kAgain };

    // Reads `file`, or standard input for "-" (from where it stands; named "-"
    // in messages); ReadError when it cannot be opened. With Passes::kAgain,
    // more than `maxCopy` bytes of a file that is not a regular one is a
    // ReadError; with kOnce, ReadAt and CopyAt of such a file throw ReadError.
    explicit SnapshotReader(const std::string& file, Passes passes = Passes::kAgain,
                            std::uint64_t maxCopy = kMaxCopy);
    // Reads `text`, held by the caller; `file` names it in messages.
    SnapshotReader(std::string_view text, std::string file);
    ~SnapshotReader();
    SnapshotReader(const SnapshotReader&) = delete;
    SnapshotReader& operator=(const SnapshotReader&) = delete;

    // The next snapshot, and where it lies; false after the last.
    bool Next(Snapshot& snapshot, Place& place);
    // How many snapshots Next has returned.
    std::size_t Count() const { return count_; }
    // "FILE:LINE:COLUMN: malformed JSON: what; ..." for a last line skipped,
    // "" otherwise.
    const std::string& Warning() const { return warning_; }
    const std::string& File() const { return file_; }
    // From now on a torn last line is an error too.
    void Strict() { strict_ = true; }

    // The snapshot at `place` (which Next gave), read again. Reading then goes
    // on from the end of that snapshot: the rest of a pipe not yet read is
    // copied first, so read again only what Next has read through.
    Snapshot ReadAt(const Place& place);
    // The text of the snapshot at `place`, handed to `write` in pieces.
    template <typename Write> void CopyAt(const Place& place, Write write) {
        Seek(place);
        for (std::uint64_t left = place.size; left > 0;) {
            const std::string_view piece = Piece(left);
            write(piece);
            left -= piece.size();
        }
    }

    // The bytes read, and their lines (Snapshot.cpp).
    class Source;

private:
    void Seek(const Place& place);
    std::string_view Piece(std::uint64_t most);

    std::string file_;
    Source* source_;
    std::size_t count_ = 0;
    std::string warning_;
    bool strict_ = false;
};

// Every snapshot of `text`, in order; `file` names it in messages. Throws
// ReadError when the text is not one or more snapshots; a torn last line is
// an error here too.
std::vector<Snapshot> ParseSnapshots(std::string_view text, const std::string& file);

// Every snapshot of the file, read once, a torn last line skipped; a file
// that cannot be read is a ReadError too.
std::vector<Snapshot> ReadSnapshots(const std::string& file);

// A snapshot named on the command line: FILE, or FILE@N for the N-th snapshot
// of a series (from 1), FILE@-N for the N-th from the last; FILE alone is
// FILE@-1. An argument that names a file as it is, '@' or not, is that file;
// otherwise a suffix of '@', an optional '-' and digits is the number. "-" is
// standard input and "-@N" its N-th snapshot, whatever files there are.
struct Moment {
    std::string file;
    std::int64_t number = -1; // from 1, or from -1 for the last; never 0
    bool given = false;       // whether the argument had @N
    std::string argument;     // as given, for messages
};

// The Moment of `argument`; std::invalid_argument with the whole message for
// @0 or an @ followed by something else than a number, after a file there is
// or after "-".
Moment ParseMoment(const std::string& argument);

// The index from 0 of the snapshot `moment` names among `count`; ReadError
// when there is no such snapshot.
std::size_t MomentIndex(const Moment& moment, std::size_t count);

// The snapshot `moment` names, the whole file checked; ReadError when it has
// no such snapshot. A warning of the reader is written to `warnings`. The
// file is read once, except for @-N with N above 1, whose snapshot is read
// again once the file has been read through.
Snapshot ReadMoment(const Moment& moment, std::ostream& warnings);

} // namespace dideverazez::report
