// The stand-in trace library: scope records, lines and errors as a sink sees
// them, the default sink's filter and layout, and sink replacement.

#include "rozudoru/TraceSink.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using dideverazez::test::TraceCapture;
using Tracer::TraceRecord;
using Kind = Tracer::TraceRecord::Kind;
namespace trace = Tracer::_internal_;

// Sets (or, for a null value, removes) an environment variable.
void SetEnvironment(const char* name, const char* value) {
#if defined(_WIN32)
    ASSERT_EQ(_putenv_s(name, value != nullptr ? value : ""), 0);
#else
    ASSERT_EQ(value != nullptr ? setenv(name, value, 1) : unsetenv(name), 0);
#endif
}

// Strings compared by content; a null pointer only equals null.
bool SameText(const char* actual, const char* expected) {
    return actual == nullptr || expected == nullptr ? actual == expected
                                                    : std::string(actual) == expected;
}

::testing::AssertionResult RecordIs(const TraceRecord& record, Kind kind, int detail,
                                    const std::string& text, const char* file, long line,
                                    const char* category, const char* function) {
    if (record.kind == kind && record.detail == detail && record.text == text &&
        SameText(record.file, file) && record.line == line && SameText(record.category, category) &&
        SameText(record.function, function)) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure()
           << "kind " << static_cast<int>(record.kind) << " detail " << record.detail << " text \""
           << record.text << "\" line " << record.line;
}

// Runs with the default sink installed and a known filter, restoring both.
class DefaultSink : public ::testing::Test {
protected:
    void SetUp() override {
        previousDetail_ = Tracer::GetTraceDetail();
        previousSink_ = Tracer::SetTraceSink({});
    }
    void TearDown() override {
        Tracer::SetTraceSink(std::move(previousSink_));
        Tracer::SetTraceDetail(previousDetail_);
    }

    // Writes one error, one line of detail 2 and one scope of detail 16 and
    // returns what reached standard error.
    static std::string WriteOneOfEach() {
        ::testing::internal::CaptureStderr();
        {
            std::ostringstream error;
            error << "boom";
            trace::Error(error, "f.cpp", 1, "CAT:", "fn");
            std::ostringstream line;
            line << "hello";
            trace::Log(Tracer::LogDetail_Lines, line, "f.cpp", 2, "CAT:", "fn");
            trace::scope scope(Tracer::LogDetail_Scopes, "S", "f.cpp", 3);
        }
        return ::testing::internal::GetCapturedStderr();
    }

private:
    int previousDetail_ = 0;
    Tracer::TraceSink previousSink_;
};

} // namespace

// A scope records its opening at construction and, at destruction, a closing
// that repeats the opening's detail, name, file and line. Lines written inside
// nested scopes fall between their openings and closings, and the inner scope
// closes before the outer one.
TEST(TraceScope, NestedScopesCloseInReverseOrder) {
    TraceCapture capture;
    const auto& records = capture.Records();
    {
        trace::scope outer(Tracer::LogDetail_Scopes, "R9_ALLOCATOR:zu_allocator::ctor",
                           "kdideverazez", 223);
        ASSERT_EQ(records.size(), 1u);
        {
            trace::scope inner(Tracer::LogDetail_Lines, "inner", "b", 20);
            std::ostringstream message;
            message << "inside";
            trace::Log(Tracer::LogDetail_Lines, message, "c", 30, "CAT:", "fn");
        }
        ASSERT_EQ(records.size(), 4u);
    }
    ASSERT_EQ(records.size(), 5u);
    const char* outer = "R9_ALLOCATOR:zu_allocator::ctor";
    EXPECT_TRUE(
        RecordIs(records[0], Kind::ScopeOpen, 16, outer, "kdideverazez", 223, nullptr, nullptr));
    EXPECT_TRUE(RecordIs(records[1], Kind::ScopeOpen, 2, "inner", "b", 20, nullptr, nullptr));
    EXPECT_TRUE(RecordIs(records[2], Kind::Line, 2, "inside", "c", 30, "CAT:", "fn"));
    EXPECT_TRUE(RecordIs(records[3], Kind::ScopeClose, 2, "inner", "b", 20, nullptr, nullptr));
    EXPECT_TRUE(
        RecordIs(records[4], Kind::ScopeClose, 16, outer, "kdideverazez", 223, nullptr, nullptr));
}

// An exception leaving the traced function still closes its scope, once.
TEST(TraceScope, ClosesWhenAnExceptionUnwindsIt) {
    TraceCapture capture;
    auto traced = [] {
        trace::scope scope(Tracer::LogDetail_Scopes, "thrower", "t", 5);
        throw std::runtime_error("out");
    };
    EXPECT_THROW(traced(), std::runtime_error);
    const auto& records = capture.Records();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_TRUE(RecordIs(records[0], Kind::ScopeOpen, 16, "thrower", "t", 5, nullptr, nullptr));
    EXPECT_TRUE(RecordIs(records[1], Kind::ScopeClose, 16, "thrower", "t", 5, nullptr, nullptr));
}

// A null scope name is recorded as an empty text rather than dereferenced.
TEST(TraceScope, NullNameBecomesEmptyText) {
    TraceCapture capture;
    { trace::scope scope(Tracer::LogDetail_Scopes, nullptr, "t", 1); }
    ASSERT_EQ(capture.Records().size(), 2u);
    EXPECT_EQ(capture.Records()[0].text, "");
    EXPECT_EQ(capture.Records()[1].text, "");
}

// Log and Error copy the message text during the call: the record keeps it
// after the caller's stream is changed and destroyed. The text is the whole
// string the caller built, even when part of the stream was read already.
// Errors carry detail 0.
TEST(TraceLog, ReadsTheMessageDuringTheCall) {
    TraceCapture capture;
    {
        auto message = std::make_unique<std::stringstream>();
        *message << "Name" << ':' << 42 << " x";
        std::string first;
        *message >> first; // moves the read position only
        trace::Log(Tracer::LogDetail_Lines, *message, "kdideverazez", 224,
                   "R9_ALLOCATOR:", "initor");
        message->str("MEMORY ERROR : x");
        trace::Error(*message, "kdideverazez", 299, "R9_ALLOCATOR:", "~zu_allocator");
        *message << " later";
        message.reset();
    }
    ASSERT_EQ(capture.Records().size(), 2u);
    EXPECT_TRUE(RecordIs(capture.Records()[0], Kind::Line, 2, "Name:42 x", "kdideverazez", 224,
                         "R9_ALLOCATOR:", "initor"));
    EXPECT_TRUE(RecordIs(capture.Records()[1], Kind::Error, 0, "MEMORY ERROR : x", "kdideverazez",
                         299, "R9_ALLOCATOR:", "~zu_allocator"));
}

// A sink may itself write records: the library calls it without holding its
// own lock, so this neither deadlocks nor loses the inner record.
TEST(TraceSinkApi, SinkMayWriteRecordsItself) {
    std::vector<std::string> seen;
    Tracer::TraceSink previous = Tracer::SetTraceSink([&seen](const TraceRecord& record) {
        seen.push_back(record.text);
        if (record.text == "outer") {
            std::ostringstream message;
            message << "from sink";
            trace::Log(Tracer::LogDetail_Lines, message, "s", 1, "C", "f");
        }
    });
    std::ostringstream message;
    message << "outer";
    trace::Log(Tracer::LogDetail_Lines, message, "s", 2, "C", "f");
    Tracer::SetTraceSink(std::move(previous));
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0], "outer");
    EXPECT_EQ(seen[1], "from sink");
}

// Records written from several threads while another thread keeps swapping
// between two sinks all arrive, each at exactly one of them.
TEST(TraceSinkApi, SinkSwapsBesideWritersLoseNothing) {
    constexpr int kWriters = 3;
    constexpr int kRecords = 2000;
    std::atomic<int> first{0};
    std::atomic<int> second{0};
    Tracer::TraceSink a = [&first](const TraceRecord&) { first.fetch_add(1); };
    Tracer::TraceSink b = [&second](const TraceRecord&) { second.fetch_add(1); };
    Tracer::TraceSink previous = Tracer::SetTraceSink(a);
    std::atomic<bool> done{false};
    std::thread swapper([&] {
        for (bool useB = true; !done.load(); useB = !useB) {
            Tracer::SetTraceSink(useB ? b : a);
        }
    });
    std::vector<std::thread> writers;
    for (int w = 0; w < kWriters; ++w) {
        writers.emplace_back([] {
            for (int i = 0; i < kRecords; ++i) {
                std::ostringstream message;
                message << i;
                trace::Log(Tracer::LogDetail_Lines, message, "w", i, "C", "f");
            }
        });
    }
    for (std::thread& writer : writers) {
        writer.join();
    }
    done.store(true);
    swapper.join();
    Tracer::SetTraceSink(std::move(previous));
    EXPECT_EQ(first.load() + second.load(), kWriters * kRecords); // 3 * 2000
}

// SetTraceSink hands back the sink it replaces; an empty sink brings back the
// default, which SetTraceSink then reports as an empty previous sink.
TEST_F(DefaultSink, SetTraceSinkReturnsThePreviousSink) {
    int firstCalls = 0;
    int secondCalls = 0;
    Tracer::TraceSink first = [&firstCalls](const TraceRecord&) { ++firstCalls; };
    Tracer::TraceSink second = [&secondCalls](const TraceRecord&) { ++secondCalls; };

    EXPECT_FALSE(Tracer::SetTraceSink(first)); // the default was installed
    Tracer::TraceSink returned = Tracer::SetTraceSink(second);
    ASSERT_TRUE(returned);
    returned(TraceRecord{Kind::Line, 2, "x", "f", 1, "c", "g"});
    EXPECT_EQ(firstCalls, 1); // what came back is the first sink

    { trace::scope scope(Tracer::LogDetail_Scopes, "s", "f", 1); }
    EXPECT_EQ(secondCalls, 2); // the installed sink gets every record, unfiltered

    Tracer::TraceSink last = Tracer::SetTraceSink({});
    ASSERT_TRUE(last);
    EXPECT_FALSE(Tracer::SetTraceSink({})); // the default is back
}

// The default sink writes to standard error what passes the filter: at 0
// errors only, at 2 lines of detail 2 too, at 16 scopes as well, opening and
// closing. An empty sink given after another one brings the default back.
TEST_F(DefaultSink, FilterDecidesWhatReachesStandardError) {
    Tracer::SetTraceSink([](const TraceRecord&) {});
    Tracer::SetTraceSink({});
    const std::string error = "f.cpp(1): ERROR CAT: fn: boom\n";
    const std::string line = "f.cpp(2): CAT: fn: hello\n";
    const std::string scope = "f.cpp(3): { S\nf.cpp(3): } S\n";
    const struct {
        int detail;
        std::string expected;
    } rows[] = {{0, error}, {2, error + line}, {16, error + line + scope}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.detail);
        Tracer::SetTraceDetail(row.detail);
        EXPECT_EQ(Tracer::GetTraceDetail(), row.detail);
        EXPECT_EQ(WriteOneOfEach(), row.expected);
    }
}

// One line per record: file(line): then "{ name", "} name",
// "category function: text" or "ERROR category function: text"; absent strings
// are written as empty.
TEST(TraceFormat, LayoutOfEachKind) {
    const struct {
        TraceRecord record;
        const char* expected;
    } rows[] = {
        {{Kind::ScopeOpen, 16, "N", "file", 12, nullptr, nullptr}, "file(12): { N"},
        {{Kind::ScopeClose, 16, "N", "file", 12, nullptr, nullptr}, "file(12): } N"},
        {{Kind::Line, 2, "Name:x", "kdideverazez", 224, "R9_ALLOCATOR:", "initor"},
         "kdideverazez(224): R9_ALLOCATOR: initor: Name:x"},
        {{Kind::Error, 0, "MEMORY ERROR : m", "kdideverazez_impl", 105,
          "R9_ALLOCATOR:", "~allocator_impl"},
         "kdideverazez_impl(105): ERROR R9_ALLOCATOR: ~allocator_impl: MEMORY ERROR : m"},
        {{Kind::Error, 0, "t", nullptr, -1, nullptr, nullptr}, "(-1): ERROR  : t"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(Tracer::FormatTraceRecord(row.record), row.expected);
    }
}

// The filter is read from ROZUDORU_DETAIL when the process starts using it,
// and starts at 0 (errors only) without it; checked in a fresh process that
// inherits the variable.
TEST(TraceDetailEnvironment, ReadFromTheEnvironmentOnce) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const char* saved = std::getenv("ROZUDORU_DETAIL");
    const std::string savedText = saved != nullptr ? saved : "";
    const struct {
        const char* value;
        int detail;
    } rows[] = {{"7", 7}, {nullptr, 0}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.detail);
        SetEnvironment("ROZUDORU_DETAIL", row.value);
        EXPECT_EXIT(std::exit(Tracer::GetTraceDetail() == row.detail ? 0 : 1),
                    ::testing::ExitedWithCode(0), "");
    }
    SetEnvironment("ROZUDORU_DETAIL", saved != nullptr ? savedText.c_str() : nullptr);
}
