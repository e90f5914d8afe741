#pragma once

#include <QObject>
#include <QTimer>

#include <functional>
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

// The public directory, one page at a time. `done` runs once, later, on
// the lookup's thread, unless the lookup is destroyed first.
class DirectoryLookup : public QObject {
    Q_OBJECT

public:
    using QObject::QObject;
    virtual void fetch(const DirectoryQuery& query, std::function<void(DirectoryAnswer)> done) = 0;
};

// No directory: every request ends without an answer.
class NoDirectory final : public DirectoryLookup {
    Q_OBJECT

public:
    using DirectoryLookup::DirectoryLookup;
    void fetch(const DirectoryQuery&, std::function<void(DirectoryAnswer)> done) override {
        QTimer::singleShot(0, this, [done = std::move(done)] { done({}); });
    }
};

}  // namespace merrowfax
