#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>
#include <thread>

#include "lan_test_support.h"
#include "transport/media_seal.h"

using namespace merrowfax::lan;
using merrowfax::testing::bytesOf;

namespace {

std::uint64_t counterOf(const std::vector<std::byte>& datagram) {
    std::uint64_t value = 0;
    for (int i = 8; i < 16; ++i) value = (value << 8) | std::to_integer<std::uint64_t>(datagram[i]);
    return value;
}

struct Session {
    std::uint64_t id = newSessionId();
    SessionKey key = newSessionKey();
    DatagramSealer sealer{id, key};
    DatagramOpener opener{id, key};
};

}  // namespace

TEST(MediaSeal, RoundTripAndLayout) {
    Session s;
    const auto message = bytesOf("a frame of audio");
    const auto datagram = s.sealer.seal(message);
    ASSERT_EQ(datagram.size(), 16 + message.size() + 16);
    EXPECT_EQ(datagramSession(datagram), s.id);
    EXPECT_EQ(counterOf(datagram), 1u);
    // The session id stands big-endian at the front.
    EXPECT_EQ(std::to_integer<std::uint64_t>(datagram[0]), s.id >> 56);
    EXPECT_EQ(s.opener.open(datagram), message);

    // Empty and largest messages; one byte more is not sealed.
    EXPECT_EQ(s.opener.open(s.sealer.seal({})), std::vector<std::byte>{});
    const std::vector<std::byte> largest(kMaxSealedMessage, std::byte{7});
    EXPECT_EQ(s.opener.open(s.sealer.seal(largest)), largest);
    EXPECT_TRUE(s.sealer.seal(std::vector<std::byte>(kMaxSealedMessage + 1)).empty());

    EXPECT_FALSE(datagramSession(std::vector<std::byte>(31)));
    EXPECT_NE(newSessionKey(), newSessionKey());
}

TEST(MediaSeal, AnythingAlteredOrForeignIsRefused) {
    Session s;
    const auto datagram = s.sealer.seal(bytesOf("twelve bytes"));

    // Every single bit flipped, in header, counter, ciphertext and tag.
    for (std::size_t bit = 0; bit < datagram.size() * 8; ++bit) {
        auto altered = datagram;
        altered[bit / 8] ^= std::byte{static_cast<unsigned char>(1u << (bit % 8))};
        ASSERT_FALSE(s.opener.open(altered)) << "bit " << bit;
    }
    for (std::size_t cut = 1; cut <= datagram.size(); ++cut) {
        ASSERT_FALSE(s.opener.open(std::span(datagram).first(datagram.size() - cut)))
            << "cut " << cut;
    }

    DatagramOpener wrongKey(s.id, newSessionKey());
    EXPECT_FALSE(wrongKey.open(datagram));
    DatagramOpener wrongSession(s.id + 1, s.key);
    EXPECT_FALSE(wrongSession.open(datagram));

    // None of that disturbed the genuine datagram.
    EXPECT_TRUE(s.opener.open(datagram));
}

TEST(MediaSeal, ReplayWindow) {
    Session s;
    std::vector<std::vector<std::byte>> sent(1);  // indexed by counter, which starts at 1
    for (int i = 1; i <= 2100; ++i) sent.push_back(s.sealer.seal(bytesOf(std::to_string(i))));
    auto opens = [&](std::size_t counter) {
        return s.opener.open(sent[counter]).has_value();
    };

    // Out of order within the window: each opens once.
    for (const int c : {12, 4, 8, 1, 9}) EXPECT_TRUE(opens(c)) << c;
    for (const int c : {12, 4, 8, 1, 9}) EXPECT_FALSE(opens(c)) << c;

    // 1033 moves the window to 10..1033: older ones are refused, seen or not;
    // 10, the oldest inside, opens; 12 is still known as seen.
    ASSERT_TRUE(opens(1033));
    EXPECT_FALSE(opens(3));
    EXPECT_FALSE(opens(9));
    EXPECT_TRUE(opens(10));
    EXPECT_FALSE(opens(12));
    EXPECT_TRUE(opens(1032));

    // A jump further than the window forgets all before it.
    ASSERT_TRUE(opens(2100));
    EXPECT_FALSE(opens(2100));
    EXPECT_FALSE(opens(1076));
    EXPECT_TRUE(opens(1077));
    EXPECT_TRUE(opens(2099));
}

TEST(MediaSeal, ForgedHugeCounterDoesNotMoveTheWindow) {
    Session s;
    const auto first = s.sealer.seal(bytesOf("one"));
    const auto second = s.sealer.seal(bytesOf("two"));
    ASSERT_TRUE(s.opener.open(first));

    auto forged = second;
    for (int i = 8; i < 16; ++i) forged[i] = std::byte{0xff};
    EXPECT_FALSE(s.opener.open(forged));
    EXPECT_TRUE(s.opener.open(second));
}

TEST(MediaSeal, ConcurrentSealsUseEachCounterOnce) {
    Session s;
    constexpr int kThreads = 4;
    constexpr int kEach = 500;
    std::mutex lock;
    std::vector<std::vector<std::byte>> sealed;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            std::vector<std::vector<std::byte>> mine;
            for (int i = 0; i < kEach; ++i)
                mine.push_back(s.sealer.seal(bytesOf(std::to_string(t * kEach + i))));
            std::lock_guard guard(lock);
            for (auto& d : mine) sealed.push_back(std::move(d));
        });
    }
    for (auto& thread : threads) thread.join();

    std::sort(sealed.begin(), sealed.end(),
              [](const auto& a, const auto& b) { return counterOf(a) < counterOf(b); });
    ASSERT_EQ(sealed.size(), std::size_t{kThreads * kEach});
    std::vector<bool> messageSeen(kThreads * kEach);
    for (std::size_t i = 0; i < sealed.size(); ++i) {
        ASSERT_EQ(counterOf(sealed[i]), i + 1);
        const auto message = s.opener.open(sealed[i]);
        ASSERT_TRUE(message);
        const int n =
            std::stoi(std::string(reinterpret_cast<const char*>(message->data()), message->size()));
        EXPECT_FALSE(messageSeen[n]);
        messageSeen[n] = true;
        EXPECT_FALSE(s.opener.open(sealed[i]));
    }
}
