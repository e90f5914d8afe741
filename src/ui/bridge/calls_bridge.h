#pragma once

#include <QObject>
#include <QString>

#include "app/app_model.h"
#include "ui/bridge/current_call.h"

namespace merrowfax::ui {

// The call screen's buttons and the walkie: the current call itself is
// `call`; its media's switches and the walkie bar are here.
class CallsBridge : public QObject {
    Q_OBJECT
    Q_PROPERTY(merrowfax::ui::CurrentCall* call READ call CONSTANT)
    Q_PROPERTY(bool muted READ muted NOTIFY mediaChanged)
    Q_PROPERTY(bool speakerOn READ speakerOn NOTIFY mediaChanged)
    Q_PROPERTY(bool videoOn READ videoOn NOTIFY mediaChanged)
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

public:
    explicit CallsBridge(AppModel& model, QObject* parent = nullptr);

    // Ringing here or current; the call screen shows it while present.
    CurrentCall* call() const { return call_; }
    bool muted() const { return media().muted(); }
    bool speakerOn() const { return media().speakerOn(); }
    bool videoOn() const { return media().videoOn(); }
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

    Q_INVOKABLE void startCall(const QString& number, bool video);
    Q_INVOKABLE void answerCall() { model_.calls().answerCall(); }
    Q_INVOKABLE void declineCall() { model_.calls().declineCall(); }
    Q_INVOKABLE void endCall() { model_.calls().endCall(); }
    Q_INVOKABLE void toggleMute() { media().setMuted(!media().muted()); }
    Q_INVOKABLE void toggleSpeaker() { media().setSpeaker(!media().speakerOn()); }
    Q_INVOKABLE void toggleCallVideo() { model_.calls().toggleCallVideo(); }
    Q_INVOKABLE void switchCamera() { media().switchCamera(); }
    // A conversation's walkie control talks to its number; the calls tab's
    // bar to the last walkie partner.
    Q_INVOKABLE void pressTalk(const QString& number);
    Q_INVOKABLE void releaseTalk(const QString& number);
    Q_INVOKABLE void pressWalkieBar();
    Q_INVOKABLE void releaseWalkieBar();

Q_SIGNALS:
    void mediaChanged();
    void walkieChanged();
    void lockScreenTalkChanged();
    void walkieContactsOnlyChanged();

private:
    CallMedia& media() const { return model_.calls().media(); }

    AppModel& model_;
    CurrentCall* call_;  // a child
};

}  // namespace merrowfax::ui
