#pragma once

#include <QtQml/qqmlregistration.h>
#include <QObject>
#include <QString>

#include "app/app_model.h"

namespace merrowfax::ui {

// What a screen shows of one number, kept current: the name to show (contact,
// else directory, else the number), whether a contact has it and whether that
// contact is blocked. Signals only what changed.
class ContactWatcher : public QObject {
    Q_OBJECT
    QML_ELEMENT
    Q_PROPERTY(QObject* model READ modelObject WRITE setModelObject NOTIFY modelChanged)
    Q_PROPERTY(QString number READ number WRITE setNumber NOTIFY numberChanged)
    Q_PROPERTY(QString name READ name NOTIFY nameChanged)
    Q_PROPERTY(bool isContact READ isContact NOTIFY isContactChanged)
    Q_PROPERTY(bool blocked READ blocked NOTIFY blockedChanged)

public:
    using QObject::QObject;

    QObject* modelObject() const { return model_; }
    void setModelObject(QObject* model);
    const QString& number() const { return number_; }
    void setNumber(const QString& number);
    const QString& name() const { return name_; }
    bool isContact() const { return isContact_; }
    bool blocked() const { return blocked_; }

Q_SIGNALS:
    void modelChanged();
    void numberChanged();
    void nameChanged();
    void isContactChanged();
    void blockedChanged();

private:
    void refresh();

    AppModel* model_ = nullptr;
    QString number_;
    QString name_;
    bool isContact_ = false;
    bool blocked_ = false;
};

}  // namespace merrowfax::ui
