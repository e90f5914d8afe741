// Trust ends where it is withdrawn: untrusting a computer, changing or
// setting the PIN close the connections that no longer hold the number, and
// nobody trusts computers without bound.
#include <thread>

#include <gtest/gtest.h>

#include "relay_fixture.h"

namespace merrowfax::testing {
namespace {

constexpr const char* kWrong = "Wrong PIN.";

void send(Joined& joined, const std::string& op, const std::string& computer) {
    joined.client->sendText(R"({"op":")" + op + R"(","computer":")" + computer + R"("})");
}

// Trust is stored off the connection's thread: retries until it took effect.
Joined joinOnceTrusted(const RelayProcess& relay, const Device& device) {
    for (int i = 0; i < 40; ++i) {
        if (refused(relay, device).code == 0) return join(relay, device);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ADD_FAILURE() << device.computer << " was never trusted";
    return {};
}

TEST(RevocationTest, UntrustClosesThatComputerAndItCannotTrustItselfBack) {
    RelayProcess relay;
    const std::string n = number(1);
    auto owner = join(relay, on(n, "mac-owner", "1234"));
    auto laptop = join(relay, on(n, "mac-laptop", "1234"));

    send(owner, "untrust", "mac-laptop");
    drain(*owner.client);
    laptop.client->trySendText(R"({"op":"trust","computer":"mac-laptop"})");
    EXPECT_EQ(laptop.client->waitClosed(), 1008);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(refused(relay, on(n, "mac-laptop")).code, 1008);
    EXPECT_TRUE(pongs(*owner.client));

    // A computer may also withdraw itself.
    send(owner, "untrust", "mac-owner");
    EXPECT_EQ(owner.client->waitClosed(), 1008);
    EXPECT_TRUE(join(relay, on(n, "mac-owner", "1234")).hasPin);
}

TEST(RevocationTest, APinChangeNeedsTheCurrentPinAndRevokesEveryOtherComputer) {
    RelayProcess relay;
    const std::string n = number(2);
    auto owner = join(relay, on(n, "mac-owner", "1234"));
    auto laptop = join(relay, on(n, "mac-laptop", "1234"));
    send(laptop, "trust", "mac-planted");
    auto planted = joinOnceTrusted(relay, on(n, "mac-planted"));
    auto sender = join(relay, on(number(3), "mac-sender"));

    // Without the current PIN nothing changes, and the connection says so.
    auto bad = join(relay, on(n, "mac-owner", "9999", "5678"));
    EXPECT_EQ(bad.error, "Wrong PIN. The PIN did not change.");
    EXPECT_TRUE(pongs(*bad.client));
    EXPECT_EQ(join(relay, on(n, "mac-owner", "3333")).error,
              "This number already has a PIN. Enter the current PIN to change it.");
    EXPECT_TRUE(pongs(*laptop.client));

    auto changed = join(relay, on(n, "mac-owner", "1234", "5678"));
    EXPECT_TRUE(changed.error.empty()) << changed.error;
    EXPECT_EQ(laptop.client->waitClosed(), 1008);
    EXPECT_EQ(planted.client->waitClosed(), 1008);
    EXPECT_TRUE(pongs(*owner.client));  // the computer that changed it keeps every connection

    for (const char* computer : {"mac-laptop", "mac-planted"})
        EXPECT_EQ(refused(relay, on(n, computer)).code, 1008) << computer;
    EXPECT_EQ(refused(relay, on(n, "mac-laptop", "1234")).reason, kWrong);
    EXPECT_TRUE(join(relay, on(n, "mac-owner")).hasPin);
    EXPECT_TRUE(join(relay, on(n, "mac-other", "5678")).hasPin);

    // Records for the number reach only what still holds it.
    sender.client->sendText(R"({"op":"text","id":"1","to":")" + n + R"(","text":"hi"})");
    EXPECT_TRUE(owner.client->waitFor("text"));
}

// Whoever walked onto a number that had no PIN loses it when the creator sets
// one, and cannot have planted a computer that would pass that PIN.
TEST(RevocationTest, SettingAPinClosesConnectionsOfUntrustedComputers) {
    RelayProcess relay;
    const std::string n = number(4);
    auto creator = join(relay, on(n, "mac-creator"));
    auto walkIn = join(relay, on(n, "mac-walk-in"));
    send(walkIn, "trust", "mac-planted");
    drain(*walkIn.client);

    EXPECT_TRUE(join(relay, on(n, "mac-creator", "2580")).hasPin);
    EXPECT_EQ(walkIn.client->waitClosed(), 1008);
    EXPECT_TRUE(pongs(*creator.client));
    for (const char* computer : {"mac-walk-in", "mac-planted"})
        EXPECT_EQ(refused(relay, on(n, computer)).code, 1008) << computer;
}

TEST(RevocationTest, TrustedComputersAndTrustRecordsAreBounded) {
    {
        // At the limit, trust records change nothing.
        RelayProcess relay(flags({"--max-trusted", "3"}));
        const std::string n = number(5);
        auto owner = join(relay, on(n, "mac-owner", "1234"));
        for (const char* computer : {"ipad-a", "ipad-b", "ipad-c", "ipad-d"})
            send(owner, "trust", computer);
        drain(*owner.client);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        int trusted = 0;
        for (const char* computer : {"ipad-a", "ipad-b", "ipad-c", "ipad-d"})
            trusted += refused(relay, on(n, computer)).code == 0;
        EXPECT_EQ(trusted, 2);
    }
    {
        // So many trust records a minute per connection, the rest dropped.
        RelayProcess relay(flags({"--trust-ops-per-minute", "3"}));
        const std::string n = number(6);
        auto owner = join(relay, on(n, "mac-owner", "1234"));
        for (int i = 1; i <= 5; ++i) send(owner, "trust", "ipad-" + std::to_string(i));
        for (int i = 1; i <= 3; ++i) joinOnceTrusted(relay, on(n, "ipad-" + std::to_string(i)));
        for (int i = 4; i <= 5; ++i)
            EXPECT_EQ(refused(relay, on(n, "ipad-" + std::to_string(i))).code, 1008) << i;
    }
}

TEST(RevocationTest, TheRightPinMakesRoomByEvictingTheLeastRecentlyUsedComputer) {
    RelayProcess relay(flags({"--max-trusted", "3"}));
    const std::string n = number(7);
    auto owner = join(relay, on(n, "mac-owner", "1234"));
    send(owner, "trust", "ipad-a");
    send(owner, "trust", "ipad-b");
    auto a = joinOnceTrusted(relay, on(n, "ipad-a"));
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    auto b = joinOnceTrusted(relay, on(n, "ipad-b"));
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    join(relay, on(n, "mac-owner"));

    EXPECT_TRUE(join(relay, on(n, "mac-new", "1234")).hasPin);
    EXPECT_EQ(a.client->waitClosed(), 1008);
    EXPECT_TRUE(pongs(*b.client));
    EXPECT_EQ(refused(relay, on(n, "ipad-a")).code, 1008);
    for (const char* computer : {"ipad-b", "mac-owner", "mac-new"})
        EXPECT_EQ(refused(relay, on(n, computer)).code, 0) << computer;
}

}  // namespace
}  // namespace merrowfax::testing
