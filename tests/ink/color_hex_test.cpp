#include "ink/color_hex.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace velmora::ink {
namespace {

using platform::Color;

constexpr Color magenta{1.0, 0.0, 170.0 / 255.0, 1.0};

TEST(ColorFromHex, reads_the_notations_of_a_stroke_message) {
    struct Case {
        std::string text;
        std::optional<Color> expected;
    };
    const Case cases[] = {
        {"#F0A", magenta},
        {"f0a", magenta},
        {"FF00AA", magenta},
        {"#ff00aa", magenta},
        {"  #ff00aa  ", magenta},
        {"\t#ff00aa\t", magenta},
        {"\xC2\xA0#ff00aa\xE3\x80\x80", magenta},  // no-break space and ideographic space
        {"#+f00aa", Color{15.0 / 255.0, 0.0, 170.0 / 255.0, 1.0}},
        {"+f00aa", Color{15.0 / 255.0, 0.0, 170.0 / 255.0, 1.0}},
        {"-00000", Color{0, 0, 0, 1}},
        {"#000", Color{0, 0, 0, 1}},
        {"#fFf", Color{1, 1, 1, 1}},
        {"#123456", Color{0x12 / 255.0, 0x34 / 255.0, 0x56 / 255.0, 1.0}},
        {"##ff00aa", std::nullopt},
        {"#ff00a", std::nullopt},
        {"#ff00aa00", std::nullopt},
        {"#ggg", std::nullopt},
        {"", std::nullopt},
        {"#", std::nullopt},
        {"   ", std::nullopt},
        {"#ff00aa\n", std::nullopt},  // line breaks are not trimmed
        {"\n#ff00aa", std::nullopt},
        {"#ff00aa\r\n", std::nullopt},
        {"-00001", std::nullopt},  // a minus sign only for zero
        {"--0000", std::nullopt},
        {"++f00a", std::nullopt},
        {"-00", std::nullopt},  // three characters expand to "--0000"
        {"+f0", std::nullopt},
        {"0x0f0a", std::nullopt},
        {"#ff 0aa", std::nullopt},
        {"ff00a\xCC\x81", std::nullopt},  // six characters, the last with a combining accent
        {"f\xC3\xA9"
         "a",
         std::nullopt},                                          // three characters, one of them not a digit
        {"\xEF\xBC\xA6\xEF\xBC\x90\xEF\xBC\xA1", std::nullopt},  // full-width F0A
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("text: \"" + c.text + "\"");
        const auto color = colorFromHex(c.text);
        ASSERT_EQ(color.has_value(), c.expected.has_value());
        if (!color) continue;
        EXPECT_DOUBLE_EQ(color->red, c.expected->red);
        EXPECT_DOUBLE_EQ(color->green, c.expected->green);
        EXPECT_DOUBLE_EQ(color->blue, c.expected->blue);
        EXPECT_EQ(color->alpha, 1.0);
    }
}

}  // namespace
}  // namespace velmora::ink
