#include "control/controller.hpp"

#include <algorithm>
#include <exception>

#include "app/log.hpp"
#include "build_config.hpp"
#include "input/input.hpp"
#include "input/json_value.hpp"

namespace velmora::control {

namespace {

constexpr const char* kVersion = "0.1.0";

server::Message stateMessage(Controller::StreamIndex k, bool allowed) {
    return server::Message{{"type", "state"}, {"streamIndex", k}, {"allowed", allowed}};
}

server::Message refusal(Controller::StreamIndex k, const char* reason) {
    auto message = stateMessage(k, false);
    message["reason"] = reason;
    return message;
}

}  // namespace

std::shared_ptr<Controller> Controller::create(platform::Platform& platform, std::uint16_t port,
                                               bool dryRun) {
    return std::shared_ptr<Controller>(new Controller(platform, port, dryRun));
}

Controller::Controller(platform::Platform& platform, std::uint16_t port, bool dryRun)
    : platform_(platform),
      server_(server::Server::create(port, platform.loop())),
      injector_(input::Injector::create(platform, dryRun)) {}

void Controller::start() {
    std::weak_ptr<Controller> weak = weak_from_this();
    server_->onListening = [weak](bool up) {
        if (auto self = weak.lock()) {
            self->listening_ = up;
            self->changed();
        }
    };
    server_->onConnect = [weak](const std::shared_ptr<server::Client>& client) {
        if (auto self = weak.lock()) {
            client->send(server::Message{{"type", "hello"},
                                         {"version", kVersion},
                                         {"trusted", self->trusted_},
                                         {"dryRun", self->injector_->dryRun()}});
            self->changed();
        }
    };
    // One page leaving ends control, targets and ink for every stream, whoever set them.
    server_->onDisconnect = [weak](const std::shared_ptr<server::Client>&) {
        if (auto self = weak.lock()) {
            self->revokeAll("Velmora disconnected", false);
            self->targets_.clear();
            auto overlays = std::move(self->overlays_);
            self->overlays_.clear();
            for (auto& [k, overlay] : overlays)
                overlay->close();
            self->changed();
        }
    };
    server_->onMessage = [weak](const std::shared_ptr<server::Client>& client,
                                const server::Message& message) {
        if (auto self = weak.lock()) self->handle(client, message);
    };
    try {
        server_->start();
    } catch (const std::exception& error) {
        log(std::string("could not start server: ") + error.what());
    }
}

void Controller::checkTrust(bool prompt) {
    const bool answer = platform_.isProcessTrusted(prompt);
    if (answer == trusted_) return;
    trusted_ = answer;
    server_->broadcast(server::Message{{"type", "trusted"}, {"trusted", answer}});
    changed();
}

bool Controller::underControl() const {
    return std::any_of(allowed_.begin(), allowed_.end(), [](const auto& entry) { return entry.second; });
}

void Controller::revokeAll(const std::string& reason, bool notify) {
    if (!underControl()) return;
    const auto snapshot = allowed_;
    for (const auto& [k, wasAllowed] : snapshot) {
        if (!wasAllowed) continue;
        allowed_[k] = false;
        const auto target = targets_.find(k);
        injector_->releaseAll(target != targets_.end() ? std::optional<target::Target>(target->second)
                                                       : std::nullopt);
        if (notify) {
            auto message = stateMessage(k, false);
            message["reason"] = reason;
            server_->broadcast(message);
        }
    }
    log("control revoked: " + reason);
    changed();
}

std::string Controller::statusLine() const {
    if (!listening_) return "Velmora Helper — port " + std::to_string(server_->port()) + " busy";
    if (!trusted_ && !injector_->dryRun()) return "Velmora Helper — needs Accessibility permission";
    if (server_->clientCount() == 0)
        return std::string("Velmora Helper — waiting for ") + build::productionHost;
    if (underControl()) return "A reviewer is controlling your shared window";
    return "Velmora Helper — connected, control off";
}

std::vector<std::string> Controller::detailLines() const {
    std::vector<std::string> lines;
    for (const auto& [k, target] : targets_) {
        std::string line = "Screen ";
        line += k == 1 ? "one" : "two";
        line += ": ";
        line += target.app;
        const auto grant = allowed_.find(k);
        if (grant != allowed_.end() && grant->second) line += " · controlled";
        lines.push_back(std::move(line));
    }
    return lines;
}

void Controller::changed() {
    if (onChange) onChange();
}

void Controller::handle(const std::shared_ptr<server::Client>& client, const server::Message& message) {
    const auto k = input::readInt(message, "streamIndex");
    if (!k || (*k != 1 && *k != 2)) return;
    const auto type = input::readString(message, "type");
    if (!type) return;
    if (*type == "target") {
        handleTarget(client, *k, message);
    } else if (*type == "allow") {
        handleAllow(client, *k, message);
    } else if (*type == "input") {
        handleInput(*k, message);
    } else if (*type == "stroke") {
        handleStroke(*k, message);
    } else if (*type == "clear") {
        handleClear(*k);
    }
}

void Controller::clearStream(StreamIndex k) {
    // Ending a stream's control this way must not leave a button pressed on the presenter's machine or
    // replay held events later, so whatever the reviewer still held is released first, as "allow" false does.
    const auto grant = allowed_.find(k);
    const auto target = targets_.find(k);
    if (grant != allowed_.end() && grant->second) {
        injector_->releaseAll(target != targets_.end() ? std::optional<target::Target>(target->second)
                                                       : std::nullopt);
    }
    targets_.erase(k);
    allowed_[k] = false;
    const auto overlay = overlays_.find(k);
    if (overlay != overlays_.end()) {
        auto closing = std::move(overlay->second);
        overlays_.erase(overlay);
        closing->close();
    }
}

void Controller::handleTarget(const std::shared_ptr<server::Client>& client, StreamIndex k,
                              const server::Message& message) {
    const auto label = input::readString(message, "label");
    if (!label || label->empty()) {
        clearStream(k);
        changed();
        return;
    }
    const auto width = input::readDouble(message, "width");
    const auto height = input::readDouble(message, "height");
    auto resolution = target::Target::resolve(platform_, *label, width, height);
    if (auto* error = std::get_if<target::TargetError>(&resolution)) {
        clearStream(k);
        client->send(server::Message{
            {"type", "target"}, {"streamIndex", k}, {"ok", false}, {"error", error->message}});
        changed();
        return;
    }
    const auto& resolved = std::get<target::Target>(resolution);
    targets_.insert_or_assign(k, resolved);
    if (auto old = overlays_.find(k); old != overlays_.end()) old->second->close();
    // The overlay follows the surface it was made for, even after the stream's target changes.
    platform::Platform* platform = &platform_;
    overlays_[k] = ink::Overlay::create(
        platform_, [platform, surface = resolved] { return surface.currentBounds(*platform); });
    client->send(
        server::Message{{"type", "target"}, {"streamIndex", k}, {"ok", true}, {"app", resolved.app}});
    changed();
}

void Controller::handleAllow(const std::shared_ptr<server::Client>& client, StreamIndex k,
                             const server::Message& message) {
    const auto wanted = input::readBool(message, "allowed");
    if (wanted && *wanted) {
        if (!trusted_ && !injector_->dryRun()) {
            client->send(refusal(k, "Grant Accessibility permission to Velmora Helper first"));
            return;
        }
        if (!targets_.contains(k)) {
            client->send(refusal(k, "Nothing is shared on this screen"));
            return;
        }
        allowed_[k] = true;
        client->send(stateMessage(k, true));
        changed();
        return;
    }
    allowed_[k] = false;
    const auto target = targets_.find(k);
    injector_->releaseAll(target != targets_.end() ? std::optional<target::Target>(target->second)
                                                   : std::nullopt);
    client->send(stateMessage(k, false));
    changed();
}

void Controller::handleInput(StreamIndex k, const server::Message& message) {
    const auto grant = allowed_.find(k);
    if (grant == allowed_.end() || !grant->second) return;
    if (!trusted_ && !injector_->dryRun()) return;
    const auto target = targets_.find(k);
    if (target == targets_.end()) return;
    const auto* event = input::readObject(message, "input");
    if (event == nullptr) return;
    const auto input = input::makeInput(*event);
    if (!input) return;
    const auto mods = input::Modifiers::from(input::readObject(message, "mods"));
    injector_->apply(*input, mods, target->second);
}

void Controller::handleStroke(StreamIndex k, const server::Message& message) {
    const auto overlay = overlays_.find(k);
    if (overlay != overlays_.end()) overlay->second->stroke(message);
}

void Controller::handleClear(StreamIndex k) {
    const auto overlay = overlays_.find(k);
    if (overlay == overlays_.end()) return;
    overlay->second->view().strokes.clear();
    overlay->second->tick();
}

}  // namespace velmora::control
