#include "app/app_delegate.hpp"

#include "base/log.hpp"

#include <chrono>
#include <csignal>

namespace velmora::app {

std::shared_ptr<AppDelegate> AppDelegate::create(platform::Platform& platform, std::uint16_t port,
                                                 bool dryRun) {
    return std::shared_ptr<AppDelegate>(new AppDelegate(platform, port, dryRun));
}

AppDelegate::AppDelegate(platform::Platform& platform, std::uint16_t port, bool dryRun)
    : platform_(platform), controller_(control::Controller::create(platform, port, dryRun)) {}

void AppDelegate::applicationDidFinishLaunching() {
    statusItem_ = platform_.createStatusItem();
    if (statusItem_->hasButton()) statusItem_->setIcon(platform::StatusIcon::pointerClick, "Velmora Helper");
    statusItem_->setImagePosition(platform::ImagePosition::leading);

    std::weak_ptr<AppDelegate> weak = weak_from_this();
    controller_->onChange = [weak] {
        if (auto self = weak.lock()) self->refreshMenu();
    };
    controller_->start();
    // The listener reports on a later turn of the loop, so this first menu shows the state before it is up.
    refreshMenu();
    controller_->checkTrust(!controller_->injector().dryRun());
    // The only way a permission granted later in the system settings is noticed.
    trustTimer_ = platform_.loop().repeat(std::chrono::seconds(2), [weak] {
        if (auto self = weak.lock()) self->controller_->checkTrust(false);
    });
}

void AppDelegate::refreshMenu() {
    std::weak_ptr<AppDelegate> weak = weak_from_this();
    auto action = [weak](void (AppDelegate::*method)()) {
        return [weak, method] {
            if (auto self = weak.lock()) (self.get()->*method)();
        };
    };
    auto item = [](std::string title, std::function<void()> run, std::string key = {}) {
        platform::MenuItem entry;
        entry.title = std::move(title);
        entry.enabled = static_cast<bool>(run);
        entry.action = std::move(run);
        entry.keyEquivalent = std::move(key);
        return entry;
    };

    platform::Menu menu;
    menu.items.push_back(item(controller_->statusLine(), nullptr));
    for (auto& line : controller_->detailLines())
        menu.items.push_back(item(std::move(line), nullptr));
    menu.items.push_back(platform::MenuItem::separator());
    const bool controlled = controller_->underControl();
    if (controlled) menu.items.push_back(item("Take back control", action(&AppDelegate::stopControl)));
    if (!controller_->trusted()) {
        menu.items.push_back(item("Open Accessibility settings…", action(&AppDelegate::openAccessibility)));
    }
    menu.items.push_back(item("Quit Velmora Helper", action(&AppDelegate::quit), "q"));

    statusItem_->setMenu(std::move(menu));
    statusItem_->setTitle(controlled ? " Controlled" : "");
    statusItem_->setContentTint(controlled ? platform::Tint::systemOrange : platform::Tint::none);
}

void AppDelegate::stopControl() {
    controller_->revokeAll("presenter took back control", true);
}

void AppDelegate::openAccessibility() {
    if (!platform_.openPermissionSettings())
        log("this desktop has no settings that grant the permission to control it");
}

void AppDelegate::applicationWillTerminate() {
    controller_->shutdown();
}

void AppDelegate::quit() {
    applicationWillTerminate();
    platform_.terminate();
}

std::string signalName(int number) {
    switch (number) {
        case SIGTERM:
            return "SIGTERM";
        case SIGINT:
            return "SIGINT";
        case SIGHUP:
            return "SIGHUP";
        default:
            return "signal " + std::to_string(number);
    }
}

}  // namespace velmora::app
