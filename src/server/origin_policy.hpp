#pragma once

#include <optional>
#include <string>

namespace velmora::server {

// Whether a page with this "Origin" header value may open a connection: the production and staging web
// hosts over https only, or any page served from the local machine ("localhost", "127.0.0.1", "[::1]")
// whatever its scheme and port. An absent, empty or unparsable origin is refused. Pure; any thread.
bool isAllowedOrigin(const std::optional<std::string>& origin);

}  // namespace velmora::server
