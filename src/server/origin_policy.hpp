#pragma once

#include <optional>
#include <string>

namespace velmora::server {

// Whether a page with this "Origin" header value may open a connection. The value must have the shape a
// browser sends, exactly `scheme "://" host [":" port]` with a decimal port of at most 65535 and nothing
// else (no user info, path, query or fragment); then its host, lower-cased and compared as a whole, must
// be one of the production and staging web hosts over https, or "localhost", "127.0.0.1" or "[::1]" with
// any scheme and port. An absent, empty or differently shaped origin is refused. Pure; any thread.
bool isAllowedOrigin(const std::optional<std::string>& origin);

// The origin as the "rejected connection from origin " log line shows it: "(none)" when absent, else the
// value with every byte outside printable ASCII, and the backslash, written as "\xNN", so that a page
// cannot end the line early or send escape sequences to whoever reads the log.
std::string originForLog(const std::optional<std::string>& origin);

}  // namespace velmora::server
