#include "ink/color_hex.hpp"

#include <charconv>
#include <cstdint>
#include <string>

#include "input/text.hpp"

namespace velmora::ink {

namespace {

// Unsigned base-16 parsing as the platform's integer parser does it: one optional "+", or a "-" that is
// only accepted for zero, then at least one digit and nothing else.
std::optional<std::uint32_t> parseHex(std::string_view text) {
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    if (text.empty()) return std::nullopt;
    std::uint32_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, 16);
    if (error != std::errc{} || end != text.data() + text.size()) return std::nullopt;
    if (negative && value != 0) return std::nullopt;
    return value;
}

}  // namespace

std::optional<platform::Color> colorFromHex(std::string_view text) {
    std::string_view digits = input::trimWhitespace(text);
    if (!digits.empty() && digits.front() == '#') digits.remove_prefix(1);

    // Lengths count user-perceived characters. A character of more than one byte is never a hexadecimal
    // digit or a sign (only CR LF joins ASCII characters into one), so such text fails to parse whatever
    // it expands to, and doubling bytes is the same as doubling characters whenever it can succeed.
    const std::size_t length = input::characterCount(digits);
    std::string expanded;
    if (length == 3) {
        if (digits.size() != 3) return std::nullopt;
        for (const char c : digits)
            expanded.append(2, c);
        digits = expanded;
    } else if (length != 6) {
        return std::nullopt;
    }

    const auto value = parseHex(digits);
    if (!value) return std::nullopt;
    return platform::Color{static_cast<double>((*value >> 16) & 255) / 255.0,
                           static_cast<double>((*value >> 8) & 255) / 255.0,
                           static_cast<double>(*value & 255) / 255.0, 1.0};
}

}  // namespace velmora::ink
