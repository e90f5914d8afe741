// Walkie latency: Ann presses the talk button with her microphone already
// sounding (a looped tone), Ben hears her through the relay on loopback; two
// merrowfax-cli processes with WAV files as devices, at the programs' own
// pace (a shortened time scale would shorten the tap delay too). Each client
// stamps walkie moments on the steady clock (MERROWFAX_CLICK_LOG): Ann when
// her engine takes the press (as holdTalk is handled) and when the first
// captured chunk goes out, Ben when the first chunk of the talk is queued to
// play and when its first sample is handed to his speaker, after the opening
// static.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <numbers>
#include <optional>

#include "cli_process.h"
#include "platform/wav_file.h"

using namespace merrowfax;
using namespace merrowfax::testing;

namespace {

constexpr int kPresses = 30;
constexpr int kHoldMs = 500;
// After the release Ben's hearing ends 2 s after the last chunk (1.2 s of
// silence, the closing static, 0.8 s more): each press is a talk of its own.
constexpr int kPauseMs = 2600;

void writeWav(const std::string& path, const std::vector<std::int16_t>& samples) {
    const auto wav = makeWav(kWireAudioFormat, samples);
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(wav.data()), static_cast<std::streamsize>(wav.size()));
}

// 2 s of 440 Hz at a quarter of full scale; the microphone loops it.
std::vector<std::int16_t> tone() {
    std::vector<std::int16_t> samples(32000);
    for (std::size_t i = 0; i < samples.size(); ++i) {
        samples[i] = static_cast<std::int16_t>(
            8192 * std::sin(2 * std::numbers::pi * 440 * static_cast<double>(i) / 16000));
    }
    return samples;
}

// Runs the event loop until `ms` milliseconds after the start of `clock`,
// asleep between events: a busy wait would take a core from the clients on a
// small machine.
void waitUntil(const QElapsedTimer& clock, qint64 ms) {
    const qint64 left = ms - clock.elapsed();
    if (left <= 0) return;
    QEventLoop loop;
    QTimer::singleShot(static_cast<int>(left), Qt::PreciseTimer, &loop, &QEventLoop::quit);
    loop.exec();
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

// The first of `times` in [from, to).
std::optional<long long> firstIn(const std::vector<long long>& times, long long from,
                                 long long to) {
    auto it =
        std::find_if(times.begin(), times.end(), [&](long long t) { return t >= from && t < to; });
    if (it == times.end()) return std::nullopt;
    return *it;
}

std::string numberOf(CliProcess& cli, const char* name, int city) {
    auto reply =
        cli.command(std::string(R"({"cmd":"newNumber","name":")") + name +
                    R"(","country":"0","city":)" + std::to_string(city) + R"(,"pin":"1234"})");
    cli.waitForChange("hasPin", [](const rapidjson::Value& v) { return v.IsTrue(); });
    return reply.IsObject() && reply.HasMember("number") ? reply["number"].GetString() : "";
}

bool ok(const rapidjson::Document& reply) {
    return reply.IsObject() && reply.HasMember("ok") && reply["ok"].IsTrue();
}

QStringList devices(const std::string& in, const std::string& out) {
    return {QStringLiteral("--audio-input"), QString::fromStdString("file:" + in),
            QStringLiteral("--audio-output"), QString::fromStdString("file:" + out)};
}

void printRow(const char* what, std::vector<double> ms) {
    std::sort(ms.begin(), ms.end());
    if (ms.empty()) {
        std::printf("%-34s %8s %8s %8s %8s %4d\n", what, "-", "-", "-", "-", 0);
        return;
    }
    const auto at = [&](double q) {
        return ms[std::min(ms.size() - 1,
                           static_cast<std::size_t>(q * static_cast<double>(ms.size())))];
    };
    std::printf("%-34s %8.1f %8.1f %8.1f %8.1f %4zu\n", what, at(0.5), at(0.95), ms.front(),
                ms.back(), ms.size());
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    RelayProcess relay;
    QTemporaryDir dir;
    const std::string base = dir.path().toStdString() + "/";
    writeWav(base + "tone.wav", tone());
    writeWav(base + "quiet.wav", std::vector<std::int16_t>(16000, 0));

    const auto pace = CliProcess::Pace::Real;
    qputenv("MERROWFAX_CLICK_LOG", QByteArray::fromStdString(base + "ann.log"));
    CliProcess ann(relay, devices(base + "tone.wav", base + "ann-out.wav"), pace);
    qputenv("MERROWFAX_CLICK_LOG", QByteArray::fromStdString(base + "ben.log"));
    CliProcess ben(relay, devices(base + "quiet.wav", base + "ben-out.wav"), pace);
    qunsetenv("MERROWFAX_CLICK_LOG");
    numberOf(ann, "Ann", 1);
    const std::string benNumber = numberOf(ben, "Ben", 2);
    if (benNumber.empty()) {
        std::fprintf(stderr, "Ben has no number\n");
        return 1;
    }

    const std::string hold = R"({"cmd":"holdTalk","to":")" + benNumber + R"("})";
    const std::string release = R"({"cmd":"endTalk","to":")" + benNumber + R"("})";
    int refused = 0;
    for (int i = 0; i < kPresses; ++i) {
        QElapsedTimer cycle;
        cycle.start();
        if (!ok(ann.command(hold))) ++refused;
        waitUntil(cycle, kHoldMs);
        ann.command(release);
        waitUntil(cycle, kHoldMs + kPauseMs);
    }

    const auto pressed = stamps(base + "ann.log", "walkie-press");
    const auto sent = stamps(base + "ann.log", "walkie-sent");
    const auto queued = stamps(base + "ben.log", "walkie-queued");
    const auto played = stamps(base + "ben.log", "walkie-played");
    std::vector<double> toSent, toQueued, toPlayed;
    const auto ms = [](long long from, long long to) {
        return static_cast<double>(to - from) / 1e6;
    };
    for (std::size_t i = 0; i < pressed.size(); ++i) {
        const long long from = pressed[i];
        const long long to = i + 1 < pressed.size() ? pressed[i + 1] : from + 3'000'000'000LL;
        if (auto t = firstIn(sent, from, to)) toSent.push_back(ms(from, *t));
        if (auto t = firstIn(queued, from, to)) toQueued.push_back(ms(from, *t));
        if (auto t = firstIn(played, from, to)) {
            toPlayed.push_back(ms(from, *t));
        } else {
            std::fprintf(stderr, "press %zu not heard: sent %s, queued %s\n", i + 1,
                         firstIn(sent, from, to) ? "yes" : "no",
                         firstIn(queued, from, to) ? "yes" : "no");
        }
    }

    std::printf("walkie presses %zu (refused %d), heard %zu; held %d ms, %d ms apart\n",
                pressed.size(), refused, toPlayed.size(), kHoldMs, kHoldMs + kPauseMs);
    std::printf("%-34s %8s %8s %8s %8s %4s\n", "from the press, ms", "median", "p95", "min", "max",
                "n");
    printRow("Ann's first chunk sent", toSent);
    printRow("Ben: first voice chunk queued", toQueued);
    printRow("Ben: first voice sample played", toPlayed);
    std::printf(
        "(the press: Ann's engine takes holdTalk; played: handed to Ben's speaker,\n"
        " behind the 0.4 s of static that opens every heard talk)\n");
    return toPlayed.size() >= kPresses * 9 / 10 ? 0 : 1;
}
