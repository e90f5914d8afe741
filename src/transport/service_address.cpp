#include "transport/service_address.h"

#include <QHostAddress>

namespace merrowfax {
namespace {

bool isLoopback(const QString& host) {
    if (host.compare(QStringLiteral("localhost"), Qt::CaseInsensitive) == 0) return true;
    const QHostAddress address(host);
    return !address.isNull() && address.isLoopback();
}

QUrl withPath(const QUrl& service, const QString& path, bool http) {
    QUrl url = service;
    if (http) {
        url.setScheme(service.scheme() == QStringLiteral("wss") ? QStringLiteral("https")
                                                                : QStringLiteral("http"));
    }
    url.setPath(path);
    url.setQuery(QString());
    return url;
}

}  // namespace

std::optional<QUrl> acceptedServiceAddress(const QString& text) {
    const QUrl url(text, QUrl::StrictMode);
    if (!url.isValid() || url.host().isEmpty()) return std::nullopt;
    const QString scheme = url.scheme().toLower();
    if (scheme == QStringLiteral("wss")) return url;
    if (scheme == QStringLiteral("ws") && isLoopback(url.host())) return url;
    return std::nullopt;
}

std::optional<QUrl> serviceAddress() {
    const QString configured = qEnvironmentVariable("MERROWFAX_SERVICE");
    if (!configured.isEmpty()) return acceptedServiceAddress(configured);
    return acceptedServiceAddress(QStringLiteral(MERROWFAX_SERVICE_DEFAULT));
}

QUrl liveSocketUrl(const QUrl& service) {
    return withPath(service, QStringLiteral("/merrowfax/live"), false);
}

QUrl liveHttpUrl(const QUrl& service) {
    return withPath(service, QStringLiteral("/merrowfax/live"), true);
}

QUrl directoryUrl(const QUrl& service) {
    return withPath(service, QStringLiteral("/merrowfax/directory"), true);
}

QUrl privacyUrl(const QUrl& service) {
    return withPath(service, QStringLiteral("/merrowfax/privacy"), true);
}

QUrl webUrl(const QUrl& service) {
    return withPath(service, QStringLiteral("/merrowfax/"), true);
}

QUrl keyUrl(const QUrl& service) {
    return withPath(service, QStringLiteral("/merrowfax/key"), true);
}

ServiceAddresses serviceAddresses() {
    ServiceAddresses addresses;
    addresses.service = serviceAddress();
    if (addresses.service) addresses.privacy = privacyUrl(*addresses.service);
    return addresses;
}

QNetworkRequest serviceRequest(const QUrl& url, std::chrono::milliseconds timeout) {
    QNetworkRequest request(url);
    request.setTransferTimeout(static_cast<int>(timeout.count()));
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute,
                         QNetworkRequest::AlwaysNetwork);
    request.setAttribute(QNetworkRequest::CacheSaveControlAttribute, false);
    return request;
}

}  // namespace merrowfax
