#include "cli/device_commands.h"

#include <vector>

#include "cli/json_lines.h"
#include "platform/device_choice.h"

namespace merrowfax::cli {
namespace {

void writeAudio(JsonWriter& w, const std::vector<AudioDeviceInfo>& devices) {
    w.StartArray();
    for (const AudioDeviceInfo& device : devices) {
        w.StartObject();
        writeString(w, "name");
        writeString(w, device.name);
        writeString(w, "description");
        writeString(w, device.description);
        w.EndObject();
    }
    w.EndArray();
}

void writeCameras(JsonWriter& w, const std::vector<CameraInfo>& cameras) {
    w.StartArray();
    for (const CameraInfo& camera : cameras) {
        w.StartObject();
        writeString(w, "id");
        writeString(w, camera.id);
        writeString(w, "description");
        writeString(w, camera.description);
        if (camera.position) {
            writeString(w, "position");
            writeString(w, *camera.position == CameraPosition::front ? "front" : "back");
        }
        writeString(w, "default");
        w.Bool(camera.isDefault);
        w.EndObject();
    }
    w.EndArray();
}

}  // namespace

int runDevicesCommand() {
    const AudioDeviceList audio = listAudioDevices();
    const std::vector<CameraInfo> cameras = listCameras();
    JsonLine()
        .with("inputs", [&](JsonWriter& w) { writeAudio(w, audio.inputs); })
        .with("outputs", [&](JsonWriter& w) { writeAudio(w, audio.outputs); })
        .with("cameras", [&](JsonWriter& w) { writeCameras(w, cameras); })
        .print();
    return 0;
}

}  // namespace merrowfax::cli
