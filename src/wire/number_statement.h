#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

// The relay's signed word that a connection proved a number while it showed a
// LAN certificate: devices on one network pass it to each other, so a peer can
// check a number claimed over the LAN with nothing but the relay's public key.
//
//   "v1." base64url(payload) "." base64url(Ed25519 signature), no padding
//
// The payload is the JSON {"number","lancert","issued","expires"} in that
// order; the signature covers kStatementContext followed by the payload bytes
// exactly as they travel.
namespace merrowfax::wire {

inline constexpr std::size_t kMaxStatementBytes = 1024;
// A statement is taken this many seconds before its `issued` time: the clocks
// of the relay and of a device differ.
inline constexpr std::int64_t kStatementSkewSeconds = 300;
inline constexpr std::string_view kStatementContext = "merrowfax number statement v1\n";

struct NumberStatement {
    std::string number;        // canonical number text, e.g. "0-1-234-5678"
    std::string lanCert;       // SHA-256 of the LAN certificate, 64 lower-case hex characters
    std::int64_t issued = 0;   // Unix seconds
    std::int64_t expires = 0;  // Unix seconds, not included

    bool operator==(const NumberStatement&) const = default;
};

using SigningKey = std::array<unsigned char, 64>;  // libsodium Ed25519 secret key
using VerifyKey = std::array<unsigned char, 32>;   // Ed25519 public key

std::pair<VerifyKey, SigningKey> newSigningKeys();

// The wire form of `statement`, signed with `key`. The caller passes a valid
// fingerprint (see isCertFingerprint).
std::string signStatement(const NumberStatement& statement, const SigningKey& key);

// The statement when `text` is one signed with the key behind `key` and valid
// at `now` (Unix seconds): from kStatementSkewSeconds before `issued` until
// `expires`. Nothing for anything else. The caller still compares the number
// and the certificate with the ones the peer showed.
std::optional<NumberStatement> verifyStatement(std::string_view text, const VerifyKey& key,
                                               std::int64_t now);

// Exactly 64 lower-case hexadecimal characters.
bool isCertFingerprint(std::string_view text);

// Standard base64 with padding (44 characters).
std::string encodeVerifyKey(const VerifyKey& key);
std::optional<VerifyKey> decodeVerifyKey(std::string_view text);

}  // namespace merrowfax::wire
