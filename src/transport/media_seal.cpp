#include "transport/media_seal.h"

#include <sodium.h>

#include <cstdlib>
#include <cstring>

namespace merrowfax::lan {
namespace {

constexpr std::size_t kHeader = 16;
constexpr std::size_t kTag = crypto_aead_chacha20poly1305_ietf_ABYTES;
static_assert(crypto_aead_chacha20poly1305_ietf_KEYBYTES == std::tuple_size_v<SessionKey>);
static_assert(crypto_aead_chacha20poly1305_ietf_NPUBBYTES == 12);

void ensureSodium() {
    // A static's initialisation runs once even with several threads racing.
    static const bool ready = sodium_init() >= 0;
    // Without a working generator every key and id would be guessable.
    if (!ready) std::abort();
}

void putBigEndian(std::uint64_t value, unsigned char* out) {
    for (int i = 7; i >= 0; --i) {
        out[i] = static_cast<unsigned char>(value & 0xff);
        value >>= 8;
    }
}

std::uint64_t getBigEndian(const unsigned char* in) {
    std::uint64_t value = 0;
    for (int i = 0; i < 8; ++i) value = (value << 8) | in[i];
    return value;
}

const unsigned char* bytes(std::span<const std::byte> data) {
    return reinterpret_cast<const unsigned char*>(data.data());
}

// 4 zero bytes, then the counter as it stands in the header.
std::array<unsigned char, 12> nonceOf(const unsigned char* header) {
    std::array<unsigned char, 12> nonce{};
    std::memcpy(nonce.data() + 4, header + 8, 8);
    return nonce;
}

}  // namespace

SessionKey newSessionKey() {
    ensureSodium();
    SessionKey key;
    randombytes_buf(key.data(), key.size());
    return key;
}

std::uint64_t newSessionId() {
    ensureSodium();
    std::uint64_t id = 0;
    while (id == 0) randombytes_buf(&id, sizeof id);
    return id;
}

std::optional<std::uint64_t> datagramSession(std::span<const std::byte> datagram) {
    if (datagram.size() < kHeader + kTag) return std::nullopt;
    return getBigEndian(bytes(datagram));
}

DatagramSealer::DatagramSealer(std::uint64_t sessionId, const SessionKey& key)
    : sessionId_(sessionId), key_(key) {}

DatagramSealer::~DatagramSealer() {
    sodium_memzero(key_.data(), key_.size());
}

std::vector<std::byte> DatagramSealer::seal(std::span<const std::byte> message) {
    if (message.size() > kMaxSealedMessage) return {};
    const std::uint64_t counter = next_.fetch_add(1, std::memory_order_relaxed);
    std::vector<std::byte> out(kHeader + message.size() + kTag);
    auto* header = reinterpret_cast<unsigned char*>(out.data());
    putBigEndian(sessionId_, header);
    putBigEndian(counter, header + 8);
    const auto nonce = nonceOf(header);
    unsigned long long written = 0;
    crypto_aead_chacha20poly1305_ietf_encrypt(header + kHeader, &written, bytes(message),
                                              message.size(), header, kHeader, nullptr,
                                              nonce.data(), key_.data());
    return out;
}

DatagramOpener::DatagramOpener(std::uint64_t sessionId, const SessionKey& key)
    : sessionId_(sessionId), key_(key) {}

DatagramOpener::~DatagramOpener() {
    sodium_memzero(key_.data(), key_.size());
}

bool DatagramOpener::fresh(std::uint64_t counter) const {
    if (counter == 0) return false;
    if (counter > highest_) return true;
    const std::uint64_t age = highest_ - counter;
    return age < kWindow && !seen_.test(static_cast<std::size_t>(age));
}

void DatagramOpener::mark(std::uint64_t counter) {
    if (counter > highest_) {
        const std::uint64_t ahead = counter - highest_;
        if (ahead >= kWindow) {
            seen_.reset();
        } else {
            seen_ <<= static_cast<std::size_t>(ahead);
        }
        highest_ = counter;
        seen_.set(0);
    } else {
        seen_.set(static_cast<std::size_t>(highest_ - counter));
    }
}

std::optional<std::vector<std::byte>> DatagramOpener::open(std::span<const std::byte> datagram) {
    if (datagram.size() < kHeader + kTag) return std::nullopt;
    const unsigned char* header = bytes(datagram);
    if (getBigEndian(header) != sessionId_) return std::nullopt;
    const std::uint64_t counter = getBigEndian(header + 8);
    // Refused before the costlier decryption.
    if (!fresh(counter)) return std::nullopt;
    std::vector<std::byte> message(datagram.size() - kHeader - kTag);
    const auto nonce = nonceOf(header);
    unsigned long long length = 0;
    if (crypto_aead_chacha20poly1305_ietf_decrypt(
            reinterpret_cast<unsigned char*>(message.data()), &length, nullptr, header + kHeader,
            datagram.size() - kHeader, header, kHeader, nonce.data(), key_.data()) != 0) {
        return std::nullopt;
    }
    mark(counter);
    return message;
}

}  // namespace merrowfax::lan
