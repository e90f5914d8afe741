// What the sound server grants our voice streams and the latency it reports.
// Runs on the server that answers (PULSE_SERVER or the session's), else on a
// private PulseAudio whose pipe source and null sink stand in for hardware.
#include <benchmark/benchmark.h>

#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "platform/device_choice.h"
#include "platform/pulse_audio.h"
#include "support/pulse_server.h"

namespace merrowfax {
namespace {

using namespace std::chrono_literals;

double ms(std::uint32_t bytes, AudioFormat format) {
    return bytes == static_cast<std::uint32_t>(-1)
               ? -1
               : 1000.0 * bytes / (format.sampleRate * format.bytesPerFrame());
}

double ms(const std::optional<std::chrono::microseconds>& latency) {
    return latency ? latency->count() / 1000.0 : -1;
}

void BM_VoiceStreams(benchmark::State& state) {
    std::unique_ptr<testing::PulseServer> server;
    auto devices = listAudioDevices();
    if (devices.inputs.empty() || devices.outputs.empty()) {
        if (!testing::PulseServer::available()) {
            state.SkipWithError("no sound server and no pulseaudio to start one");
            return;
        }
        server = std::make_unique<testing::PulseServer>();
    }
    for (auto _ : state) {
        auto microphone = openPulseMicrophone("");
        auto speaker = openPulseSpeaker("");
        if (!microphone || !speaker || !microphone->start([](auto) {}) || !speaker->start()) {
            state.SkipWithError("the default devices did not start");
            return;
        }
        // A second of a call's playback so the timing information settles.
        std::vector<std::int16_t> chunk(320);
        std::optional<PulseStreamReport> in, out;
        auto next = std::chrono::steady_clock::now();
        for (int i = 0; i < 50; ++i) {
            speaker->play(chunk);
            if (i == 40) {
                in = microphone->report();
                out = speaker->report();
            }
            next += 20ms;
            std::this_thread::sleep_until(next);
        }
        if (!in || !out) {
            state.SkipWithError("no report");
            return;
        }
        state.counters["mic_fragsize_ms"] = ms(in->granted.fragsize, microphone->format());
        state.counters["mic_latency_ms"] = ms(in->latency);
        state.counters["spk_tlength_ms"] = ms(out->granted.tlength, kWireAudioFormat);
        state.counters["spk_prebuf_ms"] = ms(out->granted.prebuf, kWireAudioFormat);
        state.counters["spk_minreq_ms"] = ms(out->granted.minreq, kWireAudioFormat);
        state.counters["spk_latency_ms"] = ms(out->latency);
        state.counters["spk_underruns"] = static_cast<double>(speaker->underruns());
        microphone->stop();
        speaker->stop();
    }
}
BENCHMARK(BM_VoiceStreams)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace merrowfax
