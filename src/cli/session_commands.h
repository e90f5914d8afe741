#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace merrowfax::cli {

// The devices calls use (`--audio-input`, `--audio-output`, `--camera`, by
// the names of platform/device_choice.h) and whether sounds play
// (`--sounds`). Without them a call has no microphone and is silent.
struct CallDevices {
    std::string audioInput;
    std::string audioOutput;
    std::string camera;
    bool sounds = false;
};

// Where one run keeps its data and its computer identity: `--data DIR` for
// both, or the user's data and config folders (no identity folder); and the
// devices it calls with.
struct Installation {
    std::filesystem::path dataFolder;
    std::optional<std::filesystem::path> identityFolder;
    CallDevices devices;
    bool lan = true;  // --no-lan turns the LAN link off
};
Installation installationAt(const std::optional<std::filesystem::path>& dataFolder);

// `run`: JSON commands on standard input, replies and events on output.
int runSession(const Installation& installation);
// `send TO TEXT`: exit 0 once the text is sent, 2 when it still waits
// after 10 seconds.
int runSend(const Installation& installation, const std::string& to, const std::string& text);
// `state`: every published property as one line.
int runState(const Installation& installation);

}  // namespace merrowfax::cli
