#pragma once

#include <array>
#include <filesystem>
#include <string>
#include <string_view>

#include "wire/number_statement.h"

namespace merrowfax::relay {

// The server key: 32 random bytes in their own file (mode 0600), outside the
// database, so a copied database alone cannot test PINs or computer ids.
// Beside it, in <keyFile>.sign (mode 0600), the Ed25519 key that signs number
// statements: 64 bytes, libsodium's secret key (seed, then public key).
class Secrets {
public:
    // Reads both key files, creating each one that is missing. Throws on
    // failure, also when a file is short or its public half does not match.
    Secrets(const std::filesystem::path& keyFile, bool fastHash);
    ~Secrets();
    Secrets(const Secrets&) = delete;
    Secrets& operator=(const Secrets&) = delete;

    // Keyed BLAKE2b, hex: computer ids and client addresses are kept only as this.
    std::string tag(std::string_view domain, std::string_view value) const;

    // Argon2id string of the PIN keyed with the server key and bound to the number.
    // Slow by design: call only from the hashing pool.
    std::string hashPin(std::string_view number, std::string_view pin) const;
    bool verifyPin(const std::string& stored, std::string_view number, std::string_view pin) const;

    // The wire form of a statement, signed with the statement key.
    std::string signStatement(const wire::NumberStatement& statement) const;
    const wire::VerifyKey& verifyKey() const { return verifyKey_; }

private:
    std::string keyedPin(std::string_view number, std::string_view pin) const;

    std::array<unsigned char, 32> key_{};
    wire::SigningKey signingKey_{};
    wire::VerifyKey verifyKey_{};
    unsigned long long opslimit_;
    std::size_t memlimit_;
};

}  // namespace merrowfax::relay
