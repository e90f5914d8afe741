// Two merrowfax-cli processes through the real relay service, driven line
// by line as a script would drive them.
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QProcess>

#include <algorithm>
#include <set>

#include "cli_helpers.h"

using namespace merrowfax::testing;
using rapidjson::Value;

namespace {

// The last message of the thread with `number`, from a "threads" value.
const Value* lastMessage(const Value& threads, const std::string& number) {
    if (!threads.IsArray()) return nullptr;
    for (const Value& t : threads.GetArray()) {
        if (str(t["id"]) == number && !t["messages"].Empty()) {
            return &t["messages"][t["messages"].Size() - 1];
        }
    }
    return nullptr;
}

class CliThroughTheRelay : public ::testing::Test {
protected:
    RelayProcess relay;
};

TEST_F(CliThroughTheRelay, TextsCrossAndBadLinesAreAnsweredWithoutStopping) {
    CliProcess ann(relay), ben(relay);
    const std::string annNumber = newNumber(ann, "Ann", 1);
    const std::string benNumber = newNumber(ben, "Ben", 1);

    ben.mark();
    auto sent = ann.command(R"({"cmd":"sendText","to":")" + benNumber + R"(","text":"hi Ben"})");
    ASSERT_TRUE(ok(sent));
    const std::string id = str(sent["id"]);
    EXPECT_EQ(id.size(), 36u);
    ASSERT_TRUE(ben.waitForChange("threads", [&](const Value& threads) {
        const Value* m = lastMessage(threads, annNumber);
        return m && str((*m)["text"]) == "hi Ben" && str((*m)["id"]) == id;
    }));
    EXPECT_TRUE(ann.waitForChange("threads", [&](const Value& threads) {
        const Value* m = lastMessage(threads, benNumber);
        return m && str((*m)["status"]) == "delivered";
    }));

    // Bad input: one failed reply each, and the client carries on.
    ann.write("not json");
    ann.write(R"({"cmd":"sendText","to":")" + benNumber + R"("})");
    auto unknown = ann.command(R"({"cmd":"fly"})");
    EXPECT_FALSE(ok(unknown));
    EXPECT_EQ(str(unknown["error"]), "Unknown command \"fly\".");
    auto mistyped = ann.command(R"({"cmd":"startCall","to":")" + benNumber + R"(","video":"yes"})");
    EXPECT_EQ(str(mistyped["error"]), "\"video\" must be true or false.");
    auto badNumber = ann.command(R"({"cmd":"sendText","to":"0-1-2","text":"x"})");
    EXPECT_EQ(str(badNumber["error"]), "That number is not a Merrowfax number.");
    auto state = ann.command(R"({"cmd":"state"})");
    ASSERT_TRUE(ok(state));
    EXPECT_EQ(str(state["state"]["account"]["displayName"]), "Ann");
    int failures = 0;
    for (const auto& line : ann.lines()) {
        failures += line.find(R"("ok":false)") != std::string::npos;
    }
    EXPECT_EQ(failures, 5);  // the two raw lines, then three commands

    EXPECT_EQ(ann.closeAndWait(), 0);
    // What was said is kept: the next start shows it.
    QProcess again;
    again.start(QStringLiteral(MERROWFAX_CLI_BINARY),
                {QStringLiteral("--data"), ann.folder(), QStringLiteral("state")});
    ASSERT_TRUE(again.waitForFinished(10000));
    EXPECT_NE(again.readAllStandardOutput().indexOf("hi Ben"), -1);
}

TEST_F(CliThroughTheRelay, ABlockedNumberGetsNothingThrough) {
    CliProcess ann(relay), ben(relay);
    const std::string annNumber = newNumber(ann, "Ann", 1);
    const std::string benNumber = newNumber(ben, "Ben", 2);

    ASSERT_TRUE(
        ok(ben.command(R"({"cmd":"addContact","name":"Ann","number":")" + annNumber + R"("})")));
    auto state = ben.command(R"({"cmd":"state"})");
    const std::string contact = str(state["state"]["contacts"][0]["id"]);
    ASSERT_TRUE(
        ok(ben.command(R"({"cmd":"setBlocked","id":")" + contact + R"(","blocked":true})")));
    auto refused = ben.command(R"({"cmd":"sendText","to":")" + annNumber + R"(","text":"x"})");
    EXPECT_EQ(str(refused["error"]), "Ann is blocked. Unblock them first.");

    ben.mark();
    ASSERT_TRUE(ok(ann.command(R"({"cmd":"sendText","to":")" + benNumber + R"(","text":"hey"})")));
    ASSERT_TRUE(ok(ann.command(R"({"cmd":"startCall","to":")" + benNumber + R"("})")));
    // Ben's side stays silent; Ann's call runs out (1.5 s at this time scale).
    ASSERT_TRUE(ann.waitFor(
        [](const Value& line) {
            return line.HasMember("event") && str(line["event"]) == "alert" &&
                   str(line["text"]) == "No answer.";
        },
        8000));
    for (const auto& line : std::vector<std::string>(ben.lines().begin(), ben.lines().end())) {
        EXPECT_EQ(line.find("hey"), std::string::npos) << line;
        EXPECT_EQ(line.find(R"("property":"incoming")"), std::string::npos) << line;
    }
}

// Messages of the thread with `number` in a "threads" value, by text.
std::vector<std::string> textsOf(const Value& threads, const std::string& number) {
    std::vector<std::string> texts;
    if (!threads.IsArray()) return texts;
    for (const Value& t : threads.GetArray()) {
        if (str(t["id"]) != number) continue;
        for (const Value& m : t["messages"].GetArray()) texts.push_back(str(m["text"]));
    }
    return texts;
}

// One client floods another with about 90 texts a second (under the relay's
// 100 a second per connection) while a third writes a few: the receiver
// stores each text without rewriting its whole store, so it keeps up, is not
// cut off, and after a kill still has every text it acknowledged.
TEST_F(CliThroughTheRelay, AFloodOfTextsCostsNoTextOfAThirdParty) {
    CliProcess flooder(relay), receiver(relay), friendly(relay);
    const std::string flooderNumber = newNumber(flooder, "Flo", 1);
    const std::string receiverNumber = newNumber(receiver, "Rae", 2);
    const std::string friendNumber = newNumber(friendly, "Fay", 3);

    constexpr int kFlood = 270;  // 3 s
    constexpr int kFriendly = 6;
    QElapsedTimer clock;
    clock.start();
    for (int i = 0; i < kFlood; ++i) {
        flooder.write(R"({"cmd":"sendText","to":")" + receiverNumber + R"(","text":"flood )" +
                      std::to_string(i) + R"("})");
        if (i % (kFlood / kFriendly) == 0) {
            friendly.write(R"({"cmd":"sendText","to":")" + receiverNumber + R"(","text":"friend )" +
                           std::to_string(i) + R"("})");
        }
        spinUntil([&] { return clock.elapsed() >= (i + 1) * 1000 / 90; }, 1000);
    }

    // Everything arrives, and the flooder sees each text acknowledged.
    auto flooded = [&](CliProcess& cli, const std::string& number) {
        return messages(cli, number).size();
    };
    EXPECT_TRUE(spinUntil(
        [&] {
            return flooded(receiver, flooderNumber) == kFlood &&
                   flooded(receiver, friendNumber) == kFriendly;
        },
        15000));
    EXPECT_TRUE(spinUntil(
        [&] {
            const auto sent = messages(flooder, receiverNumber);
            return sent.size() == kFlood &&
                   std::all_of(sent.begin(), sent.end(),
                               [](const auto& m) { return str(m["status"]) == "delivered"; });
        },
        10000));
    // Still connected: a last text gets through.
    ASSERT_TRUE(ok(friendly.command(R"({"cmd":"sendText","to":")" + receiverNumber +
                                    R"(","text":"still there?"})")));
    EXPECT_TRUE(spinUntil([&] { return flooded(receiver, friendNumber) == kFriendly + 1; }, 5000));

    // A kill loses nothing that was acknowledged.
    receiver.kill();
    QProcess again;
    again.start(QStringLiteral(MERROWFAX_CLI_BINARY),
                {QStringLiteral("--data"), receiver.folder(), QStringLiteral("state")});
    ASSERT_TRUE(again.waitForFinished(20000));
    rapidjson::Document state;
    state.Parse(again.readAllStandardOutput().toStdString().c_str());
    ASSERT_TRUE(state.IsObject() && state.HasMember("state"));
    const auto floods = textsOf(state["state"]["threads"], flooderNumber);
    const auto friends = textsOf(state["state"]["threads"], friendNumber);
    EXPECT_EQ(floods.size(), static_cast<std::size_t>(kFlood));
    EXPECT_EQ(friends.size(), static_cast<std::size_t>(kFriendly + 1));
    EXPECT_EQ(std::set<std::string>(floods.begin(), floods.end()).size(), floods.size());
}

}  // namespace
