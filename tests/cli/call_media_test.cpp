// Call audio between two merrowfax-cli processes through the real relay,
// with WAV files as their microphones and speakers.
#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <QThread>

#include <cmath>
#include <filesystem>
#include <numbers>

#include "cli_helpers.h"
#include "support/goertzel.h"

using namespace merrowfax;
using namespace merrowfax::testing;
using rapidjson::Value;

namespace {

// The amplitude of `frequency` in wire audio, as a share of full scale.
double amplitudeAt(std::span<const std::int16_t> samples, double frequency) {
    return 2 * std::sqrt(std::max(tonePower(samples, 16000, frequency), 0.0));
}

TEST(CliCallMedia, ATonesMicrophoneIsHeardByBenUntilAnnMutes) {
    RelayProcess relay;
    QTemporaryDir dir;
    const std::string tone = writeTone(dir, "tone.wav", 440, 0.25, 20);
    const std::string quiet = writeTone(dir, "quiet.wav", 440, 0, 20);
    const std::string benHears = dir.path().toStdString() + "/ben-out.wav";
    // Options in any order before the command.
    CliProcess ann(relay, fileDevices(tone, dir.path().toStdString() + "/ann-out.wav"));
    CliProcess ben(relay, QStringList{QStringLiteral("--sounds")} + fileDevices(quiet, benHears));
    const std::string annNumber = newNumber(ann, "Ann", 1);
    const std::string benNumber = newNumber(ben, "Ben", 2);
    ASSERT_FALSE(annNumber.empty());
    ASSERT_FALSE(benNumber.empty());

    ben.mark();
    ASSERT_TRUE(ok(ann.command(R"({"cmd":"startCall","to":")" + benNumber + R"("})")));
    ASSERT_TRUE(ben.waitForChange("incoming", [](const Value& v) { return v.IsObject(); }));
    ann.mark();
    ASSERT_TRUE(ok(ben.command(R"({"cmd":"answer"})")));
    ASSERT_TRUE(ann.waitForChange(
        "active", [](const Value& v) { return v.IsObject() && str(v["phase"]) == "active"; }));
    ASSERT_TRUE(spinUntil(
        [&] {
            auto state = ann.command(R"({"cmd":"state"})");
            return ok(state) && state["state"]["audioReady"].IsTrue();
        },
        5000));
    auto state = ben.command(R"({"cmd":"state"})");
    EXPECT_TRUE(state["state"]["audioReady"].IsTrue());
    EXPECT_TRUE(state["state"]["speakerOn"].IsTrue());
    EXPECT_FALSE(state["state"]["muted"].IsTrue());
    EXPECT_EQ(state["state"]["remoteImage"]["frames"].GetInt(), 0);
    ASSERT_TRUE(ok(ben.command(R"({"cmd":"speaker","on":false})")));
    EXPECT_TRUE(ben.command(R"({"cmd":"state"})")["state"]["speakerOn"].IsTrue());

    // Ben hears Ann while she speaks...
    const auto size = [&] {
        std::error_code error;
        return std::filesystem::file_size(benHears, error);
    };
    spinUntil([] { return false; }, 1500);
    const auto heard = size();
    spinUntil([] { return false; }, 500);
    EXPECT_GT(size(), heard + 8000) << "a quarter second more of Ann";

    // ...and nothing once she mutes.
    ASSERT_TRUE(ok(ann.command(R"({"cmd":"mute","on":true})")));
    EXPECT_TRUE(ann.command(R"({"cmd":"state"})")["state"]["muted"].IsTrue());
    spinUntil([] { return false; }, 500);
    const auto muted = size();
    spinUntil([] { return false; }, 700);
    EXPECT_EQ(size(), muted);

    ASSERT_TRUE(ok(ann.command(R"({"cmd":"end"})")));
    ASSERT_TRUE(spinUntil(
        [&] { return ben.command(R"({"cmd":"state"})")["state"]["audioReady"].IsFalse(); }, 5000));
    const auto wav = readWav(benHears);
    ASSERT_TRUE(wav);
    ASSERT_GT(wav->samples.size(), 16000u);
    const std::span<const std::int16_t> last(wav->samples.data() + wav->samples.size() - 8000,
                                             8000);
    // 0.25 of full scale, times the microphone's gain.
    EXPECT_GT(amplitudeAt(last, 440), 0.4);
    EXPECT_LT(amplitudeAt(last, 880), 0.05);
}

}  // namespace
