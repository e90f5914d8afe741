// Calls between two merrowfax-cli processes through the real relay with real
// devices: a private PulseAudio for sound, the moving test picture as camera.
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>

#include <span>
#include <string>
#include <vector>

#include "cli_helpers.h"
#include "support/goertzel.h"

using namespace merrowfax::testing;
using rapidjson::Value;

namespace {

constexpr int kWindow = MonitorRecorder::kRate / 2;  // half a second heard
// Below this a tone is not there. A tone fed at half of full scale arrives
// near full scale, but the pipe source's clock drifts it by about a hertz,
// which a half-second window at the exact frequency sees as far weaker
// (1e-4 to 1e-1), and a dropout can halve that; quiet is far under 1e-7.
constexpr double kHeard = 1e-5;

bool audioReady(CliProcess& cli) {
    auto s = state(cli);
    return s.IsObject() && s["audioReady"].IsTrue();
}

// What a speaker played from sample `from` on, at most its last half second.
std::vector<std::int16_t> heardSince(const MonitorRecorder& monitor, std::size_t from = 0) {
    auto samples = monitor.samples();
    const std::size_t start =
        std::max(from, samples.size() > kWindow ? samples.size() - kWindow : std::size_t{0});
    if (start >= samples.size()) return {};
    return {samples.begin() + static_cast<std::ptrdiff_t>(start), samples.end()};
}

// `hz` is loud in the last half second and ten times any other tone tried.
bool hearsOnly(const MonitorRecorder& monitor, double hz) {
    const auto window = heardSince(monitor);
    if (window.size() < kWindow) return false;
    const double power = tonePower(window, MonitorRecorder::kRate, hz);
    if (power < kHeard) return false;
    for (double other : {300.0, 440.0, 1000.0}) {
        if (other != hz && tonePower(window, MonitorRecorder::kRate, other) * 10 > power) {
            return false;
        }
    }
    return true;
}

// Neither tone in the last half second, all of it heard after sample `from`.
bool silentSince(const MonitorRecorder& monitor, std::size_t from) {
    const auto window = heardSince(monitor, from);
    return window.size() >= kWindow &&
           tonePower(window, MonitorRecorder::kRate, 440) < kHeard / 100 &&
           tonePower(window, MonitorRecorder::kRate, 1000) < kHeard / 100;
}

// The tones' powers in the last half second, for failure messages.
std::string describe(const MonitorRecorder& monitor) {
    const auto window = heardSince(monitor);
    std::string out = std::to_string(window.size()) + " samples;";
    for (double hz : {300.0, 440.0, 1000.0}) {
        out += " " + std::to_string(static_cast<int>(hz)) +
               " Hz: " + std::to_string(tonePower(window, MonitorRecorder::kRate, hz));
    }
    return out;
}

std::size_t heardSoFar(const MonitorRecorder& monitor) {
    return monitor.samples().size();
}

// The pipe path takes hundreds of milliseconds: long enough bounds for it.
constexpr int kCrossing = 5000;

TEST(CliPulseCall, TonesCrossBothWaysStopWhileMutedAndEndWithTheCall) {
    if (!PulseServer::available()) GTEST_SKIP() << "pulseaudio is not installed";
    RelayProcess relay;
    PulseServer pulse(PulseServer::Options{.clients = 2});
    // The CLIs inherit PULSE_SERVER and PULSE_COOKIE from here.
    CliProcess ann(relay, pulseDevices(0));
    CliProcess ben(relay, pulseDevices(1));
    const ToneFeeder annSpeaks(pulse, 440, 0);
    const ToneFeeder benSpeaks(pulse, 1000, 1);
    const MonitorRecorder annHears(pulse, 0);
    const MonitorRecorder benHears(pulse, 1);
    const std::string annNumber = newNumber(ann, "Ann", 1);
    const std::string benNumber = newNumber(ben, "Ben", 2);

    // Nothing is played before the call.
    ASSERT_TRUE(spinUntil([&] { return silentSince(benHears, 0); }, kCrossing));
    ASSERT_TRUE(callAndAnswer(ann, ben, benNumber));
    ASSERT_TRUE(spinUntil([&] { return audioReady(ann) && audioReady(ben); }, kCrossing))
        << pulse.log();
    EXPECT_TRUE(spinUntil([&] { return hearsOnly(benHears, 440); }, kCrossing))
        << "Ben hears Ann: " << describe(benHears);
    EXPECT_TRUE(spinUntil([&] { return hearsOnly(annHears, 1000); }, kCrossing))
        << "Ann hears Ben: " << describe(annHears);

    // Ann mutes: Ben's speaker goes quiet and stays so, Ann still hears Ben.
    ASSERT_TRUE(ok(ann.command(R"({"cmd":"mute","on":true})")));
    std::size_t from = heardSoFar(benHears);
    EXPECT_TRUE(spinUntil([&] { return silentSince(benHears, from); }, kCrossing));
    from = heardSoFar(benHears);
    pause(700);
    EXPECT_TRUE(silentSince(benHears, from)) << "still quiet: " << describe(benHears);
    EXPECT_TRUE(spinUntil([&] { return hearsOnly(annHears, 1000); }, kCrossing))
        << "Ann still hears Ben: " << describe(annHears);

    // Unmuted she is heard again.
    ASSERT_TRUE(ok(ann.command(R"({"cmd":"mute","on":false})")));
    EXPECT_TRUE(spinUntil([&] { return hearsOnly(benHears, 440); }, kCrossing));

    // After the end neither speaker plays the other side.
    ASSERT_TRUE(ok(ann.command(R"({"cmd":"end"})")));
    ASSERT_TRUE(spinUntil([&] { return !audioReady(ann) && !audioReady(ben); }, kCrossing));
    const std::size_t annFrom = heardSoFar(annHears);
    const std::size_t benFrom = heardSoFar(benHears);
    EXPECT_TRUE(
        spinUntil([&] { return silentSince(annHears, annFrom) && silentSince(benHears, benFrom); },
                  kCrossing));
    const std::size_t annLater = heardSoFar(annHears);
    const std::size_t benLater = heardSoFar(benHears);
    pause(700);
    EXPECT_TRUE(silentSince(annHears, annLater)) << "still quiet: " << describe(annHears);
    EXPECT_TRUE(silentSince(benHears, benLater)) << "still quiet: " << describe(benHears);
}

TEST(CliVideoCall, TheTestPictureArrivesAtTheFramePace) {
    RelayProcess relay;
    const QStringList camera{QStringLiteral("--camera"), QStringLiteral("pattern")};
    CliProcess ann(relay, camera);
    CliProcess ben(relay, camera);
    const std::string annNumber = newNumber(ann, "Ann", 1);
    const std::string benNumber = newNumber(ben, "Ben", 2);
    ASSERT_TRUE(callAndAnswer(ann, ben, benNumber, true));
    EXPECT_TRUE(state(ann)["videoOn"].IsTrue());

    const auto frames = [&] {
        auto s = state(ben);
        return s.IsObject() ? s["remoteImage"]["frames"].GetInt() : -1;
    };
    ASSERT_TRUE(spinUntil([&] { return frames() > 0; }, 5000)) << "Ann's picture reaches Ben";
    const auto seen = state(ben);
    EXPECT_EQ(seen["remoteImage"]["width"].GetInt(), 192);
    EXPECT_GT(seen["remoteImage"]["height"].GetInt(), 0);

    // At most one frame per 120 ms is sent: about 8 a second.
    const int before = frames();
    QElapsedTimer clock;
    clock.start();
    pause(1500);
    const int after = frames();
    const double seconds = static_cast<double>(clock.elapsed()) / 1000;
    EXPECT_GT(after, before) << "frames keep coming";
    EXPECT_LE((after - before) / seconds, 12.0);

    // Ann turns her camera off: no more frames reach Ben.
    ASSERT_TRUE(ok(ann.command(R"({"cmd":"video","on":false})")));
    EXPECT_FALSE(state(ann)["videoOn"].IsTrue());
    pause(500);
    const int stopped = frames();
    pause(600);
    EXPECT_EQ(frames(), stopped);
}

// `merrowfax-cli devices` as one parsed line; a null document when it failed.
rapidjson::Document listDevices() {
    QProcess cli;
    cli.start(QStringLiteral(MERROWFAX_CLI_BINARY), {QStringLiteral("devices")});
    rapidjson::Document out;
    if (!cli.waitForFinished(10000) || cli.exitCode() != 0) return out;
    out.Parse(cli.readAllStandardOutput().toStdString().c_str());
    if (out.HasParseError()) out.SetNull();
    return out;
}

bool lists(const Value& devices, const std::string& name, const std::string& description) {
    for (const Value& device : devices.GetArray()) {
        if (str(device["name"]) == name && str(device["description"]) == description) return true;
    }
    return false;
}

TEST(CliDevices, ListsTheSoundServersDevicesByNameAndDescription) {
    if (!PulseServer::available()) GTEST_SKIP() << "pulseaudio is not installed";
    const PulseServer pulse(PulseServer::Options{.clients = 2});
    const auto devices = listDevices();
    ASSERT_TRUE(devices.IsObject());
    for (int client : {0, 1}) {
        EXPECT_TRUE(lists(devices["inputs"], PulseServer::microphoneName(client),
                          PulseServer::microphoneDescription(client)));
        EXPECT_TRUE(lists(devices["outputs"], PulseServer::speakerName(client),
                          PulseServer::speakerDescription(client)));
        EXPECT_FALSE(lists(devices["outputs"], PulseServer::microphoneName(client),
                           PulseServer::microphoneDescription(client)));
    }
    EXPECT_TRUE(devices["cameras"].IsArray());
}

}  // namespace
