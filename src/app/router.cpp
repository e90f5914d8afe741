#include "app/router.h"

#include <algorithm>

#include "wire/base64.h"

namespace merrowfax {

// Held by the router and, weakly, by the completion of the frame in flight,
// which may run after the router is gone.
struct Router::DeskPump {
    std::mutex lock;
    std::optional<std::string> to;
    std::optional<wire::Bytes> latest;
    bool sending = false;
};

Router::Router(LanTransport& lan, NetTransport& line)
    : lan_(lan), line_(line), desk_(std::make_shared<DeskPump>()) {}

Router::~Router() = default;

bool Router::sendOnLan(const wire::Envelope& envelope, const std::vector<std::string>& peers) {
    return !peers.empty() && lan_.sendEnvelope(envelope, peers);
}

bool Router::canReach(const std::string& number) const {
    return line_.isOpen() || !lan_.peers(number).empty();
}

bool Router::lineOpen() const {
    return line_.isOpen();
}

void Router::wake() {
    if (!line_.isOpen()) line_.connect();
}

bool Router::send(const wire::Envelope& envelope, const std::string& to) {
    const bool lan = sendOnLan(envelope, lan_.peers(to));
    const bool line = line_.send(envelope);
    return lan || line;
}

Router::Taken Router::sendToDevice(const wire::Envelope& envelope, const std::string& to,
                                   const std::optional<std::string>& peerKey) {
    // The asking device while it is connected; else every device of `to`.
    Taken taken;
    taken.lan =
        (peerKey && lan_.sendEnvelope(envelope, {*peerKey})) || sendOnLan(envelope, lan_.peers(to));
    taken.line = line_.send(envelope);
    return taken;
}

bool Router::sendWithOwnCopies(const wire::Envelope& envelope, const std::string& to,
                               const std::string& ownNumber) {
    std::vector<std::string> peers = lan_.peers(to);
    for (std::string& key : lan_.peers(ownNumber)) {
        if (std::find(peers.begin(), peers.end(), key) == peers.end()) {
            peers.push_back(std::move(key));
        }
    }
    const bool lan = sendOnLan(envelope, peers);
    const bool line = line_.send(envelope);
    return lan || line;
}

bool Router::sendFile(const wire::Envelope& lanEnvelope,
                      const std::optional<std::filesystem::path>& file,
                      const std::optional<wire::Envelope>& lineEnvelope, const std::string& to) {
    const std::vector<std::string> peers = file ? lan_.peers(to) : std::vector<std::string>();
    const bool lan = !peers.empty() && lan_.sendFile(lanEnvelope, *file, peers);
    const bool line = lineEnvelope && line_.send(*lineEnvelope);
    return lan || line;
}

void Router::routeMedia(std::optional<std::string> number, std::optional<std::string> peerKey) {
    {
        std::lock_guard lock(mediaLock_);
        if (number) {
            media_ = MediaRoute{*number, std::move(peerKey)};
        } else {
            media_.reset();
        }
    }
}

std::optional<std::string> Router::mediaTo() const {
    std::lock_guard lock(mediaLock_);
    if (!media_) return std::nullopt;
    return media_->number;
}

bool Router::sendMediaOnLan(wire::FrameKind kind, const wire::Bytes& data,
                            const MediaRoute& route) {
    if (route.peerKey && lan_.sendMedia(kind, data, {*route.peerKey})) return true;
    const auto peers = lan_.peers(route.number);
    return !peers.empty() && lan_.sendMedia(kind, data, peers);
}

void Router::sendAudio(const wire::Bytes& chunk) {
    std::optional<MediaRoute> route;
    {
        std::lock_guard lock(mediaLock_);
        route = media_;
    }
    if (!route || sendMediaOnLan(wire::FrameKind::audio, chunk, *route)) return;
    line_.sendAudio(route->number, wire::encodeBase64(chunk));
}

void Router::sendVideo(const wire::Bytes& frame) {
    std::optional<MediaRoute> route;
    {
        std::lock_guard lock(mediaLock_);
        route = media_;
    }
    if (!route || sendMediaOnLan(wire::FrameKind::video, frame, *route)) return;
    line_.sendBinary(wire::FrameKind::video, route->number, frame);
}

void Router::setTalkTo(std::optional<std::string> number) {
    std::lock_guard lock(mediaLock_);
    talkTo_ = std::move(number);
}

void Router::sendWalkie(const wire::Bytes& chunk) {
    std::optional<std::string> to;
    {
        std::lock_guard lock(mediaLock_);
        to = talkTo_;
    }
    if (!to || sendMediaOnLan(wire::FrameKind::walkie, chunk, MediaRoute{*to, std::nullopt})) {
        return;
    }
    line_.sendBinary(wire::FrameKind::walkie, std::move(to), chunk);
}

bool Router::sendOnLine(const wire::Envelope& envelope) {
    return line_.send(envelope);
}

void Router::setDeskTo(std::optional<std::string> number) {
    std::lock_guard lock(desk_->lock);
    // A frame of one share never goes to another, nor after it ended.
    if (desk_->to != number) desk_->latest.reset();
    desk_->to = std::move(number);
}

void Router::queueDeskFrame(wire::Bytes frame) {
    bool pump = false;
    {
        std::lock_guard lock(desk_->lock);
        desk_->latest = std::move(frame);
        pump = desk_->to && !desk_->sending;
    }
    if (pump) pumpDesk(desk_, line_);
}

void Router::pumpDesk(const std::shared_ptr<DeskPump>& pump, NetTransport& line) {
    wire::Bytes frame;
    std::optional<std::string> to;
    {
        std::lock_guard lock(pump->lock);
        if (pump->sending || !pump->to || !pump->latest) return;
        frame = std::move(*pump->latest);
        pump->latest.reset();
        pump->sending = true;
        to = pump->to;
    }
    std::weak_ptr<DeskPump> weak = pump;
    line.sendBinary(wire::FrameKind::deskFrame, std::move(to), std::move(frame), [weak, &line] {
        auto pump = weak.lock();
        if (!pump) return;
        bool more = false;
        {
            std::lock_guard lock(pump->lock);
            pump->sending = false;
            more = pump->latest.has_value();
        }
        if (more) pumpDesk(pump, line);
    });
}

}  // namespace merrowfax
