#include "input/input.hpp"

namespace velmora::input {

const std::unordered_map<std::string, std::uint16_t>& keyCodes() {
    // A function-local static is initialised exactly once even when two threads get here first together.
    // clang-format off
    static const std::unordered_map<std::string, std::uint16_t> table{
        // Letters
        {"KeyA", 0}, {"KeyS", 1}, {"KeyD", 2}, {"KeyF", 3}, {"KeyH", 4}, {"KeyG", 5}, {"KeyZ", 6}, {"KeyX", 7},
        {"KeyC", 8}, {"KeyV", 9}, {"KeyB", 11}, {"KeyQ", 12}, {"KeyW", 13}, {"KeyE", 14}, {"KeyR", 15},
        {"KeyY", 16}, {"KeyT", 17}, {"KeyO", 31}, {"KeyU", 32}, {"KeyI", 34}, {"KeyP", 35}, {"KeyL", 37},
        {"KeyJ", 38}, {"KeyK", 40}, {"KeyN", 45}, {"KeyM", 46},
        // Digits
        {"Digit1", 18}, {"Digit2", 19}, {"Digit3", 20}, {"Digit4", 21}, {"Digit6", 22}, {"Digit5", 23},
        {"Digit9", 25}, {"Digit7", 26}, {"Digit8", 28}, {"Digit0", 29},
        // Punctuation
        {"Equal", 24}, {"Minus", 27}, {"BracketRight", 30}, {"BracketLeft", 33}, {"Quote", 39},
        {"Semicolon", 41}, {"Backslash", 42}, {"Comma", 43}, {"Slash", 44}, {"Period", 47}, {"Backquote", 50},
        // Editing and whitespace
        {"Enter", 36}, {"Tab", 48}, {"Space", 49}, {"Backspace", 51}, {"Escape", 53}, {"ContextMenu", 110},
        {"Insert", 114}, {"Home", 115}, {"PageUp", 116}, {"Delete", 117}, {"End", 119}, {"PageDown", 121},
        // Arrows
        {"ArrowLeft", 123}, {"ArrowRight", 124}, {"ArrowDown", 125}, {"ArrowUp", 126},
        // Numeric keypad
        {"NumpadDecimal", 65}, {"NumpadMultiply", 67}, {"NumpadAdd", 69}, {"NumpadDivide", 75},
        {"NumpadEnter", 76}, {"NumpadSubtract", 78}, {"NumpadEqual", 81}, {"Numpad0", 82}, {"Numpad1", 83},
        {"Numpad2", 84}, {"Numpad3", 85}, {"Numpad4", 86}, {"Numpad5", 87}, {"Numpad6", 88}, {"Numpad7", 89},
        {"Numpad8", 91}, {"Numpad9", 92},
        // Function keys
        {"F1", 122}, {"F2", 120}, {"F3", 99}, {"F4", 118}, {"F5", 96}, {"F6", 97}, {"F7", 98}, {"F8", 100},
        {"F9", 101}, {"F10", 109}, {"F11", 103}, {"F12", 111}, {"F13", 105}, {"F14", 107}, {"F15", 113},
        {"F16", 106},
    };
    // clang-format on
    return table;
}

std::optional<std::uint16_t> keyCode(std::string_view code) {
    const auto& table = keyCodes();
    const auto found = table.find(std::string(code));
    if (found == table.end()) return std::nullopt;
    return found->second;
}

}  // namespace velmora::input
