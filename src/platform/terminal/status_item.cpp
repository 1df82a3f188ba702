#include "platform/terminal/status_item.hpp"

#include "platform/mac_terms.hpp"

namespace velmora::platform::terminal {

StatusItemHost::~StatusItemHost() {
    if (statusItem_ != nullptr) statusItem_->host_ = nullptr;
}

std::unique_ptr<StatusItem> StatusItemHost::makeStatusItem(MainLoop& loop) {
    std::unique_ptr<TerminalStatusItem> item(new TerminalStatusItem(*this, loop));
    if (statusItem_ != nullptr) statusItem_->host_ = nullptr;  // the older item is no longer shown
    statusItem_ = item.get();
    return item;
}

TerminalStatusItem::~TerminalStatusItem() {
    if (host_ != nullptr && host_->statusItem_ == this) host_->statusItem_ = nullptr;
}

void TerminalStatusItem::setIcon(StatusIcon, const std::string& accessibilityDescription) {
    const std::string symbolName = mac::statusSymbol;
    if (symbolName == symbolName_ && accessibilityDescription == accessibilityDescription_) return;
    symbolName_ = symbolName;
    accessibilityDescription_ = accessibilityDescription;
    changed();
}

void TerminalStatusItem::setTitle(const std::string& title) {
    if (title == title_) return;
    title_ = title;
    changed();
}

void TerminalStatusItem::setContentTint(Tint tint) {
    if (tint == tint_) return;
    tint_ = tint;
    changed();
}

void TerminalStatusItem::setMenu(Menu menu) {
    menu_ = std::move(menu);
    changed();
}

bool TerminalStatusItem::choose(const std::string& titleOrKey) {
    if (host_ == nullptr) return false;
    for (const auto& item : menu_.items) {
        if (item.isSeparator || !item.enabled) continue;
        if (item.title == titleOrKey || (!item.keyEquivalent.empty() && item.keyEquivalent == titleOrKey)) {
            // A copy: the action may rebuild the menu, which drops this item.
            if (item.action) loop_->post(item.action);
            return true;
        }
    }
    return false;
}

void TerminalStatusItem::changed() {
    if (host_ != nullptr && host_->onStatusItemChanged) host_->onStatusItemChanged(*this);
}

}  // namespace velmora::platform::terminal
