// The operations of the sibling trace library `rozudoru` that this module
// calls. The module only calls them: it reads no result, state or error back,
// and behaves the same whatever the trace library does with the records.
#pragma once

#include <ostream>

#if defined(_WIN32)
#if defined(ROZUDORU_BUILDING)
#define ROZUDORU_API __declspec(dllexport)
#else
#define ROZUDORU_API __declspec(dllimport)
#endif
#else
#define ROZUDORU_API __attribute__((visibility("default")))
#endif

namespace Tracer {

// Detail level of a trace record: a record is kept by a filter whose level is
// at least the record's. Errors carry no level and are always kept.
enum LogDetail : int {
    LogDetail_Errors = 0,
    LogDetail_Lines = 2,
    LogDetail_Scopes = 16,
    LogDetail_All = 255,
};

namespace _internal_ {

// A traced region: the constructor records its opening, the destructor its
// closing with the same detail, name, file and line, also when an exception
// unwinds the caller. The strings must outlive the scope.
class ROZUDORU_API scope {
public:
    scope(LogDetail detail, const char* name, const char* file, long line);
    ~scope();
    scope(const scope&) = delete;
    scope& operator=(const scope&) = delete;

private:
    LogDetail detail_;
    const char* name_;
    const char* file_;
    long line_;
};

// One trace line. `message` is the output side of a string stream built by the
// caller for this call; its text is read during the call only.
ROZUDORU_API void Log(LogDetail detail, const std::ostream& message, const char* file, long line,
                      const char* category, const char* function);

// One error line; it carries no detail level and passes every filter.
ROZUDORU_API void Error(const std::ostream& message, const char* file, long line,
                        const char* category, const char* function);

} // namespace _internal_
} // namespace Tracer
