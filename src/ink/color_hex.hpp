#pragma once

#include <optional>
#include <string_view>

#include "platform/color.hpp"

namespace velmora::ink {

// The colour of a "stroke" message's hexadecimal text: an optional "#", then 3 or 6 hexadecimal digits,
// with spaces and tabs around it. Opaque sRGB; no colour when the text is anything else.
std::optional<platform::Color> colorFromHex(std::string_view text);

}  // namespace velmora::ink
