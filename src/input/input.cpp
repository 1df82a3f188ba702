#include "input/input.hpp"

#include <algorithm>
#include <cmath>

#include "base/json_fields.hpp"

namespace velmora::input {

namespace {

double clamp(double v) {
    if (v < 0) return 0;
    if (v > 1) return 1;
    return v;
}

// A position read as a number, finite, and clamped into the surface.
std::optional<double> fraction(const boost::json::object& object, std::string_view key) {
    const auto v = readDouble(object, key);
    if (!v || !std::isfinite(*v)) return std::nullopt;
    return clamp(*v);
}

std::optional<double> finite(const boost::json::object& object, std::string_view key) {
    const auto v = readDouble(object, key);
    if (!v || !std::isfinite(*v)) return std::nullopt;
    return v;
}

std::optional<Input> makeButton(const boost::json::object& object, bool down) {
    const auto x = fraction(object, "x");
    const auto y = fraction(object, "y");
    if (!x || !y) return std::nullopt;
    const auto button = readInt(object, "button");
    if (!button || *button < 0 || *button >= 3) return std::nullopt;
    const std::int64_t clicks = std::clamp<std::int64_t>(readInt(object, "clicks").value_or(1), 1, 3);
    return Button{down, *x, *y, *button, clicks};
}

std::optional<Input> makeKey(const boost::json::object& object) {
    const auto down = readBool(object, "down");
    const auto key = readString(object, "key");
    const auto code = readString(object, "code");
    if (!down || !key || !code) return std::nullopt;
    return Key{*down, std::string(*key), std::string(*code), readBool(object, "repeat").value_or(false)};
}

}  // namespace

std::optional<Input> makeInput(const boost::json::object& object) {
    const auto kind = readString(object, "kind");
    if (!kind) return std::nullopt;
    if (*kind == "move") {
        const auto x = fraction(object, "x");
        const auto y = fraction(object, "y");
        if (!x || !y) return std::nullopt;
        return Move{*x, *y};
    }
    if (*kind == "down" || *kind == "up") return makeButton(object, *kind == "down");
    if (*kind == "wheel") {
        const auto x = fraction(object, "x");
        const auto y = fraction(object, "y");
        const auto dx = finite(object, "dx");
        const auto dy = finite(object, "dy");
        if (!x || !y || !dx || !dy) return std::nullopt;
        return Wheel{*x, *y, *dx, *dy};
    }
    if (*kind == "key") return makeKey(object);
    return std::nullopt;
}

Modifiers Modifiers::from(const boost::json::object* mods) {
    if (mods == nullptr) return {};
    const auto flag = [mods](std::string_view key) { return readBool(*mods, key).value_or(false); };
    return Modifiers{flag("shift"), flag("alt"), flag("ctrl"), flag("meta")};
}

bool isModifierCode(std::string_view code) {
    for (std::string_view prefix : {"Shift", "Alt", "Control", "Meta"}) {
        if (code.starts_with(prefix)) return true;
    }
    return code == "CapsLock" || code == "Fn" || code == "FnLock";
}

}  // namespace velmora::input
