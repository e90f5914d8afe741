#pragma once

#include <array>
#include <filesystem>
#include <string>
#include <string_view>

namespace merrowfax::relay {

// The server key: 32 random bytes in their own file (mode 0600), outside the
// database, so a copied database alone cannot test PINs or computer ids.
class Secrets {
public:
    // Reads the key file, creating it on first start. Throws on failure.
    Secrets(const std::filesystem::path& keyFile, bool fastHash);

    // Keyed BLAKE2b, hex: computer ids and client addresses are kept only as this.
    std::string tag(std::string_view domain, std::string_view value) const;

    // Argon2id string of the PIN keyed with the server key and bound to the number.
    // Slow by design: call only from the hashing pool.
    std::string hashPin(std::string_view number, std::string_view pin) const;
    bool verifyPin(const std::string& stored, std::string_view number, std::string_view pin) const;

private:
    std::string keyedPin(std::string_view number, std::string_view pin) const;

    std::array<unsigned char, 32> key_{};
    unsigned long long opslimit_;
    std::size_t memlimit_;
};

}  // namespace merrowfax::relay
