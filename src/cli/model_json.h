#pragma once

#include <functional>
#include <span>

#include "app/app_model.h"
#include "cli/json_lines.h"
#include "transport/peer_link.h"

namespace merrowfax::cli {

// One published property of the model or of a controller it owns: its name,
// how to follow its changes and how its value is written (records in their
// stored JSON shape).
struct PublishedProperty {
    const char* name;
    std::function<void(const AppModel& model, QObject* context, std::function<void()> changed)>
        watch;
    void (*write)(JsonWriter& writer, const AppModel& model);
};

// Every published property, in declaration order.
std::span<const PublishedProperty> publishedProperties();

// Every published property as one object, by name, the call media's state
// (muted, speakerOn, videoOn, audioReady, remoteImage) and whether the walkie
// transmits. `lan`: the LAN link whose devices are listed as "lanPeers"
// (none without it).
void writeState(JsonWriter& writer, const AppModel& model, const PeerLink* lan = nullptr);

}  // namespace merrowfax::cli
