// The stand-in trace library. Which test owns which rule:
//  - TraceRecords: what a sink sees of scopes (closed in reverse order, also
//    by an exception), lines and errors, and a sink that writes records itself.
//  - DefaultSink: the filter and the line layout on standard error, and the
//    filter read once from ROZUDORU_DETAIL.

#include "rozudoru/TraceSink.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>
#include <stdexcept>

namespace {

using dideverazez::test::TraceCapture;
namespace trace = Tracer::_internal_;

void Line(const char* text, Tracer::LogDetail detail = Tracer::LogDetail_Lines) {
    std::ostringstream message;
    message << text;
    trace::Log(detail, message, "f.cpp", 2, "CAT:", "fn");
}

TEST(TraceRecords, ScopesLinesAndErrors) {
    TraceCapture capture;
    try {
        trace::scope outer(Tracer::LogDetail_Scopes, "outer", "f.cpp", 1);
        trace::scope inner(Tracer::LogDetail_Scopes, nullptr, "f.cpp", 3);
        Line("inside");
        std::ostringstream message;
        message << "boom";
        trace::Error(message, "f.cpp", 4, "CAT:", "fn");
        message << " later"; // read during the call only
        throw std::runtime_error("unwinds both scopes");
    } catch (const std::runtime_error&) {
    }
    Tracer::TraceSink inner = Tracer::SetTraceSink({});
    Tracer::SetTraceSink([&](const Tracer::TraceRecord& record) {
        inner(record);
        if (record.text == "outer") {
            Line("from the sink"); // no lock is held while a sink runs
        }
    });
    Line("outer");
    Tracer::SetTraceSink(std::move(inner));
    EXPECT_EQ(capture.Text(), "16 f.cpp(1): { outer\n"
                              "16 f.cpp(3): { \n"
                              "2 f.cpp(2): CAT: fn: inside\n"
                              "0 f.cpp(4): ERROR CAT: fn: boom\n"
                              "16 f.cpp(3): } \n"
                              "16 f.cpp(1): } outer\n"
                              "2 f.cpp(2): CAT: fn: outer\n"
                              "2 f.cpp(2): CAT: fn: from the sink\n");
}

// The default sink writes to standard error what its filter lets through, one
// line a record; the filter starts at ROZUDORU_DETAIL, read once.
TEST(DefaultSink, FilterAndLayout) {
    Tracer::TraceSink previous = Tracer::SetTraceSink({});
    const int detail = Tracer::GetTraceDetail();
    std::string written[3];
    const int filters[] = {0, 2, 16};
    for (int i = 0; i < 3; ++i) {
        Tracer::SetTraceDetail(filters[i]);
        ::testing::internal::CaptureStderr();
        {
            trace::scope scope(Tracer::LogDetail_Scopes, "S", "f.cpp", 3);
            Line("hello");
            std::ostringstream message;
            message << "boom";
            trace::Error(message, nullptr, -1, nullptr, nullptr);
        }
        written[i] = ::testing::internal::GetCapturedStderr();
    }
    Tracer::SetTraceDetail(detail);
    Tracer::SetTraceSink(std::move(previous));
    const std::string error = "(-1): ERROR  : boom\n", line = "f.cpp(2): CAT: fn: hello\n";
    EXPECT_EQ(written[0], error);
    EXPECT_EQ(written[1], line + error);
    EXPECT_EQ(written[2], "f.cpp(3): { S\n" + line + error + "f.cpp(3): } S\n");
#if !defined(_WIN32)
    GTEST_FLAG_SET(death_test_style, "threadsafe"); // a fresh process reads the variable
    ASSERT_EQ(setenv("ROZUDORU_DETAIL", "7", 1), 0);
    EXPECT_EXIT(std::exit(Tracer::GetTraceDetail()), ::testing::ExitedWithCode(7), "");
    unsetenv("ROZUDORU_DETAIL");
#endif
}

} // namespace
