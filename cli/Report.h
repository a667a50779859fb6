// The subcommands of dideverazez-report, each writing its text to `out`.
// Figures too large to subtract or add up raise std::overflow_error.
#pragma once

#include "Snapshot.h"

#include <chrono>
#include <ostream>
#include <string>
#include <vector>

namespace dideverazez::report {

// The block figures of one row of summary, diff and the viewer's table.
// A paged root's GlobalStat counts its tree's pages and heap blocks, not the
// program's blocks, so its row adds up what its tree allocated instead: its
// own blocks (statistics self.items without pages.items: its heap blocks and
// declared amounts; and pooled.items) and each direct child's global.items.
// Every other engine's are its metrics count_current and count_cumul.
struct Blocks {
    std::int64_t current = 0;    // blocks in use
    std::int64_t cumulative = 0; // blocks ever allocated
    bool pagedRoot = false;
    std::int64_t pages = 0; // a paged root's: the pages its tree holds (pages.items now)
};

// The Blocks of every engine of `snapshot`, in its order; std::overflow_error
// when a sum has no 64-bit value.
std::vector<Blocks> BlocksOf(const Snapshot& snapshot);

// The tree table of the live engines, each before its children, indented by
// depth; then the retired handles.
void WriteSummary(std::ostream& out, const Snapshot& snapshot);

// The handles whose figures changed from `before` to `after`, largest change
// of current bytes first, and the change of the total of the roots.
void WriteDiff(std::ostream& out, const Snapshot& before, const Snapshot& after);

// The retired handles that still held memory, each with the sampled call
// sites of what it held, largest first, and their stacks symbolised
// (docs/sampling.md); one line when none held any.
void WriteLeaks(std::ostream& out, const Snapshot& snapshot);

// The snapshot's sampled sites, of live and retired handles, as a pprof
// profile (profile.proto), gzip-compressed; `samples` is set to how many
// samples it holds. Throws std::runtime_error when built without zlib.
std::string PprofProfile(const Snapshot& snapshot, std::size_t& samples);

// The snapshots of one file given to `html`.
struct SnapshotFile {
    std::string name;
    std::vector<Snapshot> snapshots;
};

// The viewer's page, whole, with every snapshot of `files` embedded in order.
void WriteHtml(std::ostream& out, const std::vector<SnapshotFile>& files);

// Where the library of process `pid` listens for snapshot requests:
// /tmp/dideverazez-<effective uid>/<pid>.sock.
std::string SnapshotSocketPath(long pid);

// The snapshot process `pid` sends when asked over its socket, as received:
// one snapshot document, checked with ParseSnapshots. Waits at most `timeout`
// for the whole answer. Throws std::runtime_error with the whole message when
// there is no socket, the connection is refused, the program closes without
// answering, the time runs out or the answer is not one snapshot.
std::string TakeSnapshot(long pid, std::chrono::milliseconds timeout);

} // namespace dideverazez::report
