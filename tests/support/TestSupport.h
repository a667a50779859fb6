// Helpers shared by the test suites.
#pragma once

#include "rozudoru/TraceSink.h"

#include <vector>

namespace dideverazez::test {

// Captures every trace record written while it lives, and restores the
// previous sink when destroyed.
class TraceCapture {
public:
    TraceCapture();
    ~TraceCapture();
    TraceCapture(const TraceCapture&) = delete;
    TraceCapture& operator=(const TraceCapture&) = delete;

    const std::vector<Tracer::TraceRecord>& Records() const { return records_; }
    void Clear() { records_.clear(); }

private:
    std::vector<Tracer::TraceRecord> records_;
    Tracer::TraceSink previous_;
};

} // namespace dideverazez::test
