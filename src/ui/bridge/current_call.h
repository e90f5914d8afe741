#pragma once

#include <QtQml/qqmlregistration.h>
#include <QImage>
#include <QObject>
#include <QString>
#include <QVariant>

#include "app/app_model.h"

namespace merrowfax::ui {

// The call the call screen is about: the current call when there is one,
// else the one ringing here. Each property signals its own change, so the
// screen redraws what changed and nothing else.
class CurrentCall : public QObject {
    Q_OBJECT
    QML_ELEMENT
    QML_UNCREATABLE("The bridge's `call`")
    Q_PROPERTY(bool present READ present NOTIFY presentChanged)
    Q_PROPERTY(QString number READ number NOTIFY numberChanged)
    Q_PROPERTY(QString name READ name NOTIFY nameChanged)
    Q_PROPERTY(bool video READ video NOTIFY videoChanged)
    Q_PROPERTY(Phase phase READ phase NOTIFY phaseChanged)
    Q_PROPERTY(Direction direction READ direction NOTIFY directionChanged)
    Q_PROPERTY(double connectedAtMs READ connectedAtMs NOTIFY connectedAtMsChanged)
    // The call's pictures, straight from the media engine.
    // Pictures (QImage) as variants, the one way QML carries them.
    Q_PROPERTY(QVariant remoteImage READ remoteImage NOTIFY remoteImageChanged)
    Q_PROPERTY(QVariant localPreview READ localPreview NOTIFY localPreviewChanged)
    Q_PROPERTY(int cameraCount READ cameraCount NOTIFY localPreviewChanged)

public:
    enum Phase { Idle, Ringing, Dialing, Connected };
    Q_ENUM(Phase)
    enum Direction { Outgoing, Incoming };
    Q_ENUM(Direction)

    explicit CurrentCall(AppModel& model, QObject* parent = nullptr);

    bool present() const { return phase_ != Idle; }
    const QString& number() const { return number_; }
    const QString& name() const { return name_; }
    bool video() const { return video_; }
    Phase phase() const { return phase_; }
    Direction direction() const { return direction_; }
    // When it connected, in Unix milliseconds; -1 until then.
    double connectedAtMs() const { return connectedAtMs_; }
    QVariant remoteImage() const {
        return QVariant::fromValue(model_.calls().media().remoteImage());
    }
    QVariant localPreview() const {
        return QVariant::fromValue(model_.calls().media().localPreview());
    }
    // Read again whenever the preview changes: cameras may come and go.
    int cameraCount() const { return model_.calls().media().cameraCount(); }

Q_SIGNALS:
    void presentChanged();
    void numberChanged();
    void nameChanged();
    void videoChanged();
    void phaseChanged();
    void directionChanged();
    void connectedAtMsChanged();
    void remoteImageChanged();
    void localPreviewChanged();

private:
    void refresh();

    AppModel& model_;
    QString number_;
    QString name_;
    bool video_ = false;
    Phase phase_ = Idle;
    Direction direction_ = Incoming;
    double connectedAtMs_ = -1;
};

}  // namespace merrowfax::ui
