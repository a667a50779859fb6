// Reading snapshot files (docs/snapshot.md): one snapshot, or a time series of
// them, one JSON object after another (one a line as the library writes them).
// A file is read as a stream, one snapshot at a time, parsed with nlohmann's
// SAX interface: only the values of one engine, retired entry, stack or object
// are ever held as JSON at once, so a reader holds what it keeps and little
// more, whatever the size of the file.
//
// The reader checks every key the tool and the viewer use (the keys of
// format/SnapshotKeys.h, which the library's writer compiles too), with its
// type, and the shape of each tree; anything else in a document is left
// alone, provided it nests no deeper than kMaxNesting. What it returns is
// therefore safe to use without further checks (Snapshot.h), and every
// document can be written out again.
#pragma once

#include "ByteSource.h"
#include "ReadError.h"
#include "Snapshot.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace dideverazez::report {

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
// this is an error as it is read, since writing a value out for the viewer
// recurses once a level and a deep enough one would overflow the stack.
inline constexpr std::size_t kMaxNesting = 64;

// The snapshots of one file or text, one after another. Every snapshot is
// checked as it is read; Next throws ReadError at the first that is not one.
// One exception: when the document that is not whole JSON starts on the last
// line that holds anything, and a snapshot came before it, it is a line the
// program was writing when it ended, not a wrong file: Next skips it, returns
// false, and Warning() reports it.
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

private:
    void Seek(const Place& place);
    std::string_view Piece(std::uint64_t most);

    std::string file_;
    std::unique_ptr<ByteSource> source_;
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

} // namespace dideverazez::report
