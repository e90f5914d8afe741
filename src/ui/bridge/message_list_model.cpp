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
    if (model_) disconnect(model_, nullptr, this, nullptr);
    model_ = model;
    if (model_) connect(model_, &AppModel::threadsChanged, this, &MessageListModel::refresh);
    refresh();
    Q_EMIT modelChanged();
}

void MessageListModel::setNumber(const QString& number) {
    if (number_ == number) return;
    number_ = number;
    refresh();
    Q_EMIT numberChanged();
}

void MessageListModel::refresh() {
    std::vector<MessageRow> next;
    const std::string wanted = number_.toStdString();
    const ChatThread* thread = nullptr;
    if (model_) {
        for (const ChatThread& t : model_->threads()) {
            if (t.id == wanted) thread = &t;
        }
    }
    if (thread) {
        next.reserve(thread->messages.size());
        for (const Message& m : thread->messages) {
            MessageRow row;
            row.key = QString::fromStdString(m.id.text());
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
            next.push_back(std::move(row));
        }
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
