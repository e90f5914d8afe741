#pragma once

#include <QObject>
#include <QString>
#include <QUrl>

#include "app/app_model.h"

namespace merrowfax::ui {

// The chats and the conversation: sending, deleting, playing, and the voice
// message of the chat on screen.
class ChatsBridge : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool recording READ recording NOTIFY recordingChanged)
    Q_PROPERTY(QString recordingFor READ recordingFor NOTIFY recordingChanged)
    Q_PROPERTY(int unreadCount READ unreadCount NOTIFY unreadCountChanged)
    Q_PROPERTY(bool keepInTray READ keepInTray WRITE setKeepInTray NOTIFY keepInTrayChanged)

public:
    explicit ChatsBridge(AppModel& model, QObject* parent = nullptr);

    bool recording() const { return model_.voice().recording(); }
    // The chat whose voice message records; empty when none.
    QString recordingFor() const;
    int unreadCount() const { return model_.messaging().unreadCount(); }
    bool keepInTray() const { return model_.keepInTray(); }
    void setKeepInTray(bool keep) { model_.setKeepInTray(keep); }

    Q_INVOKABLE void sendText(const QString& text, const QString& number);
    Q_INVOKABLE void sendPhoto(const QUrl& file, const QString& number);
    Q_INVOKABLE void sendFile(const QUrl& file, const QString& number);
    Q_INVOKABLE void deleteForMe(const QString& id, const QString& number);
    Q_INVOKABLE void deleteForEveryone(const QString& id, const QString& number);
    Q_INVOKABLE void clearChat(const QString& number);
    // Plays a voice message or a kept walkie exchange on the speaker.
    Q_INVOKABLE void playWalkieMessage(const QString& id, const QString& number);
    // The microphone button of the chat with `number`: ends that chat's
    // voice message, or starts one there (a recording of another chat is
    // sent first).
    Q_INVOKABLE void toggleVoice(const QString& number);
    // The chat with `number` is no longer shown: its voice message is sent.
    Q_INVOKABLE void leaveChat(const QString& number);
    // The chat with `number` is in view in the active window (`seen`), or
    // no longer is: what it shows counts as read.
    Q_INVOKABLE void viewChat(const QString& number, bool seen);

Q_SIGNALS:
    void recordingChanged();
    void unreadCountChanged();
    void keepInTrayChanged();

private:
    AppModel& model_;
};

}  // namespace merrowfax::ui
