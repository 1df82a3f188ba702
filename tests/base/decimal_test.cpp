#include "base/decimal.hpp"

#include <gtest/gtest.h>

#include <string>

namespace velmora {
namespace {

struct DecimalCase {
    std::string text;
    std::optional<std::uint32_t> value;
};

TEST(ParseUInt32, follows_standard_unsigned_parsing) {
    const DecimalCase cases[] = {
        {"0", 0u},
        {"4242", 4242u},
        {"0004242", 4242u},
        {"+4242", 4242u},
        {"4294967295", 4294967295u},
        {"-0", 0u},
        {"-000", 0u},
        {"+0", 0u},
        {"4294967296", std::nullopt},
        {"99999999999999999999", std::nullopt},
        {"-1", std::nullopt},
        {"", std::nullopt},
        {"+", std::nullopt},
        {"-", std::nullopt},
        {"++1", std::nullopt},
        {"+-0", std::nullopt},
        {"-+0", std::nullopt},
        {" 1", std::nullopt},
        {"1 ", std::nullopt},
        {"12a", std::nullopt},
        {"0x10", std::nullopt},
        {"1.0", std::nullopt},
        {"1e3", std::nullopt},
        {"\u0661", std::nullopt},  // an Arabic-Indic digit is not a decimal digit here
    };
    for (const auto& c : cases) {
        EXPECT_EQ(parseUInt32(c.text), c.value) << '"' << c.text << '"';
    }
}

}  // namespace
}  // namespace velmora
