// PINs, trusted computers, the wrong-PIN throttles and the computer lookup.
#include <sys/stat.h>

#include <fstream>
#include <functional>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "relay_fixture.h"

namespace merrowfax::testing {
namespace {

constexpr const char* kTaken = "That number is already taken. Choose a different line.";
constexpr const char* kThrottled = "Too many wrong PINs. Try again later.";
constexpr const char* kWrong = "Wrong PIN.";

std::string fileText(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream out;
    out << in.rdbuf();
    return out.str();
}

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

TEST(PinTest, ANumberWithoutPinTakesTheFirstPinGiven) {
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
}

TEST(PinTest, ANewNumberThatIsAlreadyTakenSaysSo) {
    RelayProcess relay;
    const std::string n = number(3);
    Device first = on(n, "mac-first", "1357");
    first.kind = "business";
    auto owner = join(relay, first);
    EXPECT_TRUE(owner.business);

    Device second = on(n, "mac-second", "2468");
    second.kind = "personal";
    auto refusal = refused(relay, second);
    EXPECT_EQ(refusal.reason, kTaken);
    EXPECT_EQ(refusal.code, 1008);
    second.pin = "1357";  // even with the right PIN: onboarding never claims
    EXPECT_EQ(refused(relay, second).reason, kTaken);

    // The owner re-registering its kind is no collision.
    first.pin.clear();
    first.kind = "personal";
    EXPECT_FALSE(join(relay, first).business);
}

TEST(PinTest, ChangingThePinNeedsTheCurrentOne) {
    RelayProcess relay;
    const std::string n = number(4);
    join(relay, on(n, "mac-owner", "1111"));

    auto bad = join(relay, on(n, "mac-owner", "9999", "2222"));
    EXPECT_EQ(bad.error, "Wrong PIN. The PIN did not change.");
    EXPECT_TRUE(bad.hasPin);
    bad.client->sendText(R"({"op":"ping"})");  // still connected
    EXPECT_TRUE(bad.client->waitFor("pong"));

    // Setting a PIN where one exists says so instead of pretending.
    EXPECT_EQ(join(relay, on(n, "mac-owner", "3333")).error,
              "This number already has a PIN. Enter the current PIN to change it.");
    EXPECT_TRUE(join(relay, on(n, "mac-owner", "1111")).error.empty());

    auto good = join(relay, on(n, "mac-owner", "1111", "2222"));
    EXPECT_TRUE(good.error.empty());
    EXPECT_EQ(refused(relay, on(n, "mac-other", "1111")).reason, kWrong);
    EXPECT_TRUE(join(relay, on(n, "mac-other", "2222")).hasPin);
}

TEST(PinTest, WrongPinsLockTheNumberAndEachFurtherOneDoublesTheWait) {
    RelayProcess relay(flags({"--pin-lock-ms", "400"}));
    const std::string n = number(5);
    auto owner = join(relay, on(n, "mac-owner", "1234"));
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(refused(relay, on(n, "mac-thief", "000" + std::to_string(i))).reason, kWrong);
    // Locked: even the right PIN is refused; the owner keeps working.
    EXPECT_EQ(refused(relay, on(n, "mac-friend", "1234")).reason, kThrottled);
    owner.client->sendText(R"({"op":"ping"})");
    EXPECT_TRUE(owner.client->waitFor("pong"));
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

TEST(PinTest, TrustAndUntrustAComputerFromAConnection) {
    RelayProcess relay;
    const std::string n = number(8);
    auto owner = join(relay, on(n, "mac-owner", "1234"));
    // Trust is stored on the relay's storage pool, maybe after the pong: the
    // linked computer knocks until it is let in (a knock without a PIN costs
    // no attempt), and after the untrust until it is turned away.
    const auto letIn = [&] {
        const Device linked = on(n, "ipad-linked");
        WsClient client(relay.port(), linked.target(), WsClient::Options{linked.from});
        auto pin = client.waitFor("pin");
        return pin && (*pin)["hasPin"].GetBool();
    };
    const auto settles = [](const std::function<bool()>& done) {
        for (int i = 0; i < 40; ++i) {
            if (done()) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    };
    owner.client->sendText(R"({"op":"trust","computer":"ipad-linked"})");
    drain(*owner.client);
    EXPECT_TRUE(settles(letIn));
    owner.client->sendText(R"({"op":"untrust","computer":"ipad-linked"})");
    drain(*owner.client);
    EXPECT_TRUE(settles([&] { return !letIn(); }));
    EXPECT_EQ(refused(relay, on(n, "ipad-linked")).code, 1008);

    // Whoever walked onto a number that had no PIN cannot plant a computer
    // that would later pass the PIN its owner sets.
    const std::string open = number(9);
    join(relay, on(open, "mac-creator"));
    auto walkIn = join(relay, on(open, "mac-walk-in"));
    walkIn.client->sendText(R"({"op":"trust","computer":"mac-planted"})");
    drain(*walkIn.client);
    join(relay, on(open, "mac-creator", "5555"));
    EXPECT_EQ(refused(relay, on(open, "mac-planted")).code, 1008);
    EXPECT_EQ(refused(relay, on(open, "mac-walk-in")).code, 1008);
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
