#include "ui/bridge/contact_watcher.h"

#include <algorithm>

namespace merrowfax::ui {

void ContactWatcher::setModelObject(QObject* object) {
    auto* model = qobject_cast<AppModel*>(object);
    if (model_ == model) return;
    if (model_) disconnect(&model_->people(), nullptr, this, nullptr);
    model_ = model;
    if (model_) {
        connect(&model_->people(), &People::contactsChanged, this, &ContactWatcher::refresh);
        connect(&model_->people(), &People::directoryChanged, this, &ContactWatcher::refresh);
    }
    refresh();
    Q_EMIT modelChanged();
}

void ContactWatcher::setNumber(const QString& number) {
    if (number_ == number) return;
    number_ = number;
    refresh();
    Q_EMIT numberChanged();
}

void ContactWatcher::refresh() {
    QString name = number_;
    bool isContact = false;
    if (model_) {
        const std::string wanted = number_.toStdString();
        name = QString::fromStdString(model_->people().displayName(wanted));
        const auto& contacts = model_->people().contacts();
        isContact = std::any_of(contacts.begin(), contacts.end(),
                                [&](const Contact& c) { return c.number == wanted; });
    }
    const bool blocked = model_ && model_->people().isBlocked(number_.toStdString());
    if (name_ != name) {
        name_ = name;
        Q_EMIT nameChanged();
    }
    if (isContact_ != isContact) {
        isContact_ = isContact;
        Q_EMIT isContactChanged();
    }
    if (blocked_ != blocked) {
        blocked_ = blocked;
        Q_EMIT blockedChanged();
    }
}

}  // namespace merrowfax::ui
