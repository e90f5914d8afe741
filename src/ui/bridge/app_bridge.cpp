#include "ui/bridge/app_bridge.h"

#include <QBuffer>
#include <QClipboard>
#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QImage>

#include "app/voice_notes.h"
#include "base/privacy_text.h"
#include "model/text_limits.h"
#include "numbers/country.h"
#include "numbers/places.h"
#include "ui/bridge/icons.h"
#include "ui/bridge/text_rules.h"

namespace merrowfax::ui {
namespace {

std::string std8(const QString& s) {
    return s.toStdString();
}

QString qt(const std::string& s) {
    return QString::fromStdString(s);
}

std::optional<Uuid> idOf(const QString& text) {
    return Uuid::parse(text.toStdString());
}

// Reads a picked file whole; nothing when it cannot be read or is larger than
// any attachment may be.
std::optional<QByteArray> readPicked(const QUrl& file) {
    QFile in(file.toLocalFile());
    if (!in.open(QIODevice::ReadOnly)) return std::nullopt;
    if (in.size() > static_cast<qint64>(kAttachmentLimit)) {
        // The model says so; its check needs only the size.
        return QByteArray(static_cast<qsizetype>(kAttachmentLimit) + 1, '\0');
    }
    QByteArray bytes = in.readAll();
    if (in.error() != QFileDevice::NoError) return std::nullopt;
    return bytes;
}

std::span<const std::byte> bytesOf(const QByteArray& bytes) {
    return {reinterpret_cast<const std::byte*>(bytes.constData()),
            static_cast<std::size_t>(bytes.size())};
}

}  // namespace

AppBridge::AppBridge(AppModel& model, QObject* parent)
    : QObject(parent), model_(model), call_(new CurrentCall(model, this)) {
    connect(&model_, &AppModel::accountChanged, this, &AppBridge::accountChanged);
    connect(&model_, &AppModel::restoringChanged, this, &AppBridge::restoringChanged);
    connect(&model_, &AppModel::hasPinChanged, this, &AppBridge::hasPinChanged);
    connect(&model_, &AppModel::alertMessageChanged, this, &AppBridge::alertMessageChanged);
    connect(&model_, &AppModel::onNetworkCountChanged, this, &AppBridge::onlineChanged);
    connect(&model_, &AppModel::onlineChanged, this, &AppBridge::onlineChanged);
    connect(&model_, &AppModel::contactsChanged, this, [this] {
        ++contactsRevision_;
        Q_EMIT contactsChanged();
    });
    CallMedia& media = model_.calls().media();
    connect(&media, &CallMedia::mutedChanged, this, &AppBridge::mediaChanged);
    connect(&media, &CallMedia::speakerOnChanged, this, &AppBridge::mediaChanged);
    connect(&media, &CallMedia::videoOnChanged, this, &AppBridge::mediaChanged);
    const WalkieController& controller = model_.walkie();
    for (auto changed : {&WalkieController::holdingTalkChanged,
                         &WalkieController::talkTargetChanged, &WalkieController::partnerChanged}) {
        connect(&controller, changed, this, &AppBridge::walkieChanged);
    }
    const WalkieTalk& walkie = model_.walkie().engine();
    for (auto changed : {&WalkieTalk::statusChanged, &WalkieTalk::transmittingChanged,
                         &WalkieTalk::hearingChanged}) {
        connect(&walkie, changed, this, &AppBridge::walkieChanged);
    }
    connect(&controller, &WalkieController::lockScreenTalkChanged, this,
            &AppBridge::lockScreenTalkChanged);
    connect(&controller, &WalkieController::contactsOnlyChanged, this,
            &AppBridge::walkieContactsOnlyChanged);
    connect(&model_.voice(), &VoiceNotes::recordingChanged, this, &AppBridge::recordingChanged);
}

QString AppBridge::accountName() const {
    return model_.account() ? qt(model_.account()->displayName) : QString();
}

QString AppBridge::accountNumber() const {
    return model_.account() ? qt(model_.account()->number.text()) : QString();
}

QString AppBridge::accountPlace() const {
    return model_.account() ? qt(placeLineOf(model_.account()->number.text())) : QString();
}

bool AppBridge::business() const {
    return model_.account() && model_.account()->accountKind == "business";
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
    return qt(model_.displayName(std8(number)));
}

bool AppBridge::isOnline(const QString& number) const {
    return model_.online().contains(std8(number));
}

void AppBridge::copyText(const QString& text) const {
    if (auto* clipboard = QGuiApplication::clipboard()) clipboard->setText(text);
}

QVariantList AppBridge::countries(const QString& query) const {
    QVariantList list;
    for (const PlaceRow& row : merrowfax::countryRows(std8(query))) {
        list.append(QVariantMap{{QStringLiteral("code"), qt(row.id)},
                                {QStringLiteral("name"), qt(row.title)}});
    }
    return list;
}

QVariantList AppBridge::cities(const QString& country, const QString& query) const {
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

QString AppBridge::countryName(const QString& country) const {
    return qt(Country{std8(country)}.displayName());
}

QString AppBridge::offerNumber(const QString& country, int cityCode) {
    const auto place = city(std8(country), cityCode);
    if (!place) return {};
    offered_ = VirtualNumber::issue(*place);
    return qt(offered_->text());
}

void AppBridge::claimOffered(const QString& name, bool business, const QString& pin,
                             const QString& pinAgain) {
    if (!offered_) return;
    model_.claimNewNumber(std8(name), business, *offered_, std8(pin), std8(pinAgain));
}

QString AppBridge::reclaimNumber(const QString& name, const QString& number, const QString& pin) {
    return qt(model_.reclaimNumber(std8(name), std8(number), std8(pin)));
}

void AppBridge::sendText(const QString& text, const QString& number) {
    model_.sendText(std8(text), std8(number));
}

void AppBridge::sendPhoto(const QUrl& file, const QString& number) {
    // Whatever was picked goes out as a JPEG at quality 0.7; a picture that
    // does not load is dropped without a word.
    QImage image;
    if (!image.load(file.toLocalFile())) return;
    QByteArray jpeg;
    QBuffer buffer(&jpeg);
    buffer.open(QIODevice::WriteOnly);
    if (!image.save(&buffer, "JPEG", 70)) return;
    model_.sendAttachment(bytesOf(jpeg), "image", "photo.jpg", std8(number));
}

bool AppBridge::recording() const {
    return model_.voice().recording();
}

QString AppBridge::recordingFor() const {
    return qt(model_.voice().recordingFor());
}

void AppBridge::toggleVoice(const QString& number) {
    VoiceNotes& voice = model_.voice();
    const std::string chat = std8(number);
    if (voice.recordingFor() == chat) {
        voice.stop();
    } else {
        voice.start(chat);
    }
}

void AppBridge::leaveChat(const QString& number) {
    model_.voice().leaveChat(std8(number));
}

void AppBridge::sendFile(const QUrl& file, const QString& number) {
    auto bytes = readPicked(file);
    if (!bytes) return;
    const QString name = QFileInfo(file.toLocalFile()).fileName();
    model_.sendAttachment(bytesOf(*bytes), std8(fileKindFor(name)), std8(name), std8(number));
}

void AppBridge::deleteForMe(const QString& id, const QString& number) {
    if (auto uuid = idOf(id)) model_.deleteMessageForMe(*uuid, std8(number));
}

void AppBridge::playWalkieMessage(const QString& id, const QString& number) {
    if (auto uuid = idOf(id)) model_.playWalkieMessage(*uuid, std8(number));
}

QString AppBridge::talkTarget() const {
    return QString::fromStdString(model_.walkie().talkTarget().value_or(std::string()));
}

QString AppBridge::walkiePartner() const {
    return QString::fromStdString(model_.walkie().partner().value_or(std::string()));
}

void AppBridge::pressTalk(const QString& number) {
    // A press already under way to this number (a repeated key) stays as it is.
    if (model_.walkie().holdingTalk() && model_.walkie().talkTarget() == std8(number)) return;
    model_.walkie().holdTalk(std8(number));
}

void AppBridge::releaseTalk(const QString& number) {
    WalkieController& walkie = model_.walkie();
    if (walkie.talkTarget() == std8(number) || walkie.holdingTalk()) walkie.endTalk(std8(number));
}

void AppBridge::pressWalkieBar() {
    if (model_.walkie().holdingTalk()) return;
    if (const auto& partner = model_.walkie().partner()) {
        model_.walkie().holdTalk(*partner);
    } else {
        model_.setAlert("Open a contact and hold Walkie to talk to that person.");
    }
}

void AppBridge::releaseWalkieBar() {
    if (const auto& target = model_.walkie().talkTarget()) model_.walkie().endTalk(*target);
}

void AppBridge::deleteForEveryone(const QString& id, const QString& number) {
    if (auto uuid = idOf(id)) model_.deleteMessageForEveryone(*uuid, std8(number));
}

void AppBridge::clearChat(const QString& number) {
    model_.clearChat(std8(number));
}

bool AppBridge::hasContact(const QString& number) const {
    const std::string wanted = std8(number);
    for (const Contact& c : model_.contacts()) {
        if (c.number == wanted) return true;
    }
    return false;
}

bool AppBridge::isBlocked(const QString& number) const {
    return model_.isBlocked(std8(number));
}

void AppBridge::toggleBlocked(const QString& number) {
    const std::string wanted = std8(number);
    model_.blockNumber(wanted, !model_.isBlocked(wanted));
}

void AppBridge::setNumberBlocked(const QString& number, bool blocked) {
    model_.blockNumber(std8(number), blocked);
}

void AppBridge::deleteContact(const QString& number) {
    const std::string wanted = std8(number);
    for (const Contact& c : model_.contacts()) {
        if (c.number == wanted) {
            model_.deleteContact(c.id);
            model_.save();
            return;
        }
    }
}

QString AppBridge::expiryText(double expiresAt) const {
    return ui::expiryText(expiresAt - now());
}

bool AppBridge::addContact(const QString& name, const QString& number) {
    model_.dismissAlert();
    model_.addContact(std8(name), std8(number));
    return !model_.alertMessage();
}

bool AppBridge::updateContact(const QString& id, const QString& name, const QString& number) {
    const auto uuid = idOf(id);
    if (!uuid) return false;
    model_.dismissAlert();
    model_.updateContact(*uuid, std8(name), std8(number));
    return !model_.alertMessage();
}

void AppBridge::deleteContactById(const QString& id) {
    if (auto uuid = idOf(id)) {
        model_.deleteContact(*uuid);
        model_.save();
    }
}

QVariantMap AppBridge::contactInfo(const QString& id) const {
    const std::string wanted = std8(id);
    for (const Contact& c : model_.contacts()) {
        if (c.id.text() != wanted) continue;
        return {{QStringLiteral("name"), qt(c.name)},
                {QStringLiteral("number"), qt(c.number)},
                {QStringLiteral("detail"), numberWithPlace(c.number)},
                {QStringLiteral("blocked"), c.blocked}};
    }
    return {};
}

void AppBridge::setBlocked(const QString& id, bool blocked) {
    if (auto uuid = idOf(id)) model_.setBlocked(*uuid, blocked);
}

QVariantList AppBridge::countryRows(const QString& query) const {
    QVariantList list;
    for (const PlaceRow& row : merrowfax::countryRows(std8(query))) {
        list.append(QVariantMap{{QStringLiteral("id"), qt(row.id)},
                                {QStringLiteral("title"), qt(row.title)},
                                {QStringLiteral("detail"), qt(row.detail)}});
    }
    return list;
}

QVariantList AppBridge::cityRows(const QString& country, const QString& query) const {
    QVariantList list;
    for (const PlaceRow& row : merrowfax::cityRows(std8(country), std8(query))) {
        list.append(QVariantMap{{QStringLiteral("id"), qt(row.id)},
                                {QStringLiteral("title"), qt(row.title)},
                                {QStringLiteral("detail"), qt(row.detail)}});
    }
    return list;
}

QString AppBridge::durationSince(double startedAtMs, double nowMs) const {
    return durationText((nowMs - startedAtMs) / 1000.0);
}

void AppBridge::startCall(const QString& number, bool video) {
    model_.calls().startCall(std8(number), video);
}

void AppBridge::claimNumber(const QString& name, const QString& number, const QString& pin) {
    model_.claimNumber(std8(name), std8(number), std8(pin));
}

bool AppBridge::submitPin(const QString& current, const QString& newPin,
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
    if (model_.hasPin()) {
        model_.changePIN(std8(current), std8(pin));
    } else {
        model_.setPIN(std8(pin));
    }
    return true;
}

void AppBridge::saveProfile(const QString& name, bool business) {
    model_.saveProfile(std8(name), business);
}

}  // namespace merrowfax::ui
