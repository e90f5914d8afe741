// A stranger against two contacts, three merrowfax-cli processes through the
// real relay: its walkie is not taken for a contact's, and its calls cannot
// keep the user "on another call".
#include <gtest/gtest.h>

#include <QTemporaryDir>

#include "cli_helpers.h"

using namespace merrowfax;
using namespace merrowfax::testing;
using rapidjson::Value;

namespace {

class Strangers : public ::testing::Test {
protected:
    void SetUp() override {
        const std::string folder = dir_.path().toStdString();
        const std::string quiet = writeTone(dir_, "quiet.wav", 440, 0, 4);
        const std::string voice = writeTone(dir_, "voice.wav", 440, 0.25, 4);
        ann_.emplace(relay_, fileDevices(quiet, folder + "/ann-out.wav"));
        cat_.emplace(relay_, fileDevices(voice, folder + "/cat-out.wav"));
        ben_.emplace(relay_, fileDevices(voice, folder + "/ben-out.wav"));
        ann = newNumber(*ann_, "Ann", 1);
        cat = newNumber(*cat_, "Cat", 2);
        ben = newNumber(*ben_, "Ben", 3);
        ASSERT_TRUE(
            ok(ann_->command(R"({"cmd":"addContact","name":"Cat","number":")" + cat + R"("})")));
        ASSERT_TRUE(
            ok(cat_->command(R"({"cmd":"addContact","name":"Ann","number":")" + ann + R"("})")));
    }

    // `from` holds the walkie to `to` a moment and lets go.
    static void talk(CliProcess& from, const std::string& to) {
        ASSERT_TRUE(ok(from.command(R"({"cmd":"holdTalk","to":")" + to + R"("})")));
        spinUntil([] { return false; }, 400);
        ASSERT_TRUE(ok(from.command(R"({"cmd":"endTalk","to":")" + to + R"("})")));
    }
    // The state object of `cli`, held in `reply`.
    static const Value& state(CliProcess& cli, rapidjson::Document& reply) {
        reply = cli.command(R"({"cmd":"state"})");
        EXPECT_TRUE(ok(reply) && reply["state"].IsObject());
        return reply["state"];
    }
    static bool said(const CliProcess& cli, const std::string& text) {
        for (const std::string& line : cli.lines()) {
            if (line.find(text) != std::string::npos) return true;
        }
        return false;
    }
    static CliProcess::Match is(const std::string& number) {
        return [number](const Value& v) {
            return str(v) == number;
        };
    }
    static CliProcess::Match callFrom(const std::string& number) {
        return [number](const Value& v) {
            return v.IsObject() && str(v["number"]) == number;
        };
    }

    RelayProcess relay_;
    QTemporaryDir dir_;
    std::optional<CliProcess> ann_, cat_, ben_;
    std::string ann, cat, ben;
};

TEST_F(Strangers, AStrangersWalkieIsNotTakenForAContact) {
    rapidjson::Document reply;
    EXPECT_TRUE(state(*ann_, reply)["walkieContactsOnly"].IsTrue()) << "a new installation";
    ann_->mark();
    talk(*cat_, ann);
    ASSERT_TRUE(ann_->waitForChange("walkiePartner", is(cat)));

    // With the setting on, Ben's talk is not heard at all.
    ann_->mark();
    talk(*ben_, ann);
    EXPECT_FALSE(ann_->waitForChange("incomingTalk", is(ben), 1500));

    // Off, it is heard under his number, not the name he gave.
    ASSERT_TRUE(ok(ann_->command(R"({"cmd":"walkieContactsOnly","on":false})")));
    EXPECT_TRUE(state(*ann_, reply)["walkieContactsOnly"].IsFalse());
    ann_->mark();
    talk(*ben_, ann);
    EXPECT_TRUE(ann_->waitForChange("incomingTalk", is(ben)));
    EXPECT_TRUE(ann_->waitForChange("hearing", is(ben)));
    EXPECT_FALSE(ann_->waitForChange("hearing", is("Ben"), 500));
    ASSERT_TRUE(ann_->waitForChange("incomingTalk", [](const Value& v) { return v.IsNull(); }));

    // The walkie bar's next press goes to Cat, and Ben hears nothing.
    const std::string partner = str(state(*ann_, reply)["walkiePartner"]);
    EXPECT_EQ(partner, cat);
    cat_->mark();
    ben_->mark();
    talk(*ann_, partner);
    EXPECT_TRUE(cat_->waitForChange("incomingTalk", is(ann)));
    EXPECT_FALSE(ben_->waitForChange("incomingTalk", is(ann), 500));
}

TEST_F(Strangers, AStrangerReInvitingCannotKeepAContactFromRinging) {
    ann_->mark();
    ASSERT_TRUE(ok(ben_->command(R"({"cmd":"startCall","to":")" + ann + R"("})")));
    ASSERT_TRUE(ann_->waitForChange("incoming", callFrom(ben)));

    // Cat calls while Ben rings: Ann's phone rings for Cat.
    ASSERT_TRUE(ok(cat_->command(R"({"cmd":"startCall","to":")" + ann + R"("})")));
    EXPECT_TRUE(ann_->waitForChange("incoming", callFrom(cat)));
    ASSERT_TRUE(ok(ann_->command(R"({"cmd":"answer"})")));

    // Ben calls again and again while Ann talks with Cat: no ring, no busy.
    ann_->mark();
    for (int i = 0; i < 10; ++i) {
        (void)ben_->command(R"({"cmd":"startCall","to":")" + ann + R"("})");
        spinUntil([] { return false; }, 250);
    }
    EXPECT_FALSE(ann_->waitForChange("incoming", callFrom(ben), 10));
    EXPECT_FALSE(said(*ben_, "is on another call."));
    EXPECT_FALSE(said(*cat_, "is on another call."));
    rapidjson::Document reply;
    const Value& annState = state(*ann_, reply);
    ASSERT_TRUE(annState["active"].IsObject());
    EXPECT_EQ(str(annState["active"]["number"]), cat);
    bool missed = false;
    for (const Value& call : annState["calls"].GetArray()) {
        missed |= str(call["number"]) == ben && str(call["direction"]) == "missed";
    }
    EXPECT_TRUE(missed) << "Ben's calls are kept as missed";
}

}  // namespace
