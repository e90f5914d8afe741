#pragma once

#include <QtQml/qqmlregistration.h>
#include <QString>
#include <QUrl>

#include "app/app_model.h"
#include "ui/bridge/row_list_model.h"

namespace merrowfax::ui {

struct MessageRow {
    QString key;  // the message id
    bool mine = false;
    bool deleted = false;
    QString text;
    QString kind;  // "image", "audio", "file" or empty
    QString fileName;
    QUrl image;             // the stored picture of an image
    QString statusLine;     // own messages: "Delivered", "Sent" or "Waiting"
    double expiresAt = -1;  // reference-date seconds; -1 when it does not expire
    bool operator==(const MessageRow&) const = default;
};

// The messages of the thread with `number`, in stored order. A new message
// adds one row and a status change touches one row, without reading the
// others; other changes of the list bring a whole new list.
class MessageListModel : public RowListModel<MessageRow> {
    Q_OBJECT
    QML_ELEMENT
    Q_PROPERTY(QObject* model READ modelObject WRITE setModelObject NOTIFY modelChanged)
    Q_PROPERTY(QString number READ number WRITE setNumber NOTIFY numberChanged)

public:
    enum Role {
        IdRole = Qt::UserRole + 1,
        MineRole,
        DeletedRole,
        TextRole,
        KindRole,
        FileNameRole,
        ImageRole,
        StatusRole,
        ExpiresAtRole,
    };

    using RowListModel::RowListModel;

    AppModel* model() const { return model_; }
    void setModel(AppModel* model);
    // For QML, which knows the model as an object.
    QObject* modelObject() const { return model_; }
    void setModelObject(QObject* model) { setModel(qobject_cast<AppModel*>(model)); }
    const QString& number() const { return number_; }
    void setNumber(const QString& number);

    QVariant data(const QModelIndex& index, int role) const override;
    QHash<int, QByteArray> roleNames() const override;

Q_SIGNALS:
    void modelChanged();
    void numberChanged();

private:
    void refresh();
    static QString rowKey(const Uuid& id);
    const ChatThread* currentThread() const;
    const Message* find(const Uuid& id) const;
    MessageRow rowFor(const Message& message) const;

    AppModel* model_ = nullptr;
    QString number_;
};

}  // namespace merrowfax::ui
