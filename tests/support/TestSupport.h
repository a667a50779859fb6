// Helpers shared by the test suites: trace capture, the heap fault seam, the
// expected failure, statistics as plain triples, engines and their bytes, and
// golden files.
#pragma once

#include "engines/kdideverazez_impl.h"
#include "handle/Internals.h"
#include "rozudoru/TraceSink.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

namespace dideverazez::test {

// Every trace record written while it lives; the previous sink comes back at
// its end.
class TraceCapture {
public:
    TraceCapture();
    ~TraceCapture();
    TraceCapture(const TraceCapture&) = delete;
    TraceCapture& operator=(const TraceCapture&) = delete;

    const std::vector<Tracer::TraceRecord>& Records() const { return records_; }
    // One line a record: its detail, then the trace library's own layout.
    std::string Text() const;

private:
    std::vector<Tracer::TraceRecord> records_;
    Tracer::TraceSink previous_;
};

// The k-th heap call from now (1 is the next) fails while this lives.
class HeapFault {
public:
    explicit HeapFault(std::uint64_t k) { testing::FailHeapCall(k); }
    ~HeapFault() { testing::FailHeapCall(0); }
    HeapFault(const HeapFault&) = delete;
    HeapFault& operator=(const HeapFault&) = delete;
};

// `call` raises std::bad_alloc with the library's message.
template <class Call>::testing::AssertionResult RaisesBadAllocation(Call call) {
    try {
        call();
    } catch (const std::bad_alloc& failure) {
        if (std::string(failure.what()) == "bad allocation") {
            return ::testing::AssertionSuccess();
        }
        return ::testing::AssertionFailure() << "what() is \"" << failure.what() << '"';
    }
    return ::testing::AssertionFailure() << "nothing raised";
}

// Current, Peak and Cumul, so that EXPECT_EQ shows all three.
using Triple = std::array<std::int64_t, 3>;
inline Triple Of(const StatValue& value) {
    const StatValue v = value.Load();
    return {v.Current, v.Peak, v.Cumul};
}
// Memory, then Counter.
inline std::array<Triple, 2> Of(const StatAlloc& stat) {
    return {Of(stat.Memory), Of(stat.Counter)};
}

// Every statistic of an engine, for "nothing changed" comparisons.
inline std::vector<Triple> AllFigures(const allocator_impl& e) {
    std::vector<Triple> all{Of(e.ReservedStat)};
    for (const StatAlloc* stat :
         {&e.GlobalStat, &e.SelfStat, &e.LargeStat, &e.UsedStat, &e.PageStat, &e.PooledStat}) {
        all.push_back(Of(stat->Memory));
        all.push_back(Of(stat->Counter));
    }
    return all;
}

// `count` scaled by the environment variable DIDEVERAZEZ_TEST_SCALE (a
// positive number; 1 when unset), at least 1: the valgrind and Wine runs
// shrink the long suites with it.
inline std::uint64_t Scaled(std::uint64_t count) {
    const char* text = std::getenv("DIDEVERAZEZ_TEST_SCALE");
    const double scale = text != nullptr ? std::strtod(text, nullptr) : 1.0;
    const auto scaled =
        static_cast<std::uint64_t>(static_cast<double>(count) * (scale > 0 ? scale : 1.0));
    return scaled > 0 ? scaled : 1;
}

inline allocator_impl& EngineOf(const zu_allocator& handle) {
    return *zu_allocator_access::Engine(handle);
}

// Bytes [0, n) of `p` all read `value`.
inline bool Filled(const void* p, std::size_t n, unsigned char value) {
    const auto* bytes = static_cast<const unsigned char*>(p);
    return std::all_of(bytes, bytes + n, [value](unsigned char c) { return c == value; });
}

// Three engines of one kind, each the parent of the next.
template <class Engine> struct EngineTree {
    Engine root{"root", nullptr, false};
    Engine child{"child", &root, false};
    Engine grandchild{"grandchild", &child, false};
};

// `text` with each pointer's stream notation replaced by its name, so that a
// golden file does not depend on where things landed.
using Names = std::vector<std::pair<const void*, std::string>>;
std::string Named(std::string text, const Names& names);

// `actual` equals the golden file tests/data/<name>. With the environment
// variable DIDEVERAZEZ_UPDATE_GOLDEN=1 the file is rewritten instead.
::testing::AssertionResult MatchesGolden(const std::string& name, const std::string& actual);

} // namespace dideverazez::test
