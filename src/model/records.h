#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/date.h"
#include "base/uuid.h"
#include "numbers/virtual_number.h"

// The records the application keeps: plain values, no behaviour beyond their
// JSON coding (record_json.h). Numbers outside the own account are held as
// their text form, "0-1-234-5678". Strings are UTF-8.
namespace merrowfax {

// Where a message stands. Only the codec (record_json.h) knows the words.
enum class MessageStatus : std::uint8_t { waiting, sent, delivered, deleted, other };
// How a call of the list went: any call placed here is outgoing; a received
// call is incoming once connected, else missed.
enum class CallDirection : std::uint8_t { outgoing, incoming, missed, other };
// The current call: invitation sent and no answer yet, or connected.
enum class CallPhase : std::uint8_t { dialing, active };

// A stored word of a closed set, seen by the code as its enum. A word this
// version does not know (a newer one wrote it) reads as `E::other` and is
// written back as it came, so a load and save never loses it.
template <typename E>
class StoredWord {
public:
    // Implicit both ways: code assigns, compares and switches as on the enum.
    StoredWord(E value = E{}) : value_(value) {}
    static StoredWord unknown(std::string word) {
        StoredWord w(E::other);
        w.word_ = std::move(word);
        return w;
    }

    E value() const { return value_; }
    operator E() const { return value_; }
    // The word as read, for `E::other` only.
    const std::string& unknownWord() const { return word_; }

    bool operator==(E value) const { return value_ == value; }
    bool operator==(const StoredWord&) const = default;

private:
    E value_;
    std::string word_;
};

// Another device sharing this account's number.
struct LinkedDevice {
    Uuid id;
    std::string name;
    std::string kind;  // "iPhone", "iPad" or "Mac"
    Date linkedAt = 0;
    Date lastSeen = 0;
    // Its secret identity with the relay service, kept by the device that
    // linked it so the service can be told to trust it again; never sent on.
    std::optional<std::string> computer;

    bool operator==(const LinkedDevice&) const = default;
};

// The user's own identity on this device.
struct Account {
    Uuid id;
    Uuid deviceId;  // the device that created the record
    std::string displayName;
    VirtualNumber number;
    Date createdAt = 0;
    bool isCompanion = false;  // joined an existing number by device linking
    std::vector<LinkedDevice> linkedDevices;
    std::string accountKind = "personal";

    bool operator==(const Account&) const = default;
};

struct Contact {
    Uuid id;
    std::string name;
    std::string number;
    bool blocked = false;

    bool operator==(const Contact&) const = default;
};

struct Message {
    Uuid id;             // the same on both sides
    std::string sender;  // "me" or "them"
    Date sentAt = 0;     // the sender's clock
    std::string text;    // for attachments a caption
    StoredWord<MessageStatus> status;
    std::optional<std::string> attachmentName;
    std::optional<std::string> attachmentKind;  // "image", "audio", "file" ...
    std::optional<std::string> attachmentPath;  // a file name inside Store::filesFolder()
    std::optional<Date> expiresAt;
    std::optional<bool> deletedForEveryone;

    bool operator==(const Message&) const = default;
};

// One conversation per other number.
struct ChatThread {
    std::string id;  // the other party's number text
    std::string title;
    std::vector<Message> messages;  // oldest first
    Date updatedAt = 0;
    // Received messages not seen yet: the last `unread` of theirs. Stored
    // only when above 0, so files from before it read the same.
    int unread = 0;

    bool operator==(const ChatThread&) const = default;
};

// One row of the call list.
struct CallRecord {
    Uuid id;
    std::string number;
    std::string name;
    bool video = false;
    StoredWord<CallDirection> direction;
    Date at = 0;          // the end of the call
    double duration = 0;  // connected seconds

    bool operator==(const CallRecord&) const = default;
};

// A call ringing on this device. Memory only.
struct IncomingCall {
    Uuid id;
    std::string number;
    std::string name;
    bool video = false;
    std::string peerKey;  // the path to answer over

    bool operator==(const IncomingCall&) const = default;
};

// The call in progress. Memory only.
struct ActiveCall {
    Uuid id;
    std::string number;
    std::string name;
    bool video = false;
    bool outgoing = false;
    CallPhase phase = CallPhase::dialing;
    std::optional<Date> startedAt;       // set once connected
    std::optional<std::string> peerKey;  // absent over the relay service

    bool operator==(const ActiveCall&) const = default;
};

// Number text to display name.
using Directory = std::map<std::string, std::string>;

// The whole content of db.json.
struct StoredDatabase {
    Uuid deviceId;
    std::optional<Account> account;  // absent before onboarding
    std::vector<Contact> contacts;
    std::vector<ChatThread> threads;
    std::vector<CallRecord> calls;
    Directory directory;
    std::optional<Uuid> channelId;  // the walkie channel
    std::optional<bool> lockScreenTalk;
    // Walkie talks only from contacts; strangers' talk is ignored.
    std::optional<bool> walkieContactsOnly;
    // A closed window leaves the program running in the tray (absent: yes).
    std::optional<bool> keepInTray;

    // No account, nothing stored, a new random device id.
    static StoredDatabase fresh();

    bool operator==(const StoredDatabase&) const = default;
};

// What a newly linked device receives, as the file named kSnapshotFileName.
struct SyncSnapshot {
    std::vector<Contact> contacts;
    std::vector<ChatThread> threads;
    std::vector<CallRecord> calls;
    Directory directory;
    std::vector<LinkedDevice> linked;

    bool operator==(const SyncSnapshot&) const = default;
};

inline constexpr std::string_view kSnapshotFileName = "merrowfax-snap.json";

}  // namespace merrowfax
