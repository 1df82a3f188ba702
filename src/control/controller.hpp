#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "ink/overlay.hpp"
#include "input/injector.hpp"
#include "platform/platform.hpp"
#include "server/server.hpp"
#include "target/target.hpp"

namespace velmora::control {

// The single owner of the helper's shared state: the server, the injector, and per stream its target, its
// ink overlay and whether the reviewer may control it. Lives on the main loop for the life of the process.
class Controller : public std::enable_shared_from_this<Controller> {
  public:
    using StreamIndex = std::int64_t;

    static std::shared_ptr<Controller> create(platform::Platform& platform, std::uint16_t port, bool dryRun);

    // Installs the server's callbacks and starts listening.
    void start();
    // Re-reads the accessibility permission; tells every page and the menu when it changed.
    void checkTrust(bool prompt);
    // Withdraws control from every stream that has it.
    void revokeAll(const std::string& reason, bool notify);

    std::string statusLine() const;
    std::vector<std::string> detailLines() const;

    // Called after every change the status menu shows.
    std::function<void()> onChange;

    server::Server& server() { return *server_; }
    const server::Server& server() const { return *server_; }
    input::Injector& injector() { return *injector_; }
    const input::Injector& injector() const { return *injector_; }
    const std::map<StreamIndex, target::Target>& targets() const { return targets_; }
    const std::map<StreamIndex, std::shared_ptr<ink::Overlay>>& overlays() const { return overlays_; }
    const std::map<StreamIndex, bool>& allowed() const { return allowed_; }
    bool trusted() const { return trusted_; }
    bool listening() const { return listening_; }
    // Whether any stream is under the reviewer's control.
    bool underControl() const;

  private:
    Controller(platform::Platform& platform, std::uint16_t port, bool dryRun);

    void handle(const std::shared_ptr<server::Client>& client, const server::Message& message);
    void handleTarget(const std::shared_ptr<server::Client>& client, StreamIndex k,
                      const server::Message& message);
    void handleAllow(const std::shared_ptr<server::Client>& client, StreamIndex k,
                     const server::Message& message);
    void handleInput(StreamIndex k, const server::Message& message);
    void handleStroke(StreamIndex k, const server::Message& message);
    void handleClear(StreamIndex k);
    // Drops the stream's target, grant and overlay, releasing what the reviewer still held on it.
    void clearStream(StreamIndex k);
    void changed();

    platform::Platform& platform_;
    std::shared_ptr<server::Server> server_;
    std::shared_ptr<input::Injector> injector_;
    std::map<StreamIndex, target::Target> targets_;
    std::map<StreamIndex, std::shared_ptr<ink::Overlay>> overlays_;
    std::map<StreamIndex, bool> allowed_;
    bool trusted_ = false;
    bool listening_ = false;
};

}  // namespace velmora::control
