#include "ui/bridge/contact_list_model.h"

#include "numbers/unicode_text.h"
#include "ui/bridge/text_rules.h"

namespace merrowfax::ui {

void ContactListModel::setModelObject(QObject* object) {
    auto* model = qobject_cast<AppModel*>(object);
    if (model_ == model) return;
    if (model_) {
        disconnect(model_, nullptr, this, nullptr);
        disconnect(&model_->people(), nullptr, this, nullptr);
    }
    model_ = model;
    if (model_) {
        connect(&model_->people(), &People::contactsChanged, this, &ContactListModel::refresh);
        connect(model_, &AppModel::onlineChanged, this, &ContactListModel::refresh);
    }
    refresh();
    Q_EMIT modelChanged();
}

void ContactListModel::setQuery(const QString& query) {
    if (query_ == query) return;
    query_ = query;
    refresh();
    Q_EMIT queryChanged();
}

void ContactListModel::refresh() {
    std::vector<ContactRow> next;
    if (model_) {
        const std::string wanted(unicode::trimmed(query_.toStdString()));
        unicode::ContainsMatcher byName(wanted);  // one for the whole list
        for (const Contact& c : model_->people().contacts()) {
            // The number as typed; the name locale-aware, ignoring case.
            const bool shown = wanted.empty() || c.number.find(wanted) != std::string::npos ||
                               byName.matches(c.name);
            if (!shown) continue;
            next.push_back({QString::fromStdString(c.id.text()), QString::fromStdString(c.name),
                            QString::fromStdString(c.number), numberWithPlace(c.number), c.blocked,
                            model_->online().contains(c.number)});
        }
    }
    sync(std::move(next));
    if (totalCount() != lastTotal_) {
        lastTotal_ = totalCount();
        Q_EMIT totalCountChanged();
    }
}

QVariant ContactListModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= rowCount()) return {};
    const ContactRow& row = rows()[static_cast<std::size_t>(index.row())];
    switch (role) {
        case IdRole:
            return row.key;
        case NameRole:
            return row.name;
        case NumberRole:
            return row.number;
        case DetailRole:
            return row.detail;
        case BlockedRole:
            return row.blocked;
        case OnlineRole:
            return row.online;
        default:
            return {};
    }
}

QHash<int, QByteArray> ContactListModel::roleNames() const {
    return {{IdRole, "contactId"},  {NameRole, "name"},       {NumberRole, "number"},
            {DetailRole, "detail"}, {BlockedRole, "blocked"}, {OnlineRole, "online"}};
}

}  // namespace merrowfax::ui
