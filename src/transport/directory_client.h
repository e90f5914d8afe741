#pragma once

#include <QNetworkAccessManager>
#include <QObject>
#include <QUrl>

#include <functional>
#include <optional>
#include <string>

#include "transport/directory_lookup.h"

namespace merrowfax {

// The request URL: "q" (trimmed, its first 40 characters) or "letter",
// then "after".
QUrl directoryRequestUrl(const QUrl& service, const DirectoryQuery& query);

// Reads the public directory of the relay service one page at a time.
class DirectoryClient final : public DirectoryLookup {
    Q_OBJECT

public:
    // Nothing as `service`: every request ends without an answer.
    explicit DirectoryClient(std::optional<QUrl> service, QObject* parent = nullptr);

    // `done` runs once on this object's thread, unless it is destroyed first.
    void fetch(const DirectoryQuery& query, std::function<void(DirectoryAnswer)> done) override;

private:
    const std::optional<QUrl> service_;
    QNetworkAccessManager http_;
};

}  // namespace merrowfax
