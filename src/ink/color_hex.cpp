#include "ink/color_hex.hpp"

#include <charconv>
#include <cstdint>
#include <string>

#include "base/decimal.hpp"
#include "input/text.hpp"

namespace velmora::ink {

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

    const auto value = parseUnsigned(digits, UINT32_MAX, 16);
    if (!value) return std::nullopt;
    return platform::Color{static_cast<double>((*value >> 16) & 255) / 255.0,
                           static_cast<double>((*value >> 8) & 255) / 255.0,
                           static_cast<double>(*value & 255) / 255.0, 1.0};
}

}  // namespace velmora::ink
