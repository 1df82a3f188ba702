#include "base/decimal.hpp"

#include <charconv>
#include <system_error>

namespace velmora {

std::optional<std::uint64_t> parseUnsigned(std::string_view text, std::uint64_t max, int base) {
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    // from_chars takes no sign for an unsigned type, so a second one ("+-0", "--0") fails below.
    if (text.empty()) return std::nullopt;
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (error != std::errc{} || end != text.data() + text.size()) return std::nullopt;
    if (negative && value != 0) return std::nullopt;
    if (value > max) return std::nullopt;
    return value;
}

}  // namespace velmora
