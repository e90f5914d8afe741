#pragma once

#include <QNetworkAccessManager>
#include <QUrl>

#include <filesystem>
#include <functional>
#include <optional>

#include "wire/number_statement.h"

namespace merrowfax {

// The relay service's public key, which number statements verify against:
// MERROWFAX_SERVICE_KEY (standard base64) when set, else the key built in
// beside the service address, else the one fetched from the service earlier
// and kept in `file`. Nothing when there is none yet.
std::optional<wire::VerifyKey> pinnedServiceKey(const std::filesystem::path& file);

// Asks the service at `keyUrl` for its key, keeps it in `file` (written
// atomically) and hands it to `done` on the caller's thread; nothing on any
// failure. The address is the service's own, so the connection is checked as
// the line's is (TLS, or plain to a loopback host). Pinned from then on: the
// file is never fetched again while it is there.
void fetchServiceKey(QNetworkAccessManager& network, const QUrl& keyUrl,
                     const std::filesystem::path& file, std::function<void(wire::VerifyKey)> done);

}  // namespace merrowfax
