#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>

#include "app/app_components.h"
#include "platform/notifier.h"

namespace merrowfax {

class InternetLine;

// What differs between the window and the command-line client.
struct FrontEnd {
    // Where notifications go; nothing: the desktop's notification service.
    std::unique_ptr<Notifier> notifier;
    // Whether a window of the program is the active one; nothing: never.
    std::function<bool()> isActive;
    // The folder of this installation's computer identity; nothing: the
    // user's config folder, so that every window of the user is one computer.
    std::optional<std::filesystem::path> identityFolder;
};

struct Composition {
    AppComponents components;
    // The line in `components`, for a front end that waits for registration.
    InternetLine* line = nullptr;
};

// The composition root: builds the components of a run, for the window and
// the command-line client alike. The service addresses are read here, once
// (MERROWFAX_SERVICE or the address built in), and the line and the
// directory client get theirs from them. Call media and the walkie are the
// stand-ins until their engines land; they will take their devices from
// platform/ here.
Composition compose(FrontEnd front);

}  // namespace merrowfax
