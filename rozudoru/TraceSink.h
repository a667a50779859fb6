// Configuration of the stand-in trace library: where records go and which
// detail levels the default destination keeps.
#pragma once

#include "trace/rozudoru.h"

#include <functional>
#include <string>

namespace Tracer {

struct TraceRecord {
    enum class Kind { ScopeOpen, ScopeClose, Line, Error };
    Kind kind;
    int detail;           // the LogDetail value; 0 for an error
    std::string text;     // the scope name, or the message
    const char* file;
    long line;
    const char* category; // null for scopes
    const char* function; // null for scopes
};

using TraceSink = std::function<void(const TraceRecord&)>;

// Installs `sink` as the destination of every record and returns the previous
// one. An empty sink restores the default, which writes to standard error.
// A custom sink receives every record, whatever the filter.
ROZUDORU_API TraceSink SetTraceSink(TraceSink sink);

// Sets the default sink's filter: errors always pass, lines and scopes pass
// when their detail is at most `maxDetail`. Until this is called the filter is
// read once from the environment variable ROZUDORU_DETAIL (0 when unset).
ROZUDORU_API void SetTraceDetail(int maxDetail);

// The default sink's current filter.
ROZUDORU_API int GetTraceDetail();

// Writes `record` as one line, the way the default sink does.
ROZUDORU_API std::string FormatTraceRecord(const TraceRecord& record);

} // namespace Tracer
