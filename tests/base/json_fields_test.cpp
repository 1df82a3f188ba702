#include "base/json_fields.hpp"

#include <gtest/gtest.h>

#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>

#include <cmath>
#include <random>

namespace velmora {
namespace {

constexpr auto int64Max = std::numeric_limits<std::int64_t>::max();
constexpr auto int64Min = std::numeric_limits<std::int64_t>::min();

TEST(JsonFields, every_kind_reads_as_its_rules_say_through_every_reader) {
    using boost::json::value;
    const auto infinity = std::numeric_limits<double>::infinity();
    enum Shape { none, object, array };
    // A value; what it reads as an integer, a number, a boolean, a string; whether an object or array.
    const std::vector<std::tuple<value, std::optional<std::int64_t>, std::optional<double>,
                                 std::optional<bool>, std::optional<std::string>, Shape>>
        cases{
            {value(nullptr), {}, {}, {}, {}, none},
            {value(true), 1, 1.0, true, {}, none},
            {value(false), 0, 0.0, false, {}, none},
            {value(0), 0, 0.0, false, {}, none},
            {value(7), 7, 7.0, {}, {}, none},
            {value(std::uint64_t{1}), 1, 1.0, true, {}, none},
            {value(std::uint64_t{18446744073709551615u}), int64Max, 18446744073709551615.0, {}, {}, none},
            {value(1.0), 1, 1.0, true, {}, none},
            {value(-0.0), 0, -0.0, false, {}, none},
            {value(-1.5), -1, -1.5, {}, {}, none},
            {value(9223372036854775808.0), int64Max, 9223372036854775808.0, {}, {}, none},
            {value(-9223372036854775808.0), int64Min, -9223372036854775808.0, {}, {}, none},
            {value(infinity), int64Max, infinity, {}, {}, none},
            {value(-infinity), int64Min, -infinity, {}, {}, none},
            {value("1"), {}, {}, {}, "1", none},
            {value(boost::json::array{1}), {}, {}, {}, {}, array},
            {value(boost::json::object{{"x", 1}}), {}, {}, {}, {}, object},
        };
    for (const auto& [json, asInt, asDouble, asBool, asString, shape] : cases) {
        SCOPED_TRACE(boost::json::serialize(json));
        const boost::json::object map{{"f", json}};
        EXPECT_EQ(
            std::tuple(readInt(map, "f"), readDouble(map, "f"), readBool(map, "f"), readString(map, "f")),
            std::tuple(asInt, asDouble, asBool, asString));
        EXPECT_EQ(std::tuple(numberValue(json), booleanValue(json)), std::tuple(asDouble, asBool));
        EXPECT_EQ(std::pair(readObject(map, "f") != nullptr, readArray(map, "f") != nullptr),
                  std::pair(shape == object, shape == array));
        // An absent field reads as nothing through every reader.
        EXPECT_TRUE(!readInt(map, "g") && !readDouble(map, "g") && !readBool(map, "g") &&
                    !readString(map, "g") && !readObject(map, "g") && !readArray(map, "g"));
    }
    // A NaN, which no JSON text carries, is no integer at all rather than an arbitrary one.
    const boost::json::object nan{{"f", std::nan("")}};
    EXPECT_EQ(readInt(nan, "f"), std::nullopt);
    EXPECT_TRUE(std::isnan(readDouble(nan, "f").value()));
    EXPECT_EQ(readBool(nan, "f"), std::nullopt);
}

// Numbers as the parser delivers them from message text: beyond int64 they arrive as unsigned integers or
// doubles and must saturate, never wrap; a fraction is cut off toward zero. The value expected is worked out
// from the digits.
TEST(JsonFields, generated_number_texts_read_as_integers_saturated_and_truncated) {
    std::mt19937_64 random(20260301);
    for (int i = 0; i < 20000; ++i) {
        const bool negative = random() % 2;
        std::string digits = std::to_string(random() % 9 + 1);
        for (auto length = random() % 30; digits.size() < length;)
            digits += static_cast<char>('0' + random() % 10);
        const std::string number = (negative ? "-" : "") + digits,
                          limit = negative ? "9223372036854775808" : "9223372036854775807";
        const bool beyond = digits.size() > limit.size() || (digits.size() == limit.size() && digits > limit);
        const auto expected = beyond ? (negative ? int64Min : int64Max) : std::stoll(number);
        const std::string text =
            digits.size() < 12 && random() % 2 ? number + "." + std::to_string(random() % 1000) : number;
        ASSERT_EQ(readInt(boost::json::parse("{\"f\":" + text + "}").as_object(), "f"), expected) << text;
    }
}

}  // namespace
}  // namespace velmora
