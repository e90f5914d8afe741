// Call audio latency: Ann's microphone (a WAV of 50 clicks) to Ben's
// speaker, two merrowfax-cli processes through the relay on loopback. Each
// client stamps click onsets on the steady clock (MERROWFAX_CLICK_LOG): Ann
// when a click is captured, Ben when it is handed to his speaker.
#include <QCoreApplication>
#include <QTemporaryDir>

#include <unistd.h>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <numbers>
#include <sstream>

#include "cli_process.h"
#include "platform/wav_file.h"

using namespace merrowfax;
using namespace merrowfax::testing;

namespace {

constexpr int kClicks = 50;
constexpr int kLeadMs = 1000;
constexpr int kSpacingMs = 300;

void writeWav(const std::string& path, const std::vector<std::int16_t>& samples) {
    const auto wav = makeWav(kWireAudioFormat, samples);
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(wav.data()), static_cast<std::streamsize>(wav.size()));
}

// 5 ms of 1 kHz at half of full scale, every kSpacingMs after a lead.
std::vector<std::int16_t> clicks() {
    std::vector<std::int16_t> samples(16 * (kLeadMs + kClicks * kSpacingMs + 1000), 0);
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
    std::string word;
    long long ns;
    while (in >> word >> ns) {
        if (word == what) out.push_back(ns);
    }
    return out;
}

// User and system CPU seconds of a process so far.
double cpuSeconds(qint64 pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(stat, line);
    std::istringstream fields(line.substr(line.rfind(')') + 2));
    std::string skip;
    for (int i = 0; i < 11; ++i) fields >> skip;
    double user = 0, system = 0;
    fields >> user >> system;
    return (user + system) / static_cast<double>(sysconf(_SC_CLK_TCK));
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
            QStringLiteral("--audio-output"), QString::fromStdString("file:" + out)};
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    RelayProcess relay;
    QTemporaryDir dir;
    const std::string base = dir.path().toStdString() + "/";
    writeWav(base + "clicks.wav", clicks());
    writeWav(base + "quiet.wav", std::vector<std::int16_t>(16000, 0));

    qputenv("MERROWFAX_CLICK_LOG", QByteArray::fromStdString(base + "ann.log"));
    CliProcess ann(relay, devices(base + "clicks.wav", base + "ann-out.wav"));
    qputenv("MERROWFAX_CLICK_LOG", QByteArray::fromStdString(base + "ben.log"));
    CliProcess ben(relay, devices(base + "quiet.wav", base + "ben-out.wav"));
    qunsetenv("MERROWFAX_CLICK_LOG");
    numberOf(ann, "Ann", 1);
    const std::string benNumber = numberOf(ben, "Ben", 2);

    ann.command(R"({"cmd":"startCall","to":")" + benNumber + R"("})");
    ben.waitForChange("incoming", [](const rapidjson::Value& v) { return v.IsObject(); });
    ben.command(R"({"cmd":"answer"})");
    const double annBefore = cpuSeconds(ann.pid());
    const double benBefore = cpuSeconds(ben.pid());
    const int callMs = kLeadMs + kClicks * kSpacingMs + 500;
    spinUntil([] { return false; }, callMs);
    const double annCpu = cpuSeconds(ann.pid()) - annBefore;
    const double benCpu = cpuSeconds(ben.pid()) - benBefore;
    ann.command(R"({"cmd":"end"})");

    const auto captured = stamps(base + "ann.log", "capture");
    auto played = stamps(base + "ben.log", "play");
    std::vector<double> latencies;
    for (std::size_t i = 0; i < captured.size(); ++i) {
        const long long next =
            i + 1 < captured.size() ? captured[i + 1] : captured[i] + 1'000'000'000;
        auto it = std::find_if(played.begin(), played.end(),
                               [&](long long p) { return p >= captured[i] && p < next; });
        if (it != played.end()) latencies.push_back(static_cast<double>(*it - captured[i]) / 1e6);
    }
    std::sort(latencies.begin(), latencies.end());
    std::printf("clicks captured %zu, heard %zu\n", captured.size(), latencies.size());
    if (!latencies.empty()) {
        const auto at = [&](double q) {
            return latencies[std::min(
                latencies.size() - 1,
                static_cast<std::size_t>(q * static_cast<double>(latencies.size())))];
        };
        std::printf("latency ms: median %.1f  p95 %.1f  min %.1f  max %.1f\n", at(0.5), at(0.95),
                    latencies.front(), latencies.back());
    }
    const double seconds = callMs / 1000.0;
    std::printf("CPU during the call: Ann %.1f %%, Ben %.1f %% of one core\n",
                100 * annCpu / seconds, 100 * benCpu / seconds);
    return latencies.size() >= kClicks * 9 / 10 ? 0 : 1;
}
