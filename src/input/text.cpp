#include "input/text.hpp"

#include <utf8proc.h>

namespace velmora::input {

namespace {

constexpr char32_t replacement = 0xFFFD;

struct Decoded {
    char32_t codePoint;
    std::size_t length;  // bytes consumed, at least 1
};

// The code point at the front of `utf8`, which must not be empty.
Decoded decodeFront(std::string_view utf8) {
    utf8proc_int32_t cp = -1;
    const auto n = utf8proc_iterate(reinterpret_cast<const utf8proc_uint8_t*>(utf8.data()),
                                    static_cast<utf8proc_ssize_t>(utf8.size()), &cp);
    if (n <= 0 || cp < 0) return {replacement, 1};
    return {static_cast<char32_t>(cp), static_cast<std::size_t>(n)};
}

template <typename Visit>
void forEachCodePoint(std::string_view utf8, Visit visit) {
    while (!utf8.empty()) {
        const auto d = decodeFront(utf8);
        visit(d);
        utf8.remove_prefix(d.length);
    }
}

bool isPlatformWhitespace(char32_t c) {
    return c == U'\t' || utf8proc_category(static_cast<utf8proc_int32_t>(c)) == UTF8PROC_CATEGORY_ZS;
}

}  // namespace

std::size_t characterCount(std::string_view utf8) {
    std::size_t count = 0;
    std::optional<char32_t> previous;
    utf8proc_int32_t state = 0;
    forEachCodePoint(utf8, [&](const Decoded& d) {
        const auto cp = static_cast<utf8proc_int32_t>(d.codePoint);
        if (!previous ||
            utf8proc_grapheme_break_stateful(static_cast<utf8proc_int32_t>(*previous), cp, &state)) {
            ++count;
        }
        previous = d.codePoint;
    });
    return count;
}

std::optional<char32_t> firstCodePoint(std::string_view utf8) {
    if (utf8.empty()) return std::nullopt;
    return decodeFront(utf8).codePoint;
}

std::u16string utf16Units(std::string_view utf8) {
    std::u16string units;
    units.reserve(utf8.size());
    forEachCodePoint(utf8, [&](const Decoded& d) {
        if (d.codePoint < 0x10000) {
            units.push_back(static_cast<char16_t>(d.codePoint));
        } else {
            const char32_t v = d.codePoint - 0x10000;
            units.push_back(static_cast<char16_t>(0xD800 + (v >> 10)));
            units.push_back(static_cast<char16_t>(0xDC00 + (v & 0x3FF)));
        }
    });
    return units;
}

std::string_view trimWhitespace(std::string_view utf8) {
    // Leading: decode forward until a code point that is not whitespace.
    while (!utf8.empty()) {
        const auto d = decodeFront(utf8);
        if (!isPlatformWhitespace(d.codePoint)) break;
        utf8.remove_prefix(d.length);
    }
    // Trailing: every whitespace character is at most 3 bytes long; try the last 1..3 bytes as one
    // complete sequence.
    while (!utf8.empty()) {
        bool trimmed = false;
        for (std::size_t length = 1; length <= 3 && length <= utf8.size(); ++length) {
            const auto tail = utf8.substr(utf8.size() - length);
            const auto d = decodeFront(tail);
            if (d.length == length && d.codePoint != replacement && isPlatformWhitespace(d.codePoint)) {
                utf8.remove_suffix(length);
                trimmed = true;
                break;
            }
        }
        if (!trimmed) break;
    }
    return utf8;
}

}  // namespace velmora::input
