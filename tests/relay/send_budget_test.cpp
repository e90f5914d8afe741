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

// Screen pictures stand alone: a viewer that reads slowly gets each
// sharer's newest picture instead of a backlog, and no sharer's picture
// takes the place of another's.
TEST(SendBudgetTest, ASlowScreenViewerGetsEachSharersNewestPicture) {
    RelayProcess relay(flags({"--records-per-second", "10000", "--record-burst", "10000"}));
    auto ann = join(relay, makeDevice(number(1), "Ann", "mac-1"));
    auto bo = join(relay, makeDevice(number(2), "Bo", "mac-2"));
    const Device viewer = makeDevice(number(3), "Cy", "mac-3");
    WsClient cy(relay.port(), viewer.target(), WsClient::Options{"127.0.0.1", 4096});
    ASSERT_TRUE(cy.waitFor("pin"));
    auto picture = [&](const std::string& tag) {
        const std::string to = number(3);
        std::string frame = std::string("\x05", 1) + static_cast<char>(to.size()) + to + tag;
        return frame + std::string(256 * 1024, 'p');
    };
    constexpr int kPictures = 40;  // 10 MB: more than the kernel buffers, less than a queue
    for (int i = 0; i < kPictures; ++i) {
        ann.client->sendBinary(picture("ann-" + std::to_string(i) + ";"));
        if (i == 0) bo.client->sendBinary(picture("bo;"));
    }
    EXPECT_TRUE(pongs(*ann.client));  // all of them are with the service
    std::vector<std::string> seen;    // the tags, in the order they came
    const std::size_t head = 2 + number(1).size();
    while (auto m = cy.receive(std::chrono::milliseconds(1500)))
        if (m->binary) seen.push_back(m->data.substr(head, m->data.find(';') - head));
    ASSERT_FALSE(seen.empty());
    EXPECT_LT(std::count_if(seen.begin(), seen.end(),
                            [](const std::string& s) { return s.starts_with("ann-"); }),
              kPictures / 2);
    EXPECT_EQ(std::count(seen.begin(), seen.end(), "bo"), 1);
    EXPECT_EQ(seen.back().starts_with("ann-") ? seen.back() : seen.end()[-2],
              "ann-" + std::to_string(kPictures - 1));
}

}  // namespace
}  // namespace merrowfax::testing
