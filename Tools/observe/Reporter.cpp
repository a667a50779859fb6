#include "observe/Reporter.h"

#include "observe/SnapshotWriter.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>

namespace dideverazez::observe {

namespace {
// The reporter that ends the process when it ends without unloading the
// library; null once it has.
constinit std::atomic<Reporter*> gEnding{nullptr};
} // namespace

Reporter::Reporter(const AllocSizes& histogram) : histogram_(histogram) {
    const char* path = platform::TrustedEnvironment("DIDEVERAZEZ_REPORT");
    const char* metrics = platform::TrustedEnvironment("DIDEVERAZEZ_METRICS");
    path = path != nullptr && *path != '\0' ? path : nullptr;
    metrics = metrics != nullptr && *metrics != '\0' ? metrics : nullptr;
    if (path == nullptr && metrics == nullptr) {
        return;
    }
    char program[8];
    platform::ProgramName(program, sizeof program); // read now, before the program runs
    if (const char* interval = platform::TrustedEnvironment("DIDEVERAZEZ_REPORT_INTERVAL_MS")) {
        char* end = nullptr;
        const long long ms = std::strtoll(interval, &end, 10);
        if (end == interval || *end != '\0' || ms <= 0) {
            std::fprintf(stderr,
                         "dideverazez: DIDEVERAZEZ_REPORT_INTERVAL_MS=%s is not a number of "
                         "milliseconds above 0; no time series\n",
                         interval);
        } else {
            intervalMs_ = ms;
        }
    }
    if (const char* signal = platform::TrustedEnvironment("DIDEVERAZEZ_REPORT_SIGNAL")) {
        signal_ = std::strcmp(signal, "USR1") == 0 || std::strcmp(signal, "SIGUSR1") == 0;
        if (!signal_) {
            std::fprintf(stderr,
                         "dideverazez: DIDEVERAZEZ_REPORT_SIGNAL=%s is not USR1; no snapshot on "
                         "a signal\n",
                         signal);
        }
    }
    try {
        const std::uint32_t process = platform::CurrentProcessId();
        if (path != nullptr) {
            path_ = ExpandPath(path, process);
            pattern_ = path;
        }
        if (metrics != nullptr) {
            metricsPath_ = ExpandPath(metrics, process);
            metricsPattern_ = metrics;
        }
    } catch (const std::bad_alloc&) {
        std::fputs("dideverazez: no memory for the report's path; no report\n", stderr);
        pattern_.clear();
        metricsPattern_.clear();
        return;
    }
    CheckPaths();
    Start();
    gEnding.store(this);
    platform::OfferExitHook([] {
        if (Reporter* reporter = gEnding.exchange(nullptr)) {
            reporter->EndNow();
        }
    });
}

// Reported now rather than when the program ends, after all its work.
void Reporter::CheckPaths() noexcept {
    if (!pattern_.empty()) {
        failed_ = !CanWrite(path_, intervalMs_ > 0, "report");
    }
    if (!metricsPattern_.empty()) {
        metricsFailed_ = !CanWrite(metricsPath_, false, "metrics");
    }
}

bool Reporter::CanWrite(const LibraryString& path, bool append, const char* what) {
    if (platform::KindOfPath(path.c_str()) == platform::PathKind::Other) {
        SayNotAFile(path, what);
        return false;
    }
    if (!platform::CanWriteFile(path.c_str(), append)) {
        std::fprintf(stderr, "dideverazez: cannot write the %s %s: %s\n", what, path.c_str(),
                     platform::LastError());
        return false;
    }
    return true;
}

Reporter::~Reporter() {
    gEnding.store(nullptr);
    Finish();
}

void Reporter::EndNow() noexcept {
    Finish();
}

void Reporter::Finish() noexcept {
    if ((pattern_.empty() && metricsPattern_.empty()) || finished_) {
        return;
    }
    finished_ = true;
    requests_.Stop();
    // A process ending with its other threads gone (Windows, at exit): the
    // watcher is not there to wait for, and a lock one of them held stays
    // held, so the last snapshot only tries the locks.
    const bool ending = platform::ProcessEnding();
    ending ? watcher_.Forget() : watcher_.Join();
    requests_.Close(); // the signal goes back to what it was before
    Write(!ending, true);
}

void Reporter::Start() noexcept {
    if (!requests_.Open(signal_)) {
        return; // nothing could wake a watcher: it would spin
    }
    // Its thread is never waited for under the loader's lock (FreeLibrary):
    // the module stays loaded while it runs (Windows).
    platform::KeepModuleLoaded();
    if (!watcher_.Start([](void* self) { static_cast<Reporter*>(self)->Watch(); }, this)) {
        std::fprintf(stderr,
                     "dideverazez: cannot start the report's thread: %s; a report at exit only\n",
                     platform::LastError());
        requests_.Close();
    }
}

void Reporter::RestartInChild() noexcept {
    if (pattern_.empty() && metricsPattern_.empty()) {
        return;
    }
    watcher_.Forget();
    requests_.Abandon();
    try {
        const std::uint32_t process = platform::CurrentProcessId();
        if (!pattern_.empty()) {
            path_ = ExpandPath(pattern_.c_str(), process);
        }
        if (!metricsPattern_.empty()) {
            metricsPath_ = ExpandPath(metricsPattern_.c_str(), process);
        }
    } catch (const std::bad_alloc&) {
        // The parent's paths are not this process's to write.
        pattern_.clear();
        metricsPattern_.clear();
        return;
    }
    failed_ = false;
    metricsFailed_ = false;
    CheckPaths(); // the child's own paths, reported as the parent's were at load
    Start();
}

bool Reporter::NamesProcess(const char* pattern) {
    for (const char* c = pattern; *c != '\0'; ++c) {
        if (c[0] == '%' && (c[1] == 'p' || c[1] == '%')) {
            if (*++c == 'p') {
                return true;
            }
        }
    }
    return false;
}

LibraryString Reporter::ExpandPath(const char* pattern, std::uint32_t process) {
    LibraryString path;
    for (const char* c = pattern; *c != '\0'; ++c) {
        if (c[0] == '%' && (c[1] == 'p' || c[1] == '%')) {
            *++c == 'p' ? AppendNumber(path, process) : void(path += '%');
        } else {
            path += *c;
        }
    }
    return path;
}

// Waits for a request or the next interval, and writes a snapshot for each,
// until stopped.
void Reporter::Watch() {
    while (!requests_.Stopped()) {
        const bool requested = requests_.Wait(intervalMs_);
        if (requested || (intervalMs_ > 0 && !requests_.Stopped())) {
            Write(true);
        }
    }
}

void Reporter::SayNotAFile(const LibraryString& path, const char* what) {
    std::fprintf(stderr,
                 "dideverazez: the %s path %s is not a regular file (a FIFO, a device, a "
                 "folder or a link): nothing is written there\n",
                 what, path.c_str());
}

void Reporter::Write(bool wait, bool atExit) {
    LibraryString text;
    try {
        bool complete = true;
        Snapshot snapshot = TakeSnapshot(histogram_, wait, &complete);
        snapshot.AtExit = atExit;
        if (!complete) {
            std::fputs("dideverazez: a handle's tree was locked when the process ended (a thread "
                       "was stopped inside the library): no report at exit\n",
                       stderr);
            return;
        }
        // The JSON also answers a request over the socket, with or without a
        // report file.
        text = ToJson(snapshot);
        text += '\n';
        if (!pattern_.empty()) {
            WriteReport(text);
        }
        if (!metricsPattern_.empty()) {
            // A process that ends has no values to serve: its own file left
            // behind would be served as if it still ran (docs/metrics.md). A
            // path without the process id is shared with its parent or
            // children, which go on writing it.
            if (atExit && NamesProcess(metricsPattern_.c_str())) {
                platform::RemoveFile(metricsPath_.c_str());
            } else {
                WriteMetrics(snapshot);
            }
        }
    } catch (const std::bad_alloc&) {
        // No memory for the snapshot: reported like any failure.
        SayNoMemory();
    }
    requests_.Answer(text.data(), text.size()); // nothing, when there was no memory for it
}

void Reporter::SayNoMemory() {
    if (!pattern_.empty() && !failed_) {
        failed_ = true;
        std::fprintf(stderr, "dideverazez: cannot write the report %s: %s\n", path_.c_str(),
                     "no memory for the snapshot");
    }
    if (!metricsPattern_.empty() && !metricsFailed_) {
        metricsFailed_ = true;
        std::fprintf(stderr, "dideverazez: cannot write the metrics %s: %s\n", metricsPath_.c_str(),
                     "no memory for the snapshot");
    }
}

void Reporter::WriteReport(const LibraryString& text) {
    const bool file = platform::KindOfPath(path_.c_str()) != platform::PathKind::Other;
    if (!file && !failed_) {
        failed_ = true;
        SayNotAFile(path_, "report");
    }
    const bool written =
        !file ||
        (intervalMs_ > 0 ? platform::AppendToFile(path_.c_str(), text.data(), text.size())
                         : platform::WriteWholeFile(path_.c_str(), text.data(), text.size() - 1));
    if (!written && !failed_) {
        failed_ = true;
        std::fprintf(stderr, "dideverazez: cannot write the report %s: %s\n", path_.c_str(),
                     platform::LastError());
    }
}

// Always whole, never a series: a reader (node_exporter's textfile
// collector) sees the last moment's text or the one before.
void Reporter::WriteMetrics(const Snapshot& snapshot) {
    const bool file = platform::KindOfPath(metricsPath_.c_str()) != platform::PathKind::Other;
    if (!file && !metricsFailed_) {
        metricsFailed_ = true;
        SayNotAFile(metricsPath_, "metrics");
    }
    if (!file) {
        return;
    }
    LibraryString text;
    try {
        text = ToOpenMetrics(snapshot);
    } catch (const std::overflow_error&) {
        if (!metricsFailed_) {
            metricsFailed_ = true;
            std::fprintf(stderr,
                         "dideverazez: the metrics %s are not written: a sum of counters has no "
                         "64-bit value\n",
                         metricsPath_.c_str());
        }
        return;
    }
    if (!platform::WriteWholeFile(metricsPath_.c_str(), text.data(), text.size()) &&
        !metricsFailed_) {
        metricsFailed_ = true;
        std::fprintf(stderr, "dideverazez: cannot write the metrics %s: %s\n", metricsPath_.c_str(),
                     platform::LastError());
    }
}

} // namespace dideverazez::observe
