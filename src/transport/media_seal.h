#pragma once

#include <array>
#include <atomic>
#include <bitset>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

// Sealing the datagrams of one direction of a LAN session with the
// per-session key that travels over the session's TLS stream.
//
// A datagram: 8-byte session id (big-endian) | 8-byte counter (big-endian) |
// ChaCha20-Poly1305 (IETF) ciphertext and tag. The nonce is 4 zero bytes and
// the 8 counter bytes; the 16 header bytes are the additional data.
namespace merrowfax::lan {

using SessionKey = std::array<unsigned char, 32>;

SessionKey newSessionKey();
std::uint64_t newSessionId();  // never 0

// Bigger messages are not sent as datagrams.
inline constexpr std::size_t kMaxSealedMessage = 60'000;

// The session a datagram claims to belong to (unauthenticated), for routing
// it to its opener. Nothing if it is shorter than a header and a tag.
std::optional<std::uint64_t> datagramSession(std::span<const std::byte> datagram);

// Thread-safe: seal() may run on several threads at once.
class DatagramSealer {
public:
    DatagramSealer(std::uint64_t sessionId, const SessionKey& key);
    ~DatagramSealer();
    DatagramSealer(const DatagramSealer&) = delete;
    DatagramSealer& operator=(const DatagramSealer&) = delete;

    // Empty when the message is over kMaxSealedMessage.
    std::vector<std::byte> seal(std::span<const std::byte> message);

private:
    const std::uint64_t sessionId_;
    SessionKey key_;
    std::atomic<std::uint64_t> next_{1};  // counter 0 is never sent
};

// For one receiving thread; not thread-safe.
class DatagramOpener {
public:
    static constexpr std::size_t kWindow = 1024;

    DatagramOpener(std::uint64_t sessionId, const SessionKey& key);
    ~DatagramOpener();
    DatagramOpener(const DatagramOpener&) = delete;
    DatagramOpener& operator=(const DatagramOpener&) = delete;

    // The message, or nothing: another session's, too short, failed
    // authentication, or a counter already seen or older than the last
    // kWindow counters. Only an authentic datagram moves the window.
    std::optional<std::vector<std::byte>> open(std::span<const std::byte> datagram);

private:
    bool fresh(std::uint64_t counter) const;
    void mark(std::uint64_t counter);

    const std::uint64_t sessionId_;
    SessionKey key_;
    std::uint64_t highest_ = 0;  // the highest counter opened, 0 before the first
    std::bitset<kWindow> seen_;  // bit i: counter highest_ - i was opened
};

}  // namespace merrowfax::lan
