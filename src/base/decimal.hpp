#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace velmora {

// Reads an unsigned number the way standard integer parsing does: digits of `base` only, at least one, at
// most `max`, after an optional single "+"; a "-" is taken only in front of a zero value ("-0"). Anything
// else, surrounding spaces included, gives nothing. Ports, capture labels and colours are read with it.
std::optional<std::uint64_t> parseUnsigned(std::string_view text, std::uint64_t max, int base = 10);

inline std::optional<std::uint32_t> parseUInt32(std::string_view text) {
    const auto value = parseUnsigned(text, UINT32_MAX);
    if (!value) return std::nullopt;
    return static_cast<std::uint32_t>(*value);
}

}  // namespace velmora
