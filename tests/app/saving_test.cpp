// A disk that refuses writes: the state stays in memory, the user hears of it
// once, and nothing is lost once there is room again.
#include <atomic>
#include <memory>

#include "model_fixture.h"

using namespace merrowfax;
using namespace merrowfax::testing;

namespace {

constexpr const char* kCouldNotSave =
    "Merrowfax could not save your chats. Free some disk space and try again.";

class Saving : public ModelTest {
protected:
    TimingsOverride quick{[](Timings& t) {
        t.saveRetry = std::chrono::milliseconds(50);
        t.journalFold = std::chrono::hours(1);
    }};
    int alerts = 0;

    void SetUp() override {
        start();
        QObject::connect(model.get(), &AppModel::alertMessageChanged, [this] {
            if (model->alertMessage() == kCouldNotSave) ++alerts;
        });
    }
    std::size_t storedMessages(const char* number) const {
        for (const auto& t : stored().threads) {
            if (t.id == number) return t.messages.size();
        }
        return 0;
    }
};

TEST_F(Saving, AFullDiskIsReportedOnceAndEverythingLandsWhenThereIsRoom) {
    // Shared with the hook, which the model still asks when it saves at its end.
    auto full = std::make_shared<std::atomic<bool>>(true);
    model->setStoreFaults([full](WriteStep) { return *full ? StepFault::fail : StepFault::none; });
    fromLine(text(kAlice, "one"));  // a new contact: a whole save
    fromLine(text(kAlice, "two"));  // a journal append
    model->people().addContact("Bob", kBob);
    model->messaging().sendText("three", kAlice);
    settle();
    EXPECT_EQ(alerts, 1);
    EXPECT_EQ(threadOf(kAlice)->messages.size(), 3u);  // kept in memory
    EXPECT_EQ(storedMessages(kAlice), 0u);

    // Room again, and no change: the retry timer saves.
    *full = false;
    ASSERT_TRUE(waitUntil([&] { return storedMessages(kAlice) == 3; }));
    EXPECT_EQ(stored().contacts.size(), 2u);
    fromLine(text(kAlice, "four"));
    model.reset();
    EXPECT_EQ(storedMessages(kAlice), 4u);
    EXPECT_EQ(alerts, 1);
}

TEST_F(Saving, AJournalThatCannotSyncFallsBackToAWholeSave) {
    fromLine(text(kAlice, "one"));
    auto syncFails = std::make_shared<std::atomic<bool>>(true);
    model->setStoreFaults([syncFails](WriteStep step) {
        return *syncFails && step == WriteStep::journalSync ? StepFault::fail : StepFault::none;
    });
    // The journal is broken, db.json is not: the text lands whole, unnoticed.
    fromLine(text(kAlice, "two"));
    settle();
    EXPECT_EQ(storedMessages(kAlice), 2u);
    EXPECT_EQ(alerts, 0);
    *syncFails = false;
    // Saved, the journal takes texts again.
    fromLine(text(kAlice, "three"));
    settle();
    EXPECT_EQ(storedMessages(kAlice), 3u);
    EXPECT_EQ(alerts, 0);
}

}  // namespace
