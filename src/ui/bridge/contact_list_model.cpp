#include "ui/bridge/contact_list_model.h"

#include "numbers/country.h"
#include "numbers/unicode_text.h"
#include "numbers/virtual_number.h"

namespace merrowfax::ui {

bool ContactListModel::matches(const Contact& contact, const std::string& trimmedQuery) {
    if (trimmedQuery.empty()) return true;
    if (contact.number.find(trimmedQuery) != std::string::npos) return true;
    unicode::ContainsMatcher matcher(trimmedQuery);
    return matcher.matches(contact.name);
}

void ContactListModel::setModelObject(QObject* object) {
    auto* model = qobject_cast<AppModel*>(object);
    if (model_ == model) return;
    if (model_) disconnect(model_, nullptr, this, nullptr);
    model_ = model;
    if (model_) {
        connect(model_, &AppModel::contactsChanged, this, &ContactListModel::refresh);
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
        for (const Contact& c : model_->contacts()) {
            if (!matches(c, wanted)) continue;
            std::string detail = c.number;
            if (auto n = VirtualNumber::parse(c.number)) {
                if (auto place = city(n->country.code, n->cityCode)) {
                    detail += ", " + placeLine(*place);
                }
            }
            next.push_back({QString::fromStdString(c.id.text()), QString::fromStdString(c.name),
                            QString::fromStdString(c.number), QString::fromStdString(detail),
                            c.blocked, model_->online().contains(c.number)});
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
