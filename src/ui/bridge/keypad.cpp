#include "ui/bridge/keypad.h"

#include "numbers/country.h"
#include "numbers/virtual_number.h"

namespace merrowfax::ui {

void Keypad::setCountry(const QString& code) {
    if (!isCountryCode(code.toStdString()) || code == country_) return;
    country_ = code;
    cityCode_ = static_cast<int>(cityCodeKeptValid(code.toStdString(), cityCode_));
    Q_EMIT changed();
}

void Keypad::setCityCode(int code) {
    if (code == cityCode_) return;
    cityCode_ = code;
    Q_EMIT changed();
}

QString Keypad::numberLine() const {
    return QString::fromStdString(
        keypadText(country_.toStdString(), cityCode_, digits_.toStdString()));
}

QString Keypad::placeLine() const {
    const auto place = city(country_.toStdString(), cityCode_);
    return place ? QString::fromStdString(merrowfax::placeLine(*place)) : QString();
}

QString Keypad::completeNumber() const {
    if (digits_.size() != 7) return {};
    const int subscriber = digits_.toInt();
    if (subscriber < 1 || !city(country_.toStdString(), cityCode_)) return {};
    VirtualNumber number{Country{country_.toStdString()}, cityCode_, subscriber};
    return QString::fromStdString(number.text());
}

void Keypad::press(const QString& key) {
    if (key == QStringLiteral("⌫")) {
        if (digits_.isEmpty()) return;
        digits_.chop(1);
    } else if (key.size() == 1 && key[0].isDigit() && key[0].unicode() < 128) {
        if (digits_.size() >= 7) return;
        digits_.append(key);
    } else {
        return;
    }
    Q_EMIT changed();
}

}  // namespace merrowfax::ui
