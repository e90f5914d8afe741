// Screen sharing between merrowfax-cli processes through the real relay: Ann
// shares the screen of a private Xvfb (xev listening on it) with Ben, who
// watches it and, once allowed, clicks and types on it.
#include <gtest/gtest.h>

#include <cstdlib>

#include "cli_helpers.h"
#include "support/x11_client.h"
#include "support/xvfb_server.h"

using namespace merrowfax;
using namespace merrowfax::testing;
using rapidjson::Value;

namespace {

constexpr int kCrossing = 5000;

class DeskShare : public ::testing::Test {
protected:
    void SetUp() override {
        if (!XvfbServer::available()) GTEST_SKIP() << "Xvfb is missing";
        x_.emplace(1280, 800);
        paintRoot(x_->display(), {0, 0, 1280, 800}, 0x3366cc);
        // Only Ann's client sees the X server.
        ::setenv("DISPLAY", x_->display().c_str(), 1);
        ann_.emplace(relay_);
        ::unsetenv("DISPLAY");
        ben_.emplace(relay_);
        annNumber_ = newNumber(*ann_, "Ann", 1);
        benNumber_ = newNumber(*ben_, "Ben", 2);
    }
    bool says(CliProcess& cli, const std::string& command) { return ok(cli.command(command)); }
    bool benDoes(const std::string& action, double x, double y) {
        return says(*ben_, R"({"cmd":"deskEvent","action":")" + action + R"(","x":)" +
                               std::to_string(x) + R"(,"y":)" + std::to_string(y) + "}");
    }

    std::optional<XvfbServer> x_;
    RelayProcess relay_;
    std::optional<CliProcess> ann_, ben_;
    std::string annNumber_, benNumber_;
};

TEST_F(DeskShare, BenWatchesAnnsScreenAndControlsItOnlyOnceAllowed) {
    Xev xev(x_->display());
    ben_->mark();
    ASSERT_TRUE(says(*ann_, R"({"cmd":"startSharing","to":")" + benNumber_ + R"("})"));
    ASSERT_TRUE(
        ben_->waitForChange("deskWatchFrom", [&](const Value& v) { return str(v) == annNumber_; }));
    ASSERT_TRUE(
        spinUntil([&] { return state(*ben_)["deskImage"]["frames"].GetInt() > 0; }, kCrossing));
    auto s = state(*ben_);
    EXPECT_EQ(s["deskImage"]["width"].GetInt(), 1280);
    EXPECT_EQ(s["deskImage"]["height"].GetInt(), 800);
    EXPECT_EQ(str(s["deskWatchName"]), "Ann");
    EXPECT_EQ(str(s["deskHostKind"]), "Mac");
    EXPECT_FALSE(s["deskCanControl"].GetBool());

    // Not allowed: a click injects nothing.
    ASSERT_TRUE(benDoes("click", 0.5, 0.25));
    pause(500);
    EXPECT_FALSE(xev.log().contains(QStringLiteral("ButtonPress")));

    ASSERT_TRUE(says(*ann_, R"({"cmd":"allowControl","on":true})"));
    ASSERT_TRUE(ben_->waitForChange("deskCanControl", [](const Value& v) { return v.IsTrue(); }));
    ASSERT_TRUE(benDoes("click", 0.5, 0.25));
    EXPECT_TRUE(
        spinUntil([&] { return xev.log().contains(QStringLiteral("ButtonPress")); }, kCrossing));
    EXPECT_TRUE(xev.log().contains(QStringLiteral("root:(640,200)")));
    ASSERT_TRUE(says(*ben_, R"({"cmd":"deskTyping","text":"héllo wörld"})"));
    ASSERT_TRUE(says(*ben_, R"({"cmd":"deskTyping","text":"\n"})"));
    EXPECT_TRUE(spinUntil([&] { return xev.typed() == U"héllo wörld\n"; }, kCrossing));

    // Ben leaves: the share stops.
    ann_->mark();
    ASSERT_TRUE(says(*ben_, R"({"cmd":"stopWatching"})"));
    EXPECT_TRUE(ann_->waitForChange("deskShareTo", [](const Value& v) { return v.IsNull(); }));
}

TEST_F(DeskShare, SharingWithAnotherNumberStopsTheFirstShare) {
    CliProcess cat(relay_);
    const std::string catNumber = newNumber(cat, "Cat", 3);
    ASSERT_TRUE(says(*ann_, R"({"cmd":"startSharing","to":")" + benNumber_ + R"("})"));
    ASSERT_TRUE(
        spinUntil([&] { return str(state(*ben_)["deskWatchFrom"]) == annNumber_; }, kCrossing));
    ASSERT_TRUE(says(*ann_, R"({"cmd":"startSharing","to":")" + catNumber + R"("})"));
    EXPECT_TRUE(
        spinUntil([&] { return str(state(cat)["deskWatchFrom"]) == annNumber_; }, kCrossing));
    EXPECT_TRUE(spinUntil([&] { return state(*ben_)["deskWatchFrom"].IsNull(); }, kCrossing));
}

}  // namespace
