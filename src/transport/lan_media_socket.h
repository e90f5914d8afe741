#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <thread>

#include "transport/media_seal.h"

namespace merrowfax::lan {

// The UDP socket that carries every session's media, with a thread of its
// own that receives datagrams, opens them with their session's key and
// hands the messages on. A datagram of an unknown session, with a wrong key
// or replayed is dropped without a word.
class MediaSocket {
public:
    struct Callbacks {
        // On the media thread: an authentic message of the session `key`.
        std::function<void(const std::string& key, std::span<const std::byte> message)> message;
        // On the media thread: the first authentic datagram of a session came.
        std::function<void(std::uint64_t sessionId)> heard;
    };

    // Binds a port on every IPv4 address; port() is 0 when that failed.
    explicit MediaSocket(Callbacks callbacks);
    ~MediaSocket();
    MediaSocket(const MediaSocket&) = delete;
    MediaSocket& operator=(const MediaSocket&) = delete;

    std::uint16_t port() const { return port_; }

    // Datagrams of `sessionId` are opened with `key` and come from `peer`.
    void addInbound(std::uint64_t sessionId, const SessionKey& key, std::string peer);
    void removeInbound(std::uint64_t sessionId);

    // Seals `message` and sends it to `ipv4`:`port`, never blocking. Any thread.
    bool send(DatagramSealer& sealer, std::uint32_t ipv4, std::uint16_t port,
              std::span<const std::byte> message);

private:
    void run();

    Callbacks callbacks_;
    int fd_ = -1;
    int wake_ = -1;  // eventfd that stops the thread
    std::uint16_t port_ = 0;
    struct Inbound {
        std::string peer;
        std::unique_ptr<DatagramOpener> opener;
        bool heard = false;
    };
    std::mutex lock_;
    std::map<std::uint64_t, Inbound> inbound_;
    std::thread thread_;
};

}  // namespace merrowfax::lan
