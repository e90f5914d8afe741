#include "relay/secrets.h"

#include <fcntl.h>
#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>

#include <stdexcept>

namespace merrowfax::relay {
namespace {

void readAll(int fd, unsigned char* out, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::read(fd, out + done, size - done);
        if (n <= 0) throw std::runtime_error("server key file is short or unreadable");
        done += static_cast<std::size_t>(n);
    }
}

void writeAll(int fd, const unsigned char* data, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::write(fd, data + done, size - done);
        if (n <= 0) throw std::runtime_error("cannot write the server key file");
        done += static_cast<std::size_t>(n);
    }
}

}  // namespace

Secrets::Secrets(const std::filesystem::path& keyFile, bool fastHash)
    : opslimit_(fastHash ? crypto_pwhash_argon2id_OPSLIMIT_MIN
                         : crypto_pwhash_argon2id_OPSLIMIT_INTERACTIVE),
      memlimit_(fastHash ? crypto_pwhash_argon2id_MEMLIMIT_MIN
                         : crypto_pwhash_argon2id_MEMLIMIT_INTERACTIVE) {
    if (sodium_init() < 0) throw std::runtime_error("libsodium failed to start");
    int fd = ::open(keyFile.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        readAll(fd, key_.data(), key_.size());
        ::close(fd);
        return;
    }
    // First start: a new key, written whole and synced before it is used.
    randombytes_buf(key_.data(), key_.size());
    const auto temp = keyFile.string() + ".new";
    fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) throw std::runtime_error("cannot create the server key file");
    writeAll(fd, key_.data(), key_.size());
    ::fsync(fd);
    ::close(fd);
    if (::rename(temp.c_str(), keyFile.c_str()) != 0)
        throw std::runtime_error("cannot place the server key file");
}

std::string Secrets::tag(std::string_view domain, std::string_view value) const {
    unsigned char out[32];
    crypto_generichash_state state;
    crypto_generichash_init(&state, key_.data(), key_.size(), sizeof out);
    crypto_generichash_update(&state, reinterpret_cast<const unsigned char*>(domain.data()),
                              domain.size());
    const unsigned char zero = 0;
    crypto_generichash_update(&state, &zero, 1);
    crypto_generichash_update(&state, reinterpret_cast<const unsigned char*>(value.data()),
                              value.size());
    crypto_generichash_final(&state, out, sizeof out);
    char hex[sizeof out * 2 + 1];
    sodium_bin2hex(hex, sizeof hex, out, sizeof out);
    return hex;
}

std::string Secrets::keyedPin(std::string_view number, std::string_view pin) const {
    return tag("pin", std::string(number) + '\n' + std::string(pin));
}

std::string Secrets::hashPin(std::string_view number, std::string_view pin) const {
    const std::string keyed = keyedPin(number, pin);
    char out[crypto_pwhash_STRBYTES];
    if (crypto_pwhash_str_alg(out, keyed.data(), keyed.size(), opslimit_, memlimit_,
                              crypto_pwhash_ALG_ARGON2ID13) != 0)
        throw std::runtime_error("out of memory while hashing a PIN");
    return out;
}

bool Secrets::verifyPin(const std::string& stored, std::string_view number,
                        std::string_view pin) const {
    const std::string keyed = keyedPin(number, pin);
    return crypto_pwhash_str_verify(stored.c_str(), keyed.data(), keyed.size()) == 0;
}

}  // namespace merrowfax::relay
