// The stand-in trace library: records go to an installable sink, by default a
// filtered writer on standard error.
//
// Everything here may run while a client module's static objects are being
// built or destroyed, so the globals are constant-initialised (the filter) or
// function-local statics built on first use (the mutex, the sink).

#include "rozudoru/TraceSink.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <sstream>

namespace Tracer {
namespace {

// Not a constinit global: MinGW's std::mutex (over winpthread) has no
// constant initialiser. Its destructor is trivial, so records written by
// static destructors after it are still safe.
std::mutex& SinkMutex() {
    static std::mutex mutex;
    return mutex;
}

// -1 until the filter is first needed; then read from ROZUDORU_DETAIL once.
constinit std::atomic<int> gDetail{-1};

TraceSink& InstalledSink() {
    static TraceSink sink;
    return sink;
}

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
    TraceSink sink;
    {
        std::lock_guard<std::mutex> lock(SinkMutex());
        sink = InstalledSink();
    }
    // Called without the lock, so a sink may itself write trace records.
    if (sink) {
        sink(record);
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

const char* OrEmpty(const char* text) { return text != nullptr ? text : ""; }

} // namespace

TraceSink SetTraceSink(TraceSink sink) {
    std::lock_guard<std::mutex> lock(SinkMutex());
    TraceSink previous = std::move(InstalledSink());
    InstalledSink() = std::move(sink);
    return previous;
}

void SetTraceDetail(int maxDetail) { gDetail.store(maxDetail, std::memory_order_relaxed); }

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
