#pragma once

#include <QObject>
#include <QString>
#include <QVariantList>

#include <optional>

#include "app/app_model.h"

namespace merrowfax::ui {

// Onboarding and settings: the account, the roads to a number, the PIN and
// the profile.
class AccountBridge : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool hasAccount READ hasAccount NOTIFY accountChanged)
    Q_PROPERTY(QString accountName READ accountName NOTIFY accountChanged)
    Q_PROPERTY(QString accountNumber READ accountNumber NOTIFY accountChanged)
    Q_PROPERTY(QString accountPlace READ accountPlace NOTIFY accountChanged)
    Q_PROPERTY(bool business READ business NOTIFY accountChanged)
    Q_PROPERTY(QString contactLink READ contactLink NOTIFY accountChanged)
    Q_PROPERTY(bool restoring READ restoring NOTIFY restoringChanged)
    Q_PROPERTY(bool hasPin READ hasPin NOTIFY hasPinChanged)

public:
    explicit AccountBridge(AppModel& model, QObject* parent = nullptr);

    bool hasAccount() const { return model_.account().has_value(); }
    QString accountName() const;
    QString accountNumber() const;
    QString accountPlace() const;
    bool business() const;
    QString contactLink() const;
    bool restoring() const { return model_.restoring(); }
    bool hasPin() const { return model_.accounts().hasPin(); }

    // Onboarding: {code, name} and {code, name, region} rows.
    Q_INVOKABLE QVariantList countries(const QString& query) const;
    Q_INVOKABLE QVariantList cities(const QString& country, const QString& query) const;
    Q_INVOKABLE QString countryName(const QString& country) const;
    // Draws a number in that city; the next claim takes it.
    Q_INVOKABLE QString offerNumber(const QString& country, int city);
    Q_INVOKABLE void claimOffered(const QString& name, bool business, const QString& pin,
                                  const QString& pinAgain);
    // The reclaim form's own note, or an empty text.
    Q_INVOKABLE QString reclaimNumber(const QString& name, const QString& number,
                                      const QString& pin);

    // Settings. The PIN button checks the two new PINs; true when it asked
    // the service (the form then clears its fields).
    Q_INVOKABLE void claimNumber(const QString& name, const QString& number, const QString& pin);
    Q_INVOKABLE bool submitPin(const QString& current, const QString& newPin,
                               const QString& newPinAgain);
    Q_INVOKABLE void saveProfile(const QString& name, bool business);
    Q_INVOKABLE void resetDevice() { model_.resetDevice(); }

Q_SIGNALS:
    void accountChanged();
    void restoringChanged();
    void hasPinChanged();

private:
    AppModel& model_;
    std::optional<VirtualNumber> offered_;
};

}  // namespace merrowfax::ui
