#pragma once

#include <QtQml/qqmlregistration.h>
#include <QString>

#include "app/app_model.h"
#include "ui/bridge/row_list_model.h"

namespace merrowfax::ui {

struct ContactRow {
    QString key;  // the contact id
    QString name;
    QString number;
    QString detail;  // the number, and its place when it has one
    bool blocked = false;
    bool online = false;
    bool operator==(const ContactRow&) const = default;
};

// The contacts in stored order, narrowed by `query` (trimmed): the name
// contains it (locale-aware, ignoring case) or the number contains it as
// typed.
class ContactListModel : public RowListModel<ContactRow> {
    Q_OBJECT
    QML_ELEMENT
    Q_PROPERTY(QObject* model READ modelObject WRITE setModelObject NOTIFY modelChanged)
    Q_PROPERTY(QString query READ query WRITE setQuery NOTIFY queryChanged)
    Q_PROPERTY(int totalCount READ totalCount NOTIFY totalCountChanged)

public:
    enum Role {
        IdRole = Qt::UserRole + 1,
        NameRole,
        NumberRole,
        DetailRole,
        BlockedRole,
        OnlineRole
    };

    using RowListModel::RowListModel;

    QObject* modelObject() const { return model_; }
    void setModelObject(QObject* model);
    const QString& query() const { return query_; }
    void setQuery(const QString& query);
    int totalCount() const {
        return model_ ? static_cast<int>(model_->people().contacts().size()) : 0;
    }

    QVariant data(const QModelIndex& index, int role) const override;
    QHash<int, QByteArray> roleNames() const override;

Q_SIGNALS:
    void modelChanged();
    void queryChanged();
    void totalCountChanged();

private:
    void refresh();

    AppModel* model_ = nullptr;
    QString query_;
    int lastTotal_ = 0;
};

}  // namespace merrowfax::ui
