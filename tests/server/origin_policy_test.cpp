#include "server/origin_policy.hpp"

#include <gtest/gtest.h>

#include <boost/url/parse.hpp>

#include <algorithm>
#include <cctype>
#include <string>
#include <string_view>
#include <vector>

#include "build_config.hpp"

namespace velmora::server {
namespace {

std::string upper(std::string text) {
    for (char& c : text)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

std::string lower(std::string text) {
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// The rule again, on Boost.URL's parse of the whole value rather than a split by hand: an absolute URI with
// an authority and nothing but a scheme, a host and perhaps a port.
bool oracle(const std::optional<std::string>& origin) {
    if (!origin) return false;
    const auto url = boost::urls::parse_uri(*origin);
    if (!url || !url->has_authority() || url->has_userinfo() || !url->encoded_path().empty() ||
        url->has_query() || url->has_fragment()) {
        return false;
    }
    if (url->has_port()) {
        std::string port(url->port());
        if (port.empty() || port.find_first_not_of("0123456789") != std::string::npos) return false;
        port.erase(0, std::min(port.find_first_not_of('0'), port.size() - 1));
        if (port.size() > 5 || std::stoi(port) > 65535) return false;
    }
    const std::string host = lower(std::string(url->encoded_host()));
    if (host == build::productionHost || host == build::stagingHost) return url->scheme() == "https";
    return host == "localhost" || host == "127.0.0.1" || host == "[::1]";
}

TEST(OriginPolicy, admits_the_web_hosts_over_https_and_loopback_pages_only) {
    const std::string production = build::productionHost;
    const std::string staging = build::stagingHost;
    struct Case {
        std::optional<std::string> origin;
        bool allowed;
    };
    const std::vector<Case> cases{
        {"https://" + production, true},
        {"https://" + production + ":8443", true},
        {"https://" + upper(production), true},  // the host is lower-cased
        {"https://" + staging + ":443", true},
        {"http://localhost", true},
        {"chrome-extension://localhost", true},
        {"http://LocalHost:1", true},
        {"http://127.0.0.1:8080", true},
        {"http://[::1]:5173", true},
        {"http://localhost:0", true},
        {"http://localhost:65535", true},
        {"http://" + production, false},
        {"wss://" + production, false},
        {"HTTPS://" + production, false},  // the scheme is compared as written
        {"https://sub." + production, false},
        {"https://" + production + ".", false},
        {"http://[0:0:0:0:0:0:0:1]", false},  // compared as written
        {"http://%6cocalhost", false},        // not percent-decoded
        {"http://127.0.0.2", false},
        {"http://0x7f.0.0.1", false},
        // Nothing but scheme, host and port.
        {"https://" + production + "/review/42?x=1", false},
        {"https://user@" + production, false},
        {"https://localhost:8443/page", false},
        {"file://localhost/x.html", false},
        {"//localhost", false},
        {"localhost:3000", false},
        {"http://localhost:", false},
        // A host that only starts with an allowed one.
        {"http://127.0.0.1.evil.example", false},
        {"http://127.0.0.1-evil.example", false},
        {"http://127.0.0.1.nip.io", false},
        {"http://127.0.0.1x:8080", false},
        {"http://[::1].evil.example", false},
        {"http://[::1]@evil.example", false},
        // A port that is not a port.
        {"http://localhost:-1", false},
        {"http://localhost:+80", false},
        {"http://localhost:1e3", false},
        {"http://localhost:80.evil.example", false},
        {"http://localhost:65536", false},
        {"https://" + production + ":-1", false},
        {std::string("http://local\0host", 17), false},
        {"http://localhost\x01", false},
        {"http://localhost\x0b", false},
        {"http://localhost\x0c", false},
        {"http://localhost\x7f", false},
        {"null", false},
        {"", false},
        {"http://", false},
        {"http://[::1", false},
        {std::nullopt, false},
    };
    for (const Case& c : cases) {
        const auto shown = originForLog(c.origin);
        EXPECT_EQ(isAllowedOrigin(c.origin), c.allowed) << shown;
        EXPECT_EQ(oracle(c.origin), c.allowed) << "oracle: " << shown;
    }
}

// Every allowed host dressed in every way an attacker might: the verdict must be the oracle's each time.
TEST(OriginPolicy, generated_variants_of_the_allowed_hosts_agree_with_the_rule) {
    const std::vector<std::string> hosts{"localhost", "127.0.0.1", "[::1]", build::productionHost,
                                         build::stagingHost};
    const std::vector<std::string> schemes{"https://", "http://", "ws://", "HTTPS://", "://", "https:/", ""};
    const std::vector<std::string> prefixes{"", "x", "a.", "user@", "u:p@", "evil.example@", "%20", "["};
    const std::vector<std::string> suffixes{
        "", ".", ".evil.example", "-evil.example", "x", "@evil.example", "/", "/p", "?q", "#f", "]", "%00"};
    const std::vector<std::string> ports{"",    ":0",   ":443", ":65535", ":65536", ":0080", ":99999999999",
                                         ":-1", ":+80", ":1e3", ":80.x",  ":",      ":80/",  ":8080:80"};
    const std::vector<std::string> controls{
        std::string(1, '\0'), "\x01", "\t", "\x0b", "\x0c", "\r\n", "\x7f"};

    std::size_t tried = 0, admitted = 0;
    std::vector<std::string> disagreements;
    const auto check = [&](const std::string& origin) {
        const bool verdict = isAllowedOrigin(origin);
        if (verdict != oracle(origin)) disagreements.push_back(originForLog(origin));
        ++tried;
        admitted += verdict;
    };
    for (const auto& host : hosts) {
        // Each host also as a percent escape of its first character and in capitals.
        constexpr std::string_view hex = "0123456789ABCDEF";
        const auto first = static_cast<unsigned char>(host[0]);
        const std::string escaped = std::string{'%', hex[first >> 4], hex[first & 15]} + host.substr(1);
        for (const auto& name : {host, upper(host), escaped}) {
            for (const auto& scheme : schemes)
                for (const auto& prefix : prefixes)
                    for (const auto& suffix : suffixes)
                        for (const auto& port : ports)
                            check(scheme + prefix + name + suffix + port);
        }
        const std::string plain = "https://" + host + ":443";
        for (const auto& control : controls) {
            for (std::size_t at = 0; at <= plain.size(); ++at)
                check(plain.substr(0, at) + control + plain.substr(at));
        }
    }
    disagreements.resize(std::min<std::size_t>(disagreements.size(), 10));
    EXPECT_EQ(disagreements, std::vector<std::string>{});
    // The variants reach both verdicts, the admitted ones rarely.
    EXPECT_GT(admitted, 0u);
    EXPECT_LT(admitted, tried / 100);
}

TEST(OriginPolicy, the_logged_origin_cannot_break_the_log_line) {
    const std::vector<std::pair<std::optional<std::string>, std::string>> cases{
        {std::nullopt, "(none)"},
        {"", ""},
        {"https://evil.example:8080", "https://evil.example:8080"},
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
