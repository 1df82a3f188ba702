#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace velmora::target {

// Reads an unsigned 32-bit decimal number the way standard integer parsing does: digits only, at least one,
// at most 4294967295, after an optional single "+"; a "-" is taken only in front of a zero value ("-0").
// Anything else, surrounding spaces included, gives nothing.
std::optional<std::uint32_t> parseUInt32(std::string_view text);

}  // namespace velmora::target
