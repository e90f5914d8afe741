#include "ui/bridge/link_bridge.h"

#include <cmath>

#include "base/date.h"
#include "transport/service_address.h"
#include "ui/bridge/bridge_text.h"

namespace merrowfax::ui {

LinkBridge::LinkBridge(AppModel& model, QObject* parent) : QObject(parent), model_(model) {
    LinkController& linking = model_.linking();
    connect(&linking, &LinkController::linkStatusChanged, this, &LinkBridge::linkStatusChanged);
    connect(&linking, &LinkController::hostedLinkCodeChanged, this,
            &LinkBridge::hostedLinkCodeChanged);
    connect(&model_, &AppModel::accountChanged, this, &LinkBridge::linkedDevicesChanged);
}

QString LinkBridge::linkStatus() const {
    return qt(model_.linking().linkStatus());
}

QString LinkBridge::hostedLinkCode() const {
    return qt(model_.linking().hostedLinkCode().value_or(std::string()));
}

QString LinkBridge::thisDevice() const {
    return qt(model_.linking().companionName());
}

QVariantList LinkBridge::linkedDevices() const {
    QVariantList rows;
    if (!model_.account()) return rows;
    const double at = now();
    for (const LinkedDevice& device : model_.account()->linkedDevices) {
        rows.append(QVariantMap{{QStringLiteral("id"), qt(device.id.text())},
                                {QStringLiteral("name"), qt(device.name)},
                                {QStringLiteral("kind"), qt(device.kind)},
                                {QStringLiteral("seen"), seenText(device.lastSeen, at)}});
    }
    return rows;
}

QString LinkBridge::webAddress() const {
    const auto& service = model_.services().service;
    return service ? webUrl(*service).toString() : QString();
}

QString LinkBridge::seenText(double then, double now) {
    const double seconds = std::max(0.0, now - then);
    auto ago = [](long long n, const char* one, const char* many) {
        return QStringLiteral("Seen %1 %2 ago")
            .arg(n)
            .arg(QString::fromLatin1(n == 1 ? one : many));
    };
    if (seconds < 60) return QStringLiteral("Seen just now");
    if (seconds < 3600) return ago(std::llround(std::floor(seconds / 60)), "minute", "minutes");
    if (seconds < 86400) return ago(std::llround(std::floor(seconds / 3600)), "hour", "hours");
    return ago(std::llround(std::floor(seconds / 86400)), "day", "days");
}

void LinkBridge::seekLinkCode(const QString& typed) {
    model_.linking().seekLinkCode(std8(typed));
}

void LinkBridge::hostLinkCode() {
    model_.linking().hostLinkCode();
}

void LinkBridge::stopHosting() {
    model_.linking().stopHosting();
}

void LinkBridge::unlinkDevice(const QString& id) {
    model_.linking().unlinkDevice(std8(id));
}

}  // namespace merrowfax::ui
