#include "ui/bridge/app_bridge.h"

#include <QClipboard>
#include <QCoreApplication>
#include <QGuiApplication>

#include "base/privacy_text.h"
#include "ui/bridge/bridge_text.h"
#include "ui/bridge/icons.h"
#include "ui/bridge/text_rules.h"

namespace merrowfax::ui {

AppBridge::AppBridge(AppModel& model, QObject* parent)
    : QObject(parent),
      model_(model),
      account_(new AccountBridge(model, this)),
      chats_(new ChatsBridge(model, this)),
      people_(new PeopleBridge(model, this)),
      calls_(new CallsBridge(model, this)),
      linking_(new LinkBridge(model, this)),
      desk_(new CurrentDesk(model, this)) {
    connect(&model_, &AppModel::alertMessageChanged, this, &AppBridge::alertMessageChanged);
    connect(&model_, &AppModel::onNetworkCountChanged, this, &AppBridge::onlineChanged);
    connect(&model_, &AppModel::onlineChanged, this, &AppBridge::onlineChanged);
}

QString AppBridge::alertMessage() const {
    return qt(model_.alertMessage().value_or(std::string()));
}

QString AppBridge::onlineStatus() const {
    return ui::onlineStatus(model_.onNetworkCount());
}

QString AppBridge::version() const {
    const QString v = QCoreApplication::applicationVersion();
    return v.isEmpty() ? QStringLiteral("1.0") : v;
}

QString AppBridge::privacyAddress() const {
    return model_.services().privacy.toString();
}

QVariantMap AppBridge::privacyText() const {
    auto text = [](std::string_view s) {
        return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size()));
    };
    QVariantList sections;
    for (const auto& section : privacy::sections())
        sections.append(QVariant(QVariantList{text(section.heading), text(section.text)}));
    return {{QStringLiteral("title"), text(privacy::kTitle)},
            {QStringLiteral("date"), text(privacy::kDate)},
            {QStringLiteral("opening"), text(privacy::kOpening)},
            {QStringLiteral("sections"), sections}};
}

QString AppBridge::icon(const QString& symbol) const {
    return themeIcon(symbol);
}

QString AppBridge::displayName(const QString& number) const {
    return qt(model_.people().displayName(std8(number)));
}

bool AppBridge::isOnline(const QString& number) const {
    return model_.online().contains(std8(number));
}

void AppBridge::copyText(const QString& text) const {
    if (auto* clipboard = QGuiApplication::clipboard()) clipboard->setText(text);
}

QString AppBridge::expiryText(double expiresAt) const {
    return ui::expiryText(expiresAt - now());
}

QString AppBridge::durationSince(double startedAtMs, double nowMs) const {
    return durationText((nowMs - startedAtMs) / 1000.0);
}

}  // namespace merrowfax::ui
