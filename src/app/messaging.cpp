// Messaging: sending to both transports at once, receiving from either one
// exactly once, deletion, and the expiry of voice messages.

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "app/messaging.h"

#include "app/people.h"
#include "app/photo_fit.h"
#include "app/router.h"
#include "model/store.h"
#include "model/text_limits.h"
#include "numbers/unicode_text.h"
#include "numbers/virtual_number.h"
#include "platform/timings.h"
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

// A text of ours that no device has taken yet.
bool awaitsDelivery(const Message& m) {
    return m.sender == kMe && !m.attachmentPath && m.status != MessageStatus::delivered &&
           m.status != MessageStatus::deleted;
}

}  // namespace

Messaging::Messaging(MessagingHost& host, People& people, Router& router, Store& store,
                     std::vector<ChatThread>& threads)
    : host_(host), people_(people), router_(router), store_(store), threads_(threads) {
    indexThreads();
    fileSweeps_.setMaxThreadCount(1);
    expiryTimer_.setInterval(timings().expirySweep);
    connect(&expiryTimer_, &QTimer::timeout, this, &Messaging::purgeExpired);
    expiryTimer_.start();
    retryTimer_.setInterval(timings().waitingRetry);
    connect(&retryTimer_, &QTimer::timeout, this, &Messaging::retryWaiting);
    retryTimer_.start();
}

Messaging::~Messaging() {
    fileSweeps_.waitForDone();
}

void Messaging::waitForFileSweeps() {
    fileSweeps_.waitForDone();
}

bool Messaging::hasThread(const std::string& number) const {
    return std::any_of(threads_.begin(), threads_.end(),
                       [&](const ChatThread& t) { return t.id == number; });
}

const Message* Messaging::find(const std::string& number, const Uuid& id) const {
    return const_cast<Messaging*>(this)->message(number, id);
}

ChatThread* Messaging::thread(const std::string& number) {
    auto it = std::find_if(threads_.begin(), threads_.end(),
                           [&](const ChatThread& t) { return t.id == number; });
    return it == threads_.end() ? nullptr : &*it;
}

Message* Messaging::message(const std::string& number, const Uuid& id) {
    ChatThread* t = thread(number);
    if (!t) return nullptr;
    // Newest last: the message asked about is usually near the end.
    auto m = std::find_if(t->messages.rbegin(), t->messages.rend(),
                          [&](const Message& x) { return x.id == id; });
    return m == t->messages.rend() ? nullptr : &*m;
}

Message* Messaging::message(const Uuid& id) {
    auto it = threadOf_.find(id);
    return it == threadOf_.end() ? nullptr : message(it->second, id);
}

void Messaging::indexThreads() {
    threadOf_.clear();
    for (const ChatThread& t : threads_) {
        for (const Message& m : t.messages) threadOf_.emplace(m.id, t.id);
    }
}

void Messaging::sortThreads() {
    std::stable_sort(
        threads_.begin(), threads_.end(),
        [](const ChatThread& a, const ChatThread& b) { return a.updatedAt > b.updatedAt; });
}

void Messaging::placeThread(const std::string& number, bool added) {
    const auto place = [&] {
        return std::find_if(threads_.begin(), threads_.end(),
                            [&](const ChatThread& t) { return t.id == number; }) -
               threads_.begin();
    };
    const auto before = place();
    sortThreads();
    if (added || place() != before) Q_EMIT threadMoved(number);
}

std::optional<std::string> Messaging::checkSendTarget(const std::string& number) {
    if (!host_.account()) return std::nullopt;
    const std::string own = host_.account()->number.text();
    auto parsed = VirtualNumber::parse(number);
    // The own number in any typed form is still the own number.
    if (number == own || (parsed && parsed->text() == own)) {
        host_.setAlert("That is your number.");
        return std::nullopt;
    }
    if (!parsed) return std::nullopt;
    const std::string target = parsed->text();
    if (people_.isBlocked(target)) {
        host_.setAlert(people_.displayName(target) + " is blocked. Unblock them first.");
        return std::nullopt;
    }
    return target;
}

std::optional<Uuid> Messaging::sendText(const std::string& text, const std::string& number) {
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
    appendMessage(message, *target, people_.displayName(*target));
    if (offerText(message, *target)) setStatus(MessageStatus::sent, message.id);
    host_.saveMessage(message.id);
    return message.id;
}

bool Messaging::offerText(const Message& message, const std::string& number) {
    wire::Envelope envelope = wire::textEnvelope(message.id, number, message.text, message.sentAt);
    envelope.name = host_.account()->displayName;
    envelope.device = host_.deviceId().text();
    // Both paths are tried every time; either one counts.
    return router_.sendWithOwnCopies(envelope, number, host_.account()->number.text());
}

std::optional<Uuid> Messaging::sendAttachment(std::span<const std::byte> bytes,
                                              const std::string& kind, const std::string& name,
                                              const std::string& number) {
    auto target = checkSendTarget(number);
    if (!target) return std::nullopt;
    if (bytes.size() > kAttachmentLimit) {
        host_.setAlert("That file is over 20 MB.");
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
    appendMessage(message, *target, people_.displayName(*target));

    wire::Envelope lanEnvelope = wire::lanFileEnvelope(message.id, *target, name, kind,
                                                       message.sentAt, "file-" + message.id.text());
    lanEnvelope.name = host_.account()->displayName;
    std::optional<wire::Envelope> lineEnvelope;
    if (bytes.size() < kRelayAttachmentLimit) {
        lineEnvelope =
            wire::netFileEnvelope(message.id, *target, name, kind, message.sentAt, bytes);
        lineEnvelope->name = host_.account()->displayName;
        lineEnvelope->device = host_.deviceId().text();
    }
    const bool delivered =
        router_.sendFile(lanEnvelope, store_.attachmentFile(*stored), lineEnvelope, *target);
    if (delivered) {
        setStatus(MessageStatus::sent, message.id);
    } else {
        const char* word = kind == "image" ? "photo" : "file";
        host_.setAlert(people_.displayName(*target) + " does not have Merrowfax open. The " + word +
                       " stays in the chat until they do.");
    }
    host_.save();
    return message.id;
}

void Messaging::appendMessage(Message message, const std::string& number,
                              const std::string& title) {
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
        threads_.push_back(std::move(created));
    }
    placeThread(number, !existing);
    Q_EMIT messageAdded(number, id);
}

int Messaging::unreadCount() const {
    int total = 0;
    for (const ChatThread& t : threads_) total += t.unread;
    return total;
}

void Messaging::countArrival(const std::string& number) {
    if (number == viewing_) return;
    if (ChatThread* t = thread(number)) {
        ++t->unread;
        Q_EMIT unreadChanged(number);
    }
}

void Messaging::boundUnread(ChatThread& t) {
    const auto theirs = std::count_if(t.messages.begin(), t.messages.end(),
                                      [](const Message& m) { return m.sender == kThem; });
    if (t.unread <= theirs) return;
    t.unread = static_cast<int>(theirs);
    Q_EMIT unreadChanged(t.id);
}

void Messaging::viewChat(const std::string& number, bool shown) {
    if (shown) {
        viewing_ = number;
        markRead(number);
    } else if (viewing_ == number) {
        viewing_.clear();
    }
}

void Messaging::markRead(const std::string& number) {
    ChatThread* t = thread(number);
    if (!t || t->unread == 0) return;
    t->unread = 0;
    Q_EMIT unreadChanged(number);
    host_.save();
}

bool Messaging::setStatus(MessageStatus status, const Uuid& id) {
    Message* m = message(id);
    if (!m) return false;
    // A message deleted for everyone stays deleted, whatever arrives.
    if (m->status != MessageStatus::deleted && m->status != status) {
        m->status = status;
        Q_EMIT messageChanged(threadOf_.at(id), id);
    }
    return true;
}

bool Messaging::offerWaiting(ChatThread& t, Message& m) {
    if (!offerText(m, t.id) || m.status != MessageStatus::waiting) return false;
    m.status = MessageStatus::sent;
    Q_EMIT messageChanged(t.id, m.id);
    return true;
}

void Messaging::flushWaiting() {
    if (!host_.account()) return;
    bool changed = false;
    for (ChatThread& t : threads_) {
        for (Message& m : t.messages) {
            if (awaitsDelivery(m)) changed |= offerWaiting(t, m);
        }
    }
    // Nothing changed, nothing to write: this runs on every presence change.
    if (changed) host_.save();
}

// The service tells a sender that a reader came online only once the reader
// has answered, so a text to someone who has not yet heard from us would wait
// for ever. Now and then the oldest undelivered text of each chat is offered
// again: one record per chat, however many wait, and the reader's "delivered"
// makes its presence known, which brings the rest (flushWaiting).
void Messaging::retryWaiting() {
    constexpr int kChatsPerRound = 20;
    if (!host_.account() || !router_.lineOpen()) return;
    int offered = 0;
    bool changed = false;
    for (ChatThread& t : threads_) {
        if (offered == kChatsPerRound) break;
        auto m = std::find_if(t.messages.begin(), t.messages.end(), awaitsDelivery);
        if (m == t.messages.end()) continue;
        ++offered;
        changed |= offerWaiting(t, *m);
    }
    if (changed) host_.save();
}

void Messaging::receive(const wire::events::Text& text) {
    if (!host_.account() || people_.isBlocked(text.from) || threadOf_.contains(text.id)) return;
    if (!isCanonicalNumber(text.from)) return;
    const std::string own = host_.account()->number.text();
    const std::string name = cleanName(text.name);
    people_.learnName(text.from, name);

    Message message;
    message.id = text.id;
    message.sentAt = text.sent;
    message.text = unicode::prefixCharacters(text.body, kTextLimit);
    message.status = MessageStatus::delivered;

    if (text.from == own) {
        // Our own echo, or a copy of what a linked device of this number wrote.
        if (text.device == host_.deviceId().text()) return;
        if (!isCanonicalNumber(text.to) || text.to == own) return;
        message.sender = kMe;
        appendMessage(std::move(message), text.to, people_.displayName(text.to));
        host_.saveMessage(text.id, text.from);
        return;
    }

    message.sender = kThem;
    // A flood of strangers must not grow the contact list without bound:
    // beyond the limit their texts are still kept, in their own chats.
    const bool added = people_.welcomeStranger(name, text.from);
    appendMessage(std::move(message), text.from, name.empty() ? text.from : name);
    countArrival(text.from);
    // "delivered" goes out once the text is stored durably: a crash after
    // the acknowledgement must not lose it.
    auto acknowledge = [this, id = text.id, from = text.from] {
        router_.send(wire::deliveredEnvelope(id, from), from);
    };
    if (added) {
        host_.save();
        acknowledge();
    } else {
        host_.saveMessage(text.id, text.from, std::move(acknowledge));
    }
    host_.notifyNewText(name.empty() ? text.from : name, text.from);
}

void Messaging::receive(const wire::events::File& file) {
    // The transport's temporary copy is ours now; it goes whatever happens.
    struct RemoveOnExit {
        std::string path;
        ~RemoveOnExit() {
            std::error_code ignored;
            if (!path.empty()) std::filesystem::remove(path, ignored);
        }
    } temporary{file.url};

    if (!host_.account() || people_.isBlocked(file.from) || !isCanonicalNumber(file.from)) return;
    if (threadOf_.contains(file.id)) return;  // before storing: a duplicate leaves no file behind
    const std::string own = host_.account()->number.text();
    const bool ownCopy = file.from == own;
    if (ownCopy && (!isCanonicalNumber(file.to) || file.to == own)) return;
    auto bytes = readFile(file.url, kAttachmentLimit);
    if (!bytes) return;
    // What is stored is what is shown: the extension comes from the clean name.
    const std::string fileName = cleanFileName(file.fileName);
    auto stored = store_.storeFile(*bytes, fileName);
    if (!stored) return;
    people_.learnName(file.from, cleanName(file.name));

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
    appendMessage(std::move(message), threadNumber, people_.displayName(threadNumber));
    if (!ownCopy) countArrival(threadNumber);
    host_.save();
}

void Messaging::receive(const wire::events::Deleted& deleted) {
    if (!host_.account() || people_.isBlocked(deleted.from)) return;
    const std::string own = host_.account()->number.text();
    const bool ownCopy = deleted.from == own && deleted.to != own;
    const std::string& threadNumber = ownCopy ? deleted.to : deleted.from;
    // The other side may delete only what it wrote; a linked device of ours
    // only what this number wrote.
    const Message* m = message(threadNumber, deleted.id);
    if (!m || m->sender != (ownCopy ? kMe : kThem)) return;
    markDeleted(deleted.id, threadNumber);
}

void Messaging::receive(const wire::events::Delivered& ack) {
    if (!host_.account()) return;
    auto it = threadOf_.find(ack.id);
    if (it == threadOf_.end()) return;
    // Only the number it went to, or another device of this account, can
    // tell that it arrived.
    if (ack.from != it->second && ack.from != host_.account()->number.text()) return;
    if (setStatus(MessageStatus::delivered, ack.id)) host_.saveMessage(ack.id);
}

void Messaging::removeStoredFile(const std::optional<std::string>& storedName) {
    if (!storedName) return;
    if (auto path = store_.attachmentFile(*storedName)) {
        std::error_code ignored;
        std::filesystem::remove(*path, ignored);
    }
}

void Messaging::markDeleted(const Uuid& id, const std::string& number) {
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
    host_.save();
}

void Messaging::deleteMessageForEveryone(const Uuid& id, const std::string& number) {
    const Message* m = message(number, id);
    if (!m || !host_.account() || m->sender != kMe || m->deletedForEveryone.value_or(false)) return;
    markDeleted(id, number);
    router_.sendWithOwnCopies(wire::deleteEnvelope(id, number), number,
                              host_.account()->number.text());
}

void Messaging::deleteMessageForMe(const Uuid& id, const std::string& number) {
    const Message* m = message(number, id);
    if (!m) return;
    removeStoredFile(m->attachmentPath);
    ChatThread& t = *thread(number);
    t.messages.erase(t.messages.begin() + (m - t.messages.data()));
    threadOf_.erase(id);
    boundUnread(t);
    Q_EMIT threadsChanged();
    host_.save();
}

void Messaging::clearChat(const std::string& number) {
    auto it = std::find_if(threads_.begin(), threads_.end(),
                           [&](const ChatThread& t) { return t.id == number; });
    if (it == threads_.end()) return;
    for (const Message& m : it->messages) {
        removeStoredFile(m.attachmentPath);
        threadOf_.erase(m.id);
    }
    const bool hadUnread = it->unread > 0;
    threads_.erase(it);
    Q_EMIT threadsChanged();
    if (hadUnread) Q_EMIT unreadChanged(number);
    host_.save();
}

void Messaging::purgeExpired() {
    const Date current = now();
    bool removed = false;
    for (ChatThread& t : threads_) {
        auto expired = std::stable_partition(
            t.messages.begin(), t.messages.end(),
            [&](const Message& m) { return !m.expiresAt || *m.expiresAt > current; });
        for (auto m = expired; m != t.messages.end(); ++m) {
            removeStoredFile(m->attachmentPath);
            threadOf_.erase(m->id);
        }
        if (expired != t.messages.end()) {
            t.messages.erase(expired, t.messages.end());
            boundUnread(t);
            removed = true;
        }
    }
    sweepOrphanFiles();
    if (removed) {
        Q_EMIT threadsChanged();
        host_.save();
    }
}

void Messaging::sweepOrphanFiles() {
    std::set<std::string> keep;
    for (const ChatThread& t : threads_) {
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

void Messaging::keep(Message message, const std::string& number) {
    const Uuid id = message.id;
    appendMessage(std::move(message), number, people_.displayName(number));
    host_.saveMessage(id, std::nullopt, {});
}

void Messaging::moveConversation(const std::string& from, const std::string& to) {
    auto old = std::find_if(threads_.begin(), threads_.end(),
                            [&](const ChatThread& t) { return t.id == from; });
    if (old == threads_.end()) return;
    ChatThread moved = std::move(*old);
    threads_.erase(old);

    if (ChatThread* target = thread(to)) {
        target->unread += moved.unread;
        target->messages.insert(target->messages.end(),
                                std::make_move_iterator(moved.messages.begin()),
                                std::make_move_iterator(moved.messages.end()));
        std::stable_sort(target->messages.begin(), target->messages.end(),
                         [](const Message& a, const Message& b) { return a.sentAt < b.sentAt; });
        if (!target->messages.empty()) target->updatedAt = target->messages.back().sentAt;
    } else {
        moved.id = to;
        threads_.push_back(std::move(moved));
    }
    sortThreads();
    indexThreads();
    Q_EMIT threadsChanged();
    Q_EMIT unreadChanged({});
}

void Messaging::replaceAll(std::vector<ChatThread> threads) {
    threads_ = std::move(threads);
    indexThreads();
    Q_EMIT threadsChanged();
    Q_EMIT unreadChanged({});
    sweepOrphanFiles();
}

void Messaging::clearAll() {
    threads_.clear();
    threadOf_.clear();
    Q_EMIT threadsChanged();
    Q_EMIT unreadChanged({});
    sweepOrphanFiles();
}

}  // namespace merrowfax
