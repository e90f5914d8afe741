#include "transport/directory_client.h"

#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>
#include <QUrlQuery>

#include "model/text_limits.h"
#include "numbers/unicode_text.h"
#include "platform/timings.h"
#include "transport/service_address.h"

namespace merrowfax {
namespace {

// A page is a few dozen rows; anything far larger is not one.
constexpr qint64 kMaxPageBytes = 1 << 20;
constexpr std::size_t kSearchLimit = 40;

QString percentEncoded(const std::string& value) {
    return QString::fromLatin1(QUrl::toPercentEncoding(QString::fromStdString(value)));
}

}  // namespace

QUrl directoryRequestUrl(const QUrl& service, const DirectoryQuery& query) {
    QUrl url = directoryUrl(service);
    const std::string search =
        unicode::prefixCharacters(unicode::trimmed(query.search), kSearchLimit);
    const QString first = search.empty() ? QStringLiteral("letter=") + percentEncoded(query.letter)
                                         : QStringLiteral("q=") + percentEncoded(search);
    url.setQuery(first + QStringLiteral("&after=") + percentEncoded(query.after), QUrl::StrictMode);
    return url;
}

DirectoryClient::DirectoryClient(std::optional<QUrl> service, QObject* parent)
    : DirectoryLookup(parent), service_(std::move(service)) {}

void DirectoryClient::fetch(const DirectoryQuery& query,
                            std::function<void(DirectoryAnswer)> done) {
    if (!service_) {
        QTimer::singleShot(0, this, [done = std::move(done)] { done({}); });
        return;
    }
    QNetworkReply* reply = http_.get(
        serviceRequest(directoryRequestUrl(*service_, query), timings().directoryRequest));
    QObject::connect(reply, &QNetworkReply::finished, this, [reply, done = std::move(done)] {
        reply->deleteLater();
        DirectoryAnswer answer;
        const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
        if (!status.isValid()) return done(answer);  // no HTTP answer at all
        if (status.toInt() != 200) {
            answer.outcome = DirectoryAnswer::Outcome::badStatus;
            return done(answer);
        }
        const QByteArray body = reply->read(kMaxPageBytes + 1);
        if (reply->error() != QNetworkReply::NoError || body.size() > kMaxPageBytes) {
            return done(answer);
        }
        auto page = wire::decodeDirectoryPage(
            std::string_view(body.constData(), static_cast<std::size_t>(body.size())));
        if (!page) return done(answer);
        // A listed name must not pose as another number or hide one.
        for (DirectoryEntry& entry : page->people) entry.name = cleanName(entry.name);
        answer.outcome = DirectoryAnswer::Outcome::page;
        answer.page = std::move(*page);
        done(std::move(answer));
    });
}

}  // namespace merrowfax
