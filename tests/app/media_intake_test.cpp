// Which path received media is taken from, and the number the network
// threads compare against while the main thread changes it.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "app/media_intake.h"

using namespace merrowfax;
using namespace std::chrono_literals;

namespace {

TEST(PathGate, TheLanTakesTheStreamAtOnceAndTheRelayOnlyFromAQuietLan) {
    const auto t0 = PathGate::Clock::now();
    struct Step {
        MediaPath path;
        std::chrono::milliseconds at;
        bool taken;
        const char* why;
    };
    const Step steps[] = {
        {MediaPath::relay, 0ms, true, "the first chunk picks the path"},
        {MediaPath::relay, 20ms, true, "the same path again"},
        {MediaPath::lan, 30ms, true, "the sender is back on the LAN: heard at once"},
        {MediaPath::relay, 40ms, false, "the relay's copy, behind the LAN's"},
        {MediaPath::lan, 50ms, true, "the LAN keeps it"},
        {MediaPath::relay, 340ms, false, "the hold counts from the LAN's latest chunk"},
        {MediaPath::relay, 350ms, true, "the LAN was quiet for the hold: the relay"},
        {MediaPath::relay, 360ms, true, "and keeps it"},
        {MediaPath::lan, 200ms, true, "a LAN chunk, its clock read late on another thread"},
        {MediaPath::relay, 600ms, false, "the hold runs from the latest time seen"},
        {MediaPath::relay, 700ms, true, "and then it is over"},
    };
    PathGate gate(300ms);
    for (const Step& step : steps) {
        EXPECT_EQ(gate.accept(step.path, t0 + step.at), step.taken) << step.why;
    }

    // A LAN known to be gone hands over at once; releasing the path not in
    // use changes nothing.
    EXPECT_TRUE(gate.accept(MediaPath::lan, t0 + 701ms));
    gate.release(MediaPath::relay);
    EXPECT_FALSE(gate.accept(MediaPath::relay, t0 + 710ms));
    gate.release(MediaPath::lan);
    EXPECT_TRUE(gate.accept(MediaPath::relay, t0 + 720ms));
    gate.reset();
    EXPECT_TRUE(gate.accept(MediaPath::relay, t0 + 721ms)) << "a new stream takes any path";
}

TEST(PublishedNumber, NetworkThreadsNeverSeeAHalfWrittenNumber) {
    PublishedNumber number;
    EXPECT_FALSE(number.is(""));
    EXPECT_FALSE(number.is("44-1-555-0001"));
    number.set(std::string("44-1-555-0001"));
    EXPECT_TRUE(number.is("44-1-555-0001"));
    EXPECT_FALSE(number.is("44-1-555-000"));
    EXPECT_FALSE(number.is(""));
    number.set(std::string(40, '1'));  // longer than any number: nobody
    EXPECT_FALSE(number.is(std::string(40, '1')));
    number.set(std::nullopt);
    EXPECT_FALSE(number.is("44-1-555-0001"));

    // One writer flips between two numbers; a reader comparing against
    // every mix of the two must never find one.
    const std::string a = "1242-111-111-1111", b = "1242-222-222-2222";
    std::vector<std::string> mixes;
    for (std::size_t cut = 6; cut < a.size(); ++cut)
        mixes.push_back(a.substr(0, cut) + b.substr(cut));
    number.set(a);
    std::atomic<bool> stop = false;
    std::atomic<long> torn = 0, whole = 0;
    std::thread reader([&] {
        while (!stop) {
            for (const std::string& mix : mixes) torn += number.is(mix);
            whole += number.is(a) || number.is(b);
        }
    });
    for (int i = 0; i < 200'000 || whole < 1'000; ++i) number.set(i % 2 ? b : a);
    stop = true;
    reader.join();
    EXPECT_EQ(torn, 0);
    EXPECT_GT(whole, 0);
}

}  // namespace
