#include "support/TestSupport.h"

#include <cstdlib>
#include <fstream>
#include <sstream>

// Requests no heap can hold (2^62 bytes and more) must come back from malloc
// as null, so that the library's own failure path runs; the sanitizers'
// allocators abort on them unless configured otherwise. Options given in the
// environment still take precedence.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define DIDEVERAZEZ_TEST_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define DIDEVERAZEZ_TEST_SANITIZED 1
#endif
#endif
#if defined(DIDEVERAZEZ_TEST_SANITIZED)
extern "C" const char* __asan_default_options() {
    return "allocator_may_return_null=1";
}
extern "C" const char* __tsan_default_options() {
    return "allocator_may_return_null=1";
}
#endif

namespace dideverazez::test {

TraceCapture::TraceCapture()
    : previous_(Tracer::SetTraceSink(
          [this](const Tracer::TraceRecord& record) { records_.push_back(record); })) {}

TraceCapture::~TraceCapture() {
    Tracer::SetTraceSink(std::move(previous_));
}

std::string TraceCapture::Text() const {
    std::string text;
    for (const Tracer::TraceRecord& r : records_) {
        text += std::to_string(r.detail) + ' ' + Tracer::FormatTraceRecord(r) + '\n';
    }
    return text;
}

std::string Named(std::string text, const Names& names) {
    for (const auto& [pointer, name] : names) {
        std::ostringstream notation;
        notation << pointer;
        const std::string from = notation.str();
        for (auto at = text.find(from); at != std::string::npos; at = text.find(from, at)) {
            text.replace(at, from.size(), name);
        }
    }
    return text;
}

::testing::AssertionResult MatchesGolden(const std::string& name, const std::string& actual) {
    const std::string path = std::string(DIDEVERAZEZ_TEST_DATA_DIR) + "/" + name;
    if (const char* update = std::getenv("DIDEVERAZEZ_UPDATE_GOLDEN"); update && *update == '1') {
        std::ofstream(path, std::ios::binary) << actual;
        return ::testing::AssertionSuccess();
    }
    std::ifstream file(path, std::ios::binary);
    const std::string expected{std::istreambuf_iterator<char>(file), {}};
    if (!file.is_open() || expected != actual) {
        return ::testing::AssertionFailure()
               << path << " differs (DIDEVERAZEZ_UPDATE_GOLDEN=1 rewrites it); written:\n"
               << actual;
    }
    return ::testing::AssertionSuccess();
}

} // namespace dideverazez::test
