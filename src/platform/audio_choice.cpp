#include "platform/device_choice.h"
#include "platform/file_microphone.h"
#include "platform/pulse_audio.h"
#include "platform/timings.h"

namespace merrowfax {
namespace {

constexpr std::string_view kFilePrefix = "file:";

}  // namespace

std::unique_ptr<AudioSource> openMicrophone(const std::string& choice) {
    if (choice.starts_with(kFilePrefix)) {
        return FileMicrophone::fromWav(choice.substr(kFilePrefix.size()));
    }
    return openPulseMicrophone(choice);
}

std::unique_ptr<AudioSink> openSpeaker(const std::string& choice) {
    if (choice.starts_with(kFilePrefix)) {
        return std::make_unique<WavFileSpeaker>(choice.substr(kFilePrefix.size()));
    }
    return openPulseSpeaker(choice);
}

AudioDeviceList listAudioDevices() {
    AudioDeviceList list;
    auto connection = PulseConnection::open(timings().soundServer);
    if (!connection) return list;
    PulseLock lock(*connection);
    const auto add = [&](PulseDirection direction, std::vector<AudioDeviceInfo>& into) {
        const auto devices = listPulseDevices(*connection, direction, timings().soundServer);
        if (!devices) return;
        for (const auto& d : *devices) into.push_back({d.name, d.description});
    };
    add(PulseDirection::input, list.inputs);
    add(PulseDirection::output, list.outputs);
    return list;
}

}  // namespace merrowfax
