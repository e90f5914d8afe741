#pragma once

#include <QtQml/qqmlregistration.h>
#include <QObject>
#include <QString>

namespace merrowfax::ui {

// The calls tab's keypad: a country, a city and up to seven local digits,
// and the complete number they make.
class Keypad : public QObject {
    Q_OBJECT
    QML_ELEMENT
    Q_PROPERTY(QString country READ country WRITE setCountry NOTIFY changed)
    Q_PROPERTY(int cityCode READ cityCode WRITE setCityCode NOTIFY changed)
    Q_PROPERTY(QString digits READ digits NOTIFY changed)
    Q_PROPERTY(QString numberLine READ numberLine NOTIFY changed)
    Q_PROPERTY(QString placeLine READ placeLine NOTIFY changed)
    Q_PROPERTY(QString completeNumber READ completeNumber NOTIFY changed)

public:
    using QObject::QObject;

    const QString& country() const { return country_; }
    // A new country keeps the city when it has that code, else takes its
    // first city.
    void setCountry(const QString& code);
    int cityCode() const { return cityCode_; }
    void setCityCode(int code);
    const QString& digits() const { return digits_; }
    QString numberLine() const;
    QString placeLine() const;
    // The number's text when the seven digits (at least 1) and the city make
    // one; else empty.
    QString completeNumber() const;

    // "0" to "9" append while fewer than seven digits; "⌫" removes one.
    Q_INVOKABLE void press(const QString& key);

Q_SIGNALS:
    void changed();

private:
    QString country_ = QStringLiteral("0");
    int cityCode_ = 1;
    QString digits_;
};

}  // namespace merrowfax::ui
