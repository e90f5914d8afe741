#pragma once

#include <QtQml/qqmlregistration.h>
#include <QObject>
#include <QString>
#include <QVariant>

#include "app/app_model.h"

namespace merrowfax::ui {

// Screen sharing as the screens show it: the share this device runs (the
// conversation's screen button and control switch) and the share it watches
// (the cover over the main tabs), with the viewer's gestures as control
// events.
class CurrentDesk : public QObject {
    Q_OBJECT
    QML_ELEMENT
    QML_UNCREATABLE("The bridge's `desk`")
    Q_PROPERTY(QString sharingTo READ sharingTo NOTIFY shareChanged)
    Q_PROPERTY(bool control READ control NOTIFY shareChanged)
    Q_PROPERTY(bool watching READ watching NOTIFY watchChanged)
    Q_PROPERTY(QString watchName READ watchName NOTIFY watchChanged)
    Q_PROPERTY(QString caption READ caption NOTIFY watchChanged)
    Q_PROPERTY(bool canControl READ canControl NOTIFY watchChanged)
    // The newest picture (a QImage as a variant).
    Q_PROPERTY(QVariant image READ image NOTIFY imageChanged)
    Q_PROPERTY(bool hasImage READ hasImage NOTIFY imageChanged)

public:
    explicit CurrentDesk(AppModel& model, QObject* parent = nullptr);

    QString sharingTo() const;
    bool control() const { return desk().deskControl(); }
    bool watching() const { return desk().deskWatchFrom().has_value(); }
    QString watchName() const;
    QString caption() const;
    bool canControl() const { return desk().deskCanControl(); }
    QVariant image() const { return QVariant::fromValue(desk().deskImage()); }
    bool hasImage() const { return !desk().deskImage().isNull(); }

    // The screen button of a conversation: shares to its number, or stops.
    Q_INVOKABLE void toggleSharing(const QString& number);
    Q_INVOKABLE void allowControl(bool allowed) { desk().allowControl(allowed); }
    Q_INVOKABLE void stopWatching() { desk().stopWatching(); }
    // A gesture at (x, y) of a view `width` x `height` that shows the picture
    // aspect-fit; nothing is sent outside the picture.
    Q_INVOKABLE void gesture(const QString& action, double x, double y, double width, double height,
                             double dy, const QString& phase, int clicks);
    // The typing box: "Send" sends the text as it is; the return key sends
    // it with a line break (only the line break when empty).
    Q_INVOKABLE void send(const QString& text);
    Q_INVOKABLE void submit(const QString& text);

Q_SIGNALS:
    void shareChanged();
    void watchChanged();
    void imageChanged();

private:
    DeskController& desk() const { return model_.desk(); }
    AppModel& model_;
};

}  // namespace merrowfax::ui
