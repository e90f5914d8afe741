// Call audio between two merrowfax-cli processes through the real relay,
// with WAV files as their microphones and speakers.
#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <QThread>

#include <cmath>
#include <filesystem>
#include <numbers>

#include "cli_process.h"
#include "platform/wav_file.h"

using namespace merrowfax;
using namespace merrowfax::testing;
using rapidjson::Value;

namespace {

std::string str(const Value& v) {
    return v.IsString() ? std::string(v.GetString(), v.GetStringLength()) : std::string();
}

bool ok(const Value& reply) {
    return reply.IsObject() && reply.HasMember("ok") && reply["ok"].IsTrue();
}

// The amplitude of `frequency` in wire audio (Goertzel), as a share of full
// scale.
double amplitudeAt(std::span<const std::int16_t> samples, double frequency) {
    const double w = 2 * std::numbers::pi * frequency / 16000;
    double s1 = 0, s2 = 0;
    for (std::int16_t x : samples) {
        const double s0 = x / 32768.0 + 2 * std::cos(w) * s1 - s2;
        s2 = s1;
        s1 = s0;
    }
    const double power = s1 * s1 + s2 * s2 - 2 * std::cos(w) * s1 * s2;
    return 2 * std::sqrt(std::max(power, 0.0)) / static_cast<double>(samples.size());
}

std::string writeTone(const QTemporaryDir& dir, const char* name, double frequency, double level) {
    std::vector<std::int16_t> samples(16000 * 20);
    for (std::size_t i = 0; i < samples.size(); ++i) {
        samples[i] = static_cast<std::int16_t>(
            32767 * level * std::sin(2 * std::numbers::pi * frequency * i / 16000));
    }
    const std::string path = (std::filesystem::path(dir.path().toStdString()) / name).string();
    const auto wav = makeWav(kWireAudioFormat, samples);
    std::FILE* file = std::fopen(path.c_str(), "wb");
    std::fwrite(wav.data(), 1, wav.size(), file);
    std::fclose(file);
    return path;
}

std::string newNumber(CliProcess& cli, const char* name, int city) {
    cli.mark();
    auto reply =
        cli.command(std::string(R"({"cmd":"newNumber","name":")") + name +
                    R"(","country":"0","city":)" + std::to_string(city) + R"(,"pin":"1234"})");
    EXPECT_TRUE(cli.waitForChange("hasPin", [](const Value& v) { return v.IsTrue(); }));
    EXPECT_TRUE(ok(reply)) << name << ": "
                           << (reply.IsObject() && reply.HasMember("error")
                                   ? str(reply["error"])
                                   : std::string("no answer"));
    return ok(reply) ? str(reply["number"]) : std::string();
}

QStringList devices(const std::string& in, const std::string& out) {
    return {QStringLiteral("--audio-input"), QString::fromStdString("file:" + in),
            QStringLiteral("--audio-output"), QString::fromStdString("file:" + out)};
}

TEST(CliCallMedia, ATonesMicrophoneIsHeardByBenUntilAnnMutes) {
    RelayProcess relay;
    QTemporaryDir dir;
    const std::string tone = writeTone(dir, "tone.wav", 440, 0.25);
    const std::string quiet = writeTone(dir, "quiet.wav", 440, 0);
    const std::string benHears = dir.path().toStdString() + "/ben-out.wav";
    // Options in any order before the command.
    CliProcess ann(relay, devices(tone, dir.path().toStdString() + "/ann-out.wav"));
    CliProcess ben(relay, QStringList{QStringLiteral("--sounds")} + devices(quiet, benHears));
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
