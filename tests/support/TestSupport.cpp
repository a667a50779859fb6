#include "support/TestSupport.h"

namespace dideverazez::test {

TraceCapture::TraceCapture()
    : previous_(Tracer::SetTraceSink(
          [this](const Tracer::TraceRecord& record) { records_.push_back(record); })) {}

TraceCapture::~TraceCapture() { Tracer::SetTraceSink(std::move(previous_)); }

} // namespace dideverazez::test
