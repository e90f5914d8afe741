#pragma once

#include <span>

#include "app/app_model.h"
#include "app/voice_notes.h"
#include "cli/json_lines.h"
#include "transport/peer_link.h"

namespace merrowfax::cli {

// One published property of the model: its name, its change signal and how
// its value is written (records in their stored JSON shape).
struct PublishedProperty {
    const char* name;
    void (AppModel::*changed)();
    void (*write)(JsonWriter& writer, const AppModel& model);
};

// Every published property, in declaration order.
std::span<const PublishedProperty> publishedProperties();

// Every published property as one object, by name, and the call media's
// state (muted, speakerOn, videoOn, audioReady, remoteImage).
// `voice`: whose voice message is being recorded ("recording" and
// "recordingFor", the number or null); `lan`: the LAN link whose devices are
// listed as "lanPeers" (none without it).
void writeState(JsonWriter& writer, const AppModel& model, const VoiceNotes* voice = nullptr,
                const PeerLink* lan = nullptr);

}  // namespace merrowfax::cli
