// The stand-in trace library: records go to an installable sink, by default a
// filtered writer on standard error.
//
// Everything here may run while a client module's static objects are being
// built or destroyed, so the globals are constant-initialised (the filter, the
// sink's pointer) or function-local statics built on first use (the mutex).
//
// A record takes no lock: a process may fork while another thread writes one,
// and its child must still write its own (a lock held at the fork would be
// held in the child for good).

#include "rozudoru/TraceSink.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <sstream>

namespace Tracer {
namespace {

// Serialises the installers, never a record. Not a constinit global: MinGW's
// std::mutex (over winpthread) has no constant initialiser. Its destructor is
// trivial, so a sink installed by a static destructor after it is still safe.
std::mutex& InstallMutex() {
    static std::mutex mutex;
    return mutex;
}

// -1 until the filter is first needed; then read from ROZUDORU_DETAIL once.
constinit std::atomic<int> gDetail{-1};

// An installed sink. A record being written may still be calling one that was
// replaced, so a replaced sink is kept, in the list of the replaced, for the
// life of the process: a host installs a few, not one a record.
struct InstalledSink {
    TraceSink sink;
    InstalledSink* replaced;
};
constinit std::atomic<InstalledSink*> gSink{nullptr}; // null: the default
constinit InstalledSink* gReplaced = nullptr;         // the installers' alone

int ReadDetailFromEnvironment() {
    const char* text = std::getenv("ROZUDORU_DETAIL");
    if (text == nullptr || *text == '\0') {
        return 0;
    }
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    return (end != text && value >= 0) ? static_cast<int>(value) : 0;
}

void WriteToStandardError(const TraceRecord& record) {
    if (record.kind != TraceRecord::Kind::Error && record.detail > GetTraceDetail()) {
        return;
    }
    const std::string line = FormatTraceRecord(record);
    std::fprintf(stderr, "%s\n", line.c_str());
}

void Emit(TraceRecord&& record) {
    // A sink may itself write trace records.
    if (const InstalledSink* installed = gSink.load(std::memory_order_acquire)) {
        installed->sink(record);
    } else {
        WriteToStandardError(record);
    }
}

// The text of the caller's string stream, read during the call.
std::string MessageText(const std::ostream& message) {
    if (auto* buffer = dynamic_cast<std::stringbuf*>(message.rdbuf())) {
        return buffer->str();
    }
    return {};
}

const char* OrEmpty(const char* text) {
    return text != nullptr ? text : "";
}

} // namespace

TraceSink SetTraceSink(TraceSink sink) {
    const std::lock_guard<std::mutex> lock(InstallMutex());
    auto* installed = sink ? new InstalledSink{std::move(sink), nullptr} : nullptr;
    InstalledSink* previous = gSink.exchange(installed, std::memory_order_acq_rel);
    if (previous == nullptr) {
        return {};
    }
    previous->replaced = gReplaced;
    gReplaced = previous;
    return previous->sink;
}

void SetTraceDetail(int maxDetail) {
    gDetail.store(maxDetail, std::memory_order_relaxed);
}

int GetTraceDetail() {
    int detail = gDetail.load(std::memory_order_relaxed);
    if (detail < 0) {
        int expected = -1;
        gDetail.compare_exchange_strong(expected, ReadDetailFromEnvironment(),
                                        std::memory_order_relaxed);
        detail = gDetail.load(std::memory_order_relaxed);
    }
    return detail;
}

std::string FormatTraceRecord(const TraceRecord& record) {
    std::ostringstream out;
    out << OrEmpty(record.file) << '(' << record.line << "): ";
    switch (record.kind) {
    case TraceRecord::Kind::ScopeOpen:
        out << "{ " << record.text;
        break;
    case TraceRecord::Kind::ScopeClose:
        out << "} " << record.text;
        break;
    case TraceRecord::Kind::Line:
        out << OrEmpty(record.category) << ' ' << OrEmpty(record.function) << ": " << record.text;
        break;
    case TraceRecord::Kind::Error:
        out << "ERROR " << OrEmpty(record.category) << ' ' << OrEmpty(record.function) << ": "
            << record.text;
        break;
    }
    return out.str();
}

namespace _internal_ {

scope::scope(LogDetail detail, const char* name, const char* file, long line)
    : detail_(detail), name_(name), file_(file), line_(line) {
    Emit({TraceRecord::Kind::ScopeOpen, detail_, OrEmpty(name_), file_, line_, nullptr, nullptr});
}

scope::~scope() {
    // A destructor must not throw; a sink that fails loses its record.
    try {
        Emit({TraceRecord::Kind::ScopeClose, detail_, OrEmpty(name_), file_, line_, nullptr,
              nullptr});
    } catch (...) {
    }
}

void Log(LogDetail detail, const std::ostream& message, const char* file, long line,
         const char* category, const char* function) {
    Emit({TraceRecord::Kind::Line, detail, MessageText(message), file, line, category, function});
}

void Error(const std::ostream& message, const char* file, long line, const char* category,
           const char* function) {
    Emit({TraceRecord::Kind::Error, 0, MessageText(message), file, line, category, function});
}

} // namespace _internal_
} // namespace Tracer
