#pragma once

#include <boost/json/object.hpp>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "support/child_process.hpp"

namespace velmora::testing {

// The recording X test application (velmora-x-test-app) as a child of the test: every JSON line it prints
// is parsed as it arrives, and a test awaits the next one that matches what it expects.
class XTestApp {
  public:
    struct Options {
        std::string title = "Velmora X test app";
        std::string geometry = "400x300+100+100";  // WxH+X+Y
        std::optional<std::string> windowClass;
        std::optional<std::string> color;  // RRGGBB
        bool setPid = true;
    };
    using Predicate = std::function<bool(const boost::json::object&)>;

    explicit XTestApp(const Options& options);

    // Waits until the window is mapped; its id, or nothing when it did not come up in time.
    std::optional<std::uint32_t> awaitReady(std::chrono::milliseconds timeout = std::chrono::seconds(20));

    // The first event of kind `event` not awaited before that `match`es, waiting for it until `timeout`.
    // Events passed over on the way stay available to later awaits.
    std::optional<boost::json::object> await(const std::string& event, const Predicate& match = {},
                                             std::chrono::milliseconds timeout = std::chrono::seconds(20));

    // One of `move X Y`, `resize W H`, `raise`, `iconify`, `quit`.
    void send(const std::string& command) { process_.writeLine(command); }

    std::optional<std::uint32_t> window() const { return window_; }
    ChildProcess& process() { return process_; }
    // Every event printed so far, in order.
    const std::vector<boost::json::object>& events();

  private:
    void parseNewLines();

    ChildProcess process_;
    std::size_t parsedUpTo_ = 0;  // offset into the child's output
    std::vector<boost::json::object> events_;
    std::vector<bool> taken_;
    std::optional<std::uint32_t> window_;
};

}  // namespace velmora::testing
