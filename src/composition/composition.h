#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "app/app_components.h"
#include "platform/audio_devices.h"
#include "platform/notifier.h"

namespace merrowfax {

class InternetLine;
class PeerLink;

// What differs between the window and the command-line client.
struct FrontEnd {
    // Where notifications go; nothing: the desktop's notification service.
    std::unique_ptr<Notifier> notifier;
    // Whether a window of the program is the active one; nothing: never.
    std::function<bool()> isActive;
    // The folder of this installation's computer identity; nothing: the
    // user's config folder, so that every window of the user is one computer.
    std::optional<std::filesystem::path> identityFolder;
    // The devices of calls by name (platform/device_choice.h); empty: the
    // system's defaults.
    std::string audioInput;
    std::string audioOutput;
    std::string camera;
    // Whether the desktop's sounds play; otherwise the program is silent.
    bool sounds = false;
    // Whether devices on the same network are found and talked to directly.
    bool lan = true;
};

struct Composition {
    AppComponents components;
    // The line in `components`, for a front end that waits for registration.
    InternetLine* line = nullptr;
    // The LAN link in `components`; null when the front end turned it off.
    PeerLink* lan = nullptr;
};

// The composition root: builds the components of a run, for the window and
// the command-line client alike, from the real backends (the sound server,
// cameras, Avahi, FFmpeg), which no other library of the program links. The service addresses are
// read here, once (MERROWFAX_SERVICE or the address built in), and the line and the directory
// client get theirs from them. Call media, the walkie and voice messages open the devices the front
// end names.
Composition compose(FrontEnd front);

}  // namespace merrowfax
