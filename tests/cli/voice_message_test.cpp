// A voice message recorded by merrowfax-cli from a WAV file as its
// microphone, sent through the real relay to a second client.
#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <cmath>
#include <filesystem>
#include <numbers>

#include "cli_helpers.h"

using namespace merrowfax;
using namespace merrowfax::testing;
using rapidjson::Value;

namespace {

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
    const std::string tone = writeTone(dir, "tone.wav", 440, 8000.0 / 32767, 2);
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
