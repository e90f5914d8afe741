#pragma once

#include <QObject>
#include <QString>
#include <QVariantMap>

#include "app/app_model.h"
#include "ui/bridge/account_bridge.h"
#include "ui/bridge/calls_bridge.h"
#include "ui/bridge/chats_bridge.h"
#include "ui/bridge/link_bridge.h"
#include "ui/bridge/people_bridge.h"
#include "ui/desk/current_desk.h"

namespace merrowfax::ui {

// What the screens see of the model: what every screen shares (the alert,
// names, presence, icons, texts), and one object per screen group, each
// with its state in QML types and one invokable per user action. The
// screens keep only what is typed and what is shown.
class AppBridge : public QObject {
    Q_OBJECT
    Q_PROPERTY(QObject* model READ modelObject CONSTANT)
    Q_PROPERTY(merrowfax::ui::AccountBridge* account READ account CONSTANT)
    Q_PROPERTY(merrowfax::ui::ChatsBridge* chats READ chats CONSTANT)
    Q_PROPERTY(merrowfax::ui::PeopleBridge* people READ people CONSTANT)
    Q_PROPERTY(merrowfax::ui::CallsBridge* calls READ calls CONSTANT)
    Q_PROPERTY(merrowfax::ui::LinkBridge* linking READ linking CONSTANT)
    Q_PROPERTY(merrowfax::ui::CurrentDesk* desk READ desk CONSTANT)
    Q_PROPERTY(QString alertMessage READ alertMessage NOTIFY alertMessageChanged)
    Q_PROPERTY(QString onlineStatus READ onlineStatus NOTIFY onlineChanged)
    Q_PROPERTY(QString version READ version CONSTANT)
    Q_PROPERTY(QString privacyAddress READ privacyAddress CONSTANT)
    Q_PROPERTY(QVariantMap privacyText READ privacyText CONSTANT)
    Q_PROPERTY(QString deviceLabel READ deviceLabel CONSTANT)

public:
    explicit AppBridge(AppModel& model, QObject* parent = nullptr);

    AppModel* model() const { return &model_; }
    QObject* modelObject() const { return &model_; }
    AccountBridge* account() const { return account_; }
    ChatsBridge* chats() const { return chats_; }
    PeopleBridge* people() const { return people_; }
    CallsBridge* calls() const { return calls_; }
    LinkBridge* linking() const { return linking_; }
    CurrentDesk* desk() const { return desk_; }
    QString alertMessage() const;
    QString onlineStatus() const;
    QString version() const;
    QString privacyAddress() const;
    // {title, date, opening, sections: [[heading, text], ...]}.
    QVariantMap privacyText() const;
    QString deviceLabel() const { return QString::fromStdString(model_.deviceLabel()); }

    Q_INVOKABLE void dismissAlert() { model_.dismissAlert(); }
    Q_INVOKABLE QString icon(const QString& symbol) const;
    Q_INVOKABLE QString displayName(const QString& number) const;
    Q_INVOKABLE bool isOnline(const QString& number) const;
    Q_INVOKABLE void copyText(const QString& text) const;
    Q_INVOKABLE QString expiryText(double expiresAt) const;
    // "1:05" for the seconds since `startedAtMs` (Unix milliseconds).
    Q_INVOKABLE QString durationSince(double startedAtMs, double nowMs) const;

Q_SIGNALS:
    void alertMessageChanged();
    void onlineChanged();

private:
    AppModel& model_;
    // Children.
    AccountBridge* account_;
    ChatsBridge* chats_;
    PeopleBridge* people_;
    CallsBridge* calls_;
    LinkBridge* linking_;
    CurrentDesk* desk_;
};

}  // namespace merrowfax::ui
