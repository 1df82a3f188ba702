#include "input/text.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace velmora::input {
namespace {

TEST(Text, character_count_counts_extended_grapheme_clusters) {
    struct Case {
        std::string text;
        std::size_t expected;
    };
    for (const Case& c : std::vector<Case>{
             {"", 0},
             {"a", 1},
             {"ab", 2},
             {"\xc3\xa9", 1},                          // é precomposed
             {"e\xcc\x81", 1},                         // e + combining acute
             {"e\xcc\x81\xcc\xa7", 1},                 // e + two combining marks
             {"\xf0\x9f\x98\x80", 1},                  // 😀
             {"\xf0\x9f\x91\x8d\xf0\x9f\x8f\xbd", 1},  // 👍 + skin tone
             {"\xf0\x9f\x91\xa8\xe2\x80\x8d\xf0\x9f\x91\xa9\xe2\x80\x8d\xf0\x9f\x91\xa7",
              1},  // family with ZWJs
             {"\xf0\x9f\x91\xa9\xf0\x9f\x8f\xbd\xe2\x80\x8d\xf0\x9f\x92\xbb",
              1},                                      // woman, skin tone, ZWJ, laptop
             {"\xf0\x9f\x87\xab\xf0\x9f\x87\xb7", 1},  // 🇫🇷
             {"\xf0\x9f\x87\xab\xf0\x9f\x87\xb7\xf0\x9f\x87\xa9\xf0\x9f\x87\xaa", 2},  // 🇫🇷🇩🇪
             {"\xf0\x9f\x87\xab\xf0\x9f\x87\xb7\xf0\x9f\x87\xa9", 2},  // three regional indicators
             {"\xe2\x9d\xa4\xef\xb8\x8f", 1},                          // ❤ + variation selector
             {"\xea\xb0\x80", 1},                                      // 가
             {"\xe1\x84\x80\xe1\x85\xa1", 1},                          // conjoining jamo
             {"\r\n", 1},
             {"Enter", 5},
             {" ", 1},
             // Invalid UTF-8: each stray byte is one replacement character.
             {"\xff", 1},
             {"a\xff", 2},
             {"\xc3", 1},
             {"\xe2\x82", 2},
             {"\xf0\x9f\x98", 3},
             {"\xc0\xaf", 2},          // overlong "/"
             {"\xed\xa0\x80", 3},      // a UTF-16 surrogate
             {"\xf4\x90\x80\x80", 4},  // above U+10FFFF
             {"e\xcc", 2},
         }) {
        EXPECT_EQ(characterCount(c.text), c.expected) << testing::PrintToString(c.text);
    }
}

TEST(Text, first_code_point_decodes_one_sequence_and_replaces_invalid_bytes) {
    struct Case {
        std::string text;
        std::optional<char32_t> expected;
    };
    for (const Case& c : std::vector<Case>{
             {"", std::nullopt},
             {"A", U'A'},
             {" ", U' '},
             {std::string(1, '\0'), U'\0'},
             {"\x1f", U'\x1f'},
             {"\xc3\xa9t\xc3\xa9", U'\u00e9'},
             {"e\xcc\x81", U'e'},
             {"\xe2\x82\xac", U'\u20ac'},
             {"\xf0\x9f\x98\x80", U'\U0001F600'},
             {"\xff", U'\uFFFD'},
             {"\x80", U'\uFFFD'},
             {"\xe2\x82", U'\uFFFD'},
             {"\xc0\xaf", U'\uFFFD'},
             {"\xed\xa0\x80", U'\uFFFD'},
         }) {
        EXPECT_EQ(firstCodePoint(c.text), c.expected) << testing::PrintToString(c.text);
    }
}

TEST(Text, utf16_units_encode_every_code_point_with_surrogate_pairs) {
    struct Case {
        std::string text;
        std::u16string expected;
    };
    for (const Case& c : std::vector<Case>{
             {"", u""},
             {"A", u"A"},
             {"e\xcc\x81", u"e\u0301"},
             {"\xf0\x9f\x98\x80", u"\U0001F600"},
             {"\xf0\x9f\x91\x8d\xf0\x9f\x8f\xbd", u"\U0001F44D\U0001F3FD"},
             {"\xf4\x8f\xbf\xbf", u"\U0010FFFF"},
             {"a\xffz", u"a\uFFFDz"},
             {"\xe2\x82", u"\uFFFD\uFFFD"},
         }) {
        EXPECT_EQ(utf16Units(c.text), c.expected) << testing::PrintToString(c.text);
    }
    EXPECT_EQ(utf16Units("\xf0\x9f\x98\x80"), (std::u16string{char16_t(0xD83D), char16_t(0xDE00)}));
}

TEST(Text, trim_removes_tabs_and_space_separators_but_not_line_breaks) {
    struct Case {
        std::string text;
        std::string expected;
    };
    for (const Case& c : std::vector<Case>{
             {"", ""},
             {"a", "a"},
             {" \t a b \t ", "a b"},
             {"   ", ""},
             {"\xc2\xa0x\xe3\x80\x80", "x"},                  // no-break space, ideographic space
             {"\xe2\x80\x83x\xe2\x80\xaf\xe1\x9a\x80", "x"},  // em space, narrow no-break, ogham
             {"\xe2\x80\x8a"
              "x"
              "\xe2\x81\x9f",
              "x"},  // hair space, medium mathematical space
             {"\nx\n", "\nx\n"},
             {"\r\nx", "\r\nx"},
             {"\xe2\x80\xa8x\xc2\x85", "\xe2\x80\xa8x\xc2\x85"},  // line separator, next line
             {"\x0b"
              "x\x0c",
              "\x0bx\x0c"},                       // vertical tab, form feed
             {"\xe2\x80\x8bx", "\xe2\x80\x8bx"},  // zero width space is not a separator
             {" \xff ", "\xff"},
             {"\xe3\x80 ", "\xe3\x80"},  // a truncated sequence stays
             {"\x80\x80", "\x80\x80"},
             {" \xc2", "\xc2"},
         }) {
        EXPECT_EQ(trimWhitespace(c.text), c.expected) << testing::PrintToString(c.text);
    }
}

TEST(Text, trim_returns_a_view_into_the_original) {
    const std::string text = "  word  ";
    const auto trimmed = trimWhitespace(text);
    EXPECT_EQ(trimmed.data(), text.data() + 2);
    EXPECT_EQ(trimmed.size(), 4u);
}

}  // namespace
}  // namespace velmora::input
