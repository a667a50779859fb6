// Well-formed UTF-8, as the JSON and OpenMetrics writers keep names: a byte
// that starts no well-formed sequence is shown as U+FFFD.
#pragma once

#include <cstddef>
#include <string_view>

namespace dideverazez::format {

inline constexpr std::string_view kReplacement = "\xEF\xBF\xBD"; // U+FFFD

// The length (1 to 4) of the well-formed sequence that starts at text[i], or
// 0 when that byte starts none: an overlong form, a surrogate, a code point
// past U+10FFFF, a bad or missing continuation, a continuation alone.
inline std::size_t WellFormedLength(std::string_view text, std::size_t i) noexcept {
    const auto c = static_cast<unsigned char>(text[i]);
    const std::size_t length = c < 0x80                 ? 1
                               : c >= 0xC2 && c <= 0xDF ? 2
                               : c >= 0xE0 && c <= 0xEF ? 3
                               : c >= 0xF0 && c <= 0xF4 ? 4
                                                        : 0;
    if (length > text.size() - i) {
        return 0; // cut short by the end (0, when no sequence starts here, is not)
    }
    // The second byte's range narrows after E0, ED, F0 and F4.
    const unsigned char low = c == 0xE0 ? 0xA0 : c == 0xF0 ? 0x90 : 0x80;
    const unsigned char high = c == 0xED ? 0x9F : c == 0xF4 ? 0x8F : 0xBF;
    for (std::size_t k = 1; k < length; ++k) {
        const auto next = static_cast<unsigned char>(text[i + k]);
        if (next < (k == 1 ? low : 0x80) || next > (k == 1 ? high : 0xBF)) {
            return 0;
        }
    }
    return length;
}

} // namespace dideverazez::format
