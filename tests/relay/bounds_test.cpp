// Hostile and greedy clients: sizes, floods, idleness, connection caps,
// garbage first packets; after each the service still serves, and it stops
// cleanly on SIGTERM.
#include <thread>

#include <gtest/gtest.h>

#include "relay_fixture.h"

namespace merrowfax::testing {
namespace {

Device device(int i) {
    return makeDevice(number(i), "Ann", "mac-" + std::to_string(i));
}

std::string textTo(const std::string& to, std::size_t bytes) {
    return textRecord(to, std::string(bytes, 'x'));
}

void expectServing(const RelayProcess& relay) {
    auto probe = join(relay, device(99));
    ASSERT_TRUE(probe.client);
    EXPECT_TRUE(pongs(*probe.client));
}

TEST(BoundsTest, MessageSizes) {
    RelayProcess relay;
    auto a = join(relay, device(1));
    auto b = join(relay, device(2));
    // A 900 KB file travels base64 in one envelope: 1.3 MB of text passes.
    a.client->sendText(textTo(number(2), 1300 * 1024));
    auto big = b.client->waitFor("text");
    ASSERT_TRUE(big);
    EXPECT_EQ(std::string((*big)["text"].GetString()).size(), 1300u * 1024);

    // A binary frame over 1 MB is dropped; the connection stays.
    std::string frame = std::string("\x03\x0c", 2) + number(2);
    a.client->sendBinary(frame + std::string(1024 * 1024, 'v'));
    drain(*a.client);
    b.client->sendText(R"({"op":"ping"})");
    auto next = b.client->receive();
    ASSERT_TRUE(next);
    EXPECT_FALSE(next->binary);

    // Text over 2 MB ends the connection.
    a.client->trySendText(textTo(number(2), 2 * 1024 * 1024 + 10));
    EXPECT_EQ(a.client->waitClosed(), 1009);
    expectServing(relay);
}

TEST(BoundsTest, AFloodClosesOnlyTheFlooder) {
    RelayProcess relay(
        flags({"--records-per-second", "20", "--record-burst", "20", "--flood-excess", "50"}));
    auto calm = join(relay, device(1));
    auto flooder = join(relay, device(2));
    for (int i = 0; i < 300; ++i)
        if (!flooder.client->trySendText(R"({"op":"ping"})")) break;
    EXPECT_EQ(flooder.client->waitClosed(), 1008);
    EXPECT_TRUE(pongs(*calm.client));
}

TEST(BoundsTest, IdleConnectionsAreClosed) {
    RelayProcess relay(flags({"--idle-ms", "300"}));
    auto quiet = join(relay, device(1));
    auto chatty = join(relay, device(2));
    for (int i = 0; i < 6; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        ASSERT_TRUE(pongs(*chatty.client)) << i;
    }
    EXPECT_EQ(quiet.client->waitClosed(), 1001);
}

TEST(BoundsTest, ConnectionCapsPerNumberAndPerAddress) {
    {
        RelayProcess relay(flags({"--max-per-number", "2"}));
        Device d = device(1);
        auto first = join(relay, d);
        d.computer = "mac-second";
        auto second = join(relay, d);
        d.computer = "mac-third";
        auto third = join(relay, d);
        EXPECT_EQ(first.client->waitClosed(), 1008);  // the oldest goes
        EXPECT_TRUE(pongs(*third.client));
    }
    {
        RelayProcess relay(flags({"--max-per-address", "2"}));
        auto a = join(relay, device(1));
        auto b = join(relay, device(2));
        EXPECT_THROW(WsClient(relay.port(), device(3).target()), std::exception);
        a.client->close();
        a.client.reset();
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        EXPECT_NO_THROW(join(relay, device(3)));
    }
}

TEST(BoundsTest, ASlowReaderIsCutOffWithoutHoldingOthersBack) {
    RelayProcess relay(flags({"--send-queue-bytes", "2000000", "--send-queue-records", "8"}));
    auto sender = join(relay, device(1));
    auto slow = join(relay, device(2));  // never reads
    auto other = join(relay, device(3));
    const std::string chunk = textTo(number(2), 512 * 1024);
    for (int i = 0; i < 120; ++i)
        if (!sender.client->trySendText(chunk)) break;
    EXPECT_TRUE(pongs(*other.client));
    EXPECT_NE(slow.client->waitClosed(std::chrono::seconds(10)), -1);
    EXPECT_NE(relay.log().find("slow reader"), std::string::npos);
}

TEST(BoundsTest, GarbageFirstPacketsLeaveTheServiceServing) {
    RelayProcess relay;
    const std::vector<std::string> packets = {
        "\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03",  // a TLS hello on the plain port
        "GARBAGE\r\n\r\n",
        "GET / HTTP/1.1\r\nHost: x\r\nContent-Length: -1\r\n\r\n",
        "GET /merrowfax/live?computer=x HTTP/1.1\r\n" + std::string(20000, 'X') + "\r\n\r\n",
        "POST /merrowfax/directory HTTP/1.1\r\nHost: x\r\nContent-Length: 99999999\r\n\r\n",
        std::string(70000, '\0'),
    };
    for (const auto& packet : packets)
        rawExchange(relay.port(), packet, std::chrono::milliseconds(500));

    // A real upgrade followed by frames that break the WebSocket protocol.
    const std::string upgrade =
        "GET " + device(5).target() +
        " HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
        "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n";
    for (const std::string& frames : {
             std::string("\x81\x05hello", 7),                              // unmasked client frame
             std::string("\x8f\x80\x00\x00\x00\x00", 6),                   // reserved opcode
             std::string("\x81\xff\xff\xff\xff\xff\xff\xff\xff\xff", 10),  // absurd length
             std::string("\x01\x80\x00\x00\x00\x00\x81\x80\x00\x00\x00\x00", 12),  // bad sequence
         }) {
        const std::string reply =
            rawExchange(relay.port(), upgrade + frames, std::chrono::milliseconds(500));
        EXPECT_NE(reply.find("101"), std::string::npos);
    }
    expectServing(relay);
}

TEST(BoundsTest, SigtermClosesConnectionsWithGoingAwayAndKeepsState) {
    RelayProcess relay;
    auto a = join(relay, device(1));
    EXPECT_TRUE(relay.stop());
    EXPECT_EQ(a.client->waitClosed(), 1001);
    relay.restart();
    EXPECT_EQ(httpGet(relay.port(), "/merrowfax/live?computer=mac-1").status, 200);
}

}  // namespace
}  // namespace merrowfax::testing
