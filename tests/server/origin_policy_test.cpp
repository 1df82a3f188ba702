#include "server/origin_policy.hpp"

#include <gtest/gtest.h>

#include <boost/url/parse.hpp>

#include <algorithm>
#include <cctype>

#include "build_config.hpp"

namespace velmora::server {
namespace {

using namespace std::string_literals;

std::string recased(std::string text, int (*to)(int)) {
    std::ranges::transform(text, text.begin(), [to](unsigned char c) { return static_cast<char>(to(c)); });
    return text;
}

// The rule again, on Boost.URL's parse of the whole value rather than a split by hand: an absolute URI with
// an authority and nothing but a scheme, a host and perhaps a port.
bool oracle(const std::optional<std::string>& origin) {
    if (!origin) return false;
    const auto url = boost::urls::parse_uri(*origin);  // a view of *origin
    if (!url || !url->has_authority() || url->has_userinfo() || !url->encoded_path().empty() ||
        url->has_query() || url->has_fragment())
        return false;
    const std::string port(url->port());  // digits, as the parse has checked; any number in 16 bits
    if (url->has_port() &&
        (port.empty() || (!url->port_number() && port.find_first_not_of('0') != port.npos)))
        return false;
    const std::string host = recased(std::string(url->encoded_host()), ::tolower);
    if (host == build::productionHost || host == build::stagingHost) return url->scheme() == "https";
    return host == "localhost" || host == "127.0.0.1" || host == "[::1]";
}

// Cases the generated variants below do not reach.
TEST(OriginPolicy, admits_the_web_hosts_over_https_and_loopback_pages_only) {
    const std::string production = build::productionHost;
    const std::vector<std::pair<std::optional<std::string>, bool>> cases{
        {"https://" + production + ":8443", true},
        {"chrome-extension://localhost", true},
        {"http://[::1]:5173", true},
        {"https://sub." + production, false},
        {"http://[0:0:0:0:0:0:0:1]", false},
        {"http://127.0.0.2", false},
        {"http://0x7f.0.0.1", false},
        {"file://localhost/x.html", false},
        {"http://127.0.0.1.nip.io", false},
        {"null", false},
        {"http://[::1", false},
        {std::nullopt, false}};
    for (const auto& [origin, allowed] : cases) {
        EXPECT_EQ(isAllowedOrigin(origin), allowed) << originForLog(origin);
        EXPECT_EQ(oracle(origin), allowed) << "oracle: " << originForLog(origin);
    }
}

// Every allowed host dressed in every way an attacker might: the verdict must be the oracle's each time.
TEST(OriginPolicy, generated_variants_of_the_allowed_hosts_agree_with_the_rule) {
    using Parts = std::vector<std::string>;
    const Parts schemes{"https://", "http://", "ws://", "HTTPS://", "://", "https:/", ""};
    const Parts prefixes{"", "x", "a.", "user@", "u:p@", "evil.example@", "%20", "["};
    const Parts suffixes{
        "", ".", ".evil.example", "-evil.example", "x", "@evil.example", "/", "/p", "?q", "#f", "]", "%00"};
    const Parts ports{"",    ":0",   ":443", ":65535", ":65536", ":0080", ":99999999999",
                      ":-1", ":+80", ":1e3", ":80.x",  ":",      ":80/",  ":8080:80"};
    std::size_t tried = 0, admitted = 0;
    std::vector<std::string> disagreements;
    const auto check = [&](const std::string& origin) {
        const bool verdict = isAllowedOrigin(origin);
        if (verdict != oracle(origin) && disagreements.size() < 10)
            disagreements.push_back(originForLog(origin));
        ++tried, admitted += verdict;
    };
    for (const std::string host :
         {"localhost", "127.0.0.1", "[::1]", build::productionHost, build::stagingHost}) {
        // Each host also in capitals and with its first character as a percent escape.
        char escaped[4];
        std::snprintf(escaped, sizeof escaped, "%%%02X", static_cast<unsigned char>(host[0]));
        for (const auto& name : {host, recased(host, ::toupper), escaped + host.substr(1)})
            for (const auto& scheme : schemes)
                for (const auto& prefix : prefixes)
                    for (const auto& suffix : suffixes)
                        for (const auto& port : ports)
                            check(scheme + prefix + name + suffix + port);
        const std::string plain = "https://" + host + ":443";
        for (const auto& control : {"\0"s, "\x01"s, "\t"s, "\x0b"s, "\x0c"s, "\r\n"s, "\x7f"s})
            for (std::size_t at = 0; at <= plain.size(); ++at)
                check(plain.substr(0, at) + control + plain.substr(at));
    }
    EXPECT_EQ(disagreements, std::vector<std::string>{});
    EXPECT_GT(admitted, 0u);  // both verdicts are reached, the admitting one rarely
    EXPECT_LT(admitted, tried / 100);
}

TEST(OriginPolicy, the_logged_origin_cannot_break_the_log_line) {
    const std::vector<std::pair<std::optional<std::string>, std::string>> cases{
        {std::nullopt, "(none)"},
        {"http://a\r\n[2026-03-01T14:05:09Z] listening",
         "http://a\\x0d\\x0a[2026-03-01T14:05:09Z] listening"},
        {std::string("x\0y", 3), "x\\x00y"},
        {"\x1b[2J\x7f", "\\x1b[2J\\x7f"},
        {"caf\xc3\xa9", "caf\\xc3\\xa9"},
        {"a\\x0a", "a\\x5cx0a"},  // a backslash is escaped too, so the text above stays unambiguous
    };
    for (const auto& [origin, shown] : cases)
        EXPECT_EQ(originForLog(origin), shown);
}

}  // namespace
}  // namespace velmora::server
