// The walkie and voice messages between two merrowfax-cli processes through
// the real relay, with a private PulseAudio as their sound devices: what one
// says into a pipe source is heard at the other's speaker monitor.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "cli_helpers.h"
#include "platform/wav_file.h"
#include "support/goertzel.h"

using namespace merrowfax;
using namespace merrowfax::testing;
using rapidjson::Value;

namespace {

constexpr int kRate = MonitorRecorder::kRate;
constexpr double kVoiceHz = 440;
constexpr double kVoiceLevel = 0.2;  // of full scale: ×2.75 on the speaker still fits
// Frequencies away from the voice and its harmonics where static has energy.
constexpr double kOffTone[] = {650, 1130, 1770, 2410, 3050, 3690};
constexpr std::size_t kWindow = kRate / 10;  // 100 ms: short against the pipe's clock drift
constexpr std::size_t kHop = kWindow / 2;
// The pipe path takes hundreds of milliseconds: long enough bounds for it.
constexpr int kCrossing = 10000;
// The walkie's own timers: with the usual shortened ones a heard talk would
// end after 60 ms without audio, less than the relay's jitter on a busy
// machine, and static would cut into the voice.
constexpr auto kRealTimers = CliProcess::Pace::Real;

enum class Heard { quiet, voice, noise, other };

double meanSquare(std::span<const std::int16_t> samples) {
    double sum = 0;
    for (std::int16_t s : samples) sum += (s / 32768.0) * (s / 32768.0);
    return samples.empty() ? 0 : sum / static_cast<double>(samples.size());
}

// The voice: most of the window's power at 440 Hz (a pure tone puts half of
// its mean square there). Static: energy at every off-tone frequency tried,
// and 440 Hz nowhere near dominant.
Heard classify(std::span<const std::int16_t> window) {
    const double total = meanSquare(window);
    if (total < 1e-6) return Heard::quiet;
    const double voice = tonePower(window, kRate, kVoiceHz);
    if (voice > 0.3 * total) return Heard::voice;
    const bool spread = std::all_of(std::begin(kOffTone), std::end(kOffTone),
                                    [&](double hz) { return tonePower(window, kRate, hz) > 1e-8; });
    return spread && voice < 0.02 * total ? Heard::noise : Heard::other;
}

// Whether `samples` hold static, then the voice, then static again, in that
// order; voice that comes back after static counts on (the end was not yet).
struct Framing {
    bool found = false;
    std::size_t voiceWindows = 0;
    double voicePower = 0;  // the voice's mean power at 440 Hz per window
    std::string seen;       // one letter a window, for failure messages
};

Framing framing(std::span<const std::int16_t> samples) {
    Framing out;
    enum { opening, voice, closing } stage = opening;
    for (std::size_t at = 0; at + kWindow <= samples.size(); at += kHop) {
        const auto window = samples.subspan(at, kWindow);
        const Heard heard = classify(window);
        out.seen += "_VN?"[static_cast<int>(heard)];
        if (stage == opening && heard == Heard::noise) stage = voice;
        if (stage == closing && heard == Heard::voice) stage = voice;  // not the end after all
        if (stage == voice && heard == Heard::voice) {
            ++out.voiceWindows;
            out.voicePower += tonePower(window, kRate, kVoiceHz);
        }
        if (stage == voice && out.voiceWindows > 0 && heard == Heard::noise) stage = closing;
    }
    out.found = stage == closing;
    if (out.voiceWindows > 0) out.voicePower /= static_cast<double>(out.voiceWindows);
    return out;
}

// Heard from sample `from` on: static, then at least `seconds` of the voice,
// then static.
bool framedVoice(const MonitorRecorder& monitor, std::size_t from, double seconds,
                 Framing* result = nullptr) {
    const auto samples = monitor.samples();
    if (samples.size() <= from) return false;
    const Framing f = framing(std::span<const std::int16_t>(samples).subspan(from));
    if (result) *result = f;
    return f.found && static_cast<double>(f.voiceWindows * kHop) >= seconds * kRate;
}

// The first message in the chat with `number` whose attachment is `name`.
rapidjson::Document findMessage(CliProcess& cli, const std::string& number,
                                const std::string& name) {
    for (auto& m : messages(cli, number)) {
        if (m.HasMember("attachmentName") && str(m["attachmentName"]) == name) return std::move(m);
    }
    return {};
}

bool play(CliProcess& cli, const std::string& number, const Value& message) {
    return ok(cli.command(R"({"cmd":"playMessage","number":")" + number + R"(","id":")" +
                          str(message["id"]) + R"("})"));
}

// Two registered clients on one PulseAudio, Ann's voice fed into her pipe
// source all along (it is heard only while something records it).
class CliPulseWalkie : public ::testing::Test {
protected:
    void SetUp() override {
        if (!PulseServer::available()) GTEST_SKIP() << "pulseaudio is not installed";
        pulse_.emplace(PulseServer::Options{.clients = 2});
        ann_.emplace(relay_, pulseDevices(0), kRealTimers);
        ben_.emplace(relay_, pulseDevices(1), kRealTimers);
        annSpeaks_.emplace(*pulse_, kVoiceHz, 0, kVoiceLevel);
        benHears_.emplace(*pulse_, 1);
        annNumber_ = newNumber(*ann_, "Ann", 1);
        benNumber_ = newNumber(*ben_, "Ben", 2);
        // A fresh null sink takes about two seconds before it plays anything,
        // its monitor silent too: what a speaker gives it before then is lost.
        ASSERT_TRUE(spinUntil([&] { return !benHears_->samples().empty(); }, kCrossing));
    }

    RelayProcess relay_;
    std::optional<PulseServer> pulse_;
    std::optional<CliProcess> ann_, ben_;
    std::optional<ToneFeeder> annSpeaks_;
    std::optional<MonitorRecorder> benHears_;
    std::string annNumber_, benNumber_;
};

TEST_F(CliPulseWalkie, AHeldTalkIsHeardBoostedBetweenStaticKeptByBothAndPlaysAgain) {
    // Exchanges are kept in an existing chat.
    ben_->mark();
    ASSERT_TRUE(
        ok(ann_->command(R"({"cmd":"sendText","to":")" + benNumber_ + R"(","text":"Hi"})")));
    ASSERT_TRUE(ben_->waitForChange("threads", [](const Value& v) { return v.Size() > 0; }));

    ASSERT_TRUE(ok(ann_->command(R"({"cmd":"holdTalk","to":")" + benNumber_ + R"("})")));
    EXPECT_TRUE(spinUntil([&] { return state(*ann_)["transmitting"].IsTrue(); }, kCrossing));
    // A second of talk reaches Ben's speaker: wait until it plays there,
    // then keep talking for about a second more.
    ASSERT_TRUE(spinUntil(
        [&] {
            const auto s = benHears_->samples();
            return s.size() >= kWindow &&
                   classify(std::span<const std::int16_t>(s).last(kWindow)) == Heard::voice;
        },
        kCrossing))
        << "Ann's voice reaches Ben's speaker";
    pause(1000);
    ASSERT_TRUE(ok(ann_->command(R"({"cmd":"endTalk","to":")" + benNumber_ + R"("})")));

    Framing live;
    EXPECT_TRUE(spinUntil([&] { return framedVoice(*benHears_, 0, 0.8, &live); }, kCrossing))
        << "static, the voice, static: " << live.seen;

    // Both keep the exchange as a WAV of wire audio holding the voice as it
    // was said; the speaker played it 2.75 times as loud.
    rapidjson::Document annKept, benKept;
    ASSERT_TRUE(spinUntil(
        [&] {
            annKept = findMessage(*ann_, benNumber_, "walkie.wav");
            benKept = findMessage(*ben_, annNumber_, "walkie.wav");
            return annKept.IsObject() && benKept.IsObject();
        },
        kCrossing));
    for (const auto& [cli, kept] : {std::pair{&*ann_, &annKept}, std::pair{&*ben_, &benKept}}) {
        EXPECT_EQ(str((*kept)["text"]), "Walkie");
        EXPECT_EQ(str((*kept)["attachmentKind"]), "audio");
        const auto wav = readWav(attachment(*cli, *kept));
        ASSERT_TRUE(wav.has_value()) << attachment(*cli, *kept);
        EXPECT_EQ(wav->format, kWireAudioFormat);
        EXPECT_EQ(std::filesystem::file_size(attachment(*cli, *kept)),
                  44 + wav->samples.size() * 2);
        ASSERT_GE(wav->samples.size(), std::size_t{kRate});
        // The middle, away from where the talk started and ended.
        const auto middle = std::span<const std::int16_t>(wav->samples)
                                .subspan(wav->samples.size() / 2 - kWindow / 2, kWindow);
        EXPECT_EQ(classify(middle), Heard::voice);
        const double stored = tonePower(middle, kRate, kVoiceHz);
        EXPECT_NEAR(stored, kVoiceLevel * kVoiceLevel / 4, kVoiceLevel * kVoiceLevel / 8)
            << "sent unchanged";
        EXPECT_NEAR(live.voicePower / stored, 2.75 * 2.75, 2.5) << "boosted on the speaker";
    }

    // Once the talk is over, Ben plays his copy: static, the voice, static
    // again.
    ASSERT_TRUE(spinUntil([&] { return str(state(*ben_)["hearing"]).empty(); }, kCrossing));
    const std::size_t before = benHears_->samples().size();
    ASSERT_TRUE(play(*ben_, annNumber_, benKept));
    Framing replay;
    EXPECT_TRUE(spinUntil([&] { return framedVoice(*benHears_, before, 0.8, &replay); }, kCrossing))
        << "the replay: " << replay.seen;
}

TEST_F(CliPulseWalkie, AVoiceMessageRecordedFromThePipeSourcePlaysAsTheVoice) {
    // Out of bounds: refused before anything records.
    for (const char* seconds : {"0", "61", "\"2\""}) {
        const auto reply = ann_->command(R"({"cmd":"recordVoice","to":")" + benNumber_ +
                                         R"(","seconds":)" + seconds + "}");
        EXPECT_NE(str(reply["error"]).find("\"seconds\""), std::string::npos) << seconds;
    }
    ann_->mark();
    ben_->mark();
    // The reply comes once the message is sent, after the recording ended.
    ASSERT_TRUE(ok(ann_->command(
        R"({"cmd":"recordVoice","to":")" + benNumber_ + R"(","seconds":1.5})", kCrossing)));
    EXPECT_TRUE(ann_->waitForChange("recording", [](const Value& v) { return v.IsTrue(); }));
    EXPECT_TRUE(ann_->waitForChange("recording", [](const Value& v) { return v.IsFalse(); }));
    rapidjson::Document voice;
    ASSERT_TRUE(
        spinUntil([&] { return (voice = findMessage(*ben_, annNumber_, "voice.m4a")).IsObject(); },
                  kCrossing));
    EXPECT_EQ(str(voice["attachmentKind"]), "audio");
    EXPECT_GT(std::filesystem::file_size(attachment(*ben_, voice)), 0u);

    const std::size_t before = benHears_->samples().size();
    ASSERT_TRUE(play(*ben_, annNumber_, voice));
    Framing heard;
    EXPECT_TRUE(spinUntil([&] { return framedVoice(*benHears_, before, 0.8, &heard); }, kCrossing))
        << "the voice message on Ben's speaker: " << heard.seen;
}

}  // namespace
