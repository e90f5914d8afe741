#pragma once

#include <QNetworkAccessManager>
#include <QObject>
#include <QUrl>

#include <functional>
#include <optional>
#include <string>

#include "wire/service_records.h"

namespace merrowfax {

using wire::DirectoryEntry;
using wire::DirectoryPage;

// One page request: a search for names or numbers starting with `search`
// when it is not blank, else the listings under `letter` ("A" to "Z", "#").
struct DirectoryQuery {
    std::string search;
    std::string letter = "A";
    std::string after;  // the cursor of the page; empty for the first
};

struct DirectoryAnswer {
    enum class Outcome {
        page,       // `page` holds the answer
        badStatus,  // the service answered with another status than 200
        noAnswer,   // no answer, or a body that is not a page
    };
    Outcome outcome = Outcome::noAnswer;
    DirectoryPage page;
};

// The request URL: "q" (trimmed, its first 40 characters) or "letter",
// then "after".
QUrl directoryRequestUrl(const QUrl& service, const DirectoryQuery& query);

// Reads the public directory of the relay service one page at a time.
class DirectoryClient : public QObject {
    Q_OBJECT

public:
    // Nothing as `service`: every request ends without an answer.
    explicit DirectoryClient(std::optional<QUrl> service, QObject* parent = nullptr);

    // `done` runs once on this object's thread, unless it is destroyed first.
    void fetch(const DirectoryQuery& query, std::function<void(DirectoryAnswer)> done);

private:
    const std::optional<QUrl> service_;
    QNetworkAccessManager http_;
};

}  // namespace merrowfax
