#include "base/decimal.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace velmora {
namespace {

TEST(ParseUInt32, follows_standard_unsigned_parsing) {
    const std::vector<std::pair<std::string, std::uint32_t>> read{
        {"0", 0u},  {"0004242", 4242u}, {"+4242", 4242u}, {"4294967295", 4294967295u},
        {"-0", 0u}, {"-000", 0u},       {"+0", 0u},
    };
    for (const auto& [text, value] : read)
        EXPECT_EQ(parseUInt32(text), value) << text;
    // An Arabic-Indic digit is not a decimal digit here.
    for (const std::string text : {"4294967296", "99999999999999999999", "-1", "", "+", "-", "++1", "+-0",
                                   "-+0", " 1", "1 ", "12a", "0x10", "1.0", "1e3", "\u0661"})
        EXPECT_EQ(parseUInt32(text), std::nullopt) << '"' << text << '"';
}

// Numbers of every length, written with and without zeros and a sign in front: the value when it fits.
TEST(ParseUInt32, generated_numbers_read_as_their_value_when_they_fit) {
    std::mt19937_64 random(20260301);
    for (int i = 0; i < 20000; ++i) {
        const std::uint64_t value = random() >> (random() % 64);
        const std::string text = std::string(random() % 3 == 0 ? "+" : "") + std::string(random() % 3, '0') +
                                 std::to_string(value);
        const auto expected =
            value <= UINT32_MAX ? std::optional(static_cast<std::uint32_t>(value)) : std::nullopt;
        ASSERT_EQ(parseUInt32(text), expected) << text;
        if (value != 0) {
            ASSERT_EQ(parseUInt32(std::string("-").append(text, text[0] == '+')), std::nullopt) << text;
        }
    }
}

}  // namespace
}  // namespace velmora
