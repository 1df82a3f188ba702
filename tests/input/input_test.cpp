#include "input/input.hpp"

#include <gtest/gtest.h>

#include <boost/json/parse.hpp>

#include <set>
#include <string>
#include <vector>

namespace velmora::input {
namespace {

boost::json::object parse(const std::string& text) {
    return boost::json::parse(text).as_object();
}

struct Case {
    std::string json;
    std::optional<Input> expected;
};

void expectCases(const std::vector<Case>& cases) {
    for (const Case& c : cases) {
        SCOPED_TRACE(c.json);
        EXPECT_EQ(makeInput(parse(c.json)), c.expected);
    }
}

TEST(MakeInput, move_clamps_its_position_and_needs_finite_numbers) {
    expectCases({
        {R"({"kind":"move","x":0.25,"y":0.75})", Move{0.25, 0.75}},
        {R"({"kind":"move","x":1.7,"y":-3})", Move{1, 0}},
        {R"({"kind":"move","x":0,"y":1})", Move{0, 1}},
        {R"({"kind":"move","x":true,"y":false})", Move{1, 0}},
        {R"({"kind":"move","x":1e308,"y":-1e308})", Move{1, 0}},
        {R"({"kind":"move","x":"0.5","y":0.5})", std::nullopt},
        {R"({"kind":"move","x":0.5})", std::nullopt},
        {R"({"kind":"move","x":null,"y":0.5})", std::nullopt},
        {R"({"kind":"move","x":[0.5],"y":0.5})", std::nullopt},
        {R"({"kind":"move","x":0.5,"y":0.5,"extra":"ignored"})", Move{0.5, 0.5}},
    });
}

TEST(MakeInput, move_rejects_infinite_and_nan_positions) {
    for (double bad : {std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity(),
                       std::numeric_limits<double>::quiet_NaN()}) {
        EXPECT_EQ(makeInput({{"kind", "move"}, {"x", bad}, {"y", 0.5}}), std::nullopt);
        EXPECT_EQ(makeInput({{"kind", "move"}, {"x", 0.5}, {"y", bad}}), std::nullopt);
    }
}

TEST(MakeInput, down_and_up_build_a_button_with_its_checks_and_defaults) {
    expectCases({
        {R"({"kind":"down","x":0.5,"y":0.5,"button":0})", Button{true, 0.5, 0.5, 0, 1}},
        {R"({"kind":"up","x":0.5,"y":0.5,"button":0})", Button{false, 0.5, 0.5, 0, 1}},
        {R"({"kind":"down","x":2,"y":-1,"button":2})", Button{true, 1, 0, 2, 1}},
        {R"({"kind":"up","x":0.5,"y":0.5,"button":0,"down":true})", Button{false, 0.5, 0.5, 0, 1}},
        {R"({"kind":"down","x":0.5,"y":0.5,"button":0,"down":false})", Button{true, 0.5, 0.5, 0, 1}},
        // button
        {R"({"kind":"down","x":0.5,"y":0.5,"button":3})", std::nullopt},
        {R"({"kind":"down","x":0.5,"y":0.5,"button":-1})", std::nullopt},
        {R"({"kind":"down","x":0.5,"y":0.5,"button":1.9})", Button{true, 0.5, 0.5, 1, 1}},
        {R"({"kind":"down","x":0.5,"y":0.5,"button":-0.5})", Button{true, 0.5, 0.5, 0, 1}},
        {R"({"kind":"down","x":0.5,"y":0.5,"button":true})", Button{true, 0.5, 0.5, 1, 1}},
        {R"({"kind":"down","x":0.5,"y":0.5,"button":"0"})", std::nullopt},
        {R"({"kind":"down","x":0.5,"y":0.5})", std::nullopt},
        {R"({"kind":"down","x":0.5,"y":0.5,"button":18446744073709551616})", std::nullopt},
        {R"({"kind":"down","x":0.5,"y":0.5,"button":18446744073709551615})", std::nullopt},
        {R"({"kind":"down","x":0.5,"y":0.5,"button":-9223372036854775809})", std::nullopt},
        // clicks
        {R"({"kind":"down","x":0.5,"y":0.5,"button":0,"clicks":0})", Button{true, 0.5, 0.5, 0, 1}},
        {R"({"kind":"down","x":0.5,"y":0.5,"button":0,"clicks":-4})", Button{true, 0.5, 0.5, 0, 1}},
        {R"({"kind":"down","x":0.5,"y":0.5,"button":0,"clicks":"2"})", Button{true, 0.5, 0.5, 0, 1}},
        {R"({"kind":"down","x":0.5,"y":0.5,"button":0,"clicks":2})", Button{true, 0.5, 0.5, 0, 2}},
        {R"({"kind":"down","x":0.5,"y":0.5,"button":0,"clicks":3})", Button{true, 0.5, 0.5, 0, 3}},
        {R"({"kind":"down","x":0.5,"y":0.5,"button":0,"clicks":7})", Button{true, 0.5, 0.5, 0, 3}},
        {R"({"kind":"down","x":0.5,"y":0.5,"button":0,"clicks":2.5})", Button{true, 0.5, 0.5, 0, 2}},
        {R"({"kind":"down","x":0.5,"y":0.5,"button":0,"clicks":18446744073709551615})",
         Button{true, 0.5, 0.5, 0, 3}},
        {R"({"kind":"down","x":0.5,"y":0.5,"button":0,"clicks":-1e300})", Button{true, 0.5, 0.5, 0, 1}},
        // position
        {R"({"kind":"down","y":0.5,"button":0})", std::nullopt},
        {R"({"kind":"up","x":0.5,"y":"0.5","button":0})", std::nullopt},
    });
}

TEST(MakeInput, wheel_clamps_its_position_and_keeps_its_deltas) {
    expectCases({
        {R"({"kind":"wheel","x":0.5,"y":0.5,"dx":-240,"dy":120.5})", Wheel{0.5, 0.5, -240, 120.5}},
        {R"({"kind":"wheel","x":-1,"y":9,"dx":1e12,"dy":0})", Wheel{0, 1, 1e12, 0}},
        {R"({"kind":"wheel","x":0.5,"y":0.5,"dx":0})", std::nullopt},
        {R"({"kind":"wheel","x":0.5,"y":0.5,"dy":0})", std::nullopt},
        {R"({"kind":"wheel","x":0.5,"dx":0,"dy":0})", std::nullopt},
        {R"({"kind":"wheel","x":0.5,"y":0.5,"dx":0,"dy":"3"})", std::nullopt},
    });
    EXPECT_EQ(makeInput({{"kind", "wheel"},
                         {"x", 0.5},
                         {"y", 0.5},
                         {"dx", 0},
                         {"dy", std::numeric_limits<double>::infinity()}}),
              std::nullopt);
}

TEST(MakeInput, key_needs_a_boolean_down_and_two_strings) {
    expectCases({
        {R"({"kind":"key","down":true,"key":"a","code":"KeyA"})", Key{true, "a", "KeyA", false}},
        {R"({"kind":"key","down":false,"key":"a","code":"KeyA","repeat":true})",
         Key{false, "a", "KeyA", true}},
        {R"({"kind":"key","down":1,"key":"a","code":"KeyA"})", Key{true, "a", "KeyA", false}},
        {R"({"kind":"key","down":0,"key":"a","code":"KeyA","repeat":1})", Key{false, "a", "KeyA", true}},
        {R"({"kind":"key","down":"true","key":"a","code":"KeyA"})", std::nullopt},
        {R"({"kind":"key","down":2,"key":"a","code":"KeyA"})", std::nullopt},
        {R"({"kind":"key","key":"a","code":"KeyA"})", std::nullopt},
        {R"({"kind":"key","down":true,"key":"a","code":"KeyA","repeat":"true"})",
         Key{true, "a", "KeyA", false}},
        {R"({"kind":"key","down":true,"key":"a","code":"KeyA","repeat":2})", Key{true, "a", "KeyA", false}},
        {R"({"kind":"key","down":true,"key":"a"})", std::nullopt},
        {R"({"kind":"key","down":true,"code":"KeyA"})", std::nullopt},
        {R"({"kind":"key","down":true,"key":65,"code":"KeyA"})", std::nullopt},
        {R"({"kind":"key","down":true,"key":"","code":""})", Key{true, "", "", false}},
        {R"({"kind":"key","down":true,"key":"\u00e9","code":"KeyE"})", Key{true, "\xc3\xa9", "KeyE", false}},
    });
}

TEST(MakeInput, unknown_or_missing_kind_gives_nothing) {
    expectCases({
        {R"({})", std::nullopt},
        {R"({"x":0.5,"y":0.5})", std::nullopt},
        {R"({"kind":"Move","x":0.5,"y":0.5})", std::nullopt},
        {R"({"kind":"DOWN","x":0.5,"y":0.5,"button":0})", std::nullopt},
        {R"({"kind":"button","x":0.5,"y":0.5,"button":0})", std::nullopt},
        {R"({"kind":"","x":0.5,"y":0.5})", std::nullopt},
        {R"({"kind":" move","x":0.5,"y":0.5})", std::nullopt},
        {R"({"kind":1,"x":0.5,"y":0.5})", std::nullopt},
        {R"({"kind":null})", std::nullopt},
    });
}

TEST(Modifiers, each_member_is_an_independent_boolean_and_no_object_is_all_false) {
    struct ModCase {
        std::optional<std::string> json;
        Modifiers expected;
    };
    for (const ModCase& c : std::vector<ModCase>{
             {std::nullopt, {}},
             {R"({})", {}},
             {R"({"shift":true,"meta":1,"ctrl":"true"})", {true, false, false, true}},
             {R"({"alt":true})", {false, true, false, false}},
             {R"({"ctrl":1.0,"alt":0,"shift":2,"meta":null})", {false, false, true, false}},
             {R"({"shift":true,"alt":true,"ctrl":true,"meta":true})", {true, true, true, true}},
             {R"({"Shift":true,"META":true})", {}},
         }) {
        SCOPED_TRACE(c.json.value_or("(none)"));
        if (c.json) {
            const auto object = parse(*c.json);
            EXPECT_EQ(Modifiers::from(&object), c.expected);
        } else {
            EXPECT_EQ(Modifiers::from(nullptr), c.expected);
        }
    }
}

TEST(IsModifierCode, matches_the_four_prefixes_and_the_three_lock_names_exactly) {
    struct CodeCase {
        std::string code;
        bool expected;
    };
    for (const CodeCase& c : std::vector<CodeCase>{
             {"Shift", true},      {"ShiftLeft", true},    {"ShiftRight", true}, {"Alt", true},
             {"AltLeft", true},    {"AltGraph", true},     {"Control", true},    {"ControlRight", true},
             {"Meta", true},       {"MetaLeft", true},     {"CapsLock", true},   {"Fn", true},
             {"FnLock", true},     {"capslock", false},    {"CAPSLOCK", false},  {"FnLockX", false},
             {"FnX", false},       {"NumpadEnter", false}, {"", false},          {"shiftLeft", false},
             {"LeftShift", false}, {"KeyA", false},        {"NumLock", false},   {"ScrollLock", false},
             {"OSLeft", false},    {"Ctrl", false},
         }) {
        EXPECT_EQ(isModifierCode(c.code), c.expected) << c.code;
    }
}

TEST(KeyCodes, table_has_ninety_six_distinct_codes_and_spot_checks_hold) {
    const auto& table = keyCodes();
    EXPECT_EQ(table.size(), 96u);
    std::set<std::uint16_t> codes;
    for (const auto& [name, code] : table)
        codes.insert(code);
    EXPECT_EQ(codes.size(), 96u);
    EXPECT_EQ(codes.count(10), 0u);

    struct Spot {
        std::string name;
        std::uint16_t code;
    };
    for (const Spot& s : std::vector<Spot>{
             {"KeyA", 0},        {"KeyB", 11},        {"KeyM", 46},         {"Digit0", 29},  {"Digit5", 23},
             {"Digit6", 22},     {"Equal", 24},       {"Backquote", 50},    {"Enter", 36},   {"Space", 49},
             {"Tab", 48},        {"Escape", 53},      {"ContextMenu", 110}, {"Delete", 117}, {"ArrowUp", 126},
             {"ArrowLeft", 123}, {"NumpadEnter", 76}, {"Numpad8", 91},      {"Numpad9", 92}, {"F1", 122},
             {"F2", 120},        {"F12", 111},        {"F16", 106},
         }) {
        EXPECT_EQ(keyCode(s.name), s.code) << s.name;
    }
}

TEST(KeyCodes, no_modifier_lock_or_unlisted_key_has_an_entry) {
    for (const auto& [name, code] : keyCodes())
        EXPECT_FALSE(isModifierCode(name)) << name;
    for (std::string name : {"CapsLock",
                             "Fn",
                             "FnLock",
                             "ShiftLeft",
                             "ShiftRight",
                             "Shift",
                             "AltLeft",
                             "ControlLeft",
                             "MetaRight",
                             "NumLock",
                             "ScrollLock",
                             "F17",
                             "F24",
                             "IntlBackslash",
                             "IntlYen",
                             "Lang1",
                             "AudioVolumeUp",
                             "MediaPlayPause",
                             "keya",
                             "KEYA",
                             "",
                             "Key A"}) {
        EXPECT_EQ(keyCode(name), std::nullopt) << name;
    }
}

}  // namespace
}  // namespace velmora::input
