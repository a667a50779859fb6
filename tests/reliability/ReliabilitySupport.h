// Helpers of the reliability suites.
#pragma once

#include <cstdint>
#include <cstdlib>

#if defined(__has_include)
#if __has_include(<valgrind/valgrind.h>)
#include <valgrind/valgrind.h>
#define DIDEVERAZEZ_HAVE_VALGRIND_H 1
#endif
#endif

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define DIDEVERAZEZ_SHADOW_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) ||                         \
    __has_feature(memory_sanitizer)
#define DIDEVERAZEZ_SHADOW_SANITIZER 1
#endif
#endif

namespace dideverazez::reliability {

// The scale of the long-running suites, from the environment variable
// DIDEVERAZEZ_TEST_SCALE (a positive number, 1 when unset): sanitizer and
// valgrind runs shrink the operation counts with it; the plain run keeps the
// full counts.
inline double TestScale() {
    const char* text = std::getenv("DIDEVERAZEZ_TEST_SCALE");
    if (text == nullptr) {
        return 1.0;
    }
    const double scale = std::strtod(text, nullptr);
    return scale > 0 ? scale : 1.0;
}

// The scale of single-threaded suites, which gain nothing from
// ThreadSanitizer: a quarter of the full run under it unless
// DIDEVERAZEZ_TEST_SCALE says otherwise.
inline double SingleThreadScale() {
#if defined(__SANITIZE_THREAD__)
    constexpr bool kThreadSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
    constexpr bool kThreadSanitizer = true;
#else
    constexpr bool kThreadSanitizer = false;
#endif
#else
    constexpr bool kThreadSanitizer = false;
#endif
    if (kThreadSanitizer && std::getenv("DIDEVERAZEZ_TEST_SCALE") == nullptr) {
        return 0.25;
    }
    return TestScale();
}

inline std::uint64_t Scaled(std::uint64_t count, double scale = TestScale()) {
    const auto scaled = static_cast<std::uint64_t>(static_cast<double>(count) * scale);
    return scaled > 0 ? scaled : 1;
}

// Whether this process runs under a sanitizer that keeps shadow memory, or
// under valgrind: an address-space limit breaks them.
inline bool UnderSanitizerOrValgrind() {
#if defined(DIDEVERAZEZ_SHADOW_SANITIZER)
    return true;
#elif defined(DIDEVERAZEZ_HAVE_VALGRIND_H)
    return RUNNING_ON_VALGRIND != 0;
#else
    return false;
#endif
}

} // namespace dideverazez::reliability
