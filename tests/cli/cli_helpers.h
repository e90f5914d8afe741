#pragma once
// What the command-line tests say to a merrowfax-cli again and again: reply
// checks, a registered number, and WAV files to use as its devices.

#include <gtest/gtest.h>

#include <QStringList>
#include <QTemporaryDir>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <numbers>
#include <stdexcept>
#include <string>
#include <vector>

#include "cli_process.h"
#include "platform/wav_file.h"
#include "support/pulse_server.h"

namespace merrowfax::testing {

inline std::string str(const rapidjson::Value& v) {
    return v.IsString() ? std::string(v.GetString(), v.GetStringLength()) : std::string();
}

inline bool ok(const rapidjson::Value& reply) {
    return reply.IsObject() && reply.HasMember("ok") && reply["ok"].IsTrue();
}

// A new number in country 0 for `cli`, once the service took it; the test
// stops (an exception that says why) when it did not.
inline std::string newNumber(CliProcess& cli, const char* name, int city) {
    cli.mark();
    auto reply =
        cli.command(std::string(R"({"cmd":"newNumber","name":")") + name +
                    R"(","country":"0","city":)" + std::to_string(city) + R"(,"pin":"1234"})");
    if (!ok(reply)) {
        throw std::runtime_error(std::string(name) + ": " +
                                 (reply.IsObject() && reply.HasMember("error")
                                      ? str(reply["error"])
                                      : std::string("no answer")));
    }
    EXPECT_TRUE(cli.waitForChange("hasPin", [](const rapidjson::Value& v) { return v.IsTrue(); }));
    return str(reply["number"]);
}

// A WAV file of wire audio in `dir`: a sine of `hz` at `level` of full scale.
inline std::string writeTone(const QTemporaryDir& dir, const char* name, double hz, double level,
                             int seconds) {
    std::vector<std::int16_t> samples(static_cast<std::size_t>(16000 * seconds));
    for (std::size_t i = 0; i < samples.size(); ++i) {
        samples[i] = static_cast<std::int16_t>(32767 * level *
                                               std::sin(2 * std::numbers::pi * hz * i / 16000));
    }
    const std::string path = (std::filesystem::path(dir.path().toStdString()) / name).string();
    const auto wav = makeWav(kWireAudioFormat, samples);
    std::FILE* file = std::fopen(path.c_str(), "wb");
    std::fwrite(wav.data(), 1, wav.size(), file);
    std::fclose(file);
    return path;
}

inline void pause(int ms) {
    spinUntil([] { return false; }, ms);
}

// The `state` of `cli`; a null document when it did not answer.
inline rapidjson::Document state(CliProcess& cli) {
    auto reply = cli.command(R"({"cmd":"state"})");
    rapidjson::Document out;
    if (ok(reply)) out.CopyFrom(reply["state"], out.GetAllocator());
    return out;
}

// Whether the `state` of a client counts `number` online.
inline bool isOnline(const rapidjson::Value& state, const std::string& number) {
    if (!state.IsObject() || !state.HasMember("online") || !state["online"].IsArray()) {
        return false;
    }
    const auto& list = state["online"].GetArray();
    return std::any_of(list.begin(), list.end(),
                       [&](const rapidjson::Value& n) { return str(n) == number; });
}

// The messages of the chat with `number`.
inline std::vector<rapidjson::Document> messages(CliProcess& cli, const std::string& number) {
    std::vector<rapidjson::Document> out;
    const auto s = state(cli);
    if (!s.IsObject() || !s.HasMember("threads") || !s["threads"].IsArray()) return out;
    for (const rapidjson::Value& thread : s["threads"].GetArray()) {
        if (str(thread["id"]) != number || !thread["messages"].IsArray()) continue;
        for (const rapidjson::Value& m : thread["messages"].GetArray()) {
            out.emplace_back().CopyFrom(m, out.back().GetAllocator());
        }
    }
    return out;
}

// The stored file of a message's attachment in the client's data folder.
inline std::filesystem::path attachment(const CliProcess& cli, const rapidjson::Value& message) {
    return std::filesystem::path(cli.folder().toStdString()) / "Files" /
           str(message["attachmentPath"]);
}

// Ann calls Ben and Ben answers; true once Ann sees the call going on.
// `peerKey` gets the LAN key the call rang from.
inline bool callAndAnswer(CliProcess& ann, CliProcess& ben, const std::string& benNumber,
                          bool video = false, std::string* peerKey = nullptr) {
    using rapidjson::Value;
    ben.mark();
    if (!ok(ann.command(R"({"cmd":"startCall","to":")" + benNumber + R"(","video":)" +
                        (video ? "true" : "false") + "}"))) {
        return false;
    }
    auto ringing = ben.waitForChange("incoming", [](const Value& v) { return v.IsObject(); });
    if (!ringing) return false;
    if (peerKey) *peerKey = str((*ringing)["value"]["peerKey"]);
    ann.mark();
    if (!ok(ben.command(R"({"cmd":"answer"})"))) return false;
    return ann
        .waitForChange("active",
                       [](const Value& v) { return v.IsObject() && str(v["phase"]) == "active"; })
        .has_value();
}

// A private PulseAudio client's microphone and speaker as a client's devices.
inline QStringList pulseDevices(int client) {
    return {QStringLiteral("--audio-input"),
            QString::fromStdString(PulseServer::microphoneName(client)),
            QStringLiteral("--audio-output"),
            QString::fromStdString(PulseServer::speakerName(client))};
}

// The options that make WAV files a client's microphone and speaker.
inline QStringList fileDevices(const std::string& in, const std::string& out) {
    return {QStringLiteral("--audio-input"), QString::fromStdString("file:" + in),
            QStringLiteral("--audio-output"), QString::fromStdString("file:" + out)};
}

}  // namespace merrowfax::testing
