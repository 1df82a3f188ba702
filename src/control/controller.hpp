#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
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

    // What one shared stream has: the surface it shows, its ink overlay and whether the reviewer may
    // control it. Kept together so that every path that ends control sees all three.
    struct Stream {
        std::optional<target::Target> target;
        std::shared_ptr<ink::Overlay> overlay;
        bool allowed = false;
    };

    static std::shared_ptr<Controller> create(platform::Platform& platform, std::uint16_t port, bool dryRun);

    // Installs the server's callbacks and starts listening.
    void start();
    // Re-reads the accessibility permission; tells every page and the menu when it changed.
    void checkTrust(bool prompt);
    // Withdraws control from every stream that has it.
    void revokeAll(const std::string& reason, bool notify);
    // Lets go of everything the reviewer still holds, before the process ends.
    void shutdown();

    std::string statusLine() const;
    std::vector<std::string> detailLines() const;

    // Called after every change the status menu shows.
    std::function<void()> onChange;

    server::Server& server() { return *server_; }
    const server::Server& server() const { return *server_; }
    input::Injector& injector() { return *injector_; }
    const input::Injector& injector() const { return *injector_; }
    const std::map<StreamIndex, Stream>& streams() const { return streams_; }
    // The stream's record, or null when the stream has never been mentioned.
    const Stream* stream(StreamIndex k) const;
    bool trusted() const { return trusted_; }
    bool listening() const { return listening_; }
    // Whether any stream is under the reviewer's control.
    bool underControl() const;

  private:
    Controller(platform::Platform& platform, std::uint16_t port, bool dryRun);

    void handle(const std::shared_ptr<server::Client>& client, server::Message& message);
    void handleTarget(const std::shared_ptr<server::Client>& client, StreamIndex k,
                      const server::Message& message);
    void handleAllow(const std::shared_ptr<server::Client>& client, StreamIndex k,
                     const server::Message& message);
    void handleInput(StreamIndex k, const server::Message& message);
    void handleStroke(StreamIndex k, server::Message& message);
    void handleClear(StreamIndex k);
    // Withdraws the stream's grant and releases every button and key the reviewer still holds. Every path
    // that ends control comes through here, so that no synthetic press outlives it.
    void endControl(StreamIndex k);
    // Drops the stream's target, grant and overlay.
    void clearStream(StreamIndex k);
    void closeOverlay(Stream& stream);
    void changed();

    platform::Platform& platform_;
    std::shared_ptr<server::Server> server_;
    std::shared_ptr<input::Injector> injector_;
    std::map<StreamIndex, Stream> streams_;
    bool trusted_ = false;
    bool listening_ = false;
};

}  // namespace velmora::control
