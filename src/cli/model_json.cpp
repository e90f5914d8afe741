#include "cli/model_json.h"

#include <array>
#include <memory>
#include <utility>

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

// Connects a change signal of the model or of one of its controllers.
template <typename Source, typename Signal>
auto watch(Source& (*source)(const AppModel&), Signal signal) {
    return [source, signal](const AppModel& m, QObject* context, std::function<void()> changed) {
        QObject::connect(&source(m), signal, context, std::move(changed));
    };
}

// The threads: a whole-list change or a new message is reported at once;
// status changes are gathered for the rest of the event-loop turn, so that a
// flush of many waiting texts writes the list once, not once per text.
void watchThreads(const AppModel& m, QObject* context, std::function<void()> changed) {
    const Messaging* chats = &m.messaging();
    QObject::connect(chats, &Messaging::threadsChanged, context, changed);
    QObject::connect(chats, &Messaging::messageAdded, context, changed);
    auto pending = std::make_shared<bool>(false);
    QObject::connect(chats, &Messaging::messageChanged, context, [context, changed, pending] {
        if (std::exchange(*pending, true)) return;
        QMetaObject::invokeMethod(
            context,
            [changed, pending] {
                *pending = false;
                changed();
            },
            Qt::QueuedConnection);
    });
}

const AppModel& model(const AppModel& m) {
    return m;
}
const People& people(const AppModel& m) {
    return m.people();
}
const AccountController& accounts(const AppModel& m) {
    return m.accounts();
}
const LinkController& linking(const AppModel& m) {
    return m.linking();
}
// The account as scripts see it: a linked computer's identity stays a secret.
std::string accountJson(Account account) {
    for (LinkedDevice& device : account.linkedDevices) device.computer.reset();
    return encodeAccount(account);
}
const DeskController& desk(const AppModel& m) {
    return m.desk();
}
const CallController& calls(const AppModel& m) {
    return m.calls();
}
const WalkieController& walkie(const AppModel& m) {
    return m.walkie();
}
const WalkieTalk& engine(const AppModel& m) {
    return m.walkie().engine();
}
const VoiceNotes& voice(const AppModel& m) {
    return m.voice();
}

// Each property: its name in the state, where its change signal is and how
// its value is written. The names are what scripts read; they stay.
#define MERROWFAX_PROPERTY(name, source, signal, writeValue)                \
    PublishedProperty {                                                     \
        name, watch(source, signal), [](JsonWriter& w, const AppModel& m) { \
            writeValue;                                                     \
        }                                                                   \
    }

const std::array kProperties = {
    MERROWFAX_PROPERTY("deviceId", model, &AppModel::deviceIdChanged, text(w, m.deviceId().text())),
    MERROWFAX_PROPERTY("account", model, &AppModel::accountChanged,
                       m.account() ? raw(w, accountJson(*m.account())) : (void)w.Null()),
    MERROWFAX_PROPERTY("linkStatus", linking, &LinkController::linkStatusChanged,
                       text(w, m.linking().linkStatus())),
    MERROWFAX_PROPERTY("hostedLinkCode", linking, &LinkController::hostedLinkCodeChanged,
                       optionalText(w, m.linking().hostedLinkCode())),
    MERROWFAX_PROPERTY("deskShareTo", desk, &DeskController::shareChanged,
                       optionalText(w, m.desk().deskShareTo())),
    MERROWFAX_PROPERTY("deskControl", desk, &DeskController::shareChanged,
                       w.Bool(m.desk().deskControl())),
    MERROWFAX_PROPERTY("deskWatchFrom", desk, &DeskController::watchChanged,
                       optionalText(w, m.desk().deskWatchFrom())),
    MERROWFAX_PROPERTY("deskWatchName", desk, &DeskController::watchChanged,
                       text(w, m.desk().deskWatchName())),
    MERROWFAX_PROPERTY("deskHostKind", desk, &DeskController::watchChanged,
                       text(w, m.desk().deskHostKind())),
    MERROWFAX_PROPERTY("deskCanControl", desk, &DeskController::watchChanged,
                       w.Bool(m.desk().deskCanControl())),
    MERROWFAX_PROPERTY("contacts", people, &People::contactsChanged,
                       raw(w, encodeContacts(m.people().contacts()))),
    PublishedProperty{"threads", watchThreads,
                      [](JsonWriter& w, const AppModel& m) {
                          raw(w, encodeThreads(m.messaging().threads()));
                      }},
    MERROWFAX_PROPERTY("calls", model, &AppModel::callListChanged,
                       raw(w, encodeCalls(m.callList()))),
    MERROWFAX_PROPERTY("directory", people, &People::directoryChanged,
                       raw(w, encodeDirectory(m.people().directory()))),
    MERROWFAX_PROPERTY("online", model, &AppModel::onlineChanged,
                       {
                           w.StartArray();
                           for (const auto& n : m.online()) text(w, n);
                           w.EndArray();
                       }),
    MERROWFAX_PROPERTY("incoming", calls, &CallController::incomingChanged,
                       incoming(w, m.calls().incoming())),
    MERROWFAX_PROPERTY("active", calls, &CallController::activeChanged,
                       active(w, m.calls().active())),
    MERROWFAX_PROPERTY("alertMessage", model, &AppModel::alertMessageChanged,
                       optionalText(w, m.alertMessage())),
    MERROWFAX_PROPERTY("onNetworkCount", model, &AppModel::onNetworkCountChanged,
                       w.Int(m.onNetworkCount())),
    MERROWFAX_PROPERTY("incomingTalk", walkie, &WalkieController::incomingTalkChanged,
                       optionalText(w, m.walkie().incomingTalk())),
    MERROWFAX_PROPERTY("holdingTalk", walkie, &WalkieController::holdingTalkChanged,
                       w.Bool(m.walkie().holdingTalk())),
    MERROWFAX_PROPERTY("talkTarget", walkie, &WalkieController::talkTargetChanged,
                       optionalText(w, m.walkie().talkTarget())),
    MERROWFAX_PROPERTY("walkiePartner", walkie, &WalkieController::partnerChanged,
                       optionalText(w, m.walkie().partner())),
    MERROWFAX_PROPERTY("restoring", model, &AppModel::restoringChanged, w.Bool(m.restoring())),
    MERROWFAX_PROPERTY("hasPin", accounts, &AccountController::hasPinChanged,
                       w.Bool(m.accounts().hasPin())),
    MERROWFAX_PROPERTY("lockScreenTalk", walkie, &WalkieController::lockScreenTalkChanged,
                       w.Bool(m.walkie().lockScreenTalk())),
    MERROWFAX_PROPERTY("walkieContactsOnly", walkie, &WalkieController::contactsOnlyChanged,
                       w.Bool(m.walkie().contactsOnly())),
    MERROWFAX_PROPERTY("recording", voice, &VoiceNotes::recordingChanged,
                       w.Bool(m.voice().recording())),
    MERROWFAX_PROPERTY(
        "recordingFor", voice, &VoiceNotes::recordingChanged,
        optionalText(
            w, m.voice().recording() ? std::optional(m.voice().recordingFor()) : std::nullopt)),
    // The walkie bar as a window shows it: who is heard, and its line.
    MERROWFAX_PROPERTY("hearing", engine, &WalkieTalk::hearingChanged,
                       text(w, m.walkie().engine().hearing().toStdString())),
    MERROWFAX_PROPERTY("walkieStatus", engine, &WalkieTalk::statusChanged,
                       text(w, m.walkie().engine().status().toStdString())),
};

#undef MERROWFAX_PROPERTY

// The watched screen's newest picture: its size and the frames shown. Not
// a published property: it changes with every frame.
void writeDeskImage(JsonWriter& w, const DeskController& desk) {
    text(w, "deskImage");
    w.StartObject();
    text(w, "width");
    w.Int(desk.deskImage().width());
    text(w, "height");
    w.Int(desk.deskImage().height());
    text(w, "frames");
    w.Int(desk.framesShown());
    w.EndObject();
}

}  // namespace

std::span<const PublishedProperty> publishedProperties() {
    return kProperties;
}

void writeState(JsonWriter& w, const AppModel& model, const PeerLink* lan) {
    w.StartObject();
    for (const PublishedProperty& p : kProperties) {
        text(w, p.name);
        p.write(w, model);
    }
    writeDeskImage(w, model.desk());
    writeMedia(w, model.calls().media());
    text(w, "transmitting");
    w.Bool(model.walkie().engine().transmitting());
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
