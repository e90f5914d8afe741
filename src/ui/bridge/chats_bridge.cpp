#include "ui/bridge/chats_bridge.h"

#include <QBuffer>
#include <QFile>
#include <QFileInfo>
#include <QImage>

#include "model/text_limits.h"
#include "ui/bridge/bridge_text.h"
#include "ui/bridge/text_rules.h"

namespace merrowfax::ui {
namespace {

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

ChatsBridge::ChatsBridge(AppModel& model, QObject* parent) : QObject(parent), model_(model) {
    connect(&model_.voice(), &VoiceNotes::recordingChanged, this, &ChatsBridge::recordingChanged);
    connect(&model_.messaging(), &Messaging::unreadChanged, this, &ChatsBridge::unreadCountChanged);
    connect(&model_, &AppModel::keepInTrayChanged, this, &ChatsBridge::keepInTrayChanged);
}

void ChatsBridge::viewChat(const QString& number, bool seen) {
    model_.messaging().viewChat(number.toStdString(), seen);
}

QString ChatsBridge::recordingFor() const {
    return qt(model_.voice().recordingFor());
}

void ChatsBridge::sendText(const QString& text, const QString& number) {
    model_.messaging().sendText(std8(text), std8(number));
}

void ChatsBridge::sendPhoto(const QUrl& file, const QString& number) {
    // Whatever was picked goes out as a JPEG at quality 0.7; a picture that
    // does not load is dropped without a word.
    QImage image;
    if (!image.load(file.toLocalFile())) return;
    QByteArray jpeg;
    QBuffer buffer(&jpeg);
    buffer.open(QIODevice::WriteOnly);
    if (!image.save(&buffer, "JPEG", 70)) return;
    model_.messaging().sendAttachment(bytesOf(jpeg), "image", "photo.jpg", std8(number));
}

void ChatsBridge::sendFile(const QUrl& file, const QString& number) {
    auto bytes = readPicked(file);
    if (!bytes) return;
    const QString name = QFileInfo(file.toLocalFile()).fileName();
    model_.messaging().sendAttachment(bytesOf(*bytes), std8(fileKindFor(name)), std8(name),
                                      std8(number));
}

void ChatsBridge::deleteForMe(const QString& id, const QString& number) {
    if (auto uuid = idOf(id)) model_.messaging().deleteMessageForMe(*uuid, std8(number));
}

void ChatsBridge::deleteForEveryone(const QString& id, const QString& number) {
    if (auto uuid = idOf(id)) model_.messaging().deleteMessageForEveryone(*uuid, std8(number));
}

void ChatsBridge::clearChat(const QString& number) {
    model_.messaging().clearChat(std8(number));
}

void ChatsBridge::playWalkieMessage(const QString& id, const QString& number) {
    if (auto uuid = idOf(id)) model_.playWalkieMessage(*uuid, std8(number));
}

void ChatsBridge::toggleVoice(const QString& number) {
    VoiceNotes& voice = model_.voice();
    const std::string chat = std8(number);
    if (voice.recordingFor() == chat) {
        voice.stop();
    } else {
        voice.start(chat);
    }
}

void ChatsBridge::leaveChat(const QString& number) {
    model_.voice().leaveChat(std8(number));
}

}  // namespace merrowfax::ui
