#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

// Unicode helpers over UTF-8 text. Input that is not valid UTF-8 is read as the browser's decoder reads it:
// each byte that does not start a valid sequence stands for one U+FFFD REPLACEMENT CHARACTER. Nothing is
// read outside the view.
namespace velmora::input {

// User-perceived characters (extended grapheme clusters): "e" with a combining accent, a flag, or an emoji
// joined with U+200D and a skin tone each count as one.
std::size_t characterCount(std::string_view utf8);
// Nothing for the empty string.
std::optional<char32_t> firstCodePoint(std::string_view utf8);
// All UTF-16 code units of the text, supplementary characters as surrogate pairs.
std::u16string utf16Units(std::string_view utf8);
// The text without leading and trailing tabs and space separators (U+0020, U+00A0, U+3000 and the rest of
// category Zs). Line breaks are kept.
std::string_view trimWhitespace(std::string_view utf8);

}  // namespace velmora::input
