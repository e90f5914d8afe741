#pragma once

#include <QObject>
#include <QString>
#include <QUrl>
#include <QVariantList>
#include <QVariantMap>

#include <optional>

#include "app/app_model.h"
#include "ui/bridge/current_call.h"

namespace merrowfax::ui {

// What the screens see of the model: its state in QML types, and one
// invokable per user action, each calling one model operation. The screens
// keep only what is typed and what is shown.
class AppBridge : public QObject {
    Q_OBJECT
    Q_PROPERTY(QObject* model READ modelObject CONSTANT)
    Q_PROPERTY(bool hasAccount READ hasAccount NOTIFY accountChanged)
    Q_PROPERTY(QString accountName READ accountName NOTIFY accountChanged)
    Q_PROPERTY(QString accountNumber READ accountNumber NOTIFY accountChanged)
    Q_PROPERTY(QString accountPlace READ accountPlace NOTIFY accountChanged)
    Q_PROPERTY(bool business READ business NOTIFY accountChanged)
    Q_PROPERTY(bool restoring READ restoring NOTIFY restoringChanged)
    Q_PROPERTY(bool hasPin READ hasPin NOTIFY hasPinChanged)
    Q_PROPERTY(QString alertMessage READ alertMessage NOTIFY alertMessageChanged)
    Q_PROPERTY(QString onlineStatus READ onlineStatus NOTIFY onlineChanged)
    Q_PROPERTY(merrowfax::ui::CurrentCall* call READ call CONSTANT)
    Q_PROPERTY(QString linkStatus READ linkStatus CONSTANT)
    Q_PROPERTY(QString version READ version CONSTANT)
    Q_PROPERTY(QString privacyAddress READ privacyAddress CONSTANT)
    Q_PROPERTY(QVariantMap privacyText READ privacyText CONSTANT)
    Q_PROPERTY(QString contactLink READ contactLink NOTIFY accountChanged)
    Q_PROPERTY(int contactsRevision READ contactsRevision NOTIFY contactsChanged)
    Q_PROPERTY(bool muted READ muted NOTIFY mediaChanged)
    Q_PROPERTY(bool speakerOn READ speakerOn NOTIFY mediaChanged)
    Q_PROPERTY(bool videoOn READ videoOn NOTIFY mediaChanged)
    Q_PROPERTY(bool recording READ recording NOTIFY recordingChanged)
    Q_PROPERTY(QString recordingFor READ recordingFor NOTIFY recordingChanged)
    Q_PROPERTY(bool holdingTalk READ holdingTalk NOTIFY walkieChanged)
    Q_PROPERTY(QString talkTarget READ talkTarget NOTIFY walkieChanged)
    Q_PROPERTY(QString walkiePartner READ walkiePartner NOTIFY walkieChanged)
    Q_PROPERTY(bool transmitting READ transmitting NOTIFY walkieChanged)
    Q_PROPERTY(QString walkieHearing READ walkieHearing NOTIFY walkieChanged)
    Q_PROPERTY(QString walkieStatus READ walkieStatus NOTIFY walkieChanged)
    Q_PROPERTY(bool lockScreenTalk READ lockScreenTalk WRITE setLockScreenTalk NOTIFY
                   lockScreenTalkChanged)
    Q_PROPERTY(bool walkieContactsOnly READ walkieContactsOnly WRITE setWalkieContactsOnly NOTIFY
                   walkieContactsOnlyChanged)
    Q_PROPERTY(QString deviceLabel READ deviceLabel CONSTANT)

public:
    explicit AppBridge(AppModel& model, QObject* parent = nullptr);

    AppModel* model() const { return &model_; }
    bool recording() const;
    // The chat whose voice message records; empty when none.
    QString recordingFor() const;
    // The microphone button of the chat with `number`: ends that chat's
    // voice message, or starts one there (a recording of another chat is
    // sent first).
    Q_INVOKABLE void toggleVoice(const QString& number);
    // The chat with `number` is no longer shown: its voice message is sent.
    Q_INVOKABLE void leaveChat(const QString& number);
    QObject* modelObject() const { return &model_; }
    bool hasAccount() const { return model_.account().has_value(); }
    QString accountName() const;
    QString accountNumber() const;
    QString accountPlace() const;
    bool business() const;
    bool restoring() const { return model_.restoring(); }
    bool hasPin() const { return model_.hasPin(); }
    QString alertMessage() const;
    QString onlineStatus() const;
    // Ringing here or current; the call screen shows it while present.
    CurrentCall* call() const { return call_; }
    // Device linking publishes its status here once it exists.
    QString linkStatus() const { return {}; }
    QString version() const;
    QString privacyAddress() const;
    // {title, date, opening, sections: [[heading, text], ...]}.
    QVariantMap privacyText() const;
    QString contactLink() const { return QString::fromStdString(model_.contactLink()); }
    int contactsRevision() const { return contactsRevision_; }
    bool muted() const { return model_.calls().media().muted(); }
    bool speakerOn() const { return model_.calls().media().speakerOn(); }
    bool videoOn() const { return model_.calls().media().videoOn(); }
    bool holdingTalk() const { return model_.walkie().holdingTalk(); }
    QString talkTarget() const;
    QString walkiePartner() const;
    bool transmitting() const { return model_.walkie().engine().transmitting(); }
    QString walkieHearing() const { return model_.walkie().engine().hearing(); }
    QString walkieStatus() const { return model_.walkie().engine().status(); }
    bool lockScreenTalk() const { return model_.walkie().lockScreenTalk(); }
    void setLockScreenTalk(bool on) { model_.walkie().setLockScreenTalk(on); }
    bool walkieContactsOnly() const { return model_.walkie().contactsOnly(); }
    void setWalkieContactsOnly(bool on) { model_.walkie().setContactsOnly(on); }
    QString deviceLabel() const { return QString::fromStdString(model_.deviceLabel()); }

    // Shared.
    Q_INVOKABLE void dismissAlert() { model_.dismissAlert(); }
    Q_INVOKABLE QString icon(const QString& symbol) const;
    Q_INVOKABLE QString displayName(const QString& number) const;
    Q_INVOKABLE bool isOnline(const QString& number) const;
    Q_INVOKABLE void copyText(const QString& text) const;

    // Onboarding.
    Q_INVOKABLE QVariantList countries(const QString& query) const;
    Q_INVOKABLE QVariantList cities(const QString& country, const QString& query) const;
    Q_INVOKABLE QString countryName(const QString& country) const;
    // Draws a number in that city; the next claim takes it.
    Q_INVOKABLE QString offerNumber(const QString& country, int city);
    Q_INVOKABLE void claimOffered(const QString& name, bool business, const QString& pin,
                                  const QString& pinAgain);
    // Device linking joins with the LAN link; until then a code goes nowhere.
    Q_INVOKABLE void seekLinkCode(const QString&) {}
    // The reclaim form's own note, or an empty text.
    Q_INVOKABLE QString reclaimNumber(const QString& name, const QString& number,
                                      const QString& pin);

    // Chats and the conversation.
    Q_INVOKABLE void sendText(const QString& text, const QString& number);
    Q_INVOKABLE void sendPhoto(const QUrl& file, const QString& number);
    Q_INVOKABLE void sendFile(const QUrl& file, const QString& number);
    Q_INVOKABLE void deleteForMe(const QString& id, const QString& number);
    // Plays a voice message or a kept walkie exchange on the speaker.
    Q_INVOKABLE void playWalkieMessage(const QString& id, const QString& number);
    Q_INVOKABLE void deleteForEveryone(const QString& id, const QString& number);
    Q_INVOKABLE void clearChat(const QString& number);
    Q_INVOKABLE bool hasContact(const QString& number) const;
    Q_INVOKABLE bool isBlocked(const QString& number) const;
    Q_INVOKABLE void toggleBlocked(const QString& number);
    // A number without a contact becomes a blocked contact.
    Q_INVOKABLE void setNumberBlocked(const QString& number, bool blocked);
    Q_INVOKABLE void deleteContact(const QString& number);
    Q_INVOKABLE QString expiryText(double expiresAt) const;

    // Contacts. Adding and editing answer whether the model took it (else
    // its alert says why and the sheet stays open).
    Q_INVOKABLE bool addContact(const QString& name, const QString& number);
    Q_INVOKABLE bool updateContact(const QString& id, const QString& name, const QString& number);
    Q_INVOKABLE void deleteContactById(const QString& id);
    // {name, number, detail (number and place), blocked}; empty when gone.
    Q_INVOKABLE QVariantMap contactInfo(const QString& id) const;
    Q_INVOKABLE void setBlocked(const QString& id, bool blocked);
    // Rows of the place sheet: {id, title, detail}.
    Q_INVOKABLE QVariantList countryRows(const QString& query) const;
    Q_INVOKABLE QVariantList cityRows(const QString& country, const QString& query) const;

    // Calls.
    Q_INVOKABLE void startCall(const QString& number, bool video);
    Q_INVOKABLE void answerCall() { model_.calls().answerCall(); }
    Q_INVOKABLE void declineCall() { model_.calls().declineCall(); }
    Q_INVOKABLE void endCall() { model_.calls().endCall(); }
    Q_INVOKABLE void toggleMute() {
        model_.calls().media().setMuted(!model_.calls().media().muted());
    }
    Q_INVOKABLE void toggleSpeaker() {
        model_.calls().media().setSpeaker(!model_.calls().media().speakerOn());
    }
    Q_INVOKABLE void toggleCallVideo() { model_.calls().toggleCallVideo(); }
    Q_INVOKABLE void switchCamera() { model_.calls().media().switchCamera(); }
    // The walkie. A conversation's control talks to its number; the calls
    // tab's bar to the last walkie partner.
    Q_INVOKABLE void pressTalk(const QString& number);
    Q_INVOKABLE void releaseTalk(const QString& number);
    Q_INVOKABLE void pressWalkieBar();
    Q_INVOKABLE void releaseWalkieBar();

    // "1:05" for the seconds since `startedAtMs` (Unix milliseconds).
    Q_INVOKABLE QString durationSince(double startedAtMs, double nowMs) const;

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
    void alertMessageChanged();
    void onlineChanged();
    void mediaChanged();
    void recordingChanged();
    void contactsChanged();
    void walkieChanged();
    void lockScreenTalkChanged();
    void walkieContactsOnlyChanged();

private:
    AppModel& model_;
    CurrentCall* call_;  // a child
    std::optional<VirtualNumber> offered_;
    int contactsRevision_ = 0;
};

}  // namespace merrowfax::ui
