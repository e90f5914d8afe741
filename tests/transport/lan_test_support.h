#pragma once

#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>

#include <cstring>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "platform/timings.h"
#include "support/event_wait.h"
#include "transport/lan_identity.h"
#include "wire/number_statement.h"

namespace merrowfax::testing {

inline bool spinFor(const std::function<bool()>& done, int ms = 5000) {
    return spinUntil(done, ms);
}

inline void spinAWhile(int ms) {
    spinFor([] { return false; }, ms);
}

inline std::vector<std::byte> bytesOf(const std::string& text) {
    std::vector<std::byte> out(text.size());
    std::memcpy(out.data(), text.data(), text.size());
    return out;
}

// A message for the link's owner: its kind byte, then the body.
inline std::string kinded(int kind, const std::string& body) {
    return std::string(1, static_cast<char>(kind)) + body;
}

// `content` in the file `name` of `dir`; its path.
inline std::string writeFile(const QTemporaryDir& dir, const std::string& name,
                             const std::string& content) {
    const std::string path = dir.path().toStdString() + "/" + name;
    QFile out(QString::fromStdString(path));
    if (out.open(QIODevice::WriteOnly))
        out.write(content.data(), static_cast<qint64>(content.size()));
    return path;
}

inline std::string textOf(std::span<const std::byte> bytes) {
    return std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

// A device's certificate in a folder of its own.
struct TestIdentity {
    QTemporaryDir folder;
    LanIdentity identity = *loadOrCreateLanIdentity(folder.path().toStdString() + "/lan.pem");
};

// The relay service as far as LAN proofs go: it vouches for numbers.
struct TestService {
    std::pair<wire::VerifyKey, wire::SigningKey> keys = wire::newSigningKeys();
    const wire::VerifyKey& key() const { return keys.first; }

    static std::int64_t unixNow() {
        return std::chrono::duration_cast<std::chrono::seconds>(
                   std::chrono::system_clock::now().time_since_epoch())
            .count();
    }
    // A statement of `number` for the certificate `fingerprint`, valid for
    // `seconds` from now.
    std::string vouch(const std::string& number, const std::string& fingerprint,
                      std::int64_t seconds = 3600) const {
        const std::int64_t now = unixNow();
        return wire::signStatement({number, fingerprint, now - 1, now + seconds}, keys.second);
    }
};

// The LAN timers short enough for tests, restored afterwards.
class QuickLanTimings {
public:
    QuickLanTimings() {
        Timings t = saved_;
        t.lanInviteGuard = std::chrono::milliseconds(300);
        t.lanRetire = std::chrono::milliseconds(150);
        // A TLS handshake under the sanitizers on a busy machine takes a while.
        t.lanInvite = std::chrono::milliseconds(5000);
        t.lanHandshake = std::chrono::milliseconds(3000);
        t.lanPing = std::chrono::milliseconds(200);
        t.lanIdle = std::chrono::milliseconds(1500);
        t.lanStall = std::chrono::milliseconds(400);
        t.lanUdpProbe = std::chrono::milliseconds(20);
        t.lanRateWindow = std::chrono::milliseconds(400);
        t.lanFileRetry = std::chrono::milliseconds(100);
        setTimings(t);
    }
    ~QuickLanTimings() { setTimings(saved_); }

private:
    Timings saved_ = timings();
};

}  // namespace merrowfax::testing
