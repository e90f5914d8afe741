#include "relay/secrets.h"

#include <fcntl.h>
#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <tuple>

namespace merrowfax::relay {
namespace {

class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

// False when the file does not exist; any other failure throws (a key that is
// there but unreadable is never replaced).
bool readKey(const std::string& path, unsigned char* out, std::size_t size, const char* what) {
    const Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) {
        if (errno == ENOENT) return false;
        throw std::runtime_error(std::string(what) + " file is unreadable");
    }
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::read(fd.get(), out + done, size - done);
        if (n <= 0) throw std::runtime_error(std::string(what) + " file is short or unreadable");
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// A new key, written whole and synced before it is used.
void writeKey(const std::string& path, const unsigned char* data, std::size_t size,
              const char* what) {
    const auto temp = path + ".new";
    {
        const Fd fd(::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
        if (fd.get() < 0) throw std::runtime_error(std::string("cannot create the ") + what);
        std::size_t done = 0;
        while (done < size) {
            const ssize_t n = ::write(fd.get(), data + done, size - done);
            if (n <= 0) throw std::runtime_error(std::string("cannot write the ") + what);
            done += static_cast<std::size_t>(n);
        }
        ::fsync(fd.get());
    }
    if (::rename(temp.c_str(), path.c_str()) != 0)
        throw std::runtime_error(std::string("cannot place the ") + what);
}

}  // namespace

Secrets::Secrets(const std::filesystem::path& keyFile, bool fastHash)
    : opslimit_(fastHash ? crypto_pwhash_argon2id_OPSLIMIT_MIN
                         : crypto_pwhash_argon2id_OPSLIMIT_INTERACTIVE),
      memlimit_(fastHash ? crypto_pwhash_argon2id_MEMLIMIT_MIN
                         : crypto_pwhash_argon2id_MEMLIMIT_INTERACTIVE) {
    if (sodium_init() < 0) throw std::runtime_error("libsodium failed to start");
    const std::string serverFile = keyFile.string();
    if (!readKey(serverFile, key_.data(), key_.size(), "server key")) {
        randombytes_buf(key_.data(), key_.size());
        writeKey(serverFile, key_.data(), key_.size(), "server key file");
    }

    // A file of its own, so that a server key from before statements keeps
    // working as it is.
    const std::string signFile = serverFile + ".sign";
    if (readKey(signFile, signingKey_.data(), signingKey_.size(), "statement key")) {
        unsigned char seed[crypto_sign_SEEDBYTES];
        wire::SigningKey derived{};
        crypto_sign_ed25519_sk_to_seed(seed, signingKey_.data());
        crypto_sign_seed_keypair(verifyKey_.data(), derived.data(), seed);
        sodium_memzero(seed, sizeof seed);
        const bool same = sodium_memcmp(derived.data(), signingKey_.data(), derived.size()) == 0;
        sodium_memzero(derived.data(), derived.size());
        if (!same) throw std::runtime_error("statement key file is damaged");
    } else {
        std::tie(verifyKey_, signingKey_) = wire::newSigningKeys();
        writeKey(signFile, signingKey_.data(), signingKey_.size(), "statement key file");
    }
}

Secrets::~Secrets() {
    sodium_memzero(key_.data(), key_.size());
    sodium_memzero(signingKey_.data(), signingKey_.size());
}

std::string Secrets::signStatement(const wire::NumberStatement& statement) const {
    return wire::signStatement(statement, signingKey_);
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
