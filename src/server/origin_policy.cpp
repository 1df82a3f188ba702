#include "server/origin_policy.hpp"

#include <boost/url/parse.hpp>

#include <algorithm>
#include <array>
#include <string_view>

#include "build_config.hpp"

namespace velmora::server {

namespace {

constexpr std::array<std::string_view, 3> loopbackHosts{"localhost", "127.0.0.1", "[::1]"};

char asciiLower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

}  // namespace

bool isAllowedOrigin(const std::optional<std::string>& origin) {
    if (!origin) return false;
    // A reference rather than an absolute URI: an origin without a scheme still has a host to judge.
    const auto url = boost::urls::parse_uri_reference(*origin);
    if (!url || !url->has_authority()) return false;

    // The host exactly as written: percent escapes stay escaped, so "%6cocalhost" is not "localhost",
    // and an IPv6 literal keeps its brackets.
    std::string host(url->encoded_host());
    if (host.empty()) return false;
    std::transform(host.begin(), host.end(), host.begin(), asciiLower);

    if (host == build::productionHost || host == build::stagingHost) {
        return url->has_scheme() && url->scheme() == "https";
    }
    return std::find(loopbackHosts.begin(), loopbackHosts.end(), host) != loopbackHosts.end();
}

}  // namespace velmora::server
