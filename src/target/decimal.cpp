#include "target/decimal.hpp"

#include <charconv>
#include <system_error>

namespace velmora::target {

std::optional<std::uint32_t> parseUInt32(std::string_view text) {
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    // A second sign ("+-0", "--0") must not slip through, so the first character left has to be a digit.
    if (text.empty() || text.front() < '0' || text.front() > '9') return std::nullopt;
    std::uint32_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc{} || end != text.data() + text.size()) return std::nullopt;
    if (negative && value != 0) return std::nullopt;
    return value;
}

}  // namespace velmora::target
