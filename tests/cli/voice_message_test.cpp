// A voice message recorded by merrowfax-cli from a WAV file as its
// microphone, sent through the real relay to a second client.
#include <gtest/gtest.h>

#include <QTemporaryDir>

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

std::string writeTone(const QTemporaryDir& dir) {
    std::vector<std::int16_t> samples(16000 * 2);
    for (std::size_t i = 0; i < samples.size(); ++i) {
        samples[i] =
            static_cast<std::int16_t>(8000 * std::sin(2 * std::numbers::pi * 440 * i / 16000));
    }
    const std::string path = dir.path().toStdString() + "/tone.wav";
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
    return ok(reply) ? str(reply["number"]) : std::string();
}

// Whether `threads` holds a message with that attachment.
bool hasAttachment(const Value& threads, const std::string& kind, const std::string& name) {
    if (!threads.IsArray()) return false;
    for (const Value& thread : threads.GetArray()) {
        if (!thread.HasMember("messages") || !thread["messages"].IsArray()) continue;
        for (const Value& m : thread["messages"].GetArray()) {
            if (m.HasMember("attachmentKind") && str(m["attachmentKind"]) == kind &&
                m.HasMember("attachmentName") && str(m["attachmentName"]) == name) {
                return true;
            }
        }
    }
    return false;
}

TEST(CliVoiceMessage, RecordedFromTheInputAndReceivedAsVoiceM4a) {
    RelayProcess relay;
    QTemporaryDir dir;
    const std::string tone = writeTone(dir);
    CliProcess ann(relay,
                   {QStringLiteral("--audio-input"), QString::fromStdString("file:" + tone)});
    CliProcess ben(relay);
    const std::string annNumber = newNumber(ann, "Ann", 1);
    const std::string benNumber = newNumber(ben, "Ben", 2);
    ASSERT_FALSE(annNumber.empty());
    ASSERT_FALSE(benNumber.empty());

    // Out of bounds: refused before anything records.
    for (const char* seconds : {"0", "61", "\"2\""}) {
        auto reply = ann.command(R"({"cmd":"recordVoice","to":")" + benNumber + R"(","seconds":)" +
                                 seconds + "}");
        EXPECT_FALSE(ok(reply)) << seconds;
    }

    ann.mark();
    ben.mark();
    // The reply comes once the message is made, after the recording ended.
    EXPECT_TRUE(ok(
        ann.command(R"({"cmd":"recordVoice","to":")" + benNumber + R"(","seconds":0.6})", 10000)));
    EXPECT_TRUE(ann.waitForChange("recording", [](const Value& v) { return v.IsTrue(); }));
    EXPECT_TRUE(ann.waitForChange("recording", [](const Value& v) { return v.IsFalse(); }));
    EXPECT_FALSE(ann.command(R"({"cmd":"state"})")["state"]["recording"].IsTrue());
    EXPECT_TRUE(ben.waitForChange(
        "threads", [](const Value& v) { return hasAttachment(v, "audio", "voice.m4a"); }, 10000));
}

}  // namespace
