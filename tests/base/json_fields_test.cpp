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
    struct Case {
        value json;
        std::optional<std::int64_t> asInt;
        std::optional<double> asDouble;
        std::optional<bool> asBool;
        std::optional<std::string> asString;
        Shape shape = none;
    };
    const std::vector<Case> cases{
        {value(nullptr), {}, {}, {}, {}},
        {value(true), 1, 1.0, true, {}},
        {value(false), 0, 0.0, false, {}},
        {value(0), 0, 0.0, false, {}},
        {value(7), 7, 7.0, {}, {}},
        {value(std::uint64_t{1}), 1, 1.0, true, {}},
        {value(std::uint64_t{18446744073709551615u}), int64Max, 18446744073709551615.0, {}, {}},
        {value(1.0), 1, 1.0, true, {}},
        {value(-0.0), 0, -0.0, false, {}},
        {value(-1.5), -1, -1.5, {}, {}},
        {value(9223372036854775808.0), int64Max, 9223372036854775808.0, {}, {}},
        {value(-9223372036854775808.0), int64Min, -9223372036854775808.0, {}, {}},
        {value(infinity), int64Max, infinity, {}, {}},
        {value(-infinity), int64Min, -infinity, {}, {}},
        {value("1"), {}, {}, {}, "1"},
        {value("true"), {}, {}, {}, "true"},
        {value(boost::json::array{1}), {}, {}, {}, {}, array},
        {value(boost::json::object{{"x", 1}}), {}, {}, {}, {}, object},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(boost::json::serialize(c.json));
        const boost::json::object map{{"f", c.json}};
        EXPECT_EQ(readInt(map, "f"), c.asInt);
        EXPECT_EQ(readDouble(map, "f"), c.asDouble);
        EXPECT_EQ(numberValue(c.json), c.asDouble);
        EXPECT_EQ(readBool(map, "f"), c.asBool);
        EXPECT_EQ(booleanValue(c.json), c.asBool);
        EXPECT_EQ(readString(map, "f"), c.asString);
        EXPECT_EQ(readObject(map, "f") != nullptr, c.shape == object);
        EXPECT_EQ(readArray(map, "f") != nullptr, c.shape == array);
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
        const std::string sign = negative ? "-" : "";
        const std::string fraction = digits.size() < 12 && random() % 2
                                         ? std::string(".").append(std::to_string(random() % 1000))
                                         : "";
        const std::string limit = negative ? "9223372036854775808" : "9223372036854775807";
        const bool beyond = digits.size() > limit.size() || (digits.size() == limit.size() && digits > limit);
        const auto expected = beyond ? (negative ? int64Min : int64Max) : std::stoll(sign + digits);
        const auto map = boost::json::parse("{\"f\":" + sign + digits + fraction + "}").as_object();
        ASSERT_EQ(readInt(map, "f"), expected) << sign + digits + fraction;
    }
}

}  // namespace
}  // namespace velmora
