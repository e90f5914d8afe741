// A call whose caller goes away: quitting hangs up as the user would, and a
// caller that dies leaves a call that ends on its own once the caller is gone
// from every path and silent.
#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <csignal>
#include <fstream>
#include <iterator>

#include "cli_helpers.h"

using namespace merrowfax;
using namespace merrowfax::testing;
using rapidjson::Value;

namespace {

class CallerGoes : public ::testing::Test {
protected:
    void SetUp() override {
        const std::string quiet = writeTone(dir_, "quiet.wav", 440, 0, 2);
        ann_.emplace(relay_, fileDevices(quiet, dir_.path().toStdString() + "/ann-out.wav"));
        ben_.emplace(relay_, fileDevices(quiet, dir_.path().toStdString() + "/ben-out.wav"));
        annNumber_ = newNumber(*ann_, "Ann", 1);
        benNumber_ = newNumber(*ben_, "Ben", 2);
        ben_->mark();
        ASSERT_TRUE(ok(ann_->command(R"({"cmd":"startCall","to":")" + benNumber_ + R"("})")));
        ASSERT_TRUE(ben_->waitForChange("incoming", [](const Value& v) { return v.IsObject(); }));
        ASSERT_TRUE(ok(ben_->command(R"({"cmd":"answer"})")));
        // The caller is online for Ben once he answered; the call runs a
        // moment so that it has a length to keep.
        ASSERT_TRUE(spinUntil([&] { return isOnline(state(*ben_), annNumber_); }, 5000));
        spinUntil([] { return false; }, 600);
        ben_->mark();
    }

    // Ben's call ended within `ms` and is kept with its length.
    void expectBensCallKept(int ms) {
        EXPECT_TRUE(ben_->waitForChange(
            "active", [](const Value& v) { return v.IsNull(); }, ms));
        auto reply = ben_->command(R"({"cmd":"state"})");
        ASSERT_TRUE(ok(reply));
        const Value& calls = reply["state"]["calls"];
        ASSERT_EQ(calls.Size(), 1u);
        EXPECT_EQ(str(calls[0]["direction"]), "incoming");
        EXPECT_GT(calls[0]["duration"].GetDouble(), 0.5);
    }

    RelayProcess relay_;
    QTemporaryDir dir_;
    std::optional<CliProcess> ann_, ben_;
    std::string annNumber_, benNumber_;
};

TEST_F(CallerGoes, ACallerWhoQuitsHangsUp) {
    ::kill(static_cast<pid_t>(ann_->pid()), SIGTERM);
    expectBensCallKept(2000);
    EXPECT_EQ(ann_->closeAndWait(), 0);
    // Ann keeps the call too, as a hang-up would.
    rapidjson::Document db;
    std::ifstream in(ann_->folder().toStdString() + "/db.json");
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    db.Parse(text.c_str());
    ASSERT_TRUE(db.IsObject() && db.HasMember("calls") && db["calls"].IsArray()) << text;
    ASSERT_EQ(db["calls"].Size(), 1u);
    EXPECT_EQ(str(db["calls"][0]["direction"]), "outgoing");
}

TEST_F(CallerGoes, ACallerThatDiesLeavesACallThatEndsOnItsOwn) {
    ann_->kill();
    expectBensCallKept(15000);
}

}  // namespace
