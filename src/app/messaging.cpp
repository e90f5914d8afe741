// Messaging: sending to both transports at once, receiving from either one
// exactly once, deletion, and the expiry of voice messages.

#include <QDir>
#include <QFileInfo>
#include <QRunnable>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "app/app_model.h"
#include "app/photo_fit.h"
#include "model/text_limits.h"
#include "numbers/unicode_text.h"
#include "numbers/virtual_number.h"
#include "wire/envelope_builders.h"

namespace merrowfax {
namespace {

constexpr const char* kMe = "me";
constexpr const char* kThem = "them";

// The caption a message shows for an attachment of that kind.
std::string captionFor(const std::string& kind, const std::string& fileName) {
    if (kind == "image") return "Photo";
    if (kind == "audio") return "Voice message";
    return fileName;
}

std::optional<std::vector<std::byte>> readFile(const std::string& path, std::size_t limit) {
    std::error_code error;
    const auto size = std::filesystem::file_size(path, error);
    if (error || size > limit) return std::nullopt;
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::vector<std::byte> bytes(static_cast<std::size_t>(size));
    in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (static_cast<std::size_t>(in.gcount()) != bytes.size()) return std::nullopt;
    return bytes;
}

}  // namespace

ChatThread* AppModel::thread(const std::string& number) {
    auto it = std::find_if(data_.threads.begin(), data_.threads.end(),
                           [&](const ChatThread& t) { return t.id == number; });
    return it == data_.threads.end() ? nullptr : &*it;
}

Message* AppModel::message(const std::string& number, const Uuid& id) {
    ChatThread* t = thread(number);
    if (!t) return nullptr;
    // Newest last: the message asked about is usually near the end.
    auto m = std::find_if(t->messages.rbegin(), t->messages.rend(),
                          [&](const Message& x) { return x.id == id; });
    return m == t->messages.rend() ? nullptr : &*m;
}

Message* AppModel::message(const Uuid& id) {
    auto it = threadOf_.find(id);
    return it == threadOf_.end() ? nullptr : message(it->second, id);
}

void AppModel::indexThreads() {
    threadOf_.clear();
    for (const ChatThread& t : data_.threads) {
        for (const Message& m : t.messages) threadOf_.emplace(m.id, t.id);
    }
}

void AppModel::sortThreads() {
    std::stable_sort(
        data_.threads.begin(), data_.threads.end(),
        [](const ChatThread& a, const ChatThread& b) { return a.updatedAt > b.updatedAt; });
}

void AppModel::placeThread(const std::string& number, bool added) {
    const auto place = [&] {
        return std::find_if(data_.threads.begin(), data_.threads.end(),
                            [&](const ChatThread& t) { return t.id == number; }) -
               data_.threads.begin();
    };
    const auto before = place();
    sortThreads();
    if (added || place() != before) Q_EMIT threadMoved(number);
}

std::optional<std::string> AppModel::checkSendTarget(const std::string& number) {
    if (!data_.account) return std::nullopt;
    const std::string own = data_.account->number.text();
    auto parsed = VirtualNumber::parse(number);
    // The own number in any typed form is still the own number.
    if (number == own || (parsed && parsed->text() == own)) {
        setAlert("That is your number.");
        return std::nullopt;
    }
    if (!parsed) return std::nullopt;
    const std::string target = parsed->text();
    if (isBlocked(target)) {
        setAlert(displayName(target) + " is blocked. Unblock them first.");
        return std::nullopt;
    }
    return target;
}

std::optional<Uuid> AppModel::sendText(const std::string& text, const std::string& number) {
    const std::string_view body = unicode::trimmed(text);
    if (body.empty()) return std::nullopt;
    auto target = checkSendTarget(number);
    if (!target) return std::nullopt;

    Message message;
    message.id = Uuid::random();
    message.sender = kMe;
    message.sentAt = now();
    message.text = unicode::prefixCharacters(body, kTextLimit);
    message.status = MessageStatus::waiting;
    appendMessage(message, *target, displayName(*target));
    if (offerText(message, *target)) setStatus(MessageStatus::sent, message.id);
    saveMessage(message.id);
    return message.id;
}

bool AppModel::offerText(const Message& message, const std::string& number) {
    wire::Envelope envelope = wire::textEnvelope(message.id, number, message.text, message.sentAt);
    envelope.name = data_.account->displayName;
    envelope.device = data_.deviceId.text();
    // Both paths are tried every time; either one counts.
    return router_.sendWithOwnCopies(envelope, number, data_.account->number.text());
}

std::optional<Uuid> AppModel::sendAttachment(std::span<const std::byte> bytes,
                                             const std::string& kind, const std::string& name,
                                             const std::string& number) {
    auto target = checkSendTarget(number);
    if (!target) return std::nullopt;
    if (bytes.size() > kAttachmentLimit) {
        setAlert("That file is over 20 MB.");
        return std::nullopt;
    }
    // A camera's photo is too large for the relay service: a smaller copy
    // is what is kept and sent. Photos that fit go untouched.
    std::optional<std::vector<std::byte>> smaller;
    if (kind == "image") smaller = fitPhoto(bytes, kRelayAttachmentLimit);
    if (smaller) bytes = *smaller;
    auto stored = store_.storeFile(bytes, name);
    if (!stored) return std::nullopt;

    Message message;
    message.id = Uuid::random();
    message.sender = kMe;
    message.sentAt = now();
    message.text = captionFor(kind, name);
    message.status = MessageStatus::waiting;
    message.attachmentName = name;
    message.attachmentKind = kind;
    message.attachmentPath = *stored;
    if (kind == "audio") message.expiresAt = message.sentAt + recordingLife;
    appendMessage(message, *target, displayName(*target));

    wire::Envelope lanEnvelope = wire::lanFileEnvelope(message.id, *target, name, kind,
                                                       message.sentAt, "file-" + message.id.text());
    lanEnvelope.name = data_.account->displayName;
    std::optional<wire::Envelope> lineEnvelope;
    if (bytes.size() < kRelayAttachmentLimit) {
        lineEnvelope =
            wire::netFileEnvelope(message.id, *target, name, kind, message.sentAt, bytes);
        lineEnvelope->name = data_.account->displayName;
        lineEnvelope->device = data_.deviceId.text();
    }
    const bool delivered =
        router_.sendFile(lanEnvelope, store_.attachmentFile(*stored), lineEnvelope, *target);
    if (delivered) {
        setStatus(MessageStatus::sent, message.id);
    } else {
        const char* word = kind == "image" ? "photo" : "file";
        setAlert(displayName(*target) + " does not have Merrowfax open. The " + word +
                 " stays in the chat until they do.");
    }
    save();
    return message.id;
}

void AppModel::appendMessage(Message message, const std::string& number, const std::string& title) {
    const Uuid id = message.id;
    threadOf_.insert_or_assign(id, number);
    ChatThread* existing = thread(number);
    if (existing) {
        existing->updatedAt = message.sentAt;
        if (existing->title == number) existing->title = title;
        existing->messages.push_back(std::move(message));
    } else {
        ChatThread created;
        created.id = number;
        created.title = title;
        created.updatedAt = message.sentAt;
        created.messages.push_back(std::move(message));
        data_.threads.push_back(std::move(created));
    }
    placeThread(number, !existing);
    Q_EMIT messageAdded(number, id);
}

bool AppModel::setStatus(MessageStatus status, const Uuid& id) {
    Message* m = message(id);
    if (!m) return false;
    // A message deleted for everyone stays deleted, whatever arrives.
    if (m->status != MessageStatus::deleted && m->status != status) {
        m->status = status;
        Q_EMIT messageChanged(threadOf_.at(id), id);
    }
    return true;
}

void AppModel::flushWaiting() {
    if (!data_.account) return;
    bool changed = false;
    for (ChatThread& t : data_.threads) {
        for (Message& m : t.messages) {
            if (m.sender != kMe || m.attachmentPath || m.status == MessageStatus::delivered ||
                m.status == MessageStatus::deleted) {
                continue;
            }
            if (offerText(m, t.id) && m.status == MessageStatus::waiting) {
                m.status = MessageStatus::sent;
                changed = true;
                Q_EMIT messageChanged(t.id, m.id);
            }
        }
    }
    // Nothing changed, nothing to write: this runs on every presence change.
    if (!changed) return;
    save();
}

// The service tells a sender that a reader came online only once the reader
// has answered, so a text to someone who has not yet heard from us would wait
// for ever. Now and then the oldest undelivered text of each chat is offered
// again: one record per chat, however many wait, and the reader's "delivered"
// makes its presence known, which brings the rest (flushWaiting).
void AppModel::retryWaiting() {
    constexpr int kChatsPerRound = 20;
    if (!data_.account || !components_.line->isOpen()) return;
    int offered = 0;
    bool changed = false;
    for (ChatThread& t : data_.threads) {
        if (offered == kChatsPerRound) break;
        for (Message& m : t.messages) {
            if (m.sender != kMe || m.attachmentPath || m.status == MessageStatus::delivered ||
                m.status == MessageStatus::deleted) {
                continue;
            }
            ++offered;
            if (offerText(m, t.id) && m.status == MessageStatus::waiting) {
                m.status = MessageStatus::sent;
                changed = true;
                Q_EMIT messageChanged(t.id, m.id);
            }
            break;
        }
    }
    if (!changed) return;
    save();
}

void AppModel::receiveText(const wire::events::Text& text) {
    if (!data_.account || isBlocked(text.from) || threadOf_.contains(text.id)) return;
    if (!isCanonicalNumber(text.from)) return;
    const std::string own = data_.account->number.text();
    const std::string name = cleanName(text.name);
    learnName(text.from, name);

    Message message;
    message.id = text.id;
    message.sentAt = text.sent;
    message.text = unicode::prefixCharacters(text.body, kTextLimit);
    message.status = MessageStatus::delivered;

    if (text.from == own) {
        // Our own echo, or a copy of what a linked device of this number wrote.
        if (text.device == data_.deviceId.text()) return;
        if (!isCanonicalNumber(text.to) || text.to == own) return;
        message.sender = kMe;
        appendMessage(std::move(message), text.to, displayName(text.to));
        saveMessage(text.id, text.from);
        return;
    }

    message.sender = kThem;
    // A flood of strangers must not grow the contact list without bound:
    // beyond the limit their texts are still kept, in their own chats.
    const bool added =
        !contactWithNumber(text.from) && strangerMayBeAdded() && autoAddContact(name, text.from);
    if (added) {
        strangersAdded_.push_back(std::chrono::steady_clock::now());
        bookChanged();
    }
    appendMessage(std::move(message), text.from, name.empty() ? text.from : name);
    // "delivered" goes out once the text is stored durably: a crash after
    // the acknowledgement must not lose it.
    auto acknowledge = [this, id = text.id, from = text.from] {
        router_.send(wire::deliveredEnvelope(id, from), from);
    };
    if (added) {
        save();
        acknowledge();
    } else {
        saveMessage(text.id, text.from, std::move(acknowledge));
    }
    notifyNewText(name.empty() ? text.from : name);
}

void AppModel::receiveFile(const wire::events::File& file) {
    // The transport's temporary copy is ours now; it goes whatever happens.
    struct RemoveOnExit {
        std::string path;
        ~RemoveOnExit() {
            std::error_code ignored;
            if (!path.empty()) std::filesystem::remove(path, ignored);
        }
    } temporary{file.url};

    if (!data_.account || isBlocked(file.from) || !isCanonicalNumber(file.from)) return;
    if (threadOf_.contains(file.id)) return;  // before storing: a duplicate leaves no file behind
    const std::string own = data_.account->number.text();
    const bool ownCopy = file.from == own;
    if (ownCopy && (!isCanonicalNumber(file.to) || file.to == own)) return;
    auto bytes = readFile(file.url, kAttachmentLimit);
    if (!bytes) return;
    // What is stored is what is shown: the extension comes from the clean name.
    const std::string fileName = cleanFileName(file.fileName);
    auto stored = store_.storeFile(*bytes, fileName);
    if (!stored) return;
    learnName(file.from, cleanName(file.name));

    Message message;
    message.id = file.id;
    message.sender = ownCopy ? kMe : kThem;
    message.sentAt = file.sent;
    message.text = captionFor(file.kind, fileName);
    message.status = MessageStatus::delivered;
    message.attachmentName = fileName;
    message.attachmentKind = file.kind;
    message.attachmentPath = *stored;
    if (file.kind == "audio") message.expiresAt = file.sent + recordingLife;
    const std::string& threadNumber = ownCopy ? file.to : file.from;
    appendMessage(std::move(message), threadNumber, displayName(threadNumber));
    save();
}

void AppModel::receiveDeletion(const wire::events::Deleted& deleted) {
    if (!data_.account || isBlocked(deleted.from)) return;
    const std::string own = data_.account->number.text();
    const bool ownCopy = deleted.from == own && deleted.to != own;
    const std::string& threadNumber = ownCopy ? deleted.to : deleted.from;
    // The other side may delete only what it wrote; a linked device of ours
    // only what this number wrote.
    const Message* m = message(threadNumber, deleted.id);
    if (!m || m->sender != (ownCopy ? kMe : kThem)) return;
    markDeleted(deleted.id, threadNumber);
}

void AppModel::receiveDelivered(const wire::events::Delivered& ack) {
    auto it = threadOf_.find(ack.id);
    if (it == threadOf_.end()) return;
    // Only the number it went to, or another device of this account, can
    // tell that it arrived.
    if (ack.from != it->second && ack.from != ownNumber()) return;
    if (setStatus(MessageStatus::delivered, ack.id)) saveMessage(ack.id);
}

void AppModel::removeStoredFile(const std::optional<std::string>& storedName) {
    if (!storedName) return;
    if (auto path = store_.attachmentFile(*storedName)) {
        std::error_code ignored;
        std::filesystem::remove(*path, ignored);
    }
}

void AppModel::markDeleted(const Uuid& id, const std::string& number) {
    Message* m = message(number, id);
    if (!m) return;
    removeStoredFile(m->attachmentPath);
    m->text = "This message was deleted";
    m->attachmentName.reset();
    m->attachmentKind.reset();
    m->attachmentPath.reset();
    m->expiresAt.reset();
    m->deletedForEveryone = true;
    m->status = MessageStatus::deleted;
    thread(number)->updatedAt = now();
    placeThread(number, false);
    Q_EMIT messageChanged(number, id);
    save();
}

void AppModel::deleteMessageForEveryone(const Uuid& id, const std::string& number) {
    const Message* m = message(number, id);
    if (!m || m->sender != kMe || m->deletedForEveryone.value_or(false)) return;
    markDeleted(id, number);
    router_.sendWithOwnCopies(wire::deleteEnvelope(id, number), number, *ownNumber());
}

void AppModel::deleteMessageForMe(const Uuid& id, const std::string& number) {
    const Message* m = message(number, id);
    if (!m) return;
    removeStoredFile(m->attachmentPath);
    auto& messages = thread(number)->messages;
    messages.erase(messages.begin() + (m - messages.data()));
    threadOf_.erase(id);
    Q_EMIT threadsChanged();
    save();
}

void AppModel::clearChat(const std::string& number) {
    auto it = std::find_if(data_.threads.begin(), data_.threads.end(),
                           [&](const ChatThread& t) { return t.id == number; });
    if (it == data_.threads.end()) return;
    for (const Message& m : it->messages) {
        removeStoredFile(m.attachmentPath);
        threadOf_.erase(m.id);
    }
    data_.threads.erase(it);
    Q_EMIT threadsChanged();
    save();
}

void AppModel::purgeExpired() {
    const Date current = now();
    bool removed = false;
    for (ChatThread& t : data_.threads) {
        auto expired = std::stable_partition(
            t.messages.begin(), t.messages.end(),
            [&](const Message& m) { return !m.expiresAt || *m.expiresAt > current; });
        for (auto m = expired; m != t.messages.end(); ++m) {
            removeStoredFile(m->attachmentPath);
            threadOf_.erase(m->id);
        }
        if (expired != t.messages.end()) {
            t.messages.erase(expired, t.messages.end());
            removed = true;
        }
    }
    sweepOrphanFiles();
    if (removed) {
        Q_EMIT threadsChanged();
        save();
    }
}

void AppModel::sweepOrphanFiles() {
    std::set<std::string> keep;
    for (const ChatThread& t : data_.threads) {
        for (const Message& m : t.messages) {
            if (m.attachmentPath) keep.insert(*m.attachmentPath);
        }
    }
    // Files that appear after this moment belong to messages the set above
    // does not know yet: only older files can be orphans. File times are
    // coarser than the clock, hence the margin.
    const auto takenAt = std::filesystem::file_time_type::clock::now() - std::chrono::seconds(2);
    fileSweeps_.start([folder = store_.filesFolder(), keep = std::move(keep), takenAt] {
        std::error_code error;
        for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
            std::error_code ignored;
            if (!entry.is_regular_file(ignored)) continue;
            if (keep.count(entry.path().filename().string())) continue;
            if (entry.last_write_time(ignored) >= takenAt) continue;
            std::filesystem::remove(entry.path(), ignored);
        }
    });
}

void AppModel::notifyNewText(const std::string& title) {
    components_.sounds->play(SystemSound::newText);
    if (!components_.isActive()) components_.notifier->post(title, "New text");
}

}  // namespace merrowfax
