// The subcommands of dideverazez-report, each writing its text to `out`.
// Values too large to subtract or add up raise std::overflow_error.
#pragma once

#include "Moment.h"
#include "Snapshot.h"
#include "SnapshotReader.h"

#include <chrono>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

namespace dideverazez::report {

// The block counters of one row of summary, diff and the viewer's table.
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

// What one handle holds through itself, not through its children: its blocks
// in use, counted as BlocksOf counts them (a paged root's pages are its tree's
// cost, not its blocks), and their bytes as charged. A paged root's bytes are
// not known: its statistics count them with its tree's pages and heap blocks.
// Across a tree, a paged engine's blocks are charged to each paged ancestor
// below the root; a basic engine's to its root alone.
struct Own {
    std::int64_t blocks = 0;
    std::int64_t bytes = 0;
    bool bytesKnown = true;
};

// The Own of every engine of `snapshot`, in its order; std::overflow_error
// when a difference has no 64-bit value.
std::vector<Own> OwnOf(const Snapshot& snapshot);

// The tree table of the live engines, each before its children, indented by
// depth; then the sampled peak, when known; then the retired handles.
void WriteSummary(std::ostream& out, const Snapshot& snapshot);

// The handles whose counters changed from `before` to `after`, largest change
// of current bytes first, and the change of the total of the roots.
void WriteDiff(std::ostream& out, const Snapshot& before, const Snapshot& after);

// Of a snapshot written at exit, what the live handles never freed (OwnOf),
// the most bytes first, paged roots last; then the retired handles that still held memory;
// each with the sampled call sites of what it held, largest first, their
// stacks symbolised; then the call sites that held the most at the sampled
// peak (docs/sampling.md). Of any other snapshot, the retired handles alone.
void WriteLeaks(std::ostream& out, const Snapshot& snapshot);

// The snapshot's sampled sites, of live and retired handles, as a pprof
// profile (profile.proto) with six sample types, the last two what each site
// held at the sampled peak, gzip-compressed; `samples` is set to how many
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

// Where the library of process `pid` listens for snapshot requests: the
// abstract socket "@dideverazez/<effective uid>/<pid>" ('@' for its NUL).
std::string SnapshotSocketPath(long pid);

// The snapshot process `pid` sends when asked over its socket, as received:
// one snapshot document, checked with ParseSnapshots. Waits at most `timeout`
// for the whole answer. Throws std::runtime_error with the whole message when
// there is no socket, nothing listens on it, the program closes without
// answering, the time runs out or the answer is not one snapshot.
std::string TakeSnapshot(long pid, std::chrono::milliseconds timeout);

// How `run` runs its program (docs/snapshot.md).
struct RunOptions {
    std::string by = "library";         // DIDEVERAZEZ_PRELOAD_BY
    std::uint64_t sampleBytes = 524288; // DIDEVERAZEZ_SAMPLE_BYTES; 0: no sampling
    std::int64_t intervalMs = 1000;     // DIDEVERAZEZ_REPORT_INTERVAL_MS
    std::string directory;              // of the series; "": a new one in the temporary folder
    std::vector<std::string> command;   // the program and its arguments
};

// Runs `options.command` under the preload library found beside this program,
// each process writing its series into the folder (named on `err` first),
// then writes to `err` each process's peak, what it never freed by handle and
// by call site, and the path of a page of every series. Returns the program's
// exit status (128 + the signal that ended it). Throws std::runtime_error when
// there is no preload library, no folder, or the program cannot start.
int RunProgram(const RunOptions& options, std::ostream& err);

// What `top` shows and how often.
struct TopOptions {
    long pid = 0;
    std::int64_t intervalMs = 1000; // between refreshes
    std::int64_t count = 0;         // refreshes before it ends; 0: until quit or the process ends
    std::chrono::milliseconds timeout{10000}; // for each snapshot, as take's
};

// One refresh of `top`: a line on the process and its roots' bytes (and
// their change since `before`, when given), then its live handles, the most
// current bytes first, at most `maxRows`, each with its growth since
// `before` ("new" for a handle `before` lacks; handles matched by path and
// rank among those of their path).
void WriteTopTable(std::ostream& out, const Snapshot& now, const Snapshot* before,
                   std::size_t maxRows);

// Shows process `options.pid`'s handles until `options.count` refreshes were
// shown, 'q' or an interrupt quits, or the process ends; on a terminal each
// refresh replaces the last, elsewhere tables follow one another. Returns the
// exit status; throws std::runtime_error as TakeSnapshot does for the first
// snapshot, or a later one of a process still running.
int ShowTop(const TopOptions& options, std::ostream& out);

} // namespace dideverazez::report
