#include "server/origin_policy.hpp"

#include <gtest/gtest.h>

#include <cctype>
#include <string>
#include <vector>

#include "build_config.hpp"

namespace velmora::server {
namespace {

std::string upper(std::string text) {
    for (char& c : text)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
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
        {"https://" + production + "/review/42?x=1", true},
        {"https://user@" + production, true},
        {"http://" + production, false},
        {"wss://" + production, false},
        {"HTTPS://" + production, false},        // the scheme is compared as written
        {"https://" + upper(production), true},  // the host is lower-cased
        {"https://" + staging, true},
        {"https://" + staging + ":443", true},
        {"http://" + staging, false},
        {"https://sub." + production, false},
        {"https://" + production + ".evil.example", false},
        {"https://" + production + ".", false},
        {"//" + production, false},  // no scheme at all
        {"http://localhost", true},
        {"http://localhost:3000", true},
        {"https://localhost:8443/page", true},
        {"file://localhost/x.html", true},
        {"chrome-extension://localhost", true},
        {"//localhost", true},  // any scheme, even none
        {"http://LocalHost:1", true},
        {"http://127.0.0.1:8080", true},
        {"http://[::1]:5173", true},
        {"http://[::1]", true},
        {"http://[0:0:0:0:0:0:0:1]", false},  // compared as written
        {"http://localhost.evil.example", false},
        {"http://localhostx", false},
        {"http://%6cocalhost", false},  // not percent-decoded
        {"http://127.0.0.2", false},
        {"http://0x7f.0.0.1", false},
        {"https://evil.example", false},
        {"null", false},
        {"", false},
        {"localhost", false},
        {"localhost:3000", false},
        {"http://", false},
        {"file:///etc/passwd", false},
        {"http://[::1", false},
        {"http://local host", false},
        {std::nullopt, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(isAllowedOrigin(c.origin), c.allowed) << c.origin.value_or("(none)");
    }
}

}  // namespace
}  // namespace velmora::server
