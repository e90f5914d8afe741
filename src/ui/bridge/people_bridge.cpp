#include "ui/bridge/people_bridge.h"

#include "numbers/places.h"
#include "numbers/virtual_number.h"
#include "ui/bridge/bridge_text.h"
#include "ui/bridge/text_rules.h"
#include "wire/contact_link.h"

namespace merrowfax::ui {
namespace {

QVariantList placeRows(const std::vector<PlaceRow>& rows) {
    QVariantList list;
    for (const PlaceRow& row : rows) {
        list.append(QVariantMap{{QStringLiteral("id"), qt(row.id)},
                                {QStringLiteral("title"), qt(row.title)},
                                {QStringLiteral("detail"), qt(row.detail)}});
    }
    return list;
}

}  // namespace

PeopleBridge::PeopleBridge(AppModel& model, QObject* parent) : QObject(parent), model_(model) {
    connect(&model_.people(), &People::contactsChanged, this, [this] {
        ++contactsRevision_;
        Q_EMIT contactsChanged();
    });
}

const Contact* PeopleBridge::contactWithNumber(const QString& number) const {
    const std::string wanted = std8(number);
    for (const Contact& c : model_.people().contacts()) {
        if (c.number == wanted) return &c;
    }
    return nullptr;
}

bool PeopleBridge::hasContact(const QString& number) const {
    return contactWithNumber(number) != nullptr;
}

bool PeopleBridge::isBlocked(const QString& number) const {
    return model_.people().isBlocked(std8(number));
}

void PeopleBridge::toggleBlocked(const QString& number) {
    const std::string wanted = std8(number);
    model_.people().blockNumber(wanted, !model_.people().isBlocked(wanted));
}

void PeopleBridge::setNumberBlocked(const QString& number, bool blocked) {
    model_.people().blockNumber(std8(number), blocked);
}

void PeopleBridge::deleteContact(const QString& number) {
    if (const Contact* c = contactWithNumber(number)) {
        model_.people().deleteContact(c->id);
        model_.save();
    }
}

bool PeopleBridge::addContact(const QString& name, const QString& number) {
    model_.dismissAlert();
    model_.people().addContact(std8(name), std8(number));
    return !model_.alertMessage();
}

bool PeopleBridge::updateContact(const QString& id, const QString& name, const QString& number) {
    const auto uuid = idOf(id);
    if (!uuid) return false;
    model_.dismissAlert();
    model_.people().updateContact(*uuid, std8(name), std8(number));
    return !model_.alertMessage();
}

void PeopleBridge::deleteContactById(const QString& id) {
    if (auto uuid = idOf(id)) {
        model_.people().deleteContact(*uuid);
        model_.save();
    }
}

QVariantMap PeopleBridge::contactInfo(const QString& id) const {
    const std::string wanted = std8(id);
    for (const Contact& c : model_.people().contacts()) {
        if (c.id.text() != wanted) continue;
        return {{QStringLiteral("name"), qt(c.name)},
                {QStringLiteral("number"), qt(c.number)},
                {QStringLiteral("detail"), numberWithPlace(c.number)},
                {QStringLiteral("blocked"), c.blocked}};
    }
    return {};
}

void PeopleBridge::setBlocked(const QString& id, bool blocked) {
    if (auto uuid = idOf(id)) model_.people().setBlocked(*uuid, blocked);
}

QVariantList PeopleBridge::countryRows(const QString& query) const {
    return placeRows(merrowfax::countryRows(std8(query)));
}

QVariantList PeopleBridge::cityRows(const QString& country, const QString& query) const {
    return placeRows(merrowfax::cityRows(std8(country), std8(query)));
}

QVariantMap PeopleBridge::readContactLink(const QString& link) {
    const auto read = wire::parseContactLink(std8(link));
    const auto number = read ? VirtualNumber::parse(read->number) : std::nullopt;
    if (!number) {
        model_.setAlert("That number is not a Merrowfax number.");
        return {};
    }
    return {{QStringLiteral("name"), qt(read->name)},
            {QStringLiteral("number"), qt(number->text())}};
}

}  // namespace merrowfax::ui
