// Device linking between two models on fake transports: what one sends is
// handed to the other as the LAN link would deliver it.
#include <QDir>

#include <algorithm>
#include <fstream>
#include <set>

#include "model/record_json.h"
#include "model_fixture.h"

namespace merrowfax::testing {
namespace {

using namespace wire::events;

// Runs queued main-thread work (component callbacks hop there).
void settle() {
    for (int i = 0; i < 5; ++i) QCoreApplication::processEvents();
}

// One device: a model on its own folder with fake transports.
struct Device {
    QTemporaryDir dir;
    std::unique_ptr<AppModel> model;
    FakeLine* line = nullptr;
    FakeLan* lan = nullptr;
    std::string computer;

    Device(const std::optional<StoredDatabase>& seeded, std::string computerId)
        : computer(std::move(computerId)) {
        if (seeded) Store(dir.path().toStdString()).save(*seeded);
        AppComponents parts;
        line = install<FakeLine>(parts.line);
        lan = install<FakeLan>(parts.network);
        install<RecordingSounds>(parts.sounds);
        install<RecordingNotifier>(parts.notifier);
        install<FakeMedia>(parts.media);
        install<RecordingWalkie>(parts.walkie);
        parts.computerIdentity = computer;
        parts.deviceLabel = "Mac";
        model = std::make_unique<AppModel>(dir.path().toStdString(), std::move(parts));
        line->open = true;
        settle();
    }
    LinkController& linking() { return model->linking(); }
    std::string id() const { return model->deviceId().text(); }
    std::string key() const { return "m-" + id().substr(0, 8); }
    void deliver(wire::PeerEvent event) {
        lan->handler(std::move(event));
        settle();
    }
    const Account& account() const { return *model->account(); }
};

// The host's data: a number with a contact, a chat, a call and a device it
// linked before.
StoredDatabase hostData() {
    StoredDatabase db = StoredDatabase::fresh();
    Account a;
    a.id = Uuid::random();
    a.deviceId = db.deviceId;
    a.displayName = "Ann";
    a.number = *VirtualNumber::parse(kOwn);
    LinkedDevice older;
    older.id = Uuid::random();
    older.name = "iPad 77AA";
    older.kind = "iPad";
    older.computer = "mac-OLDER";
    a.linkedDevices.push_back(older);
    db.account = a;
    db.contacts.push_back(Contact{Uuid::random(), "Bob", kBob, false});
    ChatThread chat;
    chat.id = kBob;
    chat.title = "Bob";
    Message hello;
    hello.id = Uuid::random();
    hello.sender = "them";
    hello.text = "hello";
    chat.messages.push_back(hello);
    db.threads.push_back(chat);
    CallRecord call;
    call.id = Uuid::random();
    call.number = kBob;
    call.name = "Bob";
    db.calls.push_back(call);
    db.directory[kBob] = "Bob";
    return db;
}

LinkHello helloFrom(Device& seeker, const std::string& code) {
    return LinkHello{code, seeker.id(), seeker.linking().companionName(), seeker.key(),
                     seeker.computer};
}

// The last "link-account" the host sent, as the seeker's link delivers it.
LinkAccount offerFrom(Device& host) {
    const auto sent = host.lan->sentWithOp("link-account");
    if (sent.empty()) return {};
    const wire::Envelope& e = sent.back();
    return LinkAccount{*e.name,   *e.country,    *e.cityCode, *e.subscriber,
                       *e.device, *e.deviceName, host.key()};
}

// A copy of the host's last snapshot, where the seeker's link would put it.
std::string snapshotCopy(Device& host) {
    const std::string copy =
        QDir::tempPath().toStdString() + "/snap-" + Uuid::random().text() + ".json";
    std::filesystem::copy_file(host.lan->snapshots.back().first, copy);
    return copy;
}

class Linking : public ::testing::Test {
protected:
    Device host{hostData(), "mac-HOST"};
    Device seeker{std::nullopt, "mac-SEEKER"};

    void SetUp() override {
        host.lan->connected[seeker.key()] = "";
        seeker.lan->connected[host.key()] = "";
    }
};

TEST(LinkCode, IsSixCharactersOfTheAlphabetAndTypedCodesAreNormalised) {
    const std::string alphabet = "ABCDEFGHJKLMNPQRSTUVWXYZ23456789";
    std::set<char> seen;
    for (int i = 0; i < 2000; ++i) {
        const std::string code = LinkController::drawLinkCode();
        ASSERT_EQ(code.size(), 6u);
        for (char c : code) {
            ASSERT_NE(alphabet.find(c), std::string::npos) << code;
            seen.insert(c);
        }
    }
    EXPECT_EQ(seen.size(), 32u) << "every character is drawn";
    EXPECT_EQ(LinkController::normalizeLinkCode("ab-c12 3"), "ABC123");
    EXPECT_EQ(LinkController::normalizeLinkCode("é ab"), "AB");
}

TEST_F(Linking, ASeekerTypesTheCodeAndBecomesACompanionWithTheHostsData) {
    EXPECT_EQ(seeker.linking().companionName(), "Mac " + seeker.id().substr(0, 4));
    seeker.linking().seekLinkCode("abc12");
    EXPECT_EQ(seeker.linking().linkStatus(),
              "Enter the 6 character code from the other Merrowfax.");
    EXPECT_TRUE(seeker.lan->seekCode.empty()) << "no search";

    const std::string code = host.linking().hostLinkCode();
    EXPECT_EQ(host.linking().hostedLinkCode(), code);
    EXPECT_EQ(host.lan->hostedCode, code) << "advertised";
    std::string typed = code;
    std::transform(typed.begin(), typed.end(), typed.begin(), ::tolower);
    seeker.linking().seekLinkCode(typed.substr(0, 3) + "-" + typed.substr(3, 2) + " " +
                                  typed.substr(5));
    EXPECT_EQ(seeker.linking().linkStatus(), "Looking for " + code + " on this Wi-Fi…");
    EXPECT_EQ(seeker.lan->seekCode, code);
    EXPECT_EQ(seeker.lan->seekComputer, "mac-SEEKER");
    ASSERT_FALSE(seeker.lan->starts.empty());
    EXPECT_EQ(seeker.lan->starts.back(), std::make_pair(std::string(), std::string()));

    host.deliver(helloFrom(seeker, code));
    EXPECT_EQ(host.line->trusts, std::vector<std::string>{"+mac-SEEKER"});
    ASSERT_EQ(host.lan->snapshots.size(), 1u);
    EXPECT_EQ(host.lan->snapshots[0].second, seeker.key());
    const auto& listed = host.account().linkedDevices;
    ASSERT_EQ(listed.size(), 2u);
    EXPECT_EQ(listed[1].id.text(), seeker.id());
    EXPECT_EQ(listed[1].kind, "Mac");
    EXPECT_EQ(listed[1].computer, "mac-SEEKER") << "kept to trust it again";

    // The snapshot may come before the account: it waits for it.
    const std::string early = snapshotCopy(host);
    seeker.deliver(Snapshot{early, host.key()});
    EXPECT_EQ(seeker.linking().pendingSnapshot(), early);
    seeker.deliver(offerFrom(host));

    ASSERT_TRUE(seeker.model->account());
    const Account& joined = seeker.account();
    EXPECT_TRUE(joined.isCompanion);
    EXPECT_EQ(joined.number.text(), kOwn);
    EXPECT_EQ(joined.displayName, "Ann");
    EXPECT_EQ(seeker.linking().linkStatus(), std::string("Linked as ") + kOwn + ".");
    EXPECT_TRUE(seeker.lan->seekCode.empty());
    ASSERT_FALSE(seeker.line->starts.empty());
    EXPECT_EQ(seeker.line->starts.back().number, kOwn);
    EXPECT_TRUE(seeker.line->starts.back().pin.empty()) << "trusted, no PIN";
    EXPECT_FALSE(std::filesystem::exists(early));

    // The host's data, and its devices without this one or any secret.
    EXPECT_EQ(seeker.model->people().contacts().size(), 1u);
    ASSERT_EQ(seeker.model->messaging().threads().size(), 1u);
    EXPECT_EQ(seeker.model->messaging().threads()[0].messages[0].text, "hello");
    EXPECT_EQ(seeker.model->callList().size(), 1u);
    std::set<std::string> names;
    for (const LinkedDevice& d : joined.linkedDevices) {
        EXPECT_NE(d.id.text(), seeker.id());
        EXPECT_FALSE(d.computer);
        names.insert(d.name);
    }
    EXPECT_EQ(names, (std::set<std::string>{"iPad 77AA", host.linking().companionName()}));
    EXPECT_EQ(spinUntil([&] {
                  return Store(seeker.dir.path().toStdString()).load().threads.size() == 1;
              }),
              true)
        << "saved";

    // A second snapshot, even from the host, replaces nothing.
    host.model->people().addContact("Cy", kAlice);
    host.linking().makeSnapshot();
    const std::string again = snapshotCopy(host);
    seeker.deliver(Snapshot{again, host.key()});
    EXPECT_EQ(seeker.model->people().contacts().size(), 1u);
    EXPECT_FALSE(std::filesystem::exists(again));

    // The seeker said it joined: the host names it and withdraws the code.
    const auto joinedSent = seeker.lan->sentWithOp("link-joined");
    ASSERT_EQ(joinedSent.size(), 1u);
    host.deliver(LinkJoined{seeker.id(), *joinedSent[0].deviceName});
    EXPECT_EQ(host.linking().linkStatus(), seeker.linking().companionName() + " is linked.");
    EXPECT_FALSE(host.linking().hostedLinkCode());
    EXPECT_TRUE(host.lan->hostedCode.empty());
}

TEST_F(Linking, NothingOnTheNetworkIsTakenOnTrust) {
    // No code on show: a hello gets nothing.
    host.deliver(helloFrom(seeker, "ABCDEF"));
    EXPECT_TRUE(host.lan->sentWithOp("link-account").empty());

    // Ten wrong codes, and that peer is ignored until the code changes.
    const std::string code = host.linking().hostLinkCode();
    const std::string wrong = code == "AAAAAA" ? "BBBBBB" : "AAAAAA";
    for (int i = 0; i < LinkController::kWrongCodesPerPeer; ++i)
        host.deliver(helloFrom(seeker, wrong));
    host.deliver(helloFrom(seeker, code));
    EXPECT_TRUE(host.lan->sentWithOp("link-account").empty());
    EXPECT_TRUE(host.line->trusts.empty());
    const std::string fresh = host.linking().hostLinkCode();
    host.deliver(helloFrom(seeker, fresh));
    EXPECT_EQ(host.lan->sentWithOp("link-account").size(), 1u);

    // A "link-joined" from a device never handed the account adds nothing.
    const auto before = host.account().linkedDevices;
    host.deliver(LinkJoined{Uuid::random().text(), "Mallory"});
    EXPECT_EQ(host.account().linkedDevices, before);

    // Not seeking: an account and a snapshot are dropped.
    const std::string pushed = snapshotCopy(host);
    seeker.deliver(Snapshot{pushed, host.key()});
    EXPECT_FALSE(std::filesystem::exists(pushed));
    seeker.deliver(offerFrom(host));
    EXPECT_FALSE(seeker.model->account());

    // Linked, a snapshot from any other device is dropped.
    seeker.linking().seekLinkCode(fresh);
    seeker.deliver(offerFrom(host));
    ASSERT_TRUE(seeker.model->account());
    const std::string foreign = snapshotCopy(host);
    seeker.deliver(Snapshot{foreign, "m-STRANGER"});
    EXPECT_TRUE(seeker.model->people().contacts().empty());
    EXPECT_FALSE(std::filesystem::exists(foreign));

    // "unlink" only from a device of our number that is linked to us.
    seeker.deliver(Unlink{seeker.id(), kAlice, host.key()});
    seeker.deliver(Unlink{seeker.id(), kOwn, "m-STRANGER"});
    ASSERT_TRUE(seeker.model->account());
    seeker.deliver(Unlink{seeker.id(), kOwn, host.key()});
    EXPECT_FALSE(seeker.model->account()) << "the host unlinked it";
    EXPECT_GT(seeker.lan->stops, 0) << "the LAN link stops";
}

TEST_F(Linking, UnlinkingRevokesTheComputerAndTrustFollowsTheLine) {
    const std::string code = host.linking().hostLinkCode();
    host.deliver(helloFrom(seeker, code));
    const Uuid seekerId = *Uuid::parse(seeker.id());

    // Every registration trusts the linked computers again: a PIN change
    // revoked them.
    host.line->trusts.clear();
    host.line->callbacks.onOpen();
    settle();
    EXPECT_EQ(host.line->trusts, (std::vector<std::string>{"+mac-OLDER", "+mac-SEEKER"}));

    // Unlinked while the line is down: the untrust waits for it.
    host.line->trusts.clear();
    host.line->open = false;
    host.lan->connected["m-SIBLING"] = kOwn;
    host.linking().unlinkDevice(seeker.id());
    const auto unlinks = host.lan->envelopes;
    ASSERT_FALSE(unlinks.empty());
    EXPECT_EQ(unlinks.back().first.op, "unlink");
    EXPECT_EQ(unlinks.back().first.device, seeker.id());
    EXPECT_EQ(std::set<std::string>(unlinks.back().second.begin(), unlinks.back().second.end()),
              (std::set<std::string>{"m-SIBLING", seeker.key()}));
    for (const LinkedDevice& d : host.account().linkedDevices) EXPECT_NE(d.id, seekerId);
    EXPECT_TRUE(host.line->trusts.empty());
    host.line->open = true;
    host.line->callbacks.onOpen();
    settle();
    EXPECT_EQ(host.line->trusts, (std::vector<std::string>{"-mac-SEEKER", "+mac-OLDER"}));

    // The stored computer survives a restart; a record without one loads.
    const StoredDatabase saved = Store(host.dir.path().toStdString()).load();
    ASSERT_EQ(saved.account->linkedDevices.size(), 1u);
    EXPECT_EQ(saved.account->linkedDevices[0].computer, "mac-OLDER");
    std::string json = encodeDatabase(saved);
    json.replace(json.find(",\"computer\":\"mac-OLDER\""), 23, "");
    const auto older = decodeDatabase(json);
    ASSERT_TRUE(older);
    EXPECT_FALSE(older->account->linkedDevices[0].computer);
}

TEST_F(Linking, ASearchTimesOutAndACodeExpires) {
    TimingsOverride quick([](Timings& t) {
        t.linkSearch = std::chrono::milliseconds(50);
        t.linkCodeLife = std::chrono::milliseconds(80);
    });
    seeker.linking().seekLinkCode("ABCDEF");
    EXPECT_TRUE(spinUntil([&] {
        return seeker.linking().linkStatus() == "No Merrowfax with that code is on this Wi-Fi.";
    }));
    EXPECT_EQ(seeker.lan->seekCode, "ABCDEF") << "still looking";

    host.linking().hostLinkCode();
    EXPECT_TRUE(spinUntil([&] { return !host.linking().hostedLinkCode(); }));
    EXPECT_TRUE(host.lan->hostedCode.empty());
}

}  // namespace
}  // namespace merrowfax::testing
