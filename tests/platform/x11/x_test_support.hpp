#pragma once

#include <gtest/gtest.h>

#include <boost/json/parse.hpp>

#include <cstdlib>
#include <functional>
#include <string_view>

#include "support/child_process.hpp"

// In a test's SetUp: without a display the test is skipped, or fails when VELMORA_REQUIRE_X11=1 promised one.
#define VELMORA_NEED_X_DISPLAY()                                                                         \
    do {                                                                                                 \
        if (const char* display = std::getenv("DISPLAY"); display != nullptr && *display != '\0') break; \
        if (const char* required = std::getenv("VELMORA_REQUIRE_X11");                                   \
            required && required == std::string_view("1"))                                               \
            FAIL() << "VELMORA_REQUIRE_X11=1 but DISPLAY is not set";                                    \
        GTEST_SKIP() << "DISPLAY is not set; start an X session with scripts/x-session";                 \
    } while (false)

namespace velmora::testing {

// The X test app (tests/support/apps/x_test_app.cpp) as a child of the test: its JSON lines are parsed as
// they arrive, and the test takes the events it awaits. Its window goes when the object does.
class XApp {
  public:
    using Event = boost::json::object;
    using Match = std::function<bool(const Event&)>;

    explicit XApp(const std::vector<std::string>& arguments)
        : process_(VELMORA_X_TEST_APP_BINARY, arguments) {
        if (const auto ready = await("ready")) window = ready->at("window").to_number<unsigned long>();
        EXPECT_NE(window, 0u) << process_.error();
    }
    // The first event of `kind` not taken before that matches; events passed over stay for later awaits.
    std::optional<Event> await(const std::string& kind, const Match& match = {}) {
        std::optional<Event> found;
        process_.waitFor([&] { return (found = take(kind, match, nullptr)).has_value(); });
        return found;
    }
    // Every event not taken before, in order, up to the first of `kind` that matches: all taken.
    std::vector<Event> until(const std::string& kind, const Match& match) {
        std::vector<Event> before;
        EXPECT_TRUE(process_.waitFor([&] { return take(kind, match, &before).has_value(); }))
            << "no " << kind;
        return before;
    }
    void send(const std::string& command) { process_.writeLine(command); }
    long pid() const { return process_.pid(); }

    unsigned long window = 0;

  private:
    std::optional<Event> take(const std::string& kind, const Match& match, std::vector<Event>* before) {
        const std::string& out = process_.output();
        for (std::size_t end; (end = out.find('\n', parsed_)) != std::string::npos; parsed_ = end + 1)
            events_.emplace_back(
                boost::json::parse(std::string_view(out).substr(parsed_, end - parsed_)).as_object(), false);
        for (auto& [event, taken] : events_) {
            if (taken) continue;
            const bool found = event.at("event") == kind.c_str() && (!match || match(event));
            if (found || before) taken = true;
            if (found) return event;
            if (before) before->push_back(event);
        }
        return std::nullopt;
    }

    ChildProcess process_;
    std::size_t parsed_ = 0;
    std::vector<std::pair<Event, bool>> events_;
};

}  // namespace velmora::testing
