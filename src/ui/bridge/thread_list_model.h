#pragma once

#include <QtQml/qqmlregistration.h>
#include <QString>

#include "app/app_model.h"
#include "ui/bridge/row_list_model.h"

namespace merrowfax::ui {

struct ThreadRow {
    QString key;  // the number
    QString title;
    QString lastText;
    double updatedAt = 0;
    bool online = false;
    int unread = 0;
    bool operator==(const ThreadRow&) const = default;
};

// The chat list: the model's threads, newest first, narrowed by `query`
// (trimmed; matched in the title, the number or the last message's text,
// locale-aware and ignoring case).
class ThreadListModel : public RowListModel<ThreadRow> {
    Q_OBJECT
    QML_ELEMENT
    Q_PROPERTY(QObject* model READ modelObject WRITE setModelObject NOTIFY modelChanged)
    Q_PROPERTY(QString query READ query WRITE setQuery NOTIFY queryChanged)
    Q_PROPERTY(int totalCount READ totalCount NOTIFY totalCountChanged)

public:
    enum Role {
        NumberRole = Qt::UserRole + 1,
        TitleRole,
        LastTextRole,
        TimeRole,
        OnlineRole,
        UnreadRole
    };

    using RowListModel::RowListModel;

    AppModel* model() const { return model_; }
    void setModel(AppModel* model);
    // For QML, which knows the model as an object.
    QObject* modelObject() const { return model_; }
    void setModelObject(QObject* model) { setModel(qobject_cast<AppModel*>(model)); }
    const QString& query() const { return query_; }
    void setQuery(const QString& query);
    // Threads before the filter: tells "no texts yet" from "no match".
    int totalCount() const {
        return model_ ? static_cast<int>(model_->messaging().threads().size()) : 0;
    }

    QVariant data(const QModelIndex& index, int role) const override;
    QHash<int, QByteArray> roleNames() const override;

Q_SIGNALS:
    void modelChanged();
    void queryChanged();
    void totalCountChanged();

private:
    void refresh();
    void countChanged();
    ThreadRow rowFor(const ChatThread& thread) const;
    // The thread with `number` was added or moved; its row follows.
    void placeThread(const std::string& number);
    // A message of that thread was added or changed: its row's content.
    void updateThread(const std::string& number);

    AppModel* model_ = nullptr;
    QString query_;
    int lastTotal_ = 0;
};

}  // namespace merrowfax::ui
