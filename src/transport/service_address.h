#pragma once

#include <QNetworkRequest>
#include <QUrl>

#include <chrono>

#include <optional>

namespace merrowfax {

// The relay service's base address: MERROWFAX_SERVICE when set (for example
// ws://127.0.0.1:8088), else the address built in. Secure schemes (wss) in
// general; plain ws only to a loopback host. Nothing when it is unusable.
std::optional<QUrl> serviceAddress();

// Checks one candidate address by the rules above.
std::optional<QUrl> acceptedServiceAddress(const QString& text);

// The live endpoint as a WebSocket URL, and as the http(s) URL of lookups.
QUrl liveSocketUrl(const QUrl& service);
QUrl liveHttpUrl(const QUrl& service);
QUrl directoryUrl(const QUrl& service);

// A GET to the service that always goes to the network (no cache either
// way) and gives up after `timeout`.
QNetworkRequest serviceRequest(const QUrl& url, std::chrono::milliseconds timeout);

}  // namespace merrowfax
