// Call audio latency: Ann's microphone (a WAV of a quiet tone with a click
// every 300 ms) to Ben's speaker, two merrowfax-cli processes on loopback.
// Each client stamps click onsets on the steady clock (MERROWFAX_CLICK_LOG):
// Ann when a click is captured, Ben when his speaker takes it from the jitter
// buffer (a private PulseAudio pulls it), so the buffer's delay counts.
//
// Scenarios (argv: any of relay, both, busy; all three by default):
//   relay  the relay alone (no LAN link);
//   both   the LAN link and the relay, as at home (needs root: a private
//          Avahi daemon in namespaces of its own);
//   busy   both paths, and Ben's main thread kept busy by a third client,
//          Carl, sending him 50 texts a second and a 20 MB file.
// Each prints mouth-to-speaker median and p95, underruns per minute, and the
// seconds of audio Ben's speaker played (and dropped) per second of call.
#include <QCoreApplication>
#include <QTemporaryDir>

#include <unistd.h>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <numbers>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "cli_process.h"
#include "platform/wav_file.h"
#include "support/avahi_server.h"
#include "support/pulse_server.h"

using namespace merrowfax;
using namespace merrowfax::testing;

namespace {

constexpr int kClicks = 60;
constexpr int kLeadMs = 3500;  // a fresh null sink takes nothing for its first 2 s
constexpr int kSpacingMs = 300;

void writeWav(const std::string& path, const std::vector<std::int16_t>& samples) {
    const auto wav = makeWav(kWireAudioFormat, samples);
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(wav.data()), static_cast<std::streamsize>(wav.size()));
}

// A quiet 440 Hz tone (never silent, so audio flows all the call long, as
// speech with its room noise does) and, every kSpacingMs after a lead, 5 ms
// of 1 kHz at half of full scale.
std::vector<std::int16_t> clicks() {
    std::vector<std::int16_t> samples(16 * (kLeadMs + kClicks * kSpacingMs + 2000), 0);
    for (std::size_t i = 0; i < samples.size(); ++i) {
        samples[i] = static_cast<std::int16_t>(
            32767 * 0.05 * std::sin(2 * std::numbers::pi * 440 * static_cast<double>(i) / 16000));
    }
    for (int c = 0; c < kClicks; ++c) {
        const std::size_t at = 16 * static_cast<std::size_t>(kLeadMs + c * kSpacingMs);
        for (std::size_t i = 0; i < 80; ++i) {
            samples[at + i] = static_cast<std::int16_t>(
                16384 * std::sin(2 * std::numbers::pi * 1000 * static_cast<double>(i) / 16000 +
                                 std::numbers::pi / 2));
        }
    }
    return samples;
}

std::vector<long long> stamps(const std::string& path, const std::string& what) {
    std::vector<long long> out;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string word;
        long long ns = 0;
        if (fields >> word >> ns && word == what) out.push_back(ns);
    }
    return out;
}

// The last "playout" line of a click log: samples played, silence, dropped.
std::vector<double> playout(const std::string& path) {
    std::vector<double> out;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string word;
        if (!(fields >> word) || word != "playout") continue;
        out.clear();
        double v;
        while (fields >> v) out.push_back(v);
    }
    return out;
}

std::string numberOf(CliProcess& cli, const char* name, int city) {
    auto reply =
        cli.command(std::string(R"({"cmd":"newNumber","name":")") + name +
                    R"(","country":"0","city":)" + std::to_string(city) + R"(,"pin":"1234"})");
    cli.waitForChange("hasPin", [](const rapidjson::Value& v) { return v.IsTrue(); });
    return reply.IsObject() && reply.HasMember("number") ? reply["number"].GetString() : "";
}

QStringList devices(const std::string& in, const std::string& out) {
    return {QStringLiteral("--audio-input"), QString::fromStdString("file:" + in),
            QStringLiteral("--audio-output"), QString::fromStdString(out)};
}

bool connected(CliProcess& cli, const std::string& number) {
    auto reply = cli.command(R"({"cmd":"state"})");
    if (!reply.IsObject() || !reply.HasMember("state")) return false;
    const auto& peers = reply["state"]["lanPeers"];
    if (!peers.IsArray()) return false;
    return std::any_of(peers.Begin(), peers.End(), [&](const rapidjson::Value& p) {
        return p["number"].GetString() == number && p["connected"].IsTrue();
    });
}

bool run(const std::string& scenario) {
    const bool lan = scenario != "relay";
    const bool busy = scenario == "busy";
    std::optional<AvahiServer> avahi;
    if (lan) {
        if (::geteuid() != 0 || !AvahiServer::available()) {
            std::printf("%s: skipped (needs root and avahi-daemon)\n", scenario.c_str());
            return true;
        }
        avahi.emplace();
    }
    PulseServer pulse(PulseServer::Options{.clients = 1});
    RelayProcess relay;
    QTemporaryDir dir;
    const std::string base = dir.path().toStdString() + "/";
    writeWav(base + "clicks.wav", clicks());
    writeWav(base + "quiet.wav", std::vector<std::int16_t>(16000, 0));
    const std::string annLog = base + "ann.log", benLog = base + "ben.log";
    using Pace = CliProcess::Pace;
    qputenv("MERROWFAX_CLICK_LOG", QByteArray::fromStdString(annLog));
    CliProcess ann(relay, devices(base + "clicks.wav", "file:" + base + "ann-out.wav"), Pace::Real);
    qputenv("MERROWFAX_CLICK_LOG", QByteArray::fromStdString(benLog));
    CliProcess ben(relay, devices(base + "quiet.wav", PulseServer::speakerName(0)), Pace::Real);
    qunsetenv("MERROWFAX_CLICK_LOG");
    std::optional<CliProcess> carl;
    if (busy)
        carl.emplace(relay, devices(base + "quiet.wav", "file:" + base + "carl-out.wav"),
                     Pace::Real);
    const std::string annNumber = numberOf(ann, "Ann", 1);
    const std::string benNumber = numberOf(ben, "Ben", 2);
    if (carl) numberOf(*carl, "Carl", 3);
    if (lan &&
        !spinUntil([&] { return connected(ann, benNumber) && connected(ben, annNumber); }, 15000)) {
        std::printf("%s: the LAN session did not come up\n", scenario.c_str());
        return false;
    }
    if (carl && !spinUntil([&] { return connected(*carl, benNumber); }, 15000)) {
        std::printf("%s: Carl's LAN session did not come up\n", scenario.c_str());
        return false;
    }

    ann.command(R"({"cmd":"startCall","to":")" + benNumber + R"("})");
    ben.waitForChange("incoming", [](const rapidjson::Value& v) { return v.IsObject(); });
    ben.command(R"({"cmd":"answer"})");
    if (carl) {
        // 20 MB of noise (so nothing compresses it away), on the LAN.
        std::vector<char> bytes(20 << 20);
        std::mt19937 random(7);
        std::generate(bytes.begin(), bytes.end(), [&] { return static_cast<char>(random()); });
        std::ofstream(base + "big.bin", std::ios::binary).write(bytes.data(), bytes.size());
        carl->write(R"({"cmd":"sendFile","to":")" + benNumber + R"(","path":")" + base +
                    R"(big.bin","kind":"file"})");
    }
    const int callMs = kLeadMs + kClicks * kSpacingMs + 500;
    QElapsedTimer clock;
    clock.start();
    int texts = 0;
    while (clock.elapsed() < callMs) {
        if (carl && texts * 20 < clock.elapsed()) {
            carl->write(R"({"cmd":"sendText","to":")" + benNumber + R"(","text":"busy )" +
                        std::to_string(texts++) + R"("})");
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    ann.command(R"({"cmd":"end"})");
    spinUntil([] { return false; }, 500);  // Ben's speaker stops and reports

    const auto captured = stamps(annLog, "capture");
    const auto played = stamps(benLog, "play");
    const auto underruns = stamps(benLog, "underrun");
    std::vector<double> latencies;
    for (std::size_t i = 0; i < captured.size(); ++i) {
        const long long next =
            i + 1 < captured.size() ? captured[i + 1] : captured[i] + 1'000'000'000;
        auto it = std::find_if(played.begin(), played.end(),
                               [&](long long p) { return p >= captured[i] && p < next; });
        if (it != played.end()) latencies.push_back(static_cast<double>(*it - captured[i]) / 1e6);
    }
    std::sort(latencies.begin(), latencies.end());
    const auto at = [&](double q) {
        return latencies.empty()
                   ? NAN
                   : latencies[std::min(
                         latencies.size() - 1,
                         static_cast<std::size_t>(q * static_cast<double>(latencies.size())))];
    };
    const double seconds = callMs / 1000.0;
    const auto out = playout(benLog);
    const double playedSeconds = out.size() >= 3 ? out[0] / 16000.0 : NAN;
    const double droppedSeconds = out.size() >= 3 ? out[2] / 16000.0 : NAN;
    std::printf(
        "%-6s clicks %zu heard %zu | mouth-to-speaker ms median %.1f p95 %.1f max %.1f | "
        "underruns/min %.1f | audio played %.2f s/s, dropped %.2f s/s%s\n",
        scenario.c_str(), captured.size(), latencies.size(), at(0.5), at(0.95),
        latencies.empty() ? NAN : latencies.back(),
        static_cast<double>(underruns.size()) * 60.0 / seconds, playedSeconds / seconds,
        droppedSeconds / seconds, busy ? (" | texts sent " + std::to_string(texts)).c_str() : "");
    return latencies.size() >= kClicks * 9 / 10;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    std::vector<std::string> scenarios(argv + 1, argv + argc);
    if (scenarios.empty()) scenarios = {"relay", "both", "busy"};
    bool good = true;
    for (const std::string& scenario : scenarios) good = run(scenario) && good;
    return good ? 0 : 1;
}
