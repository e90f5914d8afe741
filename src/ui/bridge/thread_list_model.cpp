#include "ui/bridge/thread_list_model.h"

#include "numbers/unicode_text.h"
#include "ui/bridge/text_rules.h"

namespace merrowfax::ui {

namespace {

// A thread without messages matches by title or number only.
bool matches(const ChatThread& thread, unicode::ContainsMatcher& query) {
    if (query.matches(thread.title) || query.matches(thread.id)) return true;
    return !thread.messages.empty() && query.matches(thread.messages.back().text);
}

}  // namespace

void ThreadListModel::setModel(AppModel* model) {
    if (model_ == model) return;
    if (model_) {
        disconnect(model_, nullptr, this, nullptr);
        disconnect(&model_->messaging(), nullptr, this, nullptr);
        disconnect(&model_->people(), nullptr, this, nullptr);
    }
    model_ = model;
    if (model_) {
        connect(model_, &AppModel::onlineChanged, this, &ThreadListModel::refresh);
        for (auto signal : {&People::contactsChanged, &People::directoryChanged}) {
            connect(&model_->people(), signal, this, &ThreadListModel::refresh);
        }
        const Messaging* chats = &model_->messaging();
        connect(chats, &Messaging::threadsChanged, this, &ThreadListModel::refresh);
        // One thread changed: its row alone, unless a search narrows the list.
        connect(chats, &Messaging::threadMoved, this, &ThreadListModel::placeThread);
        connect(chats, &Messaging::messageAdded, this, &ThreadListModel::updateThread);
        connect(chats, &Messaging::messageChanged, this, &ThreadListModel::updateThread);
        connect(chats, &Messaging::unreadChanged, this, [this](const std::string& number) {
            if (number.empty()) return refresh();
            updateThread(number);
        });
    }
    refresh();
    Q_EMIT modelChanged();
}

void ThreadListModel::setQuery(const QString& query) {
    if (query_ == query) return;
    query_ = query;
    refresh();
    Q_EMIT queryChanged();
}

ThreadRow ThreadListModel::rowFor(const ChatThread& thread) const {
    ThreadRow row;
    row.key = QString::fromStdString(thread.id);
    row.title = QString::fromStdString(model_->people().displayName(thread.id));
    if (!thread.messages.empty()) {
        row.lastText = QString::fromStdString(thread.messages.back().text);
    }
    row.updatedAt = thread.updatedAt;
    row.online = model_->online().contains(thread.id);
    row.unread = thread.unread;
    return row;
}

void ThreadListModel::refresh() {
    std::vector<ThreadRow> next;
    if (model_) {
        // One matcher for the whole list: building one is the costly part.
        const std::string wanted(unicode::trimmed(query_.toStdString()));
        unicode::ContainsMatcher query(wanted);
        for (const ChatThread& thread : model_->messaging().threads()) {
            if (!wanted.empty() && !matches(thread, query)) continue;
            next.push_back(rowFor(thread));
        }
    }
    sync(std::move(next));
    countChanged();
}

void ThreadListModel::countChanged() {
    if (totalCount() == lastTotal_) return;
    lastTotal_ = totalCount();
    Q_EMIT totalCountChanged();
}

void ThreadListModel::placeThread(const std::string& number) {
    if (!unicode::trimmed(query_.toStdString()).empty()) return refresh();
    const auto& threads = model_->messaging().threads();
    for (std::size_t at = 0; at < threads.size(); ++at) {
        if (threads[at].id != number) continue;
        placeRow(rowFor(threads[at]), at);
        return countChanged();
    }
    refresh();
}

void ThreadListModel::updateThread(const std::string& number) {
    if (!unicode::trimmed(query_.toStdString()).empty()) return refresh();
    for (const ChatThread& thread : model_->messaging().threads()) {
        if (thread.id == number) return updateRow(rowFor(thread));
    }
}

QVariant ThreadListModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= rowCount()) return {};
    const ThreadRow& row = rows()[static_cast<std::size_t>(index.row())];
    switch (role) {
        case NumberRole:
            return row.key;
        case TitleRole:
            return row.title;
        case LastTextRole:
            return row.lastText;
        case TimeRole:
            return shortTime(row.updatedAt);
        case OnlineRole:
            return row.online;
        case UnreadRole:
            return row.unread;
        default:
            return {};
    }
}

QHash<int, QByteArray> ThreadListModel::roleNames() const {
    return {{NumberRole, "number"}, {TitleRole, "title"},   {LastTextRole, "lastText"},
            {TimeRole, "time"},     {OnlineRole, "online"}, {UnreadRole, "unread"}};
}

}  // namespace merrowfax::ui
