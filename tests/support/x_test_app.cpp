#include "support/x_test_app.hpp"

#include <boost/json/parse.hpp>

// Built without the X11 backend there is no test application; nothing that needs one is built either.
#ifndef VELMORA_X_TEST_APP_BINARY
#define VELMORA_X_TEST_APP_BINARY "velmora-x-test-app"
#endif

namespace velmora::testing {

namespace {

std::vector<std::string> arguments(const XTestApp::Options& options) {
    std::vector<std::string> args{"--title", options.title, "--geometry", options.geometry};
    if (options.windowClass) args.insert(args.end(), {"--class", *options.windowClass});
    if (options.color) args.insert(args.end(), {"--color", *options.color});
    if (!options.setPid) args.push_back("--no-pid");
    return args;
}

}  // namespace

XTestApp::XTestApp(const Options& options) : process_(VELMORA_X_TEST_APP_BINARY, arguments(options)) {}

void XTestApp::parseNewLines() {
    const std::string& out = process_.output();
    for (std::size_t end; (end = out.find('\n', parsedUpTo_)) != std::string::npos; parsedUpTo_ = end + 1) {
        boost::system::error_code error;
        auto value = boost::json::parse(std::string_view(out).substr(parsedUpTo_, end - parsedUpTo_), error);
        // The app prints nothing but event objects; anything else is a fault the awaiting test will show.
        if (error || !value.is_object()) continue;
        events_.push_back(std::move(value.as_object()));
        taken_.push_back(false);
    }
}

const std::vector<boost::json::object>& XTestApp::events() {
    parseNewLines();
    return events_;
}

std::optional<boost::json::object> XTestApp::await(const std::string& event, const Predicate& match,
                                                   std::chrono::milliseconds timeout) {
    std::optional<boost::json::object> found;
    std::size_t next = 0;  // events before this one have been looked at already
    process_.waitFor(
        [&] {
            parseNewLines();
            for (; next < events_.size(); ++next) {
                const auto& candidate = events_[next];
                const auto* kind = candidate.if_contains("event");
                if (taken_[next] || kind == nullptr || *kind != event.c_str()) continue;
                if (match && !match(candidate)) continue;
                taken_[next] = true;
                found = candidate;
                return true;
            }
            return false;
        },
        timeout);
    return found;
}

std::optional<std::uint32_t> XTestApp::awaitReady(std::chrono::milliseconds timeout) {
    if (!window_) {
        if (const auto ready = await("ready", {}, timeout)) {
            window_ = static_cast<std::uint32_t>(ready->at("window").to_number<std::uint64_t>());
        }
    }
    return window_;
}

}  // namespace velmora::testing
