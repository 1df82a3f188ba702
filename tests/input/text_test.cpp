#include "input/text.hpp"

#include <gtest/gtest.h>

#include <tuple>

namespace velmora::input {
namespace {

// The first code point of UTF-16 text, surrogate pairs joined.
std::optional<char32_t> firstOf(const std::u16string& u) {
    if (u.empty()) return std::nullopt;
    return u[0] < 0xD800 || u[0] > 0xDBFF ? u[0] : 0x10000 + ((u[0] - 0xD800) << 10) + (u[1] - 0xDC00);
}

// Each row decides characterCount, utf16Units and firstCodePoint together. Invalid UTF-8 reads as the
// browser reads it: every byte that does not start a valid sequence is one U+FFFD.
TEST(Text, characters_utf16_units_and_first_code_point) {
    for (const auto& [text, characters, units] :
         std::vector<std::tuple<std::string, std::size_t, std::u16string>>{
             {"", 0, u""},
             {"\xc3\xa9t", 2, u"\u00e9t"},                                      // é precomposed
             {"e\xcc\x81\xcc\xa7", 1, u"e\u0301\u0327"},                        // two combining marks
             {"\xf0\x9f\x91\x8d\xf0\x9f\x8f\xbd", 1, u"\U0001F44D\U0001F3FD"},  // 👍 + skin tone
             {"\xf0\x9f\x91\xa8\xe2\x80\x8d\xf0\x9f\x91\xa9", 1, u"\U0001F468\u200D\U0001F469"},  // ZWJ
             {"\xf0\x9f\x87\xab\xf0\x9f\x87\xb7\xf0\x9f\x87\xa9", 2, u"\U0001F1EB\U0001F1F7\U0001F1E9"},
             {"a\xffz", 3, u"a\uFFFDz"},
             {"\xf4\x90\x80\x80", 4, u"\uFFFD\uFFFD\uFFFD\uFFFD"},  // above U+10FFFF
             {"e\xcc", 2, u"e\uFFFD"},
         }) {
        SCOPED_TRACE(testing::PrintToString(text));
        EXPECT_EQ(characterCount(text), characters);
        EXPECT_EQ(utf16Units(text), units);
        EXPECT_EQ(firstCodePoint(text), firstOf(units));
    }
}

TEST(Text, trim_removes_tabs_and_space_separators_but_not_line_breaks) {
    for (const auto& [text, expected] : std::vector<std::pair<std::string, std::string>>{
             {" \t a b \t ", "a b"},
             {"\xc2\xa0x\xe3\x80\x80", "x"},                      // no-break space, ideographic space
             {"\xe2\x80\x83x\xe2\x80\xaf\xe1\x9a\x80", "x"},      // em space, narrow no-break, ogham
             {"\xe2\x80\xa8x\xc2\x85", "\xe2\x80\xa8x\xc2\x85"},  // line separator, next line
             {" \xff ", "\xff"},                                  // invalid and truncated sequences stay
             {"\xe3\x80 ", "\xe3\x80"},
             {" \xc2", "\xc2"}})
        EXPECT_EQ(trimWhitespace(text), expected) << testing::PrintToString(text);
}

}  // namespace
}  // namespace velmora::input
