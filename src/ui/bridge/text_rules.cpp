#include "ui/bridge/text_rules.h"

#include <QDateTime>
#include <QFileInfo>
#include <QLocale>

#include <cmath>

#include "base/date.h"
#include "numbers/virtual_number.h"

namespace merrowfax::ui {

QString expiryText(double secondsLeft) {
    const double whole = std::trunc(secondsLeft);
    if (!(whole >= 1)) return QStringLiteral("Deletes now");
    const auto s = static_cast<long long>(std::min(whole, 1e12));
    if (s < 3600) {
        return QStringLiteral("Deletes in %1:%2").arg(s / 60).arg(s % 60, 2, 10, QLatin1Char('0'));
    }
    return QStringLiteral("Deletes in %1h %2m").arg(s / 3600).arg((s % 3600) / 60);
}

QString fileKindFor(const QString& fileName) {
    static const QStringList kAudio = {
        QStringLiteral("m4a"), QStringLiteral("aac"),  QStringLiteral("mp3"), QStringLiteral("wav"),
        QStringLiteral("caf"), QStringLiteral("aiff"), QStringLiteral("aif")};
    const QString extension = QFileInfo(fileName).suffix().toLower();
    return kAudio.contains(extension) ? QStringLiteral("audio") : QStringLiteral("file");
}

QString durationText(double seconds) {
    const double whole = std::trunc(seconds);
    const auto s = whole >= 1 ? static_cast<long long>(std::min(whole, 1e12)) : 0LL;
    return QStringLiteral("%1:%2").arg(s / 60).arg(s % 60, 2, 10, QLatin1Char('0'));
}

QString shortTime(double at) {
    const auto ms = static_cast<qint64>((at + kReferenceDateUnixSeconds) * 1000.0);
    // The C locale's short format has seconds; a time of day here has none.
    QString format = QLocale().timeFormat(QLocale::ShortFormat);
    format.remove(QStringLiteral(":ss"));
    return QLocale().toString(QDateTime::fromMSecsSinceEpoch(ms).time(), format);
}

QString numberWithPlace(const std::string& number) {
    const std::string place = placeLineOf(number);
    return QString::fromStdString(place.empty() ? number : number + ", " + place);
}

QString onlineStatus(int count) {
    if (count == 0) return QStringLiteral("Internet");
    return QString::number(count) + QStringLiteral(" online");
}

}  // namespace merrowfax::ui
