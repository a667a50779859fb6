// Snapshots for programs that were not changed, asked for by the environment
// (docs/snapshot.md): DIDEVERAZEZ_REPORT=<path> ("%p" the process id) writes
// one when the module unloads and on each request from outside (SIGUSR1, or a
// named event on Windows); DIDEVERAZEZ_REPORT_INTERVAL_MS=<n> adds one every n
// milliseconds and makes the file a time series, one snapshot a line. Without
// them the reporter starts no thread, installs no handler and writes nothing.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <thread>

class AllocSizes;

namespace dideverazez::platform {
class ReportRequests;
}

namespace dideverazez::observe {

class Reporter {
public:
    // Reads the environment (ignored in a set-user-ID or set-group-ID program)
    // and, when a path is set, starts listening and the watcher thread.
    // `histogram` (held) is the module's own, which it outlives.
    explicit Reporter(const AllocSizes& histogram);
    // Stops the watcher, then writes the last snapshot.
    ~Reporter();
    Reporter(const Reporter&) = delete;
    Reporter& operator=(const Reporter&) = delete;

    // The path with "%p" replaced by `process` and "%%" by "%".
    static std::string ExpandPath(const char* pattern, std::uint32_t process);

private:
    void Watch();
    // Takes one snapshot and writes it; a failure is said once on standard
    // error.
    void Write();

    const AllocSizes& histogram_;
    std::string path_;             // empty: the reporter is off
    std::int64_t intervalMs_ = -1; // -1: no time series
    bool failed_ = false;
    std::unique_ptr<platform::ReportRequests> requests_;
    std::thread watcher_;
};

} // namespace dideverazez::observe
