#pragma once

#include <QObject>
#include <QString>
#include <QVariantList>

#include "app/app_model.h"

namespace merrowfax::ui {

// Device linking as onboarding and settings show it: the search for a code,
// the code on show, and the devices that share this number.
class LinkBridge : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString linkStatus READ linkStatus NOTIFY linkStatusChanged)
    Q_PROPERTY(QString hostedLinkCode READ hostedLinkCode NOTIFY hostedLinkCodeChanged)
    Q_PROPERTY(QString thisDevice READ thisDevice CONSTANT)
    // {id, name, kind, seen} rows, `seen` as "Seen 5 minutes ago".
    Q_PROPERTY(QVariantList linkedDevices READ linkedDevices NOTIFY linkedDevicesChanged)
    Q_PROPERTY(QString webAddress READ webAddress CONSTANT)

public:
    explicit LinkBridge(AppModel& model, QObject* parent = nullptr);

    QString linkStatus() const;
    QString hostedLinkCode() const;
    QString thisDevice() const;
    QVariantList linkedDevices() const;
    QString webAddress() const;

    Q_INVOKABLE void seekLinkCode(const QString& typed);
    Q_INVOKABLE void hostLinkCode();
    Q_INVOKABLE void stopHosting();
    Q_INVOKABLE void unlinkDevice(const QString& id);

    // "Seen just now", "Seen 3 hours ago" for `then` seconds against `now`.
    static QString seenText(double then, double now);

Q_SIGNALS:
    void linkStatusChanged();
    void hostedLinkCodeChanged();
    void linkedDevicesChanged();

private:
    AppModel& model_;
};

}  // namespace merrowfax::ui
