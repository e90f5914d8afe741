#include "wire/receive.h"

#include <array>

#include "wire/base64.h"

namespace merrowfax::wire {
namespace {

struct Context {
    Transport transport;
    std::string_view peerKey;
    Date receivedAt;
};

using Result = std::optional<Incoming>;

std::string orEmpty(const std::optional<std::string>& s) {
    return s.value_or(std::string());
}

// The id of records that need one; a malformed id was refused before.
Uuid idOf(const Envelope& e) {
    return *Uuid::parse(*e.id);
}

Result text(const Envelope& e, const Context& c) {
    if (!e.id || !e.number || !e.text) return {};
    const std::string& from = *e.number;
    return PeerEvent(events::Text{idOf(e), from, e.to.value_or(from), orEmpty(e.device),
                                  e.name.value_or(from), *e.text, e.sent.value_or(c.receivedAt),
                                  std::string(c.peerKey)});
}

Result delivered(const Envelope& e, const Context&) {
    if (!e.id) return {};
    return PeerEvent(events::Delivered{idOf(e), orEmpty(e.number)});
}

Result deleted(const Envelope& e, const Context&) {
    if (!e.id || !e.number) return {};
    return PeerEvent(events::Deleted{idOf(e), *e.number, e.to.value_or(*e.number)});
}

Result call(const Envelope& e, const Context& c) {
    if (!e.id || !e.call || !e.number) return {};
    return PeerEvent(events::Call{*e.call, idOf(e), *e.number, orEmpty(e.device),
                                  e.name.value_or(*e.number), e.video.value_or(false),
                                  std::string(c.peerKey)});
}

Result audio(const Envelope& e, const Context&) {
    if (!e.payload) return {};
    auto bytes = decodeBase64(*e.payload, kMaxPayloadBytes);
    if (!bytes || bytes->size() < 2) return {};
    return PeerEvent(events::Audio{std::move(*bytes), orEmpty(e.number)});
}

Result talk(const Envelope& e, const Context&) {
    if (!e.number) return {};
    return PeerEvent(events::Talk{e.call == "start", e.name.value_or("Merrowfax"), *e.number});
}

Result file(const Envelope& e, const Context& c) {
    if (!e.id || !e.number) return {};
    IncomingFile incoming;
    if (c.transport == Transport::net) {
        if (!e.payload) return {};
        auto bytes = decodeBase64(*e.payload, kMaxPayloadBytes);
        if (!bytes) return {};
        incoming.bytes = std::move(*bytes);
        incoming.localName = "net-" + Uuid::random().text();
    } else {
        if (!e.resource) return {};
        incoming.resource = *e.resource;
        incoming.localName =
            Uuid::random().text() + "-" + safeFileName(e.fileName.value_or("file"));
    }
    const std::string& from = *e.number;
    incoming.event = events::File{idOf(e),
                                  from,
                                  e.to.value_or(from),
                                  orEmpty(e.device),
                                  e.name.value_or(from),
                                  e.fileName.value_or("File"),
                                  e.fileKind.value_or("file"),
                                  e.sent.value_or(c.receivedAt),
                                  {}};
    return incoming;
}

Result desk(const Envelope& e, const Context&) {
    if (!e.number || !e.desk) return {};
    return PeerEvent(events::Desk{*e.number, e.name.value_or(*e.number), orEmpty(e.device), *e.desk,
                                  e.control.value_or(false), e.x.value_or(0), e.y.value_or(0),
                                  e.dy.value_or(0), orEmpty(e.phase), e.n.value_or(1),
                                  orEmpty(e.text), orEmpty(e.key)});
}

Result roster(const Envelope& e, const Context& c) {
    return RosterUpdate{std::string(c.peerKey), orEmpty(e.number), orEmpty(e.name),
                        orEmpty(e.device), orEmpty(e.cert)};
}

Result linkHello(const Envelope& e, const Context& c) {
    if (!e.linkCode || !e.device) return {};
    return PeerEvent(events::LinkHello{*e.linkCode, *e.device, e.deviceName.value_or("Device"),
                                       std::string(c.peerKey), orEmpty(e.computer)});
}

Result linkAccount(const Envelope& e, const Context& c) {
    if (!e.name || !e.country || !e.cityCode || !e.subscriber || !e.device) return {};
    return PeerEvent(events::LinkAccount{*e.name, *e.country, *e.cityCode, *e.subscriber, *e.device,
                                         e.deviceName.value_or("Merrowfax"),
                                         std::string(c.peerKey)});
}

Result linkJoined(const Envelope& e, const Context&) {
    if (!e.device) return {};
    return PeerEvent(events::LinkJoined{*e.device, e.deviceName.value_or("Device")});
}

Result unlink(const Envelope& e, const Context& c) {
    if (!e.device) return {};
    return PeerEvent(events::Unlink{*e.device, orEmpty(e.number), std::string(c.peerKey)});
}

struct Operation {
    std::string_view op;
    bool lan, net;
    Result (*interpret)(const Envelope&, const Context&);
};

constexpr std::array<Operation, 13> kOperations{{
    {"roster", true, false, roster},
    {"text", true, true, text},
    {"delivered", true, true, delivered},
    {"delete", true, true, deleted},
    {"call", true, true, call},
    {"audio", false, true, audio},
    {"talk", true, true, talk},
    {"file", true, true, file},
    {"desk", false, true, desk},
    {"link-hello", true, false, linkHello},
    {"link-account", true, false, linkAccount},
    {"link-joined", true, false, linkJoined},
    {"unlink", true, false, unlink},
}};

}  // namespace

std::optional<Incoming> receiveEnvelope(const Envelope& envelope, Transport transport,
                                        std::string_view peerKey, Date receivedAt) {
    if (envelope.id && !Uuid::parse(*envelope.id)) return std::nullopt;
    for (const Operation& operation : kOperations) {
        if (operation.op != envelope.op) continue;
        if (!(transport == Transport::lan ? operation.lan : operation.net)) return std::nullopt;
        return operation.interpret(envelope, Context{transport, peerKey, receivedAt});
    }
    return std::nullopt;
}

std::optional<PeerEvent> eventFromFrame(const LanFrame& frame, std::string_view from) {
    auto bytes = [&] {
        return Bytes(frame.body.begin(), frame.body.end());
    };
    switch (static_cast<FrameKind>(frame.kind)) {
        case FrameKind::audio:
            return events::Audio{bytes(), std::string(from)};
        case FrameKind::video:
            return events::Video{bytes(), std::string(from)};
        case FrameKind::walkie:
            return events::Walkie{bytes(), std::string(from)};
        default:
            return std::nullopt;
    }
}

std::optional<PeerEvent> eventFromFrame(const NetFrame& frame) {
    // Coming from the relay service, the number field holds the sender's
    // registered number, written there by the service.
    const std::string from(frame.target);
    if (frame.kind == static_cast<std::uint8_t>(FrameKind::deskFrame)) {
        return events::DeskFrame{Bytes(frame.media.begin(), frame.media.end()), from};
    }
    return eventFromFrame(LanFrame{frame.kind, frame.media}, from);
}

std::string safeFileName(std::string_view name) {
    constexpr std::size_t kLongest = 200;
    if (name.size() > kLongest) {
        std::size_t cut = kLongest;
        // Back off over UTF-8 continuation bytes so no character is split.
        while (cut > 0 && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80) --cut;
        name = name.substr(0, cut);
    }
    std::string safe(name);
    for (char& c : safe) {
        if (c == '/' || c == '\\' || static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '_';
    }
    if (safe.empty() || safe == "." || safe == "..") return "file";
    return safe;
}

}  // namespace merrowfax::wire
