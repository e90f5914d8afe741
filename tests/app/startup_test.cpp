#include "model_fixture.h"

using namespace merrowfax;
using namespace merrowfax::testing;

namespace {

class StartUp : public ModelTest {};

TEST_F(StartUp, FirstLaunchPersistsAChannelAndAsksForThisComputersAccount) {
    start(/*withAccount=*/false);
    EXPECT_FALSE(model->account());
    EXPECT_TRUE(model->restoring());
    EXPECT_EQ(line->lookedUpComputer, "mac-TEST");
    EXPECT_TRUE(line->starts.empty());
    // db.json exists before onboarding, with the new walkie channel.
    ASSERT_TRUE(stored().channelId);
    EXPECT_EQ(stored().deviceId, model->deviceId());

    // Unusable answers make no account but end the wait.
    auto answer = line->pendingLookup;
    for (RememberedAccount unusable :
         {RememberedAccount{kAlice, " \n\t "}, RememberedAccount{"not a number", "Alice"}}) {
        answer(unusable);
        settle();
        EXPECT_FALSE(model->account());
        EXPECT_FALSE(model->restoring());
    }

    answer(RememberedAccount{"44 1 555 0001", "  Alice of the very long name indeed, yes  "});
    settle();
    ASSERT_TRUE(model->account());
    EXPECT_EQ(model->account()->number.text(), kAlice);
    EXPECT_EQ(model->account()->displayName, "Alice of the very long name indeed, yes");
    EXPECT_EQ(model->account()->deviceId, model->deviceId());
    EXPECT_EQ(model->account()->accountKind, "personal");
    ASSERT_EQ(line->starts.size(), 1u);
    EXPECT_EQ(line->starts[0].number, kAlice);
    EXPECT_EQ(stored().account, model->account());

    answer(RememberedAccount{kBob, "Bob"});  // an account exists now: ignored
    settle();
    EXPECT_EQ(model->account()->number.text(), kAlice);
}

TEST_F(StartUp, TheServicesStatementReachesTheLanLinkAndIsKeptForTheNextRun) {
    start();
    EXPECT_EQ(lan->statement, "");
    for (const char* statement : {"v1.first", "v1.renewed"}) {
        line->callbacks.onStatement(statement);
        settle();
        EXPECT_EQ(lan->statement, statement);
    }
    model.reset();
    start();
    EXPECT_EQ(lan->statement, "v1.renewed") << "before the LAN link starts";
}

TEST_F(StartUp, OnlineIsTheUnionOfBothPathsWithoutOurOwnNumberAndAChangeRetriesTexts) {
    start();
    int countSignals = 0;
    QObject::connect(model.get(), &AppModel::onNetworkCountChanged, [&] { ++countSignals; });
    model->messaging().sendText("hello", kAlice);
    ASSERT_EQ(threadOf(kAlice)->messages[0].status, MessageStatus::waiting);
    line->accepts = true;

    fromLine(wire::events::Online{{kAlice, kOwn}});
    EXPECT_EQ(model->online(), (std::set<std::string>{kAlice}));
    EXPECT_EQ(threadOf(kAlice)->messages[0].status, MessageStatus::sent);
    EXPECT_EQ(stored().threads[0].messages[0].status, MessageStatus::sent);
    fromLan(wire::events::Online{{kAlice, kBob, kOwn}});
    EXPECT_EQ(model->online(), (std::set<std::string>{kAlice, kBob}));
    EXPECT_EQ(model->onNetworkCount(), 2);
    fromLan(wire::events::Online{});
    EXPECT_EQ(model->onNetworkCount(), 1);
    EXPECT_EQ(countSignals, 3);
}

TEST(Lifetime, CallbacksAfterTheModelIsGoneDoNothing) {
    QTemporaryDir dir;
    AppComponents parts;
    FakeLine* line = install<FakeLine>(parts.line);
    auto model = std::make_unique<AppModel>(dir.path().toStdString(), std::move(parts));
    // A component that outlives the model (or calls from another thread late)
    // still holds the callbacks.
    NetTransport::Callbacks kept = line->callbacks;
    kept.handler(wire::events::Online{{kAlice}});  // queued, not yet run
    model.reset();
    kept.handler(wire::events::Online{{kBob}});
    kept.onBook({BookEntry{"Alice", kAlice, false}});
    QCoreApplication::processEvents();
    SUCCEED();  // nothing ran against the destroyed model (ASan would tell)
}

}  // namespace
