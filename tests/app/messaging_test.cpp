#include <QThread>

#include <cstdio>
#include <fstream>

#include "model/text_limits.h"
#include "model_fixture.h"
#include "wire/envelope_builders.h"
#include "wire/receive.h"

using namespace merrowfax;
using namespace merrowfax::testing;

namespace {

std::vector<std::byte> bytesOf(std::size_t size) {
    return std::vector<std::byte>(size, std::byte{0x5a});
}

class Sending : public ModelTest {
protected:
    void SetUp() override { start(); }
};

TEST_F(Sending, ChecksComeBeforeAnythingIsStored) {
    model->people().addContact("Bob", kBob);
    for (Contact c : model->people().contacts()) model->people().setBlocked(c.id, true);

    struct Case {
        std::string text, number;
        std::optional<std::string> alert;
    };
    const Case cases[] = {
        {" \n\t ", kAlice, std::nullopt},
        {"hi", "01 234 5678", "That is your number."},
        {"hi", "not a number", std::nullopt},
        {"hi", "1 1 222 2222", "Bob is blocked. Unblock them first."},
    };
    for (const Case& c : cases) {
        model->dismissAlert();
        model->messaging().sendText(c.text, c.number);
        EXPECT_EQ(model->alertMessage(), c.alert) << c.number;
    }
    EXPECT_TRUE(model->messaging().threads().empty());
    EXPECT_TRUE(line->sent.empty());
}

TEST_F(Sending, ATextIsTrimmedCutAndOfferedToBothPaths) {
    const std::string longText = "  " + std::string(5000, 'a') + "\n";
    model->messaging().sendText(longText, "+44 1 555 0001");
    const ChatThread* t = threadOf(kAlice);
    ASSERT_NE(t, nullptr);
    const Message& m = t->messages.at(0);
    EXPECT_EQ(m.text, std::string(4000, 'a'));
    EXPECT_EQ(m.status, MessageStatus::waiting);  // neither path took it
    EXPECT_TRUE(lan->envelopes.empty());          // no device of Alice's is near
    ASSERT_EQ(line->sent.size(), 1u);
    EXPECT_EQ(line->sent[0].to, kAlice);
    EXPECT_EQ(line->sent[0].name, "Me");
    EXPECT_EQ(line->sent[0].id, m.id.text());
}

TEST_F(Sending, UndeliveredTextsAreOfferedAgainOnePerChatAtATime) {
    for (const char* text : {"one", "two", "three"}) {
        model->messaging().sendText(text, kAlice);
        model->messaging().sendText(text, kBob);
    }
    line->sent.clear();
    line->open = false;
    model->messaging().retryWaiting();
    EXPECT_TRUE(line->sent.empty());  // no path: nothing to offer it on

    line->open = true;
    line->accepts = true;
    model->messaging().retryWaiting();
    // The oldest of each chat only: the reader's answer brings the rest.
    ASSERT_EQ(line->sent.size(), 2u);
    for (const auto& envelope : line->sent) EXPECT_EQ(envelope.text, "one");
    EXPECT_EQ(threadOf(kAlice)->messages[0].status, MessageStatus::sent);
    EXPECT_EQ(threadOf(kAlice)->messages[1].status, MessageStatus::waiting);
}

TEST_F(Sending, OnlyTheRecipientOrOurOwnDevicesConfirmDeliveryAndDeletedStays) {
    lan->connected = {{"peer-a", kAlice}};
    model->messaging().sendText("one", kAlice);
    ASSERT_EQ(lan->sentWithOp("text").size(), 1u);
    EXPECT_EQ(lan->sentWithOp("text")[0], line->sent.at(0));
    lan->connected.clear();
    model->messaging().sendText("two", kAlice);
    const Uuid first = threadOf(kAlice)->messages[0].id;
    const Uuid second = threadOf(kAlice)->messages[1].id;
    EXPECT_EQ(threadOf(kAlice)->messages[0].status, MessageStatus::sent);
    EXPECT_EQ(threadOf(kAlice)->messages[1].status, MessageStatus::waiting);

    // Whoever learnt an id cannot mark it delivered; nor can an ack that
    // names nobody.
    fromLine(wire::events::Delivered{first, kBob});
    fromLan(wire::events::Delivered{first, ""});
    EXPECT_EQ(threadOf(kAlice)->messages[0].status, MessageStatus::sent);
    fromLine(wire::events::Delivered{first, kAlice});
    fromLan(wire::events::Delivered{second, kOwn});  // another device; it may overtake "sent"
    EXPECT_EQ(threadOf(kAlice)->messages[0].status, MessageStatus::delivered);
    EXPECT_EQ(threadOf(kAlice)->messages[1].status, MessageStatus::delivered);
    EXPECT_EQ(stored().threads[0].messages[0].status, MessageStatus::delivered);

    model->messaging().deleteMessageForEveryone(first, kAlice);
    fromLine(wire::events::Delivered{first, kAlice});
    EXPECT_EQ(threadOf(kAlice)->messages[0].status, MessageStatus::deleted);
}

TEST_F(Sending, AttachmentsRespectBothSizeLimits) {
    model->messaging().sendAttachment(bytesOf(20'000'001), "file", "big.bin", kAlice);
    EXPECT_EQ(model->alertMessage(), "That file is over 20 MB.");
    EXPECT_TRUE(model->messaging().threads().empty());
    model->dismissAlert();

    // 900 000 bytes and no LAN peer: no path at all.
    line->accepts = true;
    model->messaging().sendAttachment(bytesOf(900'000), "image", "IMG_1.JPG", kAlice);
    EXPECT_EQ(
        model->alertMessage(),
        "44-1-555-0001 does not have Merrowfax open. The photo stays in the chat until they do.");
    EXPECT_TRUE(line->sentWithOp("file").empty());
    const Message& photo = threadOf(kAlice)->messages.at(0);
    EXPECT_EQ(photo.status, MessageStatus::waiting);
    EXPECT_EQ(photo.text, "Photo");
    ASSERT_TRUE(photo.attachmentPath);
    EXPECT_TRUE(photo.attachmentPath->ends_with(".JPG"));
    EXPECT_EQ(std::filesystem::file_size(*model->attachmentFile(*photo.attachmentPath)), 900'000u);

    // One byte less travels through the relay service, base64 in the record.
    model->messaging().sendAttachment(bytesOf(899'999), "audio", "voice.m4a", kAlice);
    const Message& voice = threadOf(kAlice)->messages.at(1);
    EXPECT_EQ(voice.status, MessageStatus::sent);
    EXPECT_EQ(voice.text, "Voice message");
    ASSERT_TRUE(voice.expiresAt);
    EXPECT_DOUBLE_EQ(*voice.expiresAt, voice.sentAt + 7200);
    auto files = line->sentWithOp("file");
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(files[0].fileKind, "audio");
    EXPECT_EQ(files[0].payload->size(), 1'200'000u);  // 899 999 bytes in base64

    // With a LAN peer the file goes as a named transfer.
    lan->connected = {{"peer-a", kAlice}};
    line->accepts = false;
    model->messaging().sendAttachment(bytesOf(10), "file", "notes.txt", kAlice);
    ASSERT_EQ(lan->files.size(), 1u);
    EXPECT_EQ(lan->files[0].first.resource, "file-" + threadOf(kAlice)->messages.at(2).id.text());
    EXPECT_EQ(threadOf(kAlice)->messages.at(2).status, MessageStatus::sent);
    EXPECT_EQ(threadOf(kAlice)->messages.at(2).text, "notes.txt");
}

class Receiving : public ModelTest {
protected:
    void SetUp() override { start(); }
};

// A number made from `i`, as a flood of fresh senders would use.
std::string stranger(int i) {
    char digits[8];
    std::snprintf(digits, sizeof digits, "%07d", i);
    return "44-1-" + std::string(digits, 3) + "-" + std::string(digits + 3);
}

TEST_F(Receiving, AFloodOfStrangersIsKeptButOnlyTheFirstBecomeContacts) {
    TimingsOverride limit([](Timings& t) {
        t.strangerContacts = 3;
        t.strangerWindow = std::chrono::milliseconds(300);
    });
    for (int i = 1; i <= 5; ++i) fromLine(text(stranger(i).c_str(), "hi", Uuid::random(), "Spam"));
    EXPECT_EQ(model->people().contacts().size(), 3u);
    EXPECT_EQ(model->messaging().threads().size(), 5u);  // every text is kept, in its own chat
    EXPECT_EQ(line->sentWithOp("delivered").size(), 5u);
    EXPECT_EQ(threadOf(stranger(5))->title, "Spam");
    EXPECT_TRUE(waitUntil([&] { return *line->uploads == 1; }));

    // A known number is no stranger; once the window has passed, strangers
    // are welcome again.
    model->people().addContact("Bob", kBob);
    fromLine(text(kBob, "hi"));
    EXPECT_EQ(model->people().contacts().size(), 4u);
    QThread::msleep(350);
    fromLine(text(stranger(6).c_str(), "hi", Uuid::random(), "Late"));
    EXPECT_EQ(model->people().contacts().size(), 5u);
}

TEST_F(Receiving, ABlockedNumberIsSilencedOnEveryPath) {
    model->people().addContact("Alice", kAlice);
    fromLine(text(kAlice, "before"));
    const Uuid theirs = threadOf(kAlice)->messages[0].id;
    model->people().setBlocked(model->people().contacts()[0].id, true);

    fromLine(text(kAlice, "after"));
    fromLine(wire::events::Deleted{theirs, kAlice, kOwn});
    wire::events::File file;
    file.id = Uuid::random();
    file.from = kAlice;
    file.kind = "file";
    file.url = (folder() / "incoming.bin").string();
    std::ofstream(file.url) << "data";
    fromLan(file);

    ASSERT_EQ(threadOf(kAlice)->messages.size(), 1u);
    EXPECT_EQ(threadOf(kAlice)->messages[0].text, "before");
    EXPECT_EQ(line->sentWithOp("delivered").size(), 1u);  // only the first text
}

TEST_F(Receiving, OwnNumberCopiesComeFromLinkedDevicesNotFromOurselves) {
    auto echo = text(kOwn, "echo");
    echo.device = model->deviceId().text();
    echo.to = kAlice;
    fromLan(echo);
    EXPECT_TRUE(model->messaging().threads().empty());

    auto copy = text(kOwn, "written on my phone");
    copy.device = "PHONE";
    copy.to = kAlice;
    fromLan(copy);
    const ChatThread* t = threadOf(kAlice);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t->messages[0].sender, "me");
    EXPECT_EQ(t->messages[0].status, MessageStatus::delivered);
    EXPECT_TRUE(lan->sentWithOp("delivered").empty());
    EXPECT_TRUE(model->people().contacts().empty());
    EXPECT_TRUE(notifier->posted.empty());

    auto bogus = text(kOwn, "to nowhere");
    bogus.device = "PHONE";
    bogus.to = "../../etc";
    fromLan(bogus);
    EXPECT_EQ(model->messaging().threads().size(), 1u);
}

TEST_F(Receiving, AFileIsStoredUnderItsOwnNameAndTheTemporaryCopyGoes) {
    wire::events::File file;
    file.id = Uuid::random();
    file.from = kAlice;
    file.to = kOwn;
    file.name = "Alice";
    file.fileName = "../../secret.m4a";
    file.kind = "audio";
    file.sent = now();
    file.url = (folder() / "net-incoming").string();
    std::ofstream(file.url) << "voice bytes";
    fromLine(file);

    EXPECT_FALSE(std::filesystem::exists(file.url));
    const Message& m = threadOf(kAlice)->messages.at(0);
    EXPECT_EQ(m.text, "Voice message");
    EXPECT_DOUBLE_EQ(*m.expiresAt, file.sent + 7200);
    auto stored = model->attachmentFile(*m.attachmentPath);
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->parent_path(), model->filesFolder());
    EXPECT_EQ(std::filesystem::file_size(*stored), 11u);

    fromLine(file);  // again, from a file that is gone now: nothing changes
    EXPECT_EQ(threadOf(kAlice)->messages.size(), 1u);
}

// File records from other people, read by the wire on either transport: the
// name shown hides nothing, and a name no file system takes costs the stored
// file its extension, not the message.
TEST_F(Receiving, FileNamesAreShownCleanAndAnUnusableExtensionIsLeftOff) {
    struct Case {
        std::string picked, shown, suffix;
    };
    const std::string longName = "report." + std::string(300, 'x');
    const Case cases[] = {
        {"invoice\u202Efdp.exe", "invoicefdp.exe", ".exe"},
        {"a.p\u2066df\u2069", "a.pdf", ".pdf"},
        {" \u200B\n", "File", ""},
        {longName, longName.substr(0, kFileNameLimit), ""},
    };
    for (const auto transport : {wire::Transport::net, wire::Transport::lan}) {
        for (const Case& c : cases) {
            const Uuid id = Uuid::random();
            const auto content = bytesOf(5);
            wire::Envelope envelope =
                transport == wire::Transport::net
                    ? wire::netFileEnvelope(id, kOwn, c.picked, "file", now(), content)
                    : wire::lanFileEnvelope(id, kOwn, c.picked, "file", now(), "file-1");
            envelope.number = kAlice;
            auto incoming = wire::receiveEnvelope(envelope, transport, kAlice, now());
            ASSERT_TRUE(incoming);
            auto file = std::get<wire::IncomingFile>(std::move(*incoming));
            const std::string temporary = (folder() / file.localName).string();
            std::ofstream(temporary, std::ios::binary) << "12345";
            if (transport == wire::Transport::net) {
                fromLine(std::move(file).arrived(temporary));
            } else {
                fromLan(std::move(file).arrived(temporary));
            }

            const Message& m = threadOf(kAlice)->messages.back();
            ASSERT_EQ(m.id, id) << c.picked;
            EXPECT_EQ(m.attachmentName, c.shown);
            EXPECT_EQ(m.text, c.shown);
            EXPECT_EQ(m.attachmentPath->substr(36), c.suffix);
            const auto stored = model->attachmentFile(*m.attachmentPath);
            ASSERT_TRUE(stored);
            EXPECT_EQ(std::filesystem::file_size(*stored), 5u);
        }
    }
    EXPECT_EQ(threadOf(kAlice)->messages.size(), 2 * std::size(cases));
}

class Deleting : public ModelTest {
protected:
    void SetUp() override {
        start();
        lan->connected = {{"peer-a", kAlice}};
        model->messaging().sendText("mine", kAlice);
        fromLine(text(kAlice, "theirs"));
        mine = threadOf(kAlice)->messages[0].id;
        theirs = threadOf(kAlice)->messages[1].id;
    }
    Uuid mine, theirs;
};

TEST_F(Deleting, ForEveryoneOnlyWhatWeWroteAndTellBothPaths) {
    model->messaging().deleteMessageForEveryone(theirs, kAlice);
    EXPECT_EQ(threadOf(kAlice)->messages[1].status, MessageStatus::delivered);

    model->messaging().deleteMessageForEveryone(mine, kAlice);
    const Message& m = threadOf(kAlice)->messages[0];
    EXPECT_EQ(m.text, "This message was deleted");
    EXPECT_EQ(m.deletedForEveryone, true);
    EXPECT_EQ(lan->sentWithOp("delete").size(), 1u);
    ASSERT_EQ(line->sentWithOp("delete").size(), 1u);
    EXPECT_EQ(line->sentWithOp("delete")[0].to, kAlice);
}

TEST_F(Deleting, ReceivedDeletionsTouchOnlyTheSendersOwnMessages) {
    fromLine(wire::events::Deleted{mine, kAlice, kOwn});  // not theirs to delete
    fromLine(wire::events::Deleted{Uuid::random(), kAlice, kOwn});
    EXPECT_EQ(threadOf(kAlice)->messages[0].text, "mine");
    fromLine(wire::events::Deleted{theirs, kAlice, kOwn});
    EXPECT_EQ(threadOf(kAlice)->messages[1].status, MessageStatus::deleted);
    EXPECT_EQ(stored().threads[0].messages[1].text, "This message was deleted");
}

TEST_F(Deleting, ForMeAndClearingStayOnThisDevice) {
    model->messaging().deleteMessageForMe(mine, kAlice);
    EXPECT_EQ(threadOf(kAlice)->messages.size(), 1u);
    model->messaging().clearChat(kAlice);
    EXPECT_EQ(threadOf(kAlice), nullptr);
    EXPECT_TRUE(lan->sentWithOp("delete").empty());
    EXPECT_TRUE(line->sentWithOp("delete").empty());
    fromLine(text(kAlice, "again"));
    ASSERT_NE(threadOf(kAlice), nullptr);
    EXPECT_EQ(threadOf(kAlice)->messages.size(), 1u);
}

class Expiry : public ModelTest {};

TEST_F(Expiry, VoiceMessagesGoWithTheirFilesAndOrphansAreSwept) {
    // A previous run left one expired voice message, one live one, and a
    // file no message refers to.
    Store store(folder());
    const auto expiredName = *store.storeFile(bytesOf(3), "old.m4a");
    const auto liveName = *store.storeFile(bytesOf(3), "new.m4a");
    const auto orphan = store.filesFolder() / "ORPHAN";
    std::ofstream(orphan) << "x";
    std::filesystem::last_write_time(
        orphan, std::filesystem::file_time_type::clock::now() - std::chrono::minutes(5));

    StoredDatabase db = StoredDatabase::fresh();
    db.account = account();
    ChatThread t{kAlice, "Alice", {}, now()};
    Message expired;
    expired.id = Uuid::random();
    expired.sender = "them";
    expired.sentAt = now() - 7300;
    expired.text = "Voice message";
    expired.status = MessageStatus::delivered;
    expired.attachmentKind = "audio";
    expired.attachmentPath = expiredName;
    expired.expiresAt = now() - 100;
    Message live = expired;
    live.id = Uuid::random();
    live.attachmentPath = liveName;
    live.expiresAt = now() + 100;
    t.messages = {expired, live};
    db.threads = {t};
    seed(db);

    start();
    const auto fresh = model->filesFolder() / "JUST-STORED";  // newer than the sweep's list
    std::ofstream(fresh) << "x";
    model->messaging().purgeExpired();
    model->waitForBackgroundWork();
    EXPECT_TRUE(std::filesystem::exists(fresh));
    ASSERT_EQ(threadOf(kAlice)->messages.size(), 1u);
    EXPECT_EQ(threadOf(kAlice)->messages[0].id, live.id);
    EXPECT_FALSE(std::filesystem::exists(*model->attachmentFile(expiredName)));
    EXPECT_TRUE(std::filesystem::exists(*model->attachmentFile(liveName)));
    EXPECT_FALSE(std::filesystem::exists(orphan));
    EXPECT_EQ(stored().threads[0].messages.size(), 1u);
}

}  // namespace

class Unread : public ModelTest {
protected:
    void SetUp() override { start(); }

    int unreadOf(const char* number) const { return threadOf(number)->unread; }
    static int storedUnread(const StoredDatabase& db, const std::string& number) {
        for (const ChatThread& t : db.threads)
            if (t.id == number) return t.unread;
        return -1;
    }
};

TEST_F(Unread, TheirMessagesCountUntilTheChatIsSeen) {
    fromLine(text(kAlice, "one"));
    fromLan(text(kAlice, "two"));
    wire::events::File file;
    file.id = Uuid::random();
    file.from = kAlice;
    file.kind = "file";
    file.fileName = "notes.txt";
    file.url = (folder() / "incoming.bin").string();
    std::ofstream(file.url) << "data";
    fromLan(file);
    auto copy = text(kOwn, "from my phone");  // ours, written elsewhere
    copy.device = "PHONE";
    copy.to = kAlice;
    fromLan(copy);
    EXPECT_EQ(unreadOf(kAlice), 3);
    EXPECT_EQ(storedUnread(stored(), kAlice), 3);  // the journal carries it

    model->messaging().viewChat(kAlice, true);
    EXPECT_EQ(model->messaging().unreadCount(), 0);
    EXPECT_EQ(storedUnread(stored(), kAlice), 0);
    fromLine(text(kAlice, "seen as it comes"));
    EXPECT_EQ(unreadOf(kAlice), 0);

    model->messaging().viewChat(kAlice, false);
    fromLine(text(kAlice, "later"));
    fromLine(text(kBob, "hi", Uuid::random(), "Bob"));
    EXPECT_EQ(unreadOf(kAlice), 1);
    EXPECT_EQ(model->messaging().unreadCount(), 2);
}

TEST_F(Unread, MessagesThatGoTakeTheirCountAlong) {
    for (const char* body : {"a", "b", "c"}) fromLine(text(kAlice, body));
    fromLine(text(kBob, "hi", Uuid::random(), "Bob"));
    const auto& messages = threadOf(kAlice)->messages;
    model->messaging().deleteMessageForMe(messages[0].id, kAlice);
    model->messaging().deleteMessageForMe(messages[0].id, kAlice);
    EXPECT_EQ(unreadOf(kAlice), 1);

    model->messaging().clearChat(kAlice);
    EXPECT_EQ(model->messaging().unreadCount(), 1);
    EXPECT_EQ(storedUnread(stored(), kBob), 1);
}
