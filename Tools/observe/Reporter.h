// Snapshots for programs that were not changed, asked for by the environment
// (docs/snapshot.md): DIDEVERAZEZ_REPORT=<path> ("%p" the process id) writes
// one when the module unloads and on each request from outside (a connection
// to the process's local socket, `dideverazez-report take <pid>`; SIGUSR1 with
// DIDEVERAZEZ_REPORT_SIGNAL=USR1; a named event on Windows);
// DIDEVERAZEZ_REPORT_INTERVAL_MS=<n> adds one every n milliseconds and makes
// the file a time series, one snapshot a line. DIDEVERAZEZ_METRICS=<path>
// writes the live handles' statistics as OpenMetrics text at the same moments,
// with or without DIDEVERAZEZ_REPORT, whole each time (docs/metrics.md).
// With neither set the reporter starts no thread, opens no socket, installs no
// handler and writes nothing.
#pragma once

#include "observe/LibraryHeap.h"
#include "platform/Platform.h"

#include <cstdint>

class AllocSizes;

namespace dideverazez::observe {

struct Snapshot;

class Reporter {
public:
    // Reads the environment (ignored in a set-user-ID or set-group-ID program)
    // and, when a path is set, reports at once when it cannot be written, starts
    // listening and the watcher thread. A watcher that cannot be started is
    // reported on standard error; the snapshot at unload is written all the same.
    // `histogram` (held) is the module's own, which it outlives.
    explicit Reporter(const AllocSizes& histogram);
    // Stops the watcher, then writes the last snapshot (marked at_exit) and
    // removes the metrics file: its process is gone.
    ~Reporter();
    Reporter(const Reporter&) = delete;
    Reporter& operator=(const Reporter&) = delete;

    // In the child of a fork, whose only thread is the one that forked: the
    // parent's watcher and requests are not this process's. The child starts
    // its own, with its own process id in the path and the socket's name.
    void RestartInChild() noexcept;

    // The process ends without unloading the library (the preload library's
    // _exit, through platform::OfferExitHook): does now what the destructor
    // would, once; the destructor then does nothing.
    void EndNow() noexcept;

    // The path with "%p" replaced by `process` and "%%" by "%".
    static LibraryString ExpandPath(const char* pattern, std::uint32_t process);
    // Whether `pattern` holds "%p": its path is this process's alone.
    static bool NamesProcess(const char* pattern);

private:
    void Start() noexcept;
    void Watch();
    // Takes one snapshot and writes it (its JSON, its OpenMetrics text, as
    // the environment asks), and answers whoever asked for it through the
    // socket; a failure to write is reported on standard error once per file, and
    // a path that is not a regular file is never written.
    // With `wait` false the snapshot's locks are only tried (SnapshotWriter.h).
    void Write(bool wait, bool atExit = false);
    // The destructor's work: the last snapshot, the metrics file removed.
    void Finish() noexcept;
    void WriteReport(const LibraryString& text);
    void WriteMetrics(const Snapshot& snapshot);
    void CheckPaths() noexcept;
    void SayNoMemory();
    // Whether `path` can be written now; when not, reports why on standard error
    // (`what`: "report", "metrics").
    static bool CanWrite(const LibraryString& path, bool append, const char* what);
    static void SayNotAFile(const LibraryString& path, const char* what);

    const AllocSizes& histogram_;
    // The environment's, copied (a program may write over its environment, as
    // a server setting its process title does); empty: no JSON report. With
    // both patterns empty the reporter is off.
    LibraryString pattern_;
    LibraryString path_;
    LibraryString metricsPattern_; // empty: no OpenMetrics text
    LibraryString metricsPath_;
    bool metricsFailed_ = false;
    std::int64_t intervalMs_ = -1; // -1: no time series
    bool signal_ = false;          // SIGUSR1 asks too
    bool failed_ = false;
    bool finished_ = false; // the last snapshot is written: nothing more is
    platform::ReportRequests requests_;
    platform::Thread watcher_;
};

} // namespace dideverazez::observe
