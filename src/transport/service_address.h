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

// Every address of the maker's services a run uses, read once at start-up.
struct ServiceAddresses {
    std::optional<QUrl> service;  // the relay service; nothing when unusable
    QUrl privacy;                 // its host's privacy page; empty without a service
};
ServiceAddresses serviceAddresses();

// Checks one candidate address by the rules above.
std::optional<QUrl> acceptedServiceAddress(const QString& text);

// The live endpoint as a WebSocket URL, and as the http(s) URL of lookups.
QUrl liveSocketUrl(const QUrl& service);
QUrl liveHttpUrl(const QUrl& service);
QUrl directoryUrl(const QUrl& service);
QUrl privacyUrl(const QUrl& service);
// The service's web page, where a browser may use a link code.
QUrl webUrl(const QUrl& service);
// The public key that the service's number statements verify against.
QUrl keyUrl(const QUrl& service);

// A GET to the service that always goes to the network (no cache either
// way) and gives up after `timeout`.
QNetworkRequest serviceRequest(const QUrl& url, std::chrono::milliseconds timeout);

}  // namespace merrowfax
