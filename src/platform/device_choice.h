#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/audio_devices.h"
#include "platform/camera.h"
#include "platform/sounds.h"

namespace merrowfax {

// Opening the devices a user (or a test) picked by name. Every function may
// be called again for each call: a device that went away and came back is
// found anew. None blocks for long or throws; a device that cannot be found
// gives nothing (the media engine then says the microphone did not start).

// The microphone named by `choice`:
// - empty: the system's default input;
// - "file:PATH.wav": that file played as the microphone in real time, looped;
// - otherwise a sound-server source by its system name or description.
std::unique_ptr<AudioSource> openMicrophone(const std::string& choice);

// The speaker named by `choice`:
// - empty: the system's default output;
// - "file:PATH.wav": what is heard is written to that WAV file (16 kHz mono);
// - otherwise a sound-server sink by its system name or description.
std::unique_ptr<AudioSink> openSpeaker(const std::string& choice);

// A sound-server device as a person picks it: either string works as a choice.
struct AudioDeviceInfo {
    std::string name;         // the server's system name
    std::string description;  // what a person reads
};
struct AudioDeviceList {
    std::vector<AudioDeviceInfo> inputs;  // sources, the monitors of outputs among them
    std::vector<AudioDeviceInfo> outputs;
};
// The devices of the running sound server; none where no server answers.
AudioDeviceList listAudioDevices();

// The camera named by `choice`: empty is the system's default camera,
// "pattern" the built-in moving test picture, otherwise a camera by its id or
// description. A machine without that camera gets one that is not available.
std::unique_ptr<Camera> openCamera(const std::string& choice);

// A camera of this machine, as a user may name it to openCamera().
struct CameraInfo {
    std::string id;
    std::string description;
    std::optional<CameraPosition> position;  // when the system knows it
    bool isDefault = false;
};
std::vector<CameraInfo> listCameras();

// The sounds of the desktop (the freedesktop sound theme); silent where no
// sound server runs.
std::unique_ptr<Sounds> makeDesktopSounds();

}  // namespace merrowfax
