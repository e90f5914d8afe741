#include "cli/model_json.h"

#include <array>

#include "base/json_number.h"
#include "model/record_json.h"

namespace merrowfax::cli {
namespace {

void raw(JsonWriter& w, const std::string& json) {
    w.RawValue(json.data(), json.size(), rapidjson::kObjectType);
}

void text(JsonWriter& w, const std::string& s) {
    writeString(w, s);
}

void optionalText(JsonWriter& w, const std::optional<std::string>& s) {
    if (s) {
        writeString(w, *s);
    } else {
        w.Null();
    }
}

void incoming(JsonWriter& w, const std::optional<IncomingCall>& call) {
    if (!call) return (void)w.Null();
    w.StartObject();
    text(w, "id");
    text(w, call->id.text());
    text(w, "number");
    text(w, call->number);
    text(w, "name");
    text(w, call->name);
    text(w, "video");
    w.Bool(call->video);
    text(w, "peerKey");
    text(w, call->peerKey);
    w.EndObject();
}

void active(JsonWriter& w, const std::optional<ActiveCall>& call) {
    if (!call) return (void)w.Null();
    w.StartObject();
    text(w, "id");
    text(w, call->id.text());
    text(w, "number");
    text(w, call->number);
    text(w, "name");
    text(w, call->name);
    text(w, "video");
    w.Bool(call->video);
    text(w, "outgoing");
    w.Bool(call->outgoing);
    text(w, "phase");
    writeString(w, wordOf(call->phase));
    if (call->startedAt) {
        text(w, "startedAt");
        json::writeShortestDouble(w, *call->startedAt);
    }
    if (call->peerKey) {
        text(w, "peerKey");
        text(w, *call->peerKey);
    }
    w.EndObject();
}

// The call media's state, as members of the state object. The picture is
// its size and the number decoded in this call.
void writeMedia(JsonWriter& w, const CallMedia& media) {
    text(w, "muted");
    w.Bool(media.muted());
    text(w, "speakerOn");
    w.Bool(media.speakerOn());
    text(w, "videoOn");
    w.Bool(media.videoOn());
    text(w, "audioReady");
    w.Bool(media.audioReady());
    text(w, "remoteImage");
    w.StartObject();
    text(w, "width");
    w.Int(media.remoteImage().width());
    text(w, "height");
    w.Int(media.remoteImage().height());
    text(w, "frames");
    w.Int(media.remoteFrames());
    w.EndObject();
}

// The walkie engine's state, as members of the state object.
void writeWalkie(JsonWriter& w, const WalkieTalk& walkie) {
    text(w, "transmitting");
    w.Bool(walkie.transmitting());
    text(w, "hearing");
    text(w, walkie.hearing().toStdString());
    text(w, "walkieStatus");
    text(w, walkie.status().toStdString());
}

// The signal and the value of each property, by name.
#define MERROWFAX_PROPERTY(name, writeValue)                                     \
    PublishedProperty {                                                          \
#name, &AppModel::name##Changed, [](JsonWriter & w, const AppModel& m) { \
            writeValue;                                                          \
        }                                                                        \
    }

const std::array kProperties = {
    MERROWFAX_PROPERTY(deviceId, text(w, m.deviceId().text())),
    MERROWFAX_PROPERTY(account, m.account() ? raw(w, encodeAccount(*m.account())) : (void)w.Null()),
    MERROWFAX_PROPERTY(contacts, raw(w, encodeContacts(m.contacts()))),
    MERROWFAX_PROPERTY(threads, raw(w, encodeThreads(m.threads()))),
    MERROWFAX_PROPERTY(calls, raw(w, encodeCalls(m.calls()))),
    MERROWFAX_PROPERTY(directory, raw(w, encodeDirectory(m.directory()))),
    MERROWFAX_PROPERTY(online,
                       {
                           w.StartArray();
                           for (const auto& n : m.online()) text(w, n);
                           w.EndArray();
                       }),
    MERROWFAX_PROPERTY(incoming, incoming(w, m.incoming())),
    MERROWFAX_PROPERTY(active, active(w, m.active())),
    MERROWFAX_PROPERTY(alertMessage, optionalText(w, m.alertMessage())),
    MERROWFAX_PROPERTY(linkStatus, text(w, m.linkStatus())),
    MERROWFAX_PROPERTY(hostedLinkCode, optionalText(w, m.hostedLinkCode())),
    MERROWFAX_PROPERTY(onNetworkCount, w.Int(m.onNetworkCount())),
    MERROWFAX_PROPERTY(incomingTalk, optionalText(w, m.incomingTalk())),
    MERROWFAX_PROPERTY(holdingTalk, w.Bool(m.holdingTalk())),
    MERROWFAX_PROPERTY(talkTarget, optionalText(w, m.talkTarget())),
    MERROWFAX_PROPERTY(walkiePartner, optionalText(w, m.walkiePartner())),
    MERROWFAX_PROPERTY(restoring, w.Bool(m.restoring())),
    MERROWFAX_PROPERTY(hasPin, w.Bool(m.hasPin())),
    MERROWFAX_PROPERTY(lockScreenTalk, w.Bool(m.lockScreenTalk())),
    MERROWFAX_PROPERTY(walkieContactsOnly, w.Bool(m.walkieContactsOnly())),
    MERROWFAX_PROPERTY(deskShareTo, optionalText(w, m.deskShareTo())),
    MERROWFAX_PROPERTY(deskControl, w.Bool(m.deskControl())),
    MERROWFAX_PROPERTY(deskWatchFrom, optionalText(w, m.deskWatchFrom())),
    MERROWFAX_PROPERTY(deskWatchName, text(w, m.deskWatchName())),
    MERROWFAX_PROPERTY(deskCanControl, w.Bool(m.deskCanControl())),
    MERROWFAX_PROPERTY(deskHostKind, text(w, m.deskHostKind())),
};

#undef MERROWFAX_PROPERTY

}  // namespace

std::span<const PublishedProperty> publishedProperties() {
    return kProperties;
}

void writeState(JsonWriter& w, const AppModel& model, const VoiceNotes* voice,
                const PeerLink* lan) {
    w.StartObject();
    for (const PublishedProperty& p : kProperties) {
        text(w, p.name);
        p.write(w, model);
    }
    text(w, "recording");
    w.Bool(voice && voice->recording());
    text(w, "recordingFor");
    optionalText(w,
                 voice && voice->recording() ? std::optional(voice->recordingFor()) : std::nullopt);
    writeMedia(w, model.media());
    writeWalkie(w, model.walkieEngine());
    text(w, "lanPeers");
    w.StartArray();
    if (lan) {
        for (const PeerLink::PeerInfo& peer : lan->peerList()) {
            w.StartObject();
            text(w, "key");
            text(w, peer.key);
            text(w, "number");
            text(w, peer.number);
            text(w, "name");
            text(w, peer.name);
            text(w, "connected");
            w.Bool(peer.connected);
            w.EndObject();
        }
    }
    w.EndArray();
    w.EndObject();
}

}  // namespace merrowfax::cli
