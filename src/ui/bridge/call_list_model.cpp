#include "ui/bridge/call_list_model.h"

#include "ui/bridge/text_rules.h"

namespace merrowfax::ui {

void CallListModel::setModelObject(QObject* object) {
    auto* model = qobject_cast<AppModel*>(object);
    if (model_ == model) return;
    if (model_) disconnect(model_, nullptr, this, nullptr);
    model_ = model;
    if (model_) connect(model_, &AppModel::callListChanged, this, &CallListModel::refresh);
    refresh();
    Q_EMIT modelChanged();
}

void CallListModel::refresh() {
    std::vector<CallRow> next;
    if (model_) {
        for (const CallRecord& r : model_->callList()) {
            next.push_back({QString::fromStdString(r.id.text()), QString::fromStdString(r.number),
                            QString::fromStdString(r.name), r.video,
                            r.direction == CallDirection::missed, r.at, r.duration});
        }
    }
    sync(std::move(next));
}

QVariant CallListModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= rowCount()) return {};
    const CallRow& row = rows()[static_cast<std::size_t>(index.row())];
    switch (role) {
        case NumberRole:
            return row.number;
        case NameRole:
            return row.name;
        case VideoRole:
            return row.video;
        case MissedRole:
            return row.missed;
        case TimeRole:
            return shortTime(row.at);
        case DurationRole:
            // Only a call that connected shows its length.
            return row.duration > 0 ? durationText(row.duration) : QString();
        default:
            return {};
    }
}

QHash<int, QByteArray> CallListModel::roleNames() const {
    return {{NumberRole, "number"}, {NameRole, "name"}, {VideoRole, "video"},
            {MissedRole, "missed"}, {TimeRole, "time"}, {DurationRole, "duration"}};
}

}  // namespace merrowfax::ui
