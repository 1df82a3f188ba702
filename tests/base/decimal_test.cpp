#include "base/decimal.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace velmora {
namespace {

// Standard unsigned parsing: an optional sign, ASCII digits only, the whole text; "-" only before a zero.
TEST(ParseUInt32, follows_standard_unsigned_parsing) {
    const std::vector<std::pair<std::string, std::uint32_t>> read{
        {"0004242", 4242u}, {"+4242", 4242u}, {"4294967295", 4294967295u}, {"-000", 0u}, {"+0", 0u}};
    for (const auto& [text, value] : read)
        EXPECT_EQ(parseUInt32(text), value) << text;
    for (const std::string text :
         {"4294967296", "99999999999999999999", "-1", "", "+", "-", "++1", "+-0", "-+0", " 1", "1 ", "12a",
          "0x10", "1.0", "1e3", "\u0661"})  // an Arabic-Indic one
        EXPECT_EQ(parseUInt32(text), std::nullopt) << '"' << text << '"';
}

// Numbers of every length, written with and without zeros and a sign in front: the value when it fits.
TEST(ParseUInt32, generated_numbers_read_as_their_value_when_they_fit) {
    std::mt19937_64 random(20260301);
    for (int i = 0; i < 20000; ++i) {
        const std::uint64_t value = random() >> (random() % 64);
        const std::string digits = std::string(random() % 3, '0').append(std::to_string(value));
        const std::string text = random() % 3 == 0 ? std::string("+").append(digits) : digits;
        ASSERT_EQ(parseUInt32(text), value <= UINT32_MAX ? std::optional(std::uint32_t(value)) : std::nullopt)
            << text;
        ASSERT_EQ(parseUInt32(std::string("-").append(digits)), value == 0 ? std::optional(0u) : std::nullopt)
            << "-" << digits;
    }
}

}  // namespace
}  // namespace velmora
