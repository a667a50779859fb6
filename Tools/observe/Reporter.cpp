#include "observe/Reporter.h"

#include "observe/Snapshot.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

namespace dideverazez::observe {

Reporter::Reporter(const AllocSizes& histogram) : histogram_(histogram) {
    const char* path = platform::TrustedEnvironment("DIDEVERAZEZ_REPORT");
    if (path == nullptr || *path == '\0') {
        return;
    }
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
        path_ = ExpandPath(path, platform::CurrentProcessId());
        pattern_ = path;
    } catch (const std::bad_alloc&) {
        std::fputs("dideverazez: no memory for the report's path; no report\n", stderr);
        pattern_.clear();
        return;
    }
    // Said now rather than when the program ends, after all its work.
    if (platform::KindOfPath(path_.c_str()) == platform::PathKind::Other) {
        failed_ = true;
        SayNotAFile();
    } else if (!platform::CanWriteFile(path_.c_str(), intervalMs_ > 0)) {
        failed_ = true;
        std::fprintf(stderr, "dideverazez: cannot write the report %s: %s\n", path_.c_str(),
                     platform::LastError());
    }
    Start();
}

Reporter::~Reporter() {
    if (pattern_.empty()) {
        return;
    }
    requests_.Stop();
    // A process ending with its other threads gone (Windows, at exit): the
    // watcher is not there to wait for, and a lock one of them held stays
    // held, so the last snapshot only tries the locks.
    const bool ending = platform::ProcessEnding();
    ending ? watcher_.Forget() : watcher_.Join();
    requests_.Close(); // the signal goes back to what it was before
    Write(!ending);
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
    if (pattern_.empty()) {
        return;
    }
    watcher_.Forget();
    requests_.Abandon();
    try {
        path_ = ExpandPath(pattern_.c_str(), platform::CurrentProcessId());
    } catch (const std::bad_alloc&) {
        pattern_.clear(); // the parent's path is not this process's to write
        return;
    }
    failed_ = false;
    Start();
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

void Reporter::SayNotAFile() const {
    std::fprintf(stderr,
                 "dideverazez: the report path %s is not a regular file (a FIFO, a device, a "
                 "folder or a link): no report is written there\n",
                 path_.c_str());
}

void Reporter::Write(bool wait) {
    LibraryString text;
    bool written = false;
    const bool file = platform::KindOfPath(path_.c_str()) != platform::PathKind::Other;
    if (!file && !failed_) {
        failed_ = true;
        SayNotAFile();
    }
    try {
        bool complete = true;
        const Snapshot snapshot = TakeSnapshot(histogram_, wait, &complete);
        if (!complete) {
            std::fputs("dideverazez: a handle's tree was locked when the process ended (a thread "
                       "was stopped inside the library): no report at exit\n",
                       stderr);
            return;
        }
        text = ToJson(snapshot);
        text += '\n';
        written =
            !file || (intervalMs_ > 0
                          ? platform::AppendToFile(path_.c_str(), text.data(), text.size())
                          : platform::WriteWholeFile(path_.c_str(), text.data(), text.size() - 1));
    } catch (const std::bad_alloc&) {
        // No memory for the snapshot: said below like any failure.
    }
    if (!written && !failed_) {
        failed_ = true;
        std::fprintf(stderr, "dideverazez: cannot write the report %s: %s\n", path_.c_str(),
                     platform::LastError());
    }
    requests_.Answer(text.data(), text.size()); // nothing, when there was no memory for it
}

} // namespace dideverazez::observe
