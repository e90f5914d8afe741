#include "ui/bridge/directory_pager.h"

#include <QVariantMap>

#include "numbers/virtual_number.h"
#include "platform/timings.h"

namespace merrowfax::ui {
namespace {

const QString kNoAnswer = QStringLiteral("The directory did not answer.");

}  // namespace

DirectoryPager::DirectoryPager(QObject* parent) : QObject(parent) {
    searchWait_.setSingleShot(true);
    connect(&searchWait_, &QTimer::timeout, this, &DirectoryPager::firstPage);
}

DirectoryPager::DirectoryPager(DirectoryLookup* client, QObject* parent) : DirectoryPager(parent) {
    client_ = client;
    ownClient_ = true;
}

void DirectoryPager::setModel(AppModel* model) {
    if (model_ == model) return;
    model_ = model;
    if (!ownClient_) client_ = model_ ? &model_->directoryLookup() : nullptr;
    Q_EMIT modelChanged();
}

void DirectoryPager::setQuery(const QString& query) {
    if (query == query_) return;
    query_ = query;
    Q_EMIT queryChanged();
    Q_EMIT emptyTextChanged();
    searchWait_.start(timings().directorySearch);
}

QStringList DirectoryPager::letters() {
    QStringList out;
    for (char c = 'A'; c <= 'Z'; ++c) out << QString(QLatin1Char(c));
    out << QStringLiteral("#");
    return out;
}

QVariantList DirectoryPager::people() const {
    QVariantList out;
    out.reserve(static_cast<qsizetype>(people_.size()));
    for (const DirectoryEntry& e : people_) {
        out << QVariantMap{
            {QStringLiteral("number"), QString::fromStdString(e.number)},
            {QStringLiteral("name"), QString::fromStdString(e.name)},
            {QStringLiteral("business"), e.business},
            {QStringLiteral("place"), QString::fromStdString(placeLineOf(e.number))}};
    }
    return out;
}

QString DirectoryPager::statusText() const {
    return more_ ? QStringLiteral("This page") : QStringLiteral("End of this letter");
}

QString DirectoryPager::emptyText() const {
    return searching() ? QStringLiteral("No listing starts with that.")
                       : QStringLiteral("No listings under ") + letter_ + QLatin1Char('.');
}

void DirectoryPager::chooseLetter(const QString& letter) {
    if (!letters().contains(letter)) return;
    searchWait_.stop();
    if (!query_.isEmpty()) {
        query_.clear();
        Q_EMIT queryChanged();
    }
    if (letter_ != letter) {
        letter_ = letter;
        Q_EMIT letterChanged();
    }
    Q_EMIT emptyTextChanged();
    firstPage();
}

void DirectoryPager::firstPage() {
    pageAfter_.clear();
    earlier_.clear();
    Q_EMIT cursorChanged();
    load();
}

void DirectoryPager::next() {
    if (!more_) return;
    earlier_.push_back(pageAfter_);
    pageAfter_ = nextAfter_;
    Q_EMIT cursorChanged();
    load();
}

void DirectoryPager::previous() {
    if (earlier_.empty()) return;
    pageAfter_ = std::move(earlier_.back());
    earlier_.pop_back();
    Q_EMIT cursorChanged();
    load();
}

void DirectoryPager::addContact(const QString& name, const QString& number) {
    if (model_) model_->people().addContact(name.toStdString(), number.toStdString());
}

void DirectoryPager::load() {
    const int id = ++requestId_;
    setLoading(true);
    DirectoryQuery request;
    request.search = query_.trimmed().toStdString();
    request.letter = letter_.toStdString();
    request.after = pageAfter_;
    auto done = [self = QPointer(this), id](DirectoryAnswer answer) {
        // The client may outlive this pager, and a newer request may have
        // taken this one's place.
        if (!self || id != self->requestId_) return;
        self->apply(std::move(answer));
        self->setLoading(false);
    };
    if (client_) {
        client_->fetch(request, std::move(done));
    } else {
        QTimer::singleShot(0, this, [done = std::move(done)]() mutable { done({}); });
    }
}

void DirectoryPager::apply(DirectoryAnswer answer) {
    switch (answer.outcome) {
        case DirectoryAnswer::Outcome::page:
            people_ = std::move(answer.page.people);
            more_ = answer.page.more;
            nextAfter_ = std::move(answer.page.after);
            note_.clear();
            break;
        case DirectoryAnswer::Outcome::badStatus:
            people_.clear();
            more_ = false;
            note_ = kNoAnswer;
            break;
        case DirectoryAnswer::Outcome::noAnswer:
            // A page on screen stays as it is; only an empty screen says so.
            if (!people_.empty()) return;
            note_ = kNoAnswer;
            break;
    }
    Q_EMIT pageChanged();
}

void DirectoryPager::setLoading(bool loading) {
    if (loading_ == loading) return;
    loading_ = loading;
    Q_EMIT loadingChanged();
}

}  // namespace merrowfax::ui
