#include "ui/bridge/message_list_model.h"

namespace merrowfax::ui {
namespace {

QString statusLine(const Message& message) {
    if (message.sender != "me") return {};
    switch (message.status) {
        case MessageStatus::delivered:
            return QStringLiteral("Delivered");
        case MessageStatus::sent:
            return QStringLiteral("Sent");
        case MessageStatus::waiting:
            return QStringLiteral("Waiting");
        case MessageStatus::deleted:
        case MessageStatus::other:
            break;
    }
    return {};
}

}  // namespace

void MessageListModel::setModel(AppModel* model) {
    if (model_ == model) return;
    if (model_) disconnect(&model_->messaging(), nullptr, this, nullptr);
    model_ = model;
    if (model_) {
        const Messaging* chats = &model_->messaging();
        connect(chats, &Messaging::threadsChanged, this, &MessageListModel::refresh);
        connect(chats, &Messaging::messageAdded, this,
                [this](const std::string& thread, const Uuid& id) {
                    if (thread != number_.toStdString()) return;
                    // Messages are added at the end, one at a time; anything
                    // else is a new list.
                    const ChatThread* current = currentThread();
                    if (!current || current->messages.empty() ||
                        current->messages.back().id != id ||
                        current->messages.size() != rows().size() + 1) {
                        return refresh();
                    }
                    appendRow(rowFor(current->messages.back()));
                });
        connect(chats, &Messaging::messageChanged, this,
                [this](const std::string& thread, const Uuid& id) {
                    if (thread != number_.toStdString()) return;
                    if (const Message* m = find(id)) updateRow(rowFor(*m));
                });
    }
    refresh();
    Q_EMIT modelChanged();
}

void MessageListModel::setNumber(const QString& number) {
    if (number_ == number) return;
    number_ = number;
    refresh();
    Q_EMIT numberChanged();
}

QString MessageListModel::rowKey(const Uuid& id) {
    return QString::fromStdString(id.text());
}

const ChatThread* MessageListModel::currentThread() const {
    if (!model_) return nullptr;
    const std::string wanted = number_.toStdString();
    for (const ChatThread& t : model_->messaging().threads()) {
        if (t.id == wanted) return &t;
    }
    return nullptr;
}

const Message* MessageListModel::find(const Uuid& id) const {
    const ChatThread* thread = currentThread();
    if (!thread) return nullptr;
    for (auto m = thread->messages.rbegin(); m != thread->messages.rend(); ++m) {
        if (m->id == id) return &*m;
    }
    return nullptr;
}

MessageRow MessageListModel::rowFor(const Message& m) const {
    MessageRow row;
    row.key = rowKey(m.id);
    row.mine = m.sender == "me";
    row.deleted = m.deletedForEveryone.value_or(false);
    row.text = QString::fromStdString(m.text);
    row.kind = QString::fromStdString(m.attachmentKind.value_or(std::string()));
    row.fileName = QString::fromStdString(m.attachmentName.value_or(std::string()));
    if (m.attachmentKind == "image" && m.attachmentPath) {
        if (auto file = model_->attachmentFile(*m.attachmentPath)) {
            row.image = QUrl::fromLocalFile(QString::fromStdString(file->string()));
        }
    }
    row.statusLine = statusLine(m);
    row.expiresAt = m.expiresAt.value_or(-1);
    return row;
}

void MessageListModel::refresh() {
    std::vector<MessageRow> next;
    if (const ChatThread* thread = currentThread()) {
        next.reserve(thread->messages.size());
        for (const Message& m : thread->messages) next.push_back(rowFor(m));
    }
    sync(std::move(next));
}

QVariant MessageListModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= rowCount()) return {};
    const MessageRow& row = rows()[static_cast<std::size_t>(index.row())];
    switch (role) {
        case IdRole:
            return row.key;
        case MineRole:
            return row.mine;
        case DeletedRole:
            return row.deleted;
        case TextRole:
            return row.text;
        case KindRole:
            return row.kind;
        case FileNameRole:
            return row.fileName;
        case ImageRole:
            return row.image;
        case StatusRole:
            return row.statusLine;
        case ExpiresAtRole:
            return row.expiresAt;
        default:
            return {};
    }
}

QHash<int, QByteArray> MessageListModel::roleNames() const {
    return {{IdRole, "messageId"}, {MineRole, "mine"},         {DeletedRole, "deleted"},
            {TextRole, "text"},    {KindRole, "kind"},         {FileNameRole, "fileName"},
            {ImageRole, "image"},  {StatusRole, "statusLine"}, {ExpiresAtRole, "expiresAt"}};
}

}  // namespace merrowfax::ui
