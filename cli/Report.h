// The subcommands of dideverazez-report, each writing its text to `out`.
// Figures too large to subtract or add up raise std::overflow_error.
#pragma once

#include "Snapshot.h"

#include <chrono>
#include <memory>
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

// The most snapshots of one file that html embeds: the page of a series of any
// length stays a page a browser opens at once (about 10 KB a snapshot of the
// library's; docs/snapshot.md).
inline constexpr std::size_t kMaxMoments = 500;

// Which of a file's `count` snapshots html embeds, by index in ascending
// order: every one when there are at most kMaxMoments. Otherwise the first and
// the last, then those of `peaks` in their order (the peak of the total, then
// each root's, the highest first) while they fill no more than half of
// kMaxMoments, then evenly spaced ones, up to kMaxMoments in all.
std::vector<std::size_t> ChooseMoments(std::size_t count, const std::vector<std::size_t>& peaks);

// The viewer's page: the snapshots of each file, in order, the snapshots of a
// long series thinned (ChooseMoments). Each file is read through once to check
// it and choose its snapshots, and those are read again as the page is
// written: their text goes into the page as it is in the file, but for the
// stacks and objects of a sampled one, whose frames the page names once for
// all the snapshots of a process (PageStacks).
class HtmlPage {
public:
    HtmlPage();
    ~HtmlPage();
    HtmlPage(const HtmlPage&) = delete;
    HtmlPage& operator=(const HtmlPage&) = delete;

    // Reads every snapshot of `reader`; with moment.given, only the snapshot
    // it names is shown (ReadMoment's rules), else ChooseMoments's. The name
    // shown is moment.argument. A warning of the reader goes to `warnings`.
    // Throws ReadError.
    void Add(std::unique_ptr<SnapshotReader> reader, const Moment& moment, std::ostream& warnings);
    // The page, whole.
    void Write(std::ostream& out);

private:
    struct File;
    std::vector<std::unique_ptr<File>> files_;
};

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
