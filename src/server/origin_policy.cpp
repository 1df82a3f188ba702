#include "server/origin_policy.hpp"

#include <boost/url/grammar/alnum_chars.hpp>
#include <boost/url/grammar/alpha_chars.hpp>
#include <boost/url/grammar/lut_chars.hpp>
#include <boost/url/grammar/parse.hpp>
#include <boost/url/rfc/ipv6_address_rule.hpp>
#include <boost/url/rfc/sub_delim_chars.hpp>
#include <boost/url/rfc/unreserved_chars.hpp>

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdint>
#include <string_view>

#include "build_config.hpp"

namespace velmora::server {

namespace {

namespace grammar = boost::urls::grammar;

constexpr std::array<std::string_view, 3> loopbackHosts{"localhost", "127.0.0.1", "[::1]"};

constexpr grammar::lut_chars schemeChars = grammar::lut_chars(grammar::alnum_chars) + "+-.";
// A registered name without percent escapes: a browser writes the host of an origin decoded (and
// punycoded), so an escape can only come from something that is not a browser.
constexpr grammar::lut_chars hostChars = boost::urls::unreserved_chars + boost::urls::sub_delim_chars;

bool allOf(std::string_view text, const grammar::lut_chars& chars) {
    return std::all_of(text.begin(), text.end(), [&](char c) { return chars(c); });
}

bool isScheme(std::string_view text) {
    return !text.empty() && grammar::alpha_chars(text.front()) && allOf(text, schemeChars);
}

bool isPort(std::string_view digits) {
    if (digits.empty() || !allOf(digits, grammar::lut_chars("0123456789"))) return false;
    std::uint16_t port;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), port);
    return error == std::errc() && end == digits.data() + digits.size();
}

struct Origin {
    std::string_view scheme;
    std::string_view host;
};

// The origin split by hand rather than by a URL parser: Boost.URL 1.81 takes an IPv4 address at the start
// of an authority and leaves what follows ("127.0.0.1.evil.example") as a path, so its host is not the
// whole of what the page named.
std::optional<Origin> split(std::string_view text) {
    const auto separator = text.find("://");
    if (separator == std::string_view::npos) return std::nullopt;
    const auto scheme = text.substr(0, separator);
    const auto authority = text.substr(separator + 3);

    std::string_view host;
    if (authority.starts_with('[')) {
        const auto close = authority.find(']');
        if (close == std::string_view::npos) return std::nullopt;
        host = authority.substr(0, close + 1);
        if (!grammar::parse(host.substr(1, host.size() - 2), boost::urls::ipv6_address_rule)) {
            return std::nullopt;
        }
    } else {
        host = authority.substr(0, authority.find(':'));
        if (host.empty() || !allOf(host, hostChars)) return std::nullopt;
    }
    const auto rest = authority.substr(host.size());
    if (!isScheme(scheme) || (!rest.empty() && !(rest.front() == ':' && isPort(rest.substr(1))))) {
        return std::nullopt;
    }
    return Origin{scheme, host};
}

char asciiLower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

}  // namespace

bool isAllowedOrigin(const std::optional<std::string>& origin) {
    if (!origin) return false;
    const auto parts = split(*origin);
    if (!parts) return false;

    // An IPv6 literal keeps its brackets, so "[::1]" is compared as written.
    std::string host(parts->host);
    std::transform(host.begin(), host.end(), host.begin(), asciiLower);
    if (host == build::productionHost || host == build::stagingHost) return parts->scheme == "https";
    return std::find(loopbackHosts.begin(), loopbackHosts.end(), host) != loopbackHosts.end();
}

std::string originForLog(const std::optional<std::string>& origin) {
    if (!origin) return "(none)";
    static constexpr char hex[] = "0123456789abcdef";
    std::string shown;
    shown.reserve(origin->size());
    for (const char c : *origin) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte < 0x7f && c != '\\') {
            shown += c;
        } else {
            shown += "\\x";
            shown += hex[byte >> 4];
            shown += hex[byte & 0xf];
        }
    }
    return shown;
}

}  // namespace velmora::server
