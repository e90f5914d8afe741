#include "ui/bridge/account_bridge.h"

#include "numbers/country.h"
#include "numbers/places.h"
#include "ui/bridge/bridge_text.h"
#include "ui/bridge/text_rules.h"

namespace merrowfax::ui {

AccountBridge::AccountBridge(AppModel& model, QObject* parent) : QObject(parent), model_(model) {
    connect(&model_, &AppModel::accountChanged, this, &AccountBridge::accountChanged);
    connect(&model_, &AppModel::restoringChanged, this, &AccountBridge::restoringChanged);
    connect(&model_.accounts(), &AccountController::hasPinChanged, this,
            &AccountBridge::hasPinChanged);
}

QString AccountBridge::accountName() const {
    return model_.account() ? qt(model_.account()->displayName) : QString();
}

QString AccountBridge::accountNumber() const {
    return model_.account() ? qt(model_.account()->number.text()) : QString();
}

QString AccountBridge::accountPlace() const {
    return model_.account() ? qt(placeLineOf(model_.account()->number.text())) : QString();
}

bool AccountBridge::business() const {
    return model_.account() && model_.account()->accountKind == "business";
}

QString AccountBridge::contactLink() const {
    return qt(model_.people().contactLink());
}

QVariantList AccountBridge::countries(const QString& query) const {
    QVariantList list;
    for (const PlaceRow& row : merrowfax::countryRows(std8(query))) {
        list.append(QVariantMap{{QStringLiteral("code"), qt(row.id)},
                                {QStringLiteral("name"), qt(row.title)}});
    }
    return list;
}

QVariantList AccountBridge::cities(const QString& country, const QString& query) const {
    QVariantList list;
    const std::string code = std8(country);
    for (const PlaceRow& row : merrowfax::cityRows(code, std8(query))) {
        const auto place = city(code, std::stoll(row.id));
        list.append(QVariantMap{{QStringLiteral("code"), std::stoi(row.id)},
                                {QStringLiteral("name"), qt(row.title)},
                                {QStringLiteral("region"), place ? qt(place->region) : QString()}});
    }
    return list;
}

QString AccountBridge::countryName(const QString& country) const {
    return qt(Country{std8(country)}.displayName());
}

QString AccountBridge::offerNumber(const QString& country, int cityCode) {
    const auto place = city(std8(country), cityCode);
    if (!place) return {};
    offered_ = VirtualNumber::issue(*place);
    return qt(offered_->text());
}

void AccountBridge::claimOffered(const QString& name, bool business, const QString& pin,
                                 const QString& pinAgain) {
    if (!offered_) return;
    model_.accounts().claimNewNumber(std8(name), business, *offered_, std8(pin), std8(pinAgain));
}

QString AccountBridge::reclaimNumber(const QString& name, const QString& number,
                                     const QString& pin) {
    return qt(model_.accounts().reclaimNumber(std8(name), std8(number), std8(pin)));
}

void AccountBridge::claimNumber(const QString& name, const QString& number, const QString& pin) {
    model_.accounts().claimNumber(std8(name), std8(number), std8(pin));
}

bool AccountBridge::submitPin(const QString& current, const QString& newPin,
                              const QString& newPinAgain) {
    auto digits = [](const QString& text) {
        QString d;
        for (QChar c : text) {
            if (c >= QLatin1Char('0') && c <= QLatin1Char('9')) d.append(c);
        }
        return d;
    };
    const QString pin = digits(newPin);
    if (pin.size() != 4) {
        model_.setAlert("Use a 4-digit PIN.");
        return false;
    }
    if (pin != digits(newPinAgain)) {
        model_.setAlert("The two PINs do not match.");
        return false;
    }
    if (model_.accounts().hasPin()) {
        model_.accounts().changePIN(std8(current), std8(pin));
    } else {
        model_.accounts().setPIN(std8(pin));
    }
    return true;
}

void AccountBridge::saveProfile(const QString& name, bool business) {
    model_.accounts().saveProfile(std8(name), business);
}

}  // namespace merrowfax::ui
