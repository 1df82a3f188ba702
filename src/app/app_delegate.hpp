#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "control/controller.hpp"
#include "platform/platform.hpp"

namespace velmora::app {

// The application's delegate: owns the controller, the menu-bar item and the permission timer.
class AppDelegate : public std::enable_shared_from_this<AppDelegate> {
  public:
    static std::shared_ptr<AppDelegate> create(platform::Platform& platform, std::uint16_t port, bool dryRun);

    // Called once on the main loop after it has started.
    void applicationDidFinishLaunching();

    // Lets go of every button and key the reviewer still holds; the process is about to end.
    void applicationWillTerminate();

    // Menu actions.
    void stopControl();
    void openAccessibility();
    void quit();

    control::Controller& controller() { return *controller_; }
    platform::StatusItem* statusItem() const { return statusItem_.get(); }

  private:
    AppDelegate(platform::Platform& platform, std::uint16_t port, bool dryRun);
    // Rebuilds the menu and the button from the controller's state.
    void refreshMenu();

    platform::Platform& platform_;
    std::shared_ptr<control::Controller> controller_;
    std::unique_ptr<platform::StatusItem> statusItem_;
    std::unique_ptr<platform::Timer> trustTimer_;
};

// "SIGTERM", "SIGINT" or "SIGHUP"; the number for any other signal.
std::string signalName(int number);

}  // namespace velmora::app
