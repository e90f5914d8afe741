#include "platform/device_choice.h"

namespace merrowfax {
namespace {

constexpr std::string_view kFilePrefix = "file:";

}  // namespace

// Stand-ins until the sound-server devices land: only the file devices.
std::unique_ptr<AudioSource> openMicrophone(const std::string& choice) {
    if (!choice.starts_with(kFilePrefix)) return nullptr;
    return ClipMicrophone::fromWav(choice.substr(kFilePrefix.size()));
}

std::unique_ptr<AudioSink> openSpeaker(const std::string& choice) {
    if (!choice.starts_with(kFilePrefix)) return nullptr;
    return std::make_unique<WavFileSpeaker>(choice.substr(kFilePrefix.size()));
}

}  // namespace merrowfax
