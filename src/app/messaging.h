#pragma once

#include <QObject>
#include <QThreadPool>
#include <QTimer>

#include <cstddef>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "base/uuid.h"
#include "model/records.h"
#include "wire/peer_event.h"

namespace merrowfax {

class People;
class Router;
class Store;

// What the chats ask of the rest of the program: the account, the user's
// alert, the store's writing and the new-text notice.
class MessagingHost {
public:
    virtual const std::optional<Account>& account() const = 0;
    virtual const Uuid& deviceId() const = 0;
    virtual void setAlert(std::string text) = 0;
    // Writes message `id` and the learnt name of `learnedNumber` to the
    // journal; `then` runs once that is on disk.
    virtual void saveMessage(const Uuid& id, const std::optional<std::string>& learnedNumber = {},
                             std::function<void()> then = {}) = 0;
    virtual void save() = 0;
    // The sound of a new text from `number`, and a notification when no
    // window is active.
    virtual void notifyNewText(const std::string& title, const std::string& number) = 0;

protected:
    ~MessagingHost() = default;
};

// The chats: sending to both paths at once, receiving from either exactly
// once, deletion, and the expiry of voice messages. The threads live in the
// stored state the model keeps; this is the only code that changes them.
class Messaging : public QObject {
    Q_OBJECT
    Q_PROPERTY(std::vector<merrowfax::ChatThread> threads READ threads NOTIFY threadsChanged)
    Q_PROPERTY(int unreadCount READ unreadCount NOTIFY unreadChanged)

public:
    static constexpr double recordingLife = 7200.0;  // a voice message's life, in seconds

    Messaging(MessagingHost& host, People& people, Router& router, Store& store,
              std::vector<ChatThread>& threads);
    ~Messaging() override;

    const std::vector<ChatThread>& threads() const { return threads_; }
    const Message* find(const std::string& number, const Uuid& id) const;
    bool hasThread(const std::string& number) const;

    // Both give the new message's id, if one was made.
    std::optional<Uuid> sendText(const std::string& text, const std::string& number);
    std::optional<Uuid> sendAttachment(std::span<const std::byte> bytes, const std::string& kind,
                                       const std::string& name, const std::string& number);
    bool setStatus(MessageStatus status, const Uuid& id);  // false: no such message
    void retryWaiting();
    // Offers every waiting text again: someone came within reach.
    void flushWaiting();
    void deleteMessageForMe(const Uuid& id, const std::string& number);
    void deleteMessageForEveryone(const Uuid& id, const std::string& number);
    void clearChat(const std::string& number);
    void purgeExpired();

    // Received messages not seen yet, over all chats.
    int unreadCount() const;
    // The chat with `number` is on screen in the active window, or no longer
    // is (`shown` false). What it holds and what arrives there while it is
    // counts as read.
    void viewChat(const std::string& number, bool shown);
    void markRead(const std::string& number);

    void receive(const wire::events::Text& text);
    void receive(const wire::events::File& file);
    void receive(const wire::events::Deleted& deleted);
    void receive(const wire::events::Delivered& ack);

    // A message made on this device by another flow (a walkie exchange),
    // kept in the chat with `number` and written to the journal.
    void keep(Message message, const std::string& number);
    // A contact's number changed: its chat goes along.
    void moveConversation(const std::string& from, const std::string& to);
    // Every chat is gone (the device was reset); their files are swept.
    void clearAll();
    // The chats of a linked device's snapshot, in place of these.
    void replaceAll(std::vector<ChatThread> threads);
    void waitForFileSweeps();

Q_SIGNALS:
    // The whole list changed; a single message or thread has its own signal.
    void threadsChanged();
    void messageAdded(const std::string& thread, const merrowfax::Uuid& id);
    void messageChanged(const std::string& thread, const merrowfax::Uuid& id);
    // A thread was added or moved to the top with a new message.
    void threadMoved(const std::string& thread);
    // The unread count of `thread` (empty: of several) changed.
    void unreadChanged(const std::string& thread);

private:
    std::optional<std::string> checkSendTarget(const std::string& number);
    bool offerText(const Message& message, const std::string& number);
    bool offerWaiting(ChatThread& thread, Message& message);
    void appendMessage(Message message, const std::string& number, const std::string& title);
    // A message of theirs arrived in the chat with `number`.
    void countArrival(const std::string& number);
    // Messages went from `t`: its count can be no more than what is left.
    void boundUnread(ChatThread& t);
    void markDeleted(const Uuid& id, const std::string& number);
    ChatThread* thread(const std::string& number);
    Message* message(const std::string& number, const Uuid& id);
    Message* message(const Uuid& id);  // through the index, in any thread
    void indexThreads();               // the index anew, after a bulk change
    void removeStoredFile(const std::optional<std::string>& storedName);
    void sweepOrphanFiles();
    void sortThreads();
    // After `number` got a message or changed time: signals whether its
    // place in the list changed (or whether it is new, `added`).
    void placeThread(const std::string& number, bool added);

    MessagingHost& host_;
    People& people_;
    Router& router_;
    Store& store_;
    std::vector<ChatThread>& threads_;
    std::unordered_map<Uuid, std::string> threadOf_;  // each message's thread, by id
    std::string viewing_;                             // the chat on screen in the active window
    QTimer expiryTimer_;
    QTimer retryTimer_;       // offers undelivered texts again
    QThreadPool fileSweeps_;  // one worker: sweeps never overlap
};

}  // namespace merrowfax
