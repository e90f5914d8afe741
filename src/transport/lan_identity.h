#pragma once

#include <QSslCertificate>
#include <QSslKey>

#include <filesystem>
#include <optional>
#include <string>

namespace merrowfax {

// This installation's certificate for LAN sessions: self-signed, made once
// and kept with its private key. Peers know it by its fingerprint.
struct LanIdentity {
    QSslCertificate certificate;
    QSslKey key;
    std::string fingerprint;  // lower-case hex SHA-256 of the certificate's DER
};

// Loads the PEM file (certificate then private key) at `file`, making a new
// identity when it is missing, unreadable or damaged. The file is written
// atomically and is never readable by others. Nothing when it can be neither
// read nor written: the link then runs without LAN sessions.
std::optional<LanIdentity> loadOrCreateLanIdentity(const std::filesystem::path& file);

// Empty for a null certificate.
std::string certificateFingerprint(const QSslCertificate& certificate);

}  // namespace merrowfax
