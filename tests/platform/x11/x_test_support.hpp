#pragma once

#include <gtest/gtest.h>

#include <boost/json/parse.hpp>

#include <cstdlib>
#include <functional>
#include <string_view>

#include "platform/platform.hpp"
#include "support/child_process.hpp"

// In a test's SetUp: without a display the test is skipped, or fails when VELMORA_REQUIRE_X11=1 promised one.
#define VELMORA_NEED_X_DISPLAY()                                                                          \
    do {                                                                                                  \
        if (const char* display = std::getenv("DISPLAY"); display != nullptr && *display != '\0') break;  \
        if (const char* must = std::getenv("VELMORA_REQUIRE_X11"); must && must == std::string_view("1")) \
            FAIL() << "VELMORA_REQUIRE_X11=1 but DISPLAY is not set";                                     \
        GTEST_SKIP() << "DISPLAY is not set; start an X session with scripts/x-session";                  \
    } while (false)

namespace velmora::testing {

// The X test app (tests/support/apps/x_test_app.cpp) as a child of the test, its JSON lines read as they
// arrive. Its window goes when the object does.
class XApp {
  public:
    using Event = boost::json::object;

    explicit XApp(const std::vector<std::string>& arguments)
        : process_(VELMORA_X_TEST_APP_BINARY, arguments) {
        if (const auto ready = await("ready")) window = ready->at("window").to_number<std::uint32_t>();
        EXPECT_NE(window, 0u) << process_.error();
    }
    // The next event of `kind` that matches; the events before it are passed over, into `before` if given.
    std::optional<Event> await(const std::string& kind, const std::function<bool(const Event&)>& match = {},
                               std::vector<Event>* before = nullptr) {
        std::optional<Event> found;
        EXPECT_TRUE(process_.waitFor([&] {
            for (std::size_t n; !found && (n = process_.output().find('\n', read_)) != std::string::npos;) {
                Event event = boost::json::parse(process_.output().substr(read_, n - read_)).as_object();
                read_ = n + 1;
                if (event.at("event") == kind.c_str() && (!match || match(event))) found = std::move(event);
                if (!found && before) before->push_back(std::move(event));
            }
            return found.has_value();
        })) << kind;
        return found;
    }
    void send(const std::string& command) { process_.writeLine(command); }
    long pid() const { return process_.pid(); }

    std::uint32_t window = 0;  // X ids have 29 bits

  private:
    ChildProcess process_;
    std::size_t read_ = 0;
};

// Which of the windows `mine` a desktop, or the X11 backend's list of them, has on screen, front first.
std::vector<platform::WindowId> listed(auto& desktop, const std::vector<platform::WindowId>& mine) {
    std::vector<platform::WindowId> order;
    for (const auto& entry : desktop.onScreenWindows().value_or(std::vector<platform::WindowEntry>{}))
        if (std::ranges::count(mine, entry.number)) order.push_back(entry.number);
    return order;
}

}  // namespace velmora::testing
