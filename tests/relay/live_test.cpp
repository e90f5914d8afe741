// The live endpoint as devices meet it: registration, forwarding with the
// sender stamped, miss, binary routing, presence by interest, the book; on a
// single node and on a cluster of two, with each case's clients on the nodes
// in turn.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "relay_fixture.h"
#include "relays.h"

namespace merrowfax::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

// The numbers in the next presence list a connection gets.
std::vector<std::string> nextPresence(Joined& joined) {
    const auto list = joined.client->waitFor("presence");
    return list ? presenceOf(*list) : std::vector<std::string>{"(no list came)"};
}

class LiveTest : public ::testing::TestWithParam<Backend> {
protected:
    Relays relays{GetParam()};
    Device device(int i, std::string name = "Ann") {
        return makeDevice(number(i), std::move(name), "mac-computer-" + std::to_string(i));
    }
    // Registers on the next node.
    Joined join(const Device& d) { return testing::join(relays.next(), d); }
};

// Cases that need the stored book on every node: on a cluster once its
// nodes share one store.
class LiveStoreTest : public LiveTest {};

TEST_P(LiveTest, ForwardsToEveryConnectionOfTheNumberStampedWithTheSender) {
    auto a = join(device(1));
    Device bDevice = device(2, "Bo");
    auto b1 = join(bDevice);
    bDevice.computer = "ipad-of-bo";
    auto b2 = join(bDevice);

    // The sender lies about its number: the service writes the registered one.
    a.client->sendText(R"({"op":"text","id":"6F9619FF-8B86-D011-B42D-00CF4FC964FF",)"
                       R"("to":"0-1-555-1002","number":"0-1-555-1099","text":"hi"})");
    for (auto* b : {b1.client.get(), b2.client.get()}) {
        auto text = b->waitFor("text");
        ASSERT_TRUE(text);
        EXPECT_STREQ((*text)["number"].GetString(), "0-1-555-1001");
        EXPECT_STREQ((*text)["text"].GetString(), "hi");
        EXPECT_STREQ((*text)["to"].GetString(), "0-1-555-1002");
    }
    // The sender does not get its own record back; the other way works too.
    b1.client->sendText(R"({"op":"delivered","id":"6F9619FF-8B86-D011-B42D-00CF4FC964FF",)"
                        R"("to":"0-1-555-1001"})");
    auto delivered = a.client->waitFor("delivered");
    ASSERT_TRUE(delivered);
    EXPECT_STREQ((*delivered)["number"].GetString(), "0-1-555-1002");
    for (const auto& m : drain(*a.client)) EXPECT_EQ(m.find(R"("op":"text")"), std::string::npos);
}

TEST_P(LiveTest, UndeliverableRecordsAnswerMissAndJunkIsDropped) {
    auto a = join(device(1));
    a.client->sendText(R"({"op":"text","id":"6F9619FF-8B86-D011-B42D-00CF4FC964FF",)"
                       R"("to":"0-1-555-1077","text":"anyone?"})");
    auto miss = a.client->waitFor("miss");
    ASSERT_TRUE(miss);
    EXPECT_STREQ((*miss)["to"].GetString(), "0-1-555-1077");

    auto b = join(device(2));
    // None of these reaches b, and none of them costs a's connection.
    std::vector<std::string> junk = {
        "not json",
        "[1,2,3]",
        R"({"to":"0-1-555-1002"})",                                    // no op
        R"({"op":"denied","reason":"gotcha","to":"0-1-555-1002"})",    // the service's own
        R"({"op":"presence","numbers":["9-9"],"to":"0-1-555-1002"})",  // the service's own
        R"({"op":"launch","to":"0-1-555-1002"})",                      // unknown op
        R"({"op":"text","to":"0-1-5551002","text":"x"})",              // to not canonical
        R"({"op":"text","to":12,"text":"x"})",                         // to not a string
        R"({"op":"text","to":"0-1-555-1002","text":"\udc00"})",        // decodes to bad UTF-8
        std::string(40, '[') + std::string(40, ']'),                   // deep nesting
    };
    // A repeated key, wherever it hides, drops the record.
    const std::string head = R"({"op":"text","id":"6F9619FF-8B86-D011-B42D-00CF4FC964FF",)"
                             R"("to":"0-1-555-1002",)";
    for (const char* rest : {
             R"("number":"0-1-555-1003","text":"forged","number":"0-1-555-1004"})",
             R"("text":"second op","op":"book","contacts":[]})",
             R"("text":"x","to":"0-1-555-1003"})",
             R"("text":"nested","file":{"name":"a","size":1,"name":"b"}})",
             R"("text":"deep","list":[{"k":[{"z":1,"z":2}]}]})",
         })
        junk.push_back(head + rest);
    for (const auto& record : junk) a.client->sendText(record);
    EXPECT_TRUE(drain(*a.client).empty());
    EXPECT_TRUE(drain(*b.client).empty());
}

TEST_P(LiveTest, RoutesBinaryFramesByTargetStampedWithTheSender) {
    auto a = join(device(1));
    auto b = join(device(2));
    auto c = join(device(3));
    auto netFrame = [](char kind, const std::string& number, const std::string& media) {
        return std::string(1, kind) + static_cast<char>(number.size()) + number + media;
    };
    auto nextBinary = [&] {
        auto got = b.client->receive();
        while (got && !got->binary) got = b.client->receive();
        return got ? got->data : std::string();
    };
    const std::string target = number(2);
    const std::string media("\x00\xff\x10media", 8);
    const std::string frame = netFrame(3, target, media);  // video
    a.client->sendBinary(frame);
    EXPECT_EQ(nextBinary(), netFrame(3, number(1), media));
    // Someone else aiming audio at b's call with a: b sees who really sent it.
    c.client->sendBinary(netFrame(2, target, "forged"));
    EXPECT_EQ(nextBinary(), netFrame(2, number(3), "forged"));

    // Short, zero-length, over-long headers and unknown kinds go nowhere.
    a.client->sendBinary(std::string("\x03", 1));
    a.client->sendBinary(std::string("\x03\x00xx", 4));
    a.client->sendBinary(std::string("\x03\x40", 2) + target);
    a.client->sendBinary(std::string("\x09", 1) + frame.substr(1));
    drain(*a.client);  // a's frames are handled, and anything routed is queued to b
    b.client->sendText(R"({"op":"ping"})");
    for (auto m = b.client->receive(); m; m = b.client->receive()) {
        EXPECT_FALSE(m->binary);
        if (m->data == R"({"op":"pong"})") break;
    }
}

TEST_P(LiveTest, PresenceFollowsTheBookNeverNamesItselfAndReportsDepartures) {
    auto a = join(device(1));
    EXPECT_THAT(nextPresence(a), IsEmpty());

    // a's stored book names 2 and a itself; 3 is a stranger.
    a.client->sendText(
        R"({"op":"book","contacts":[{"name":"Bo","number":"0-1-555-1002",)"
        R"("blocked":false},{"name":"Me","number":"0-1-555-1001","blocked":false}]})");
    drain(*a.client);
    auto b = join(device(2));
    auto c = join(device(3));
    EXPECT_THAT(nextPresence(c), IsEmpty());
    EXPECT_TRUE(presenceBecomes(*a.client, {"0-1-555-1002"}));

    // b goes: a hears it, c (on a's node, told in the same breath) does not.
    b.client->close();
    EXPECT_THAT(nextPresence(a), IsEmpty());
    for (const auto& m : drain(*c.client, true))
        EXPECT_EQ(m.find("presence"), std::string::npos) << m;
}

// The presence lists a connection received before its pong.
std::vector<std::vector<std::string>> presenceLists(WsClient& client) {
    std::vector<std::vector<std::string>> out;
    for (const auto& m : drain(client, true))
        if (auto doc = parseJson(m); doc.IsObject() && doc["op"] == "presence")
            out.push_back(presenceOf(doc));
    return out;
}

TEST_P(LiveTest, StrangersSeeNobodyUntilTheOtherSideAnswersOrKnowsThem) {
    auto c = join(device(3));
    auto d = join(device(4));
    auto e = join(device(5));
    e.client->sendText(R"({"op":"book","contacts":[{"name":"Cy","number":"0-1-555-1003"}]})");
    drain(*e.client);
    drain(*c.client, true);  // the first lists
    drain(*d.client, true);

    // One media frame to d: d sees c, c learns nothing.
    const std::string target = number(4);
    c.client->sendBinary(std::string("\x03", 1) + static_cast<char>(target.size()) + target + "x");
    for (const auto& list : presenceLists(*c.client)) EXPECT_THAT(list, IsEmpty());
    EXPECT_THAT(nextPresence(d), ElementsAre("0-1-555-1003"));

    // e has c in its book: one record to e is enough.
    c.client->sendText(R"({"op":"text","to":"0-1-555-1005","text":"hi"})");
    EXPECT_THAT(nextPresence(c), ElementsAre("0-1-555-1005"));

    // d answers: now c sees d too.
    d.client->sendText(R"({"op":"text","to":"0-1-555-1003","text":"who?"})");
    EXPECT_THAT(nextPresence(c), ElementsAre("0-1-555-1004", "0-1-555-1005"));
}

TEST_P(LiveTest, ABlockedNumberNeverSeesTheBlocker) {
    auto a = join(device(1));
    const std::string blocksB =
        R"({"op":"book","contacts":[{"name":"Bo","number":"0-1-555-1002","blocked":true}]})";
    a.client->sendText(blocksB);
    drain(*a.client);
    auto b = join(device(2));
    EXPECT_THAT(nextPresence(a), ElementsAre("0-1-555-1002"));  // a still sees b: its own book
    b.client->sendText(R"({"op":"book","contacts":[{"name":"Ann","number":"0-1-555-1001"}]})");
    // b texts a and a even answers: b's lists never name a.
    b.client->sendText(R"({"op":"text","to":"0-1-555-1001","text":"hi"})");
    ASSERT_TRUE(a.client->waitFor("text"));
    a.client->sendText(R"({"op":"delivered","id":"6F9619FF-8B86-D011-B42D-00CF4FC964FF",)"
                       R"("to":"0-1-555-1002"})");
    ASSERT_TRUE(b.client->waitFor("delivered"));
    for (const auto& list : presenceLists(*b.client)) EXPECT_THAT(list, IsEmpty());
    // Unblocking shows a to b at once.
    a.client->sendText(R"({"op":"book","contacts":[{"name":"Bo","number":"0-1-555-1002"}]})");
    EXPECT_THAT(nextPresence(b), ElementsAre("0-1-555-1001"));
    // Blocked again from a second connection of a: hidden again.
    auto a2 = join(makeDevice(number(1), "Ann", "ipad-of-ann"));
    a2.client->sendText(blocksB);
    EXPECT_THAT(nextPresence(b), IsEmpty());
}

TEST_P(LiveStoreTest, BookRoundTripAcrossConnectionsAndRestart) {
    {
        auto a = join(device(1));
        a.client->sendText(R"({"op":"book"})");
        auto empty = a.client->waitFor("book");
        ASSERT_TRUE(empty);
        EXPECT_EQ((*empty)["contacts"].Size(), 0u);
        a.client->sendText(
            R"({"op":"book","contacts":[{"name":"Bo","number":"0-1-555-1002","blocked":true},)"
            R"({"name":"Junk","number":"not a number"},7,{"name":"Cy","number":"0-1-555-1003"}]})");
        drain(*a.client);
    }
    relays.node(0).restart();
    auto again = join(device(1));
    again.client->sendText(R"({"op":"book"})");
    auto book = again.client->waitFor("book");
    ASSERT_TRUE(book);
    const auto& contacts = (*book)["contacts"];
    ASSERT_EQ(contacts.Size(), 2u);
    EXPECT_STREQ(contacts[0]["number"].GetString(), "0-1-555-1002");
    EXPECT_TRUE(contacts[0]["blocked"].GetBool());
    EXPECT_STREQ(contacts[1]["name"].GetString(), "Cy");
    EXPECT_FALSE(contacts[1]["blocked"].GetBool());

    // A book over 5 000 entries is dropped whole; the stored one stays.
    std::string huge = R"({"op":"book","contacts":[)";
    for (int i = 0; i < 5001; ++i)
        huge += std::string(i ? "," : "") + R"({"name":"x","number":"0-1-555-1002"})";
    huge += "]}";
    again.client->sendText(huge);
    again.client->sendText(R"({"op":"book"})");
    auto kept = again.client->waitFor("book");
    ASSERT_TRUE(kept);
    EXPECT_EQ((*kept)["contacts"].Size(), 2u);
}

INSTANTIATE_TEST_SUITE_P(, LiveTest, ::testing::Values(Backend::single, Backend::cluster),
                         backendName);
INSTANTIATE_TEST_SUITE_P(, LiveStoreTest, ::testing::Values(Backend::single, Backend::cluster),
                         backendName);

}  // namespace
}  // namespace merrowfax::testing
