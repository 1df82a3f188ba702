#include "base/json_fields.hpp"

#include <gtest/gtest.h>

#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

namespace velmora {
namespace {

constexpr auto int64Max = std::numeric_limits<std::int64_t>::max();
constexpr auto int64Min = std::numeric_limits<std::int64_t>::min();

enum class Shape { none, object, array };

struct Case {
    boost::json::value value;
    std::optional<std::int64_t> asInt;
    std::optional<double> asDouble;
    std::optional<bool> asBool;
    std::optional<std::string> asString;
    Shape shape = Shape::none;
};

std::vector<Case> everyKind() {
    using boost::json::value;
    return {
        {value(nullptr), {}, {}, {}, {}},
        {value(true), 1, 1.0, true, {}},
        {value(false), 0, 0.0, false, {}},
        {value(0), 0, 0.0, false, {}},
        {value(1), 1, 1.0, true, {}},
        {value(7), 7, 7.0, {}, {}},
        {value(-3), -3, -3.0, {}, {}},
        {value(std::uint64_t{1}), 1, 1.0, true, {}},
        {value(std::uint64_t{18446744073709551615u}), int64Max, 18446744073709551615.0, {}, {}},
        {value(1.0), 1, 1.0, true, {}},
        {value(0.0), 0, 0.0, false, {}},
        {value(-0.0), 0, -0.0, false, {}},
        {value(2.9), 2, 2.9, {}, {}},
        {value(-0.5), 0, -0.5, {}, {}},
        {value(-1.5), -1, -1.5, {}, {}},
        {value(9223372036854775808.0), int64Max, 9223372036854775808.0, {}, {}},
        {value(-9223372036854775808.0), int64Min, -9223372036854775808.0, {}, {}},
        {value(1e300), int64Max, 1e300, {}, {}},
        {value(-1e300), int64Min, -1e300, {}, {}},
        {value(std::numeric_limits<double>::infinity()),
         int64Max,
         std::numeric_limits<double>::infinity(),
         {},
         {}},
        {value("1"), {}, {}, {}, "1"},
        {value("true"), {}, {}, {}, "true"},
        {value(""), {}, {}, {}, ""},
        {value(boost::json::array{1}), {}, {}, {}, {}, Shape::array},
        {value(boost::json::object{{"x", 1}}), {}, {}, {}, {}, Shape::object},
    };
}

TEST(JsonValue, every_kind_reads_as_its_rules_say_through_every_reader) {
    for (const Case& c : everyKind()) {
        SCOPED_TRACE(boost::json::serialize(c.value));
        const boost::json::object map{{"f", c.value}};
        EXPECT_EQ(readInt(map, "f"), c.asInt);
        EXPECT_EQ(readDouble(map, "f"), c.asDouble);
        EXPECT_EQ(numberValue(c.value), c.asDouble);
        EXPECT_EQ(readBool(map, "f"), c.asBool);
        EXPECT_EQ(booleanValue(c.value), c.asBool);
        const auto string = readString(map, "f");
        EXPECT_EQ(string ? std::optional<std::string>(*string) : std::nullopt, c.asString);
        EXPECT_EQ(readObject(map, "f") != nullptr, c.shape == Shape::object);
        EXPECT_EQ(readArray(map, "f") != nullptr, c.shape == Shape::array);
    }
}

TEST(JsonValue, absent_key_reads_as_nothing_through_every_reader) {
    const boost::json::object map{{"other", 1}};
    EXPECT_EQ(readInt(map, "f"), std::nullopt);
    EXPECT_EQ(readDouble(map, "f"), std::nullopt);
    EXPECT_EQ(readBool(map, "f"), std::nullopt);
    EXPECT_EQ(readString(map, "f"), std::nullopt);
    EXPECT_EQ(readObject(map, "f"), nullptr);
    EXPECT_EQ(readArray(map, "f"), nullptr);
}

TEST(JsonValue, int_of_nan_is_absent_rather_than_an_arbitrary_integer) {
    const boost::json::object map{{"f", std::nan("")}};
    EXPECT_EQ(readInt(map, "f"), std::nullopt);
    EXPECT_TRUE(std::isnan(readDouble(map, "f").value()));
    EXPECT_EQ(readBool(map, "f"), std::nullopt);
}

// Numbers as the parser delivers them from message text: out-of-range integers arrive as unsigned integers
// or doubles and must saturate, never wrap.
TEST(JsonValue, parsed_numbers_outside_int64_saturate) {
    struct Parsed {
        std::string text;
        std::int64_t expected;
    };
    for (const Parsed& p : std::vector<Parsed>{
             {"9223372036854775807", int64Max},
             {"9223372036854775808", int64Max},
             {"18446744073709551617", int64Max},
             {"-9223372036854775808", int64Min},
             {"-9223372036854775809", int64Min},
             {"1e19", int64Max},
             {"-1e19", int64Min},
             {"3.0", 3},
             {"1e2", 100},
         }) {
        SCOPED_TRACE(p.text);
        const auto map = boost::json::parse("{\"f\":" + p.text + "}").as_object();
        EXPECT_EQ(readInt(map, "f"), p.expected);
    }
}

TEST(JsonValue, read_string_views_the_stored_text) {
    const boost::json::object map{{"s", "caf\xc3\xa9"}};
    const auto s = readString(map, "s");
    ASSERT_TRUE(s.has_value());
    EXPECT_EQ(s->data(), map.at("s").get_string().data());
    EXPECT_EQ(*s, "caf\xc3\xa9");
}

}  // namespace
}  // namespace velmora
