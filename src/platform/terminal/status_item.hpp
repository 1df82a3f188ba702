#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/main_loop.hpp"
#include "platform/platform.hpp"

// A status item that only keeps what it is told, for desktops that show it elsewhere (a terminal) or not
// at all (tests).
namespace velmora::platform::terminal {

class TerminalStatusItem;

// Hands out the status item and hears of its changes. Only the latest item made is shown.
class StatusItemHost {
  public:
    virtual ~StatusItemHost();

    TerminalStatusItem* statusItem() const { return statusItem_; }
    // Called after the status item's button or menu changed.
    std::function<void(const TerminalStatusItem&)> onStatusItemChanged;

  protected:
    std::unique_ptr<StatusItem> makeStatusItem(MainLoop& loop);

  private:
    friend class TerminalStatusItem;
    TerminalStatusItem* statusItem_ = nullptr;
};

class TerminalStatusItem : public StatusItem {
  public:
    ~TerminalStatusItem() override;
    bool hasButton() const override { return true; }
    void setIcon(StatusIcon icon, const std::string& accessibilityDescription) override;
    void setImagePosition(ImagePosition position) override { imagePosition_ = position; }
    void setTitle(const std::string& title) override;
    void setContentTint(Tint tint) override;
    void setMenu(Menu menu) override;

    // The system symbol a Mac would show for the icon.
    const std::string& symbolName() const { return symbolName_; }
    const std::string& accessibilityDescription() const { return accessibilityDescription_; }
    ImagePosition imagePosition() const { return imagePosition_; }
    const std::string& title() const { return title_; }
    Tint tint() const { return tint_; }
    const Menu& menu() const { return menu_; }
    // Chooses the enabled item with this title or key equivalent, as a click would: its action runs on
    // the main loop. False when no enabled item matches.
    bool choose(const std::string& titleOrKey);

  private:
    friend class StatusItemHost;
    TerminalStatusItem(StatusItemHost& host, MainLoop& loop) : host_(&host), loop_(&loop) {}
    void changed();

    StatusItemHost* host_;  // cleared when the host goes first, or makes a newer item
    MainLoop* loop_;
    std::string symbolName_;
    std::string accessibilityDescription_;
    ImagePosition imagePosition_ = ImagePosition::imageOnly;
    std::string title_;
    Tint tint_ = Tint::none;
    Menu menu_;
};

}  // namespace velmora::platform::terminal
