#include "control/controller.hpp"

#include <algorithm>
#include <exception>

#include "base/json_fields.hpp"
#include "base/log.hpp"
#include "build_config.hpp"
#include "input/input.hpp"

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
            for (auto& [k, stream] : self->streams_) {
                stream.target.reset();
                self->closeOverlay(stream);
            }
            self->changed();
        }
    };
    server_->onMessage = [weak](const std::shared_ptr<server::Client>& client, server::Message& message) {
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
    return std::any_of(streams_.begin(), streams_.end(),
                       [](const auto& entry) { return entry.second.allowed; });
}

const Controller::Stream* Controller::stream(StreamIndex k) const {
    const auto found = streams_.find(k);
    return found != streams_.end() ? &found->second : nullptr;
}

void Controller::endControl(StreamIndex k) {
    auto& stream = streams_[k];
    stream.allowed = false;
    injector_->releaseAll(stream.target);
}

void Controller::closeOverlay(Stream& stream) {
    if (auto closing = std::move(stream.overlay)) closing->close();
}

void Controller::shutdown() {
    for (auto& [k, stream] : streams_) {
        if (stream.allowed) endControl(k);
    }
}

void Controller::revokeAll(const std::string& reason, bool notify) {
    if (!underControl()) return;
    std::vector<StreamIndex> controlled;
    for (const auto& [k, stream] : streams_) {
        if (stream.allowed) controlled.push_back(k);
    }
    for (const auto k : controlled) {
        endControl(k);
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
    for (const auto& [k, stream] : streams_) {
        if (!stream.target) continue;
        std::string line = "Screen ";
        line += k == 1 ? "one" : "two";
        line += ": ";
        line += stream.target->app;
        if (stream.allowed) line += " · controlled";
        lines.push_back(std::move(line));
    }
    return lines;
}

void Controller::changed() {
    if (onChange) onChange();
}

void Controller::handle(const std::shared_ptr<server::Client>& client, server::Message& message) {
    const auto k = readInt(message, "streamIndex");
    if (!k || (*k != 1 && *k != 2)) return;
    const auto type = readString(message, "type");
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
    // A stream that was not under control holds nothing of its own; releasing then could only cut short a
    // drag the reviewer is making on the other stream.
    auto& stream = streams_[k];
    if (stream.allowed) endControl(k);
    stream.target.reset();
    closeOverlay(stream);
}

void Controller::handleTarget(const std::shared_ptr<server::Client>& client, StreamIndex k,
                              const server::Message& message) {
    const auto label = readString(message, "label");
    if (!label || label->empty()) {
        clearStream(k);
        changed();
        return;
    }
    const auto width = readDouble(message, "width");
    const auto height = readDouble(message, "height");
    auto resolution = target::Target::resolve(platform_, *label, width, height);
    if (auto* error = std::get_if<target::TargetError>(&resolution)) {
        clearStream(k);
        client->send(server::Message{
            {"type", "target"}, {"streamIndex", k}, {"ok", false}, {"error", error->message}});
        changed();
        return;
    }
    const auto& resolved = std::get<target::Target>(resolution);
    auto& stream = streams_[k];
    stream.target = resolved;
    closeOverlay(stream);
    // The overlay follows the surface it was made for, even after the stream's target changes.
    platform::Platform* platform = &platform_;
    stream.overlay = ink::Overlay::create(
        platform_, [platform, surface = resolved] { return surface.currentBounds(*platform); });
    stream.overlay->discard = [server = std::weak_ptr(server_)](boost::json::array&& points) {
        if (const auto alive = server.lock()) alive->discard(std::move(points));
    };
    client->send(
        server::Message{{"type", "target"}, {"streamIndex", k}, {"ok", true}, {"app", resolved.app}});
    changed();
}

void Controller::handleAllow(const std::shared_ptr<server::Client>& client, StreamIndex k,
                             const server::Message& message) {
    const auto wanted = readBool(message, "allowed");
    if (wanted && *wanted) {
        if (!trusted_ && !injector_->dryRun()) {
            client->send(refusal(k, "Grant Accessibility permission to Velmora Helper first"));
            return;
        }
        const auto* current = stream(k);
        if (current == nullptr || !current->target) {
            client->send(refusal(k, "Nothing is shared on this screen"));
            return;
        }
        streams_[k].allowed = true;
        client->send(stateMessage(k, true));
        changed();
        return;
    }
    endControl(k);
    client->send(stateMessage(k, false));
    changed();
}

void Controller::handleInput(StreamIndex k, const server::Message& message) {
    const auto* current = stream(k);
    if (current == nullptr || !current->allowed) return;
    if (!trusted_ && !injector_->dryRun()) return;
    if (!current->target) return;
    const auto* event = readObject(message, "input");
    if (event == nullptr) return;
    const auto input = input::makeInput(*event);
    if (!input) return;
    const auto mods = input::Modifiers::from(readObject(message, "mods"));
    injector_->apply(*input, mods, *current->target);
}

void Controller::handleStroke(StreamIndex k, server::Message& message) {
    const auto* current = stream(k);
    if (current != nullptr && current->overlay) current->overlay->stroke(message);
}

void Controller::handleClear(StreamIndex k) {
    const auto* current = stream(k);
    if (current == nullptr || !current->overlay) return;
    current->overlay->view().strokes.clear();
    current->overlay->tick();
}

}  // namespace velmora::control
