#pragma once

// One session with another device, once named: its TLS stream, the timers
// that keep or end it, the sealer of the datagrams it sends, and the
// sessions' own messages on the stream (a first byte of 0x80 and up). Who
// may have a session, and which of a key's sessions is in use, is for
// Sessions to say; a link only reports what happened to it.

#include <QObject>
#include <QTimer>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>

#include "transport/media_seal.h"

namespace merrowfax::lan {

class Connection;
class MediaSocket;

// Main thread only, except sendMedia().
class SessionLink final : public QObject, public std::enable_shared_from_this<SessionLink> {
    struct Token {};  // links are only made by open()

public:
    // What the two ends told each other when they named themselves.
    struct Setup {
        std::string key;  // the device at the other end
        bool weInvited = false;
        std::uint16_t peerUdp = 0;    // where the peer takes datagrams; 0: nowhere
        std::uint16_t peerPort = 0;   // where the peer takes connections
        std::uint64_t inboundId = 0;  // the session id of the datagrams the peer sends us
        // What our datagrams to the peer are sealed with.
        std::uint64_t outboundId = 0;
        SessionKey outboundKey{};
    };

    // Reports to the owner, which may let go of the link in any of them.
    struct Callbacks {
        // A message for the owner (first byte under 0x80) came on the stream.
        std::function<void(SessionLink& link, std::span<const std::byte> message)> message;
        // The stream closed or fell silent for lanIdle, the device proved
        // nothing in time, or the spare's retiring time is over: the owner
        // is to close the link.
        std::function<void(SessionLink& link)> ended;
    };

    // Takes the named connection and starts pinging it and probing the
    // peer's datagram port. `media`, which may be null, outlives the link.
    static std::shared_ptr<SessionLink> open(std::unique_ptr<Connection> connection, Setup setup,
                                             MediaSocket* media, Callbacks callbacks);
    SessionLink(Token, std::unique_ptr<Connection> connection, Setup setup, MediaSocket* media,
                Callbacks callbacks);
    ~SessionLink() override;
    SessionLink(const SessionLink&) = delete;
    SessionLink& operator=(const SessionLink&) = delete;

    const std::string& key() const { return setup_.key; }
    bool weInvited() const { return setup_.weInvited; }
    std::uint32_t peerIpv4() const { return peerIpv4_; }
    std::uint16_t peerPort() const { return setup_.peerPort; }
    std::uint64_t inboundId() const { return setup_.inboundId; }

    // Ends the link after `within` unless proven() comes first.
    void awaitProof(std::chrono::milliseconds within);
    void proven();
    // Another session to the device is in use: this one is still read for
    // `within`, then ended.
    void retire(std::chrono::milliseconds within);
    bool retiring() const { return retiring_; }

    // The peer's datagrams reach us: tells it so, which moves its media off
    // the stream.
    void heard();

    // A message on the stream, in order; false when not sent.
    bool send(std::span<const std::byte> message);
    // A media message, never retried: a datagram once the peer hears ours,
    // else on the stream unless it is busy. Any thread, but only while the
    // owner makes sure the link is not let go meanwhile; false when not sent.
    bool sendMedia(std::span<const std::byte> message);

    // Stops the timers and closes the stream; `ended` may still come.
    void close();
    // Closes the stream without a word: nothing is reported from now on.
    void abandon();

private:
    void start();
    void arrived(std::span<const std::byte> message);
    void end();
    void probe();

    const Setup setup_;
    const std::unique_ptr<Connection> connection_;
    MediaSocket* const media_;
    const std::unique_ptr<DatagramSealer> sealer_;  // for what we send
    const std::uint32_t peerIpv4_;
    Callbacks callbacks_;
    std::atomic<bool> theyHear_ = false;  // our datagrams reach the peer
    std::atomic<int> queuedMedia_ = 0;    // sendMedia() messages waiting for the stream
    int probes_ = 0;
    bool retiring_ = false;
    QTimer ping_, idle_, probe_, retire_;
    QTimer proof_;  // ends the link unless its device proves a number
};

}  // namespace merrowfax::lan
