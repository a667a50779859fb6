#include "observe/Reporter.h"

#include "observe/Snapshot.h"
#include "platform/Platform.h"

#include <cstdio>
#include <cstdlib>

namespace dideverazez::observe {

Reporter::Reporter(const AllocSizes& histogram) : histogram_(histogram) {
    const char* path = platform::TrustedEnvironment("DIDEVERAZEZ_REPORT");
    if (path == nullptr || *path == '\0') {
        return;
    }
    path_ = ExpandPath(path, platform::CurrentProcessId());
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
    requests_ = std::make_unique<platform::ReportRequests>();
    watcher_ = std::thread([this] { Watch(); });
}

Reporter::~Reporter() {
    if (path_.empty()) {
        return;
    }
    requests_->Stop();
    watcher_.join();
    requests_.reset(); // the signal goes back to what it was before
    Write();
}

std::string Reporter::ExpandPath(const char* pattern, std::uint32_t process) {
    std::string path;
    for (const char* c = pattern; *c != '\0'; ++c) {
        if (c[0] == '%' && (c[1] == 'p' || c[1] == '%')) {
            path += *++c == 'p' ? std::to_string(process) : "%";
        } else {
            path += *c;
        }
    }
    return path;
}

// Waits for a request or the next interval, and writes a snapshot for each,
// until stopped.
void Reporter::Watch() {
    while (!requests_->Stopped()) {
        const bool requested = requests_->Wait(intervalMs_);
        if (requested || (intervalMs_ > 0 && !requests_->Stopped())) {
            Write();
        }
    }
}

void Reporter::Write() {
    std::string text;
    bool written = false;
    try {
        text = ToJson(TakeSnapshot(histogram_));
        written = intervalMs_ > 0 ? platform::AppendToFile(path_.c_str(), text + "\n")
                                  : platform::WriteWholeFile(path_.c_str(), text);
    } catch (const std::bad_alloc&) {
        // No memory for the snapshot: said below like any failure.
    }
    if (!written && !failed_) {
        failed_ = true;
        std::fprintf(stderr, "dideverazez: cannot write the report %s: %s\n", path_.c_str(),
                     platform::LastError().c_str());
    }
}

} // namespace dideverazez::observe
