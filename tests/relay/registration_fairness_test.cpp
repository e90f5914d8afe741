// A flood of registrations that need PIN hashes from one network: decisions
// that need no hash, and other networks' hashes, are not kept waiting behind
// it, and one network creates only so many numbers.
#include <atomic>
#include <thread>

#include <gtest/gtest.h>

#include "relay_fixture.h"

namespace merrowfax::testing {
namespace {

constexpr const char* kTooMany = "Too many new numbers from this network. Try again later.";

Device from(std::string address, std::string number, std::string computer, std::string pin = "") {
    Device d = makeDevice(std::move(number), "Ann", std::move(computer));
    d.pin = std::move(pin);
    d.from = std::move(address);
    return d;
}

// Milliseconds from opening the socket to the service's "pin" answer.
double answerMillis(const RelayProcess& relay, const Device& device) {
    const auto start = std::chrono::steady_clock::now();
    WsClient client(relay.port(), device.target(), WsClient::Options{device.from});
    EXPECT_TRUE(client.waitFor("pin", std::chrono::seconds(30))) << device.number;
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
        .count();
}

TEST(RegistrationFairnessTest, AFloodOfPinHashesDelaysNeitherPlainReconnectsNorOtherNetworks) {
    RelayProcess::Options options;
    options.fastHash = false;  // Argon2id at full cost, as in production
    RelayProcess relay(options);
    const std::string mine = number(1);
    answerMillis(relay, from("127.0.0.2", mine, "mac-mine", "1234"));

    std::atomic<bool> stop{false};
    std::atomic<int> next{100};
    std::atomic<int> answered{0};
    std::vector<std::thread> flood;
    for (int i = 0; i < 48; ++i)
        flood.emplace_back([&] {
            while (!stop) {
                const Device spam = from("127.0.0.3", number(next++), "mac-spam", "4321");
                try {
                    WsClient client(relay.port(), spam.target(), WsClient::Options{spam.from});
                    if (client.waitFor("pin", std::chrono::seconds(30))) {
                        ++answered;
                        continue;
                    }
                } catch (const std::exception&) {
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        });
    std::this_thread::sleep_for(std::chrono::milliseconds(800));

    double worstReconnect = 0;
    for (int i = 0; i < 3; ++i)
        worstReconnect =
            std::max(worstReconnect, answerMillis(relay, from("127.0.0.2", mine, "mac-mine")));
    // Another network's new number needs a hash of its own: it waits its turn, not the flood's.
    const double otherNetwork =
        answerMillis(relay, from("127.0.0.4", number(2), "mac-other", "5678"));
    stop = true;
    for (auto& t : flood) t.join();

    EXPECT_GT(answered, 0);
    EXPECT_LT(worstReconnect, 1000);
    EXPECT_LT(otherNetwork, 2500);  // one full-cost hash of its own, behind at most two
}

TEST(RegistrationFairnessTest, NewNumbersAreLimitedPerNetwork) {
    RelayProcess::Options options;
    options.limitNewNumbers = true;  // the service's own default: 10 an hour
    RelayProcess relay(options);
    for (int i = 0; i < 10; ++i)
        EXPECT_EQ(refused(relay, from("127.0.0.3", number(i), "mac-spam")).code, 0) << i;
    for (const char* pin : {"", "4321"})
        EXPECT_EQ(refused(relay, from("127.0.0.3", number(10), "mac-spam", pin)).reason, kTooMany);
    // Numbers it already made still serve it; other networks are not limited.
    EXPECT_EQ(refused(relay, from("127.0.0.3", number(0), "mac-spam")).code, 0);
    EXPECT_EQ(refused(relay, from("127.0.0.4", number(10), "mac-other", "1234")).code, 0);
    // The count survives a restart.
    relay.restart();
    EXPECT_EQ(refused(relay, from("127.0.0.3", number(11), "mac-spam")).reason, kTooMany);
}

}  // namespace
}  // namespace merrowfax::testing
