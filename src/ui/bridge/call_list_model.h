#pragma once

#include <QtQml/qqmlregistration.h>
#include <QString>

#include "app/app_model.h"
#include "ui/bridge/row_list_model.h"

namespace merrowfax::ui {

struct CallRow {
    QString key;  // the record id
    QString number;
    QString name;
    bool video = false;
    bool missed = false;
    double at = 0;
    double duration = 0;
    bool operator==(const CallRow&) const = default;
};

// The call list, newest first, as the model keeps it.
class CallListModel : public RowListModel<CallRow> {
    Q_OBJECT
    QML_ELEMENT
    Q_PROPERTY(QObject* model READ modelObject WRITE setModelObject NOTIFY modelChanged)

public:
    enum Role {
        NumberRole = Qt::UserRole + 1,
        NameRole,
        VideoRole,
        MissedRole,
        TimeRole,
        DurationRole
    };

    using RowListModel::RowListModel;

    QObject* modelObject() const { return model_; }
    void setModelObject(QObject* model);

    QVariant data(const QModelIndex& index, int role) const override;
    QHash<int, QByteArray> roleNames() const override;

Q_SIGNALS:
    void modelChanged();

private:
    void refresh();

    AppModel* model_ = nullptr;
};

}  // namespace merrowfax::ui
