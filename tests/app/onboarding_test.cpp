#include "model_fixture.h"

using namespace merrowfax;
using namespace merrowfax::testing;

namespace {

class Onboarding : public ModelTest {
protected:
    void SetUp() override { start(false); }

    static VirtualNumber offered() { return *VirtualNumber::parse("0-1-234-5678"); }
};

TEST_F(Onboarding, ABlankNameStopsWithoutAWord) {
    model->accounts().claimNewNumber(" \n ", false, offered(), "1234", "1 2 3 4");
    EXPECT_FALSE(model->alertMessage());
    EXPECT_FALSE(model->account());
    EXPECT_TRUE(line->starts.empty());
}

TEST_F(Onboarding, TheOwnNameIsRegisteredAndKeptWithoutInvisibleCharacters) {
    // Only invisible characters: as blank as a blank name.
    model->accounts().claimNewNumber("\xE2\x80\xAE\xE2\x80\x8B\x07", false, offered(), "1234",
                                     "1234");
    EXPECT_FALSE(model->account());

    model->accounts().claimNewNumber(
        "\t\xE2\x81\xA6"
        "Ann\x1B\xE2\x80\xAE"
        "0-1-000-0001\xE2\x81\xA9 ",
        false, offered(), "1234", "1234");
    ASSERT_TRUE(model->account());
    EXPECT_EQ(model->account()->displayName, "Ann0-1-000-0001");
    ASSERT_EQ(line->starts.size(), 1u);
    EXPECT_EQ(line->starts[0].name, "Ann0-1-000-0001");
    EXPECT_EQ(stored().account->displayName, "Ann0-1-000-0001");

    model->accounts().saveProfile("\xE2\x80\x8B", false);  // nothing visible: unchanged
    EXPECT_EQ(model->account()->displayName, "Ann0-1-000-0001");
    model->accounts().saveProfile(std::string(45, 'y') + "\xE2\x80\x8F", false);
    EXPECT_EQ(line->starts.back().name, std::string(40, 'y'));
}

TEST_F(Onboarding, AnOlderStoredNameIsCleanedBeforeItIsSent) {
    model.reset();
    StoredDatabase db = StoredDatabase::fresh();
    db.account = account(kOwn,
                         "\xE2\x80\xAE"
                         "Me\xE2\x80\x8B");
    seed(db);
    start();
    ASSERT_EQ(line->starts.size(), 1u);
    EXPECT_EQ(line->starts[0].name, "Me");
    EXPECT_EQ(lan->starts[0].second, "Me");
    model->messaging().sendText("hi", kAlice);
    EXPECT_EQ(line->sentWithOp("text").at(0).name, "Me");
}

TEST_F(Onboarding, ANewNumberIsShownAtOnceAndRegisteredWithItsKindAndPin) {
    const std::string longName(50, 'x');
    model->accounts().claimNewNumber("  " + longName + " ", true, offered(), "1-2-3-4", "1234");
    ASSERT_TRUE(model->account());
    EXPECT_EQ(model->account()->displayName, std::string(40, 'x'));
    EXPECT_EQ(model->account()->accountKind, "business");
    EXPECT_EQ(model->account()->number, offered());
    EXPECT_EQ(model->account()->deviceId, model->deviceId());
    EXPECT_FALSE(model->account()->isCompanion);
    ASSERT_EQ(line->starts.size(), 1u);
    EXPECT_EQ(line->starts[0].pin, "1234");
    EXPECT_EQ(line->starts[0].accountKind, "business");
    EXPECT_EQ(stored().account, model->account());

    // Someone else holds that number: back to no account.
    line->callbacks.onDenied("That number is taken. Choose another.");
    settle();
    EXPECT_FALSE(model->account());
    EXPECT_EQ(model->alertMessage(), "That number is taken. Choose another.");
    EXPECT_FALSE(stored().account);
}

TEST_F(Onboarding, ReclaimingGivesTheFormItsOwnNotes) {
    EXPECT_EQ(model->accounts().reclaimNumber("Ann", "0-1-234", "1234"),
              "Enter the full number, like 0-1-660-9141.");
    EXPECT_EQ(model->accounts().reclaimNumber("Ann", "0-1-234-5678", "12"),
              "Enter the 4-digit PIN for that number.");
    EXPECT_EQ(model->accounts().reclaimNumber("", "0-1-234-5678", "1234"), "");
    EXPECT_FALSE(model->account());

    EXPECT_EQ(model->accounts().reclaimNumber("Ann", "0 1 234 5678", "9 8 7 6"), "");
    ASSERT_TRUE(model->account());
    EXPECT_EQ(model->account()->number, offered());
    EXPECT_EQ(model->account()->accountKind, "personal");
    ASSERT_EQ(line->starts.size(), 1u);
    EXPECT_EQ(line->starts[0].pin, "9876");
    EXPECT_EQ(line->starts[0].accountKind, "");  // a reclaim registers no kind
}

class Erasing : public ModelTest {
protected:
    void SetUp() override { start(); }
};

TEST_F(Erasing, ResetLeavesNothingOfTheNumberOnThisDevice) {
    model->people().addContact("Alice", kAlice);
    fromLine(text(kAlice, "hello"));
    fromLine(wire::events::Call{"invite", Uuid::random(), kAlice, "", "Alice", false, kAlice});
    ASSERT_TRUE(model->calls().incoming());
    ASSERT_FALSE(model->messaging().threads().empty());

    model->resetDevice();
    EXPECT_FALSE(model->account());
    EXPECT_FALSE(model->calls().incoming());
    EXPECT_TRUE(model->people().contacts().empty());
    EXPECT_TRUE(model->messaging().threads().empty());
    EXPECT_TRUE(model->callList().empty());  // the missed call went with the rest
    EXPECT_TRUE(model->people().directory().empty());
    EXPECT_EQ(line->forgotten, std::vector<std::string>{"mac-TEST"});
    EXPECT_EQ(line->stops, 1);
    EXPECT_EQ(lan->stops, 1);
    const StoredDatabase db = stored();
    EXPECT_FALSE(db.account);
    EXPECT_TRUE(db.threads.empty());
    EXPECT_TRUE(db.calls.empty());
    EXPECT_EQ(db.deviceId, model->deviceId());  // the device stays the same device
}

}  // namespace
