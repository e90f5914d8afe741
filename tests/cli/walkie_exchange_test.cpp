// The walkie between two merrowfax-cli processes through the real relay, with
// WAV files as their microphones and speakers.
#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <cmath>
#include <filesystem>
#include <numbers>

#include "cli_helpers.h"
#include "support/goertzel.h"

using namespace merrowfax;
using namespace merrowfax::testing;
using rapidjson::Value;

namespace {

// The id of the kept "Walkie" exchange in `threads`, or nothing.
std::string walkieMessage(const Value& threads) {
    if (!threads.IsArray()) return {};
    for (const Value& thread : threads.GetArray()) {
        if (!thread.HasMember("messages") || !thread["messages"].IsArray()) continue;
        for (const Value& m : thread["messages"].GetArray()) {
            if (str(m["text"]) == "Walkie" && m.HasMember("attachmentKind") &&
                str(m["attachmentKind"]) == "audio") {
                return str(m["id"]);
            }
        }
    }
    return {};
}

// What a file speaker has played so far: the samples after its header,
// whose sizes are settled only when the speaker stops.
std::vector<std::int16_t> heard(const std::string& path) {
    std::vector<std::int16_t> samples;
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) return samples;
    if (std::fseek(file, 44, SEEK_SET) == 0) {
        std::int16_t buffer[4096];
        std::size_t n;
        while ((n = std::fread(buffer, 2, 4096, file)) > 0)
            samples.insert(samples.end(), buffer, buffer + n);
    }
    std::fclose(file);
    return samples;
}

// The 440 Hz voice stands out of `samples`; the static is broadband noise.
bool voiceIn(std::span<const std::int16_t> samples) {
    return samples.size() >= 8000 && tonePower(samples, 16000, 440) > 1e-3 &&
           tonePower(samples, 16000, 440) > 20 * tonePower(samples, 16000, 1000);
}

TEST(CliWalkie, AHeldTalkIsHeardWithStaticKeptOnBothSidesAndPlaysAgain) {
    RelayProcess relay;
    QTemporaryDir dir;
    const std::string tone = writeTone(dir, "tone.wav", 440, 0.25, 4);
    const std::string quiet = writeTone(dir, "quiet.wav", 440, 0, 4);
    const std::string benHears = dir.path().toStdString() + "/ben-out.wav";
    CliProcess ann(relay, fileDevices(tone, dir.path().toStdString() + "/ann-out.wav"));
    CliProcess ben(relay, fileDevices(quiet, benHears));
    const std::string annNumber = newNumber(ann, "Ann", 1);
    const std::string benNumber = newNumber(ben, "Ben", 2);
    ASSERT_FALSE(annNumber.empty());
    ASSERT_FALSE(benNumber.empty());
    // Exchanges are kept in an existing chat.
    ben.mark();
    ASSERT_TRUE(ok(ann.command(R"({"cmd":"sendText","to":")" + benNumber + R"(","text":"Hi"})")));
    ASSERT_TRUE(ben.waitForChange("threads", [](const Value& v) { return v.Size() > 0; }));

    ann.mark();
    ben.mark();
    ASSERT_TRUE(ok(ann.command(R"({"cmd":"holdTalk","to":")" + benNumber + R"("})")));
    EXPECT_TRUE(ann.command(R"({"cmd":"state"})")["state"]["transmitting"].IsBool());
    spinUntil([] { return false; }, 1200);
    ASSERT_TRUE(ok(ann.command(R"({"cmd":"endTalk","to":")" + benNumber + R"("})")));

    // Both keep the exchange.
    std::string kept;
    EXPECT_TRUE(ben.waitForChange(
        "threads", [&](const Value& v) { return !(kept = walkieMessage(v)).empty(); }, 10000));
    EXPECT_TRUE(ann.waitForChange(
        "threads", [](const Value& v) { return !walkieMessage(v).empty(); }, 10000));

    // Ben heard Ann's voice, framed by static: noise before the voice starts.
    ASSERT_TRUE(spinUntil([&] { return heard(benHears).size() > 16000; }, 5000));
    const auto live = heard(benHears);
    EXPECT_TRUE(voiceIn(live));
    const std::span<const std::int16_t> opening(live.data(), 3200);  // the first 0.2 s
    EXPECT_GT(tonePower(opening, 16000, 1000) + tonePower(opening, 16000, 3000), 1e-7)
        << "static opens the talk";

    // The kept exchange plays again on Ben's speaker.
    ASSERT_FALSE(kept.empty());
    const std::size_t before = heard(benHears).size();
    ASSERT_TRUE(ok(ben.command(R"({"cmd":"playMessage","number":")" + annNumber + R"(","id":")" +
                               kept + R"("})")));
    EXPECT_TRUE(spinUntil(
        [&] {
            const auto now = heard(benHears);
            // A speaker opened anew starts its file over.
            const std::size_t from = now.size() > before ? before : 0;
            if (now.size() < from + 16000) return false;
            return voiceIn(std::span<const std::int16_t>(now).subspan(from));
        },
        8000));
}

}  // namespace
