// PINs, trusted computers, the wrong-PIN throttles and the computer lookup.
#include <sys/stat.h>

#include <fstream>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "relay_fixture.h"

namespace merrowfax::testing {
namespace {

constexpr const char* kTaken = "That number is already taken. Choose a different line.";
constexpr const char* kThrottled = "Too many wrong PINs. Try again later.";
constexpr const char* kWrong = "Wrong PIN.";

TEST(PinTest, APinGuardsTheNumberUntilProvenAndTrustedComputersNeedNone) {
    RelayProcess relay;
    const std::string n = number(1);
    auto owner = join(relay, on(n, "mac-owner", "4821"));
    EXPECT_TRUE(owner.hasPin);

    EXPECT_EQ(refused(relay, on(n, "mac-thief")).code, 1008);
    auto wrong = refused(relay, on(n, "mac-thief", "1111"));
    EXPECT_EQ(wrong.reason, kWrong);
    EXPECT_EQ(wrong.code, 1008);
    EXPECT_FALSE(refused(relay, on(n, "mac-thief")).reason.empty());

    auto claimed = join(relay, on(n, "mac-new-phone", "4821"));
    EXPECT_TRUE(claimed.hasPin);
    claimed.client->close();
    // Both computers that proved the number come back without a PIN, also
    // after a restart.
    relay.restart();
    EXPECT_TRUE(join(relay, on(n, "mac-new-phone")).hasPin);
    EXPECT_TRUE(join(relay, on(n, "mac-owner")).hasPin);
    EXPECT_EQ(refused(relay, on(n, "mac-thief")).code, 1008);
}

TEST(PinTest, AnUnguardedNumberTakesTheFirstPinAndOnboardingNeverClaimsATakenOne) {
    RelayProcess relay;
    const std::string n = number(2);
    EXPECT_FALSE(join(relay, on(n, "mac-a")).hasPin);
    EXPECT_FALSE(join(relay, on(n, "mac-b")).hasPin);  // nothing guards it yet
    Device drawn = on(n, "mac-onboarding", "1470");    // onboarding drew a number in use
    drawn.kind = "personal";
    EXPECT_EQ(refused(relay, drawn).reason, kTaken);
    EXPECT_TRUE(join(relay, on(n, "mac-b", "2580")).hasPin);
    EXPECT_EQ(refused(relay, on(n, "mac-c", "0000")).reason, kWrong);
    EXPECT_TRUE(join(relay, on(n, "mac-c", "2580")).hasPin);
    drawn.pin = "2580";  // even with the right PIN: onboarding never claims
    const auto refusal = refused(relay, drawn);
    EXPECT_EQ(refusal.reason, kTaken);
    EXPECT_EQ(refusal.code, 1008);

    // A business number; its owner re-registering its kind is no collision.
    Device first = on(number(3), "mac-first", "1357");
    first.kind = "business";
    EXPECT_TRUE(join(relay, first).business);
    first.pin.clear();
    first.kind = "personal";
    EXPECT_FALSE(join(relay, first).business);
}

TEST(PinTest, WrongPinsLockTheNumberAndEachFurtherOneDoublesTheWait) {
    RelayProcess relay(flags({"--pin-lock-ms", "400"}));
    const std::string n = number(5);
    auto owner = join(relay, on(n, "mac-owner", "1234"));
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(refused(relay, on(n, "mac-thief", "000" + std::to_string(i))).reason, kWrong);
    // Locked: even the right PIN is refused; the owner keeps working.
    EXPECT_EQ(refused(relay, on(n, "mac-friend", "1234")).reason, kThrottled);
    EXPECT_TRUE(pongs(*owner.client));
    EXPECT_TRUE(join(relay, on(n, "mac-owner")).hasPin);  // a trusted computer needs no PIN

    std::this_thread::sleep_for(std::chrono::milliseconds(450));
    EXPECT_EQ(refused(relay, on(n, "mac-thief", "0005")).reason, kWrong);  // sixth: 800 ms
    std::this_thread::sleep_for(std::chrono::milliseconds(450));
    EXPECT_EQ(refused(relay, on(n, "mac-friend", "1234")).reason, kThrottled);
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    EXPECT_TRUE(join(relay, on(n, "mac-friend", "1234")).hasPin);
    // The right PIN cleared the count: one wrong PIN is just wrong again.
    EXPECT_EQ(refused(relay, on(n, "mac-thief", "0006")).reason, kWrong);
    EXPECT_TRUE(join(relay, on(n, "mac-friend-2", "1234")).hasPin);
}

TEST(PinTest, ThrottlesSurviveARestartAndCountPerAddress) {
    RelayProcess relay(flags({"--address-pin-failures", "7"}));
    const std::string n = number(6);
    join(relay, on(n, "mac-owner", "1234"));
    for (int i = 0; i < 5; ++i) refused(relay, on(n, "mac-thief", "0000"));
    relay.kill();  // no clean shutdown
    relay.restart();
    EXPECT_EQ(refused(relay, on(n, "mac-friend", "1234")).reason, kThrottled);

    // Two more wrong PINs on other numbers reach this address's limit of 7.
    join(relay, on(number(7), "mac-7", "7777"));
    EXPECT_EQ(refused(relay, on(number(7), "mac-thief", "0000")).reason, kWrong);
    EXPECT_EQ(refused(relay, on(number(7), "mac-thief", "0001")).reason, kWrong);
    EXPECT_EQ(refused(relay, on(number(7), "mac-friend", "7777")).reason, kThrottled);
}

TEST(PinTest, ComputerLookupAndForget) {
    RelayProcess relay;
    const std::string computer = "mac-7D0F1E2A-computer-secret-zeta";
    {
        Device d = on(number(9), computer, "4712");
        d.name = "Zoë Quinn";
        join(relay, d);
    }
    const std::string target = "/merrowfax/live?computer=" + urlEncode(computer);
    auto found = httpGet(relay.port(), target);
    ASSERT_EQ(found.status, 200);
    auto body = parseJson(found.body);
    EXPECT_STREQ(body["number"].GetString(), "0-1-555-1009");
    EXPECT_STREQ(body["name"].GetString(), "Zoë Quinn");

    EXPECT_EQ(httpGet(relay.port(), "/merrowfax/live?computer=mac-unknown").status, 404);
    EXPECT_EQ(httpGet(relay.port(), "/merrowfax/live").status, 400);
    EXPECT_EQ(httpGet(relay.port(), "/merrowfax/live?computer=").status, 400);
    EXPECT_EQ(httpGet(relay.port(), "/merrowfax/live?computer=%G0").status, 400);
    EXPECT_EQ(httpGet(relay.port(), target + "&forget=1").status, 200);
    EXPECT_EQ(httpGet(relay.port(), target).status, 404);

    // Neither the computer id nor the PIN is kept in the clear or logged; the
    // server key has its own private file.
    relay.stop();
    for (const auto& entry : std::filesystem::directory_iterator(relay.dataDir()))
        EXPECT_EQ(fileText(entry.path()).find("computer-secret-zeta"), std::string::npos)
            << entry.path();
    const std::string log = relay.log();
    EXPECT_EQ(log.find("computer-secret-zeta"), std::string::npos);
    EXPECT_EQ(log.find("pin="), std::string::npos);
    struct stat st {};
    ASSERT_EQ(::stat((relay.dataDir() / "server.key").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST(PinTest, LookupsAreRateLimitedPerAddress) {
    RelayProcess relay(flags({"--lookups-per-minute", "3"}));
    std::vector<int> statuses;
    for (int i = 0; i < 5; ++i)
        statuses.push_back(httpGet(relay.port(), "/merrowfax/live?computer=x").status);
    EXPECT_EQ(statuses, (std::vector<int>{404, 404, 404, 429, 429}));
}

}  // namespace
}  // namespace merrowfax::testing
