#pragma once

#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "transport/lan_transport.h"
#include "transport/net_transport.h"
#include "wire/envelope.h"
#include "wire/frames.h"

namespace merrowfax {

// Everything that goes out to other numbers. Records go over the LAN link (to
// the connected devices serving the number) and the internet line (addressed
// by its `to`) at once, and count as sent when either path took it; the
// receiver drops the second copy by its id. Media (call audio and video,
// walkie clips) takes one path: the LAN session of the number's proven
// device while there is one, else the relay, chunk by chunk, so a session
// that drops mid-call hands the next chunk to the relay. Records go out on
// the main thread; media from any thread.
class Router {
public:
    Router(LanTransport& lan, NetTransport& line);
    ~Router();
    Router(const Router&) = delete;
    Router& operator=(const Router&) = delete;

    // Whether a record to `number` can go out now: the line is open, or a
    // proven device of the number is in session on the LAN.
    bool canReach(const std::string& number) const;
    // Whether the internet line is open now.
    bool lineOpen() const;
    // Opens the line when it is closed; the LAN needs no waking.
    void wake();

    // To the devices of `to`; true when either path took it.
    bool send(const wire::Envelope& envelope, const std::string& to);
    // Which paths took a record.
    struct Taken {
        bool lan = false;
        bool line = false;
    };
    // The same, preferring on the LAN the device `peerKey` while it is
    // connected: an answer goes back to the device that asked. Says which
    // paths took it: the relay's word that nobody is there does not undo
    // what a LAN device took.
    Taken sendToDevice(const wire::Envelope& envelope, const std::string& to,
                       const std::optional<std::string>& peerKey);
    // The same, and on the LAN also to the other devices of `ownNumber`,
    // which keep a copy of what this number wrote or deleted.
    bool sendWithOwnCopies(const wire::Envelope& envelope, const std::string& to,
                           const std::string& ownNumber);
    // An attachment: on the LAN (when `file` is given) the "file" envelope
    // and then the file as a transfer, to the devices of `to`; through the
    // line `lineEnvelope`, bytes inside, when given. True when either path
    // took it.
    bool sendFile(const wire::Envelope& lanEnvelope,
                  const std::optional<std::filesystem::path>& file,
                  const std::optional<wire::Envelope>& lineEnvelope, const std::string& to);

    // Call media goes to `number`, on the LAN preferably to the device
    // `peerKey` while it is connected; nothing ends the route.
    void routeMedia(std::optional<std::string> number, std::optional<std::string> peerKey = {});
    std::optional<std::string> mediaTo() const;
    // Call audio in the wire format and video frames, along the media
    // route on one path; nothing without a route. Any thread.
    void sendAudio(const wire::Bytes& chunk);
    void sendVideo(const wire::Bytes& frame);

    // Walkie audio goes to `number` (the one being talked to) on one path;
    // nothing ends the talk. Captured chunks, any thread; nothing goes out
    // while no talk runs.
    void setTalkTo(std::optional<std::string> number);
    void sendWalkie(const wire::Bytes& chunk);

    // Screen sharing's records: through the line only, as its frames.
    bool sendOnLine(const wire::Envelope& envelope);
    // Screen frames go to `number` through the line; only the newest frame
    // waits while one is in flight, so frames never queue up.
    void setDeskTo(std::optional<std::string> number);
    void queueDeskFrame(wire::Bytes frame);

private:
    struct MediaRoute {
        std::string number;
        std::optional<std::string> peerKey;
    };
    struct DeskPump;

    bool sendOnLan(const wire::Envelope& envelope, const std::vector<std::string>& peers);
    // On the LAN to the route's device, else to the number's devices; false
    // when no session took it.
    bool sendMediaOnLan(wire::FrameKind kind, const wire::Bytes& data, const MediaRoute& route);
    static void pumpDesk(const std::shared_ptr<DeskPump>& pump, NetTransport& line);

    LanTransport& lan_;
    NetTransport& line_;
    mutable std::mutex mediaLock_;
    std::optional<MediaRoute> media_;
    std::optional<std::string> talkTo_;  // under mediaLock_
    std::shared_ptr<DeskPump> desk_;
};

}  // namespace merrowfax
