#include "input/input.hpp"

#include <gtest/gtest.h>

#include <boost/json/parse.hpp>

#include <limits>

namespace velmora::input {
namespace {

const auto parse = [](const std::string& text) { return boost::json::parse(text).as_object(); };

TEST(MakeInput, builds_clamped_events_or_nothing) {
    const std::string at = R"("x":0.5,"y":0.5,)";
    const auto down = [](std::int64_t b, std::int64_t clicks) { return Button{true, 0.5, 0.5, b, clicks}; };
    for (const auto& [json, expected] : std::vector<std::pair<std::string, std::optional<Input>>>{
             {R"({"kind":"move","x":0.25,"y":0.75})", Move{0.25, 0.75}},
             {R"({"kind":"move","x":1.7,"y":-3})", Move{1, 0}},
             {R"({"kind":"move","x":0.5})", std::nullopt},
             {R"({"kind":"up",)" + at + R"("button":0,"down":true})", Button{false, 0.5, 0.5, 0, 1}},
             {R"({"kind":"down","x":2,"y":-1,"button":2})", Button{true, 1, 0, 2, 1}},
             {R"({"kind":"down",)" + at + R"("button":3})", std::nullopt},
             {R"({"kind":"down",)" + at + R"("button":-1})", std::nullopt},
             {R"({"kind":"down","x":0.5,"y":0.5})", std::nullopt},
             {R"({"kind":"down",)" + at + R"("button":0,"clicks":18446744073709551615})", down(0, 3)},
             {R"({"kind":"down",)" + at + R"("button":0,"clicks":-1e300})", down(0, 1)},
             {R"({"kind":"down","y":0.5,"button":0})", std::nullopt},
             {R"({"kind":"wheel","x":-1,"y":9,"dx":1e12,"dy":-120.5})", Wheel{0, 1, 1e12, -120.5}},
             {R"({"kind":"wheel",)" + at + R"("dx":0})", std::nullopt},
             {R"({"kind":"key","down":0,"key":"a","code":"KeyA","repeat":1})", Key{false, "a", "KeyA", true}},
             {R"({"kind":"key","down":1,"key":"a","code":"KeyA","repeat":2})", Key{true, "a", "KeyA", false}},
             {R"({"kind":"key","key":"a","code":"KeyA"})", std::nullopt},
             {R"({"kind":"key","down":true,"code":"KeyA"})", std::nullopt},
             {R"({"x":0.5,"y":0.5})", std::nullopt},
             {R"({"kind":"Move","x":0.5,"y":0.5})", std::nullopt},
         })
        EXPECT_EQ(makeInput(parse(json)), expected) << json;
    // JSON text cannot carry these, but an object built in code can.
    for (double bad : {std::numeric_limits<double>::infinity(), std::numeric_limits<double>::quiet_NaN()}) {
        EXPECT_FALSE(makeInput({{"kind", "move"}, {"x", bad}, {"y", 0.5}}));
        EXPECT_FALSE(makeInput({{"kind", "wheel"}, {"x", 0.5}, {"y", 0.5}, {"dx", 0}, {"dy", bad}}));
    }
}

TEST(Modifiers, each_member_is_a_boolean_of_its_own_and_no_object_is_all_false) {
    EXPECT_EQ(Modifiers::from(nullptr), Modifiers{});
    const auto some = parse(R"({"shift":true,"meta":1,"ctrl":"true","Alt":true})"),
               others = parse(R"({"ctrl":1,"alt":1})");
    EXPECT_EQ(Modifiers::from(&some), (Modifiers{true, false, false, true}));
    EXPECT_EQ(Modifiers::from(&others), (Modifiers{false, true, true, false}));
}

TEST(KeyCodes, modifier_names_and_the_table_of_ninety_six_codes) {
    for (std::string code : {"ShiftRight", "AltGraph", "Control", "MetaLeft", "CapsLock", "Fn", "FnLock"})
        EXPECT_TRUE(isModifierCode(code)) << code;
    for (std::string code : {"capslock", "FnLockX", "FnX", "shiftLeft", "LeftShift", "NumLock", "OSLeft", ""})
        EXPECT_FALSE(isModifierCode(code)) << code;
    for (const auto& [name, code] : keyCodes())
        EXPECT_FALSE(isModifierCode(name)) << name;
    EXPECT_EQ(keyCodes().size(), 96u);
    const std::pair<std::string, std::uint16_t> spots[]{
        {"KeyA", 0},         {"KeyB", 11},  {"Digit5", 23},   {"Digit6", 22},
        {"Backquote", 50},   {"Enter", 36}, {"ArrowUp", 126}, {"Numpad8", 91},
        {"NumpadEnter", 76}, {"F1", 122},   {"F2", 120},      {"F16", 106}};
    for (const auto& [name, code] : spots)
        EXPECT_EQ(keyCode(name), code) << name;
    for (std::string name : {"F17", "ShiftLeft", "CapsLock", "IntlYen", "MediaPlayPause", "keya", ""})
        EXPECT_EQ(keyCode(name), std::nullopt) << name;
}

}  // namespace
}  // namespace velmora::input
