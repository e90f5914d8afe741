#pragma once

#include <QObject>
#include <QString>
#include <QVariantList>
#include <QVariantMap>

#include "app/app_model.h"

namespace merrowfax::ui {

// Contacts and the directory: adding, editing, blocking, and the place
// sheet's rows. Adding and editing answer whether the model took it (else
// its alert says why and the sheet stays open).
class PeopleBridge : public QObject {
    Q_OBJECT
    // Counts contact list changes, for bindings that read a contact.
    Q_PROPERTY(int contactsRevision READ contactsRevision NOTIFY contactsChanged)

public:
    explicit PeopleBridge(AppModel& model, QObject* parent = nullptr);

    int contactsRevision() const { return contactsRevision_; }

    Q_INVOKABLE bool hasContact(const QString& number) const;
    // A contact link's {name, number}; for a link without a Merrowfax number,
    // an alert and an empty map.
    Q_INVOKABLE QVariantMap readContactLink(const QString& link);
    Q_INVOKABLE bool isBlocked(const QString& number) const;
    Q_INVOKABLE void toggleBlocked(const QString& number);
    // A number without a contact becomes a blocked contact.
    Q_INVOKABLE void setNumberBlocked(const QString& number, bool blocked);
    Q_INVOKABLE void deleteContact(const QString& number);
    Q_INVOKABLE bool addContact(const QString& name, const QString& number);
    Q_INVOKABLE bool updateContact(const QString& id, const QString& name, const QString& number);
    Q_INVOKABLE void deleteContactById(const QString& id);
    // {name, number, detail (number and place), blocked}; empty when gone.
    Q_INVOKABLE QVariantMap contactInfo(const QString& id) const;
    Q_INVOKABLE void setBlocked(const QString& id, bool blocked);
    // Rows of the place sheet: {id, title, detail}.
    Q_INVOKABLE QVariantList countryRows(const QString& query) const;
    Q_INVOKABLE QVariantList cityRows(const QString& country, const QString& query) const;

Q_SIGNALS:
    void contactsChanged();

private:
    const Contact* contactWithNumber(const QString& number) const;

    AppModel& model_;
    int contactsRevision_ = 0;
};

}  // namespace merrowfax::ui
