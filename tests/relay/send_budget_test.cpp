// Receivers that never read, all from one address, flooded with media and
// records: the service holds a bounded amount for them, cuts the slowest, and
// a reader that keeps up hears everything meanwhile.
#include <algorithm>
#include <atomic>
#include <thread>

#include <gtest/gtest.h>

#include "relay_fixture.h"

namespace merrowfax::testing {
namespace {

TEST(SendBudgetTest, SlowReadersOfOneAddressAreCutAndAFastOneKeepsUp) {
    // Limits a quarter of their production values or less, so that the flood
    // stays light enough for a sanitizer build on a busy machine. The address
    // budget is below one connection's own queue limit: the last slow reader
    // standing is over it too.
    constexpr int kSlow = 16;
    constexpr int kFrames = 64;  // of 128 KB: 8 MB for each slow reader
    RelayProcess relay(
        flags({"--records-per-second", "100000", "--record-burst", "100000", "--flood-excess",
               "100000", "--send-queue-bytes", "4000000", "--send-budget-bytes", "16000000",
               "--address-send-budget-bytes", "3000000"}));
    auto sender = join(relay, makeDevice(number(0), "Sender", "mac-0"));
    auto fast = join(relay, makeDevice(number(1), "Fast", "mac-1"));
    std::vector<std::unique_ptr<WsClient>> slow;
    WsClient::Options from{"127.0.0.7", 4096};
    for (int i = 0; i < kSlow; ++i) {
        const Device d = makeDevice(number(10 + i), "Slow", "mac-" + std::to_string(10 + i));
        slow.push_back(std::make_unique<WsClient>(relay.port(), d.target(), from));
        ASSERT_TRUE(slow.back()->waitFor("pin")) << i;
    }
    const long before = residentMb(relay.pid());

    std::atomic<bool> flooding{true};
    std::atomic<long> peakMb{0};
    std::thread sampler([&] {
        while (flooding) {
            peakMb = std::max(peakMb.load(), residentMb(relay.pid()));
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
    int heard = 0;
    std::thread reader([&] {
        while (auto record = fast.client->waitFor("text", std::chrono::seconds(10))) {
            if (std::string((*record)["text"].GetString()) == "end") break;
            ++heard;
        }
    });

    const std::string media(128 * 1024, 'm');
    const std::string record = std::string(8 * 1024, 'r');
    for (int round = 0; round < kFrames; ++round) {
        for (int i = 0; i < kSlow; ++i) {
            const std::string to = number(10 + i);
            sender.client->sendBinary(std::string("\x02", 1) + static_cast<char>(to.size()) + to +
                                      media);
            if (round % 8 == 0) sender.client->sendText(textRecord(to, record));
        }
        sender.client->sendText(textRecord(number(1), "round " + std::to_string(round)));
    }
    sender.client->sendText(textRecord(number(1), "end"));
    reader.join();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    flooding = false;
    sampler.join();

    EXPECT_EQ(heard, kFrames);
    EXPECT_LT(peakMb - before, 32 + kSanitizerSlackMb) << "from " << before << " MB";
    int cut = 0;
    for (auto& client : slow)
        if (client->waitClosed(std::chrono::seconds(10)) != -1) ++cut;
    EXPECT_EQ(cut, kSlow);
    EXPECT_TRUE(pongs(*fast.client));  // the fast reader and the sender are still served
    EXPECT_TRUE(pongs(*sender.client));
}

}  // namespace
}  // namespace merrowfax::testing
