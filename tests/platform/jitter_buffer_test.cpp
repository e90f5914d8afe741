#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <map>
#include <vector>

#include "platform/jitter_buffer.h"

namespace merrowfax {
namespace {

using std::chrono::milliseconds;
constexpr std::size_t kChunk = JitterBuffer::samplesIn(JitterBuffer::kChunk);

JitterBuffer::Clock::time_point at(int ms) {
    return JitterBuffer::Clock::time_point{} + milliseconds(ms);
}

// Chunk `index`: every sample index + 1, so what comes out names its chunk
// and silence (0) stands apart.
std::vector<std::int16_t> chunkOf(int index) {
    return std::vector<std::int16_t>(kChunk, static_cast<std::int16_t>(index + 1));
}

struct Arrival {
    int ms;
    int chunk;
};

// Chunks from..to arriving from `ms` on, `every` ms apart (0: all at once).
std::vector<Arrival> run(int from, int to, int ms, int every = 20) {
    std::vector<Arrival> out;
    for (int i = from; i <= to; ++i) out.push_back({ms + (i - from) * every, i});
    return out;
}

std::vector<Arrival> cat(std::initializer_list<std::vector<Arrival>> parts) {
    std::vector<Arrival> all;
    for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

struct Row {
    const char* name;
    std::vector<Arrival> arrivals;  // in order of time
    int untilMs;                    // a chunk is pulled every 20 ms at 5, 25, ... until then
    std::size_t underruns, silentChunks, droppedChunks, heardChunks;
    int targetMs;
    int firstChunk = 0;
    bool repeating = false;  // every chunk the same samples, as a steady tone
};

TEST(JitterBuffer, ScriptedArrivals) {
    // Pulls of one chunk start once a chunk is left behind them: one silent
    // pull first, unless a burst opens the stream.
    const std::vector<Row> rows = {
        {"steady", run(0, 49, 0), 1000, 0, 1, 0, 50, 20},
        {"late chunk, then a burst", cat({run(0, 9, 0), run(10, 13, 260, 0), run(14, 49, 280)}),
         1000, 1, 4, 0, 50, 80},
        {"early burst (a flushed backlog) is trimmed", cat({run(0, 5, 0, 0), run(6, 99, 20)}), 1900,
         0, 0, 4, 96, 20},
        {"copies by a second path",
         cat({run(0, 5, 0), {{103, 5}}, run(6, 13, 120), {{275, 12}}, run(14, 49, 280)}), 1000, 0,
         1, 2, 50, 20},
        {"a repeating tone and one copy", cat({run(0, 20, 0), {{402, 20}}, run(21, 49, 420)}), 1000,
         0, 1, 1, 50, 20, 0, true},
        {"a missing chunk takes the chunk left behind", cat({run(0, 9, 0), run(11, 49, 220)}), 1000,
         0, 1, 0, 49, 40},
        {"two missing chunks look late: the target grows", cat({run(0, 9, 0), run(12, 49, 240)}),
         1000, 1, 5, 0, 48, 60},
        {"overflow drops the oldest", run(0, 9, 0, 0), 100, 0, 0, 3, 7, 20, 3},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        JitterBuffer buffer;
        std::vector<std::int16_t> out, pulled(kChunk);
        std::size_t next = 0;
        for (int t = 5; t < row.untilMs; t += 20) {
            for (; next < row.arrivals.size() && row.arrivals[next].ms <= t; ++next) {
                buffer.push(chunkOf(row.repeating ? 0 : row.arrivals[next].chunk),
                            at(row.arrivals[next].ms));
            }
            buffer.pull(pulled, at(t));
            out.insert(out.end(), pulled.begin(), pulled.end());
        }
        const auto stats = buffer.stats();
        EXPECT_EQ(stats.underruns, row.underruns);
        EXPECT_EQ(stats.silence, row.silentChunks * kChunk);
        EXPECT_EQ(stats.dropped, row.droppedChunks * kChunk);
        EXPECT_EQ(stats.pulled + buffer.buffered(), row.heardChunks * kChunk);
        EXPECT_EQ(buffer.target(), milliseconds(row.targetMs));
        if (row.repeating) continue;
        // Never older audio after newer, never a chunk twice.
        std::map<int, std::size_t> heard;
        for (std::int16_t s : out) {
            if (s != 0) ++heard[s];
        }
        std::erase(out, 0);
        EXPECT_TRUE(std::is_sorted(out.begin(), out.end()));
        ASSERT_FALSE(heard.empty());
        EXPECT_EQ(heard.begin()->first, row.firstChunk + 1);
        for (const auto& [chunk, count] : heard) EXPECT_LE(count, kChunk) << "chunk " << chunk;
    }
}

TEST(JitterBuffer, TargetGrowsToAtMost120MsUnderHeavyJitterAndShrinksStepByStepWhenSteady) {
    JitterBuffer buffer;
    std::vector<std::int16_t> pulled(kChunk);
    std::uint32_t random = 12345;
    int arrival = 0, t = 0;
    milliseconds highest{0};
    // 10 s of chunks up to 200 ms late, in order as one stream carries them.
    for (int i = 0; i < 500; ++i, t += 20) {
        random = random * 1664525 + 1013904223;
        arrival = std::max(arrival, t + static_cast<int>((random >> 16) % 200));
        buffer.push(chunkOf(i), at(arrival));
        buffer.pull(pulled, at(t + 5));
        highest = std::max(highest, buffer.target());
    }
    EXPECT_EQ(highest, JitterBuffer::kMaxDelay);

    std::vector<milliseconds> targets{buffer.target()};
    const std::size_t underruns = buffer.underruns();
    for (int i = 0; i < 700; ++i, t += 20) {  // 14 s steady
        buffer.push(chunkOf(500 + i), at(std::max(arrival, t)));
        buffer.pull(pulled, at(t + 5));
        if (buffer.target() != targets.back()) targets.push_back(buffer.target());
    }
    for (std::size_t i = 1; i < targets.size(); ++i) {
        EXPECT_EQ(targets[i - 1] - targets[i], JitterBuffer::kChunk) << "one step at a time";
    }
    EXPECT_EQ(buffer.target(), JitterBuffer::kStartDelay);
    EXPECT_LE(buffer.underruns() - underruns, 1u);
    EXPECT_LE(buffer.buffered(),
              JitterBuffer::samplesIn(JitterBuffer::kStartDelay + JitterBuffer::kTrimMargin))
        << "the delay built up in the storm is trimmed";
}

TEST(JitterBuffer, AnUnderrunPlaysSilenceNotOldAudioAndWaitsForTheTargetAgain) {
    JitterBuffer buffer;
    std::vector<std::int16_t> pulled(kChunk);
    buffer.push(chunkOf(0), at(0));
    buffer.pull(pulled, at(5));
    EXPECT_EQ(std::count(pulled.begin(), pulled.end(), 0), kChunk) << "the target stays behind";
    buffer.push(chunkOf(1), at(20));
    buffer.pull(pulled, at(25));
    EXPECT_EQ(pulled, chunkOf(0));
    buffer.push(std::vector<std::int16_t>(kChunk / 2, 9), at(40));
    buffer.pull(pulled, at(45));
    buffer.pull(pulled, at(65));
    EXPECT_EQ(buffer.underruns(), 1u);
    EXPECT_EQ(std::count(pulled.begin(), pulled.end(), 9), kChunk / 2);
    EXPECT_EQ(std::count(pulled.begin(), pulled.end(), 0), kChunk / 2) << "then silence";

    // 100 ms late: nothing but silence until the grown target is buffered.
    int t = 150, chunk = 10;
    buffer.push(chunkOf(chunk), at(t));
    while (buffer.buffered() < JitterBuffer::samplesIn(buffer.target()) + kChunk) {
        buffer.pull(pulled, at(t + 5));
        EXPECT_EQ(std::count(pulled.begin(), pulled.end(), 0), kChunk) << "nothing repeated";
        buffer.push(chunkOf(++chunk), at(t += 20));
    }
    EXPECT_GT(buffer.target(), JitterBuffer::kStartDelay);
    buffer.pull(pulled, at(t + 5));
    EXPECT_EQ(pulled, chunkOf(10));
    EXPECT_EQ(buffer.underruns(), 1u);
}

}  // namespace
}  // namespace merrowfax
