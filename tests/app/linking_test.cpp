// Device linking between two models on fake transports: what one sends is
// handed to the other as the LAN link would deliver it.
#include <QDir>

#include <set>

#include "model_fixture.h"

namespace merrowfax::testing {
namespace {

using namespace wire::events;

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
    LinkHello hello(const std::string& code) {
        return {code, id(), linking().companionName(), key(), computer};
    }
    // The last "link-account" sent, as the seeker's link delivers it.
    LinkAccount offer() {
        const wire::Envelope e = lan->sentWithOp("link-account").back();
        return {*e.name, *e.country, *e.cityCode, *e.subscriber, *e.device, *e.deviceName, key()};
    }
    // A copy of the last snapshot sent, where the seeker's link would put it.
    Snapshot snapshot() {
        const std::string copy =
            QDir::tempPath().toStdString() + "/snap-" + Uuid::random().text() + ".json";
        std::filesystem::copy_file(lan->snapshots.back().first, copy);
        return {copy, key()};
    }
};

// A number with a contact and a device it linked before.
StoredDatabase hostData() {
    StoredDatabase db = StoredDatabase::fresh();
    Account& a = db.account.emplace();
    a.id = Uuid::random();
    a.deviceId = db.deviceId;
    a.displayName = "Ann";
    a.number = *VirtualNumber::parse(kOwn);
    a.linkedDevices.push_back({Uuid::random(), "iPad 77AA", "iPad", 0, 0, "mac-OLDER"});
    db.contacts.push_back({Uuid::random(), "Bob", kBob, false});
    return db;
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
    std::set<char> seen;
    for (int i = 0; i < 2000; ++i) {
        const std::string code = LinkController::drawLinkCode();
        ASSERT_EQ(code.size(), 6u);
        seen.insert(code.begin(), code.end());
    }
    EXPECT_EQ(std::string(seen.begin(), seen.end()), "23456789ABCDEFGHJKLMNPQRSTUVWXYZ");
    EXPECT_EQ(LinkController::normalizeLinkCode("ab-c12 3"), "ABC123");
}

TEST_F(Linking, ASeekerTypesTheCodeAndBecomesACompanionWithTheHostsData) {
    seeker.linking().seekLinkCode("abc12");
    EXPECT_TRUE(seeker.lan->seekCode.empty()) << "five characters: no search";

    const std::string code = host.linking().hostLinkCode();
    EXPECT_EQ(host.lan->hostedCode, code) << "advertised";
    seeker.linking().seekLinkCode(code.substr(0, 3) + "-" + code.substr(3));
    EXPECT_EQ(seeker.lan->seekComputer, "mac-SEEKER");
    EXPECT_EQ(seeker.lan->starts.back(), std::make_pair(std::string(), std::string()));

    host.deliver(seeker.hello(code));
    EXPECT_EQ(host.line->trusts, std::vector<std::string>{"+mac-SEEKER"});
    const LinkedDevice& listed = host.account().linkedDevices.back();
    EXPECT_EQ(listed.id.text(), seeker.id());
    EXPECT_EQ(listed.computer, "mac-SEEKER") << "kept to trust it again";

    // The snapshot may come before the account: it waits for it.
    const Snapshot early = host.snapshot();
    seeker.deliver(early);
    EXPECT_EQ(seeker.linking().pendingSnapshot(), early.path);
    seeker.deliver(host.offer());
    ASSERT_TRUE(seeker.model->account());
    EXPECT_EQ(seeker.linking().linkStatus(), std::string("Linked as ") + kOwn + ".");
    EXPECT_TRUE(seeker.line->starts.back().pin.empty()) << "trusted, no PIN";
    EXPECT_FALSE(std::filesystem::exists(early.path));

    // The host's data and devices, without this one or any secret.
    EXPECT_EQ(seeker.model->people().contacts().size(), 1u);
    std::set<std::string> names;
    for (const LinkedDevice& d : seeker.account().linkedDevices) {
        EXPECT_FALSE(d.computer);
        names.insert(d.name);
    }
    EXPECT_EQ(names, (std::set<std::string>{"iPad 77AA", host.linking().companionName()}));

    // Only once: a second snapshot, even from the host, changes nothing.
    host.model->people().addContact("Cy", kAlice);
    host.linking().makeSnapshot();
    const Snapshot again = host.snapshot();
    seeker.deliver(again);
    EXPECT_EQ(seeker.model->people().contacts().size(), 1u);
    EXPECT_FALSE(std::filesystem::exists(again.path));

    const wire::Envelope joined = seeker.lan->sentWithOp("link-joined").at(0);
    host.deliver(LinkJoined{seeker.id(), *joined.deviceName});
    EXPECT_EQ(host.linking().linkStatus(), seeker.linking().companionName() + " is linked.");
    EXPECT_TRUE(host.lan->hostedCode.empty()) << "the code is withdrawn";

    // Unlinked while the line is down: the untrust waits for it, and each
    // registration trusts the linked computers again (a PIN change revoked them).
    host.line->trusts.clear();
    host.line->open = false;
    host.lan->connected["m-SIBLING"] = kOwn;
    host.linking().unlinkDevice(seeker.id());
    const auto& [unlink, to] = host.lan->envelopes.back();
    EXPECT_EQ(unlink.device, seeker.id());
    EXPECT_EQ(std::set<std::string>(to.begin(), to.end()),
              (std::set<std::string>{"m-SIBLING", seeker.key()}));
    host.line->open = true;
    host.line->callbacks.onOpen();
    settle();
    EXPECT_EQ(host.line->trusts, (std::vector<std::string>{"-mac-SEEKER", "+mac-OLDER"}));
}

TEST_F(Linking, NothingOnTheNetworkIsTakenOnTrustAndACodeDoesNotLast) {
    host.deliver(seeker.hello("ABCDEF"));  // no code on show
    const std::string code = host.linking().hostLinkCode();
    for (int i = 0; i < LinkController::kWrongCodesPerPeer; ++i)
        host.deliver(seeker.hello(code == "AAAAAA" ? "BBBBBB" : "AAAAAA"));
    host.deliver(seeker.hello(code));
    EXPECT_TRUE(host.lan->sentWithOp("link-account").empty()) << "a guesser is ignored";
    host.deliver(seeker.hello(host.linking().hostLinkCode()));
    EXPECT_EQ(host.lan->sentWithOp("link-account").size(), 1u) << "until the code changes";
    const auto before = host.account().linkedDevices;
    host.deliver(LinkJoined{Uuid::random().text(), "Mallory"});
    EXPECT_EQ(host.account().linkedDevices, before) << "never handed the account";

    // Not seeking: neither an account nor a snapshot is taken.
    const Snapshot pushed = host.snapshot();
    seeker.deliver(pushed);
    seeker.deliver(host.offer());
    EXPECT_FALSE(seeker.model->account());
    EXPECT_FALSE(std::filesystem::exists(pushed.path));

    // Linked: a snapshot from another device, and "unlink" from anyone but
    // a linked device of our number, are dropped.
    seeker.linking().seekLinkCode(*host.linking().hostedLinkCode());
    seeker.deliver(host.offer());
    Snapshot foreign = host.snapshot();
    foreign.peerKey = "m-STRANGER";
    seeker.deliver(foreign);
    EXPECT_TRUE(seeker.model->people().contacts().empty());
    seeker.deliver(Unlink{seeker.id(), kAlice, host.key()});
    seeker.deliver(Unlink{seeker.id(), kOwn, "m-STRANGER"});
    ASSERT_TRUE(seeker.model->account());
    seeker.deliver(Unlink{seeker.id(), kOwn, host.key()});
    EXPECT_FALSE(seeker.model->account()) << "the host unlinked it";
    EXPECT_GT(seeker.lan->stops, 0);

    TimingsOverride quick([](Timings& t) { t.linkCodeLife = std::chrono::milliseconds(50); });
    host.linking().hostLinkCode();
    EXPECT_TRUE(spinUntil([&] { return host.lan->hostedCode.empty(); }));
}

}  // namespace
}  // namespace merrowfax::testing
