#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "media/call_media.h"
#include "media/voice_encoder.h"
#include "media/walkie_talk.h"
#include "platform/audio_devices.h"
#include "platform/input_injector.h"
#include "platform/notifier.h"
#include "platform/screen_source.h"
#include "platform/sounds.h"
#include "transport/directory_lookup.h"
#include "transport/lan_transport.h"
#include "transport/net_transport.h"
#include "transport/service_address.h"

namespace merrowfax {

// The parts of the program the model drives, made once for the whole run by
// the composition root (composition/composition.h) or by a test. The
// defaults reach nothing and capture nothing. Whatever needs a system library
// (sound server, Avahi, FFmpeg) comes in through these members, so that the
// model library links none.
//
// Order of destruction, fixed by the destructor: the directory client first
// (its pending answers are dropped while everything else stands), then the
// engines (walkie, call media: their capture threads hand media to the
// transports until they stop), then the LAN link and the internet line, and
// last what only the main thread calls (notifier, sounds).
struct AppComponents {
    std::unique_ptr<NetTransport> line = std::make_unique<OfflineNetTransport>();
    std::unique_ptr<LanTransport> network = std::make_unique<NoLanTransport>();
    std::unique_ptr<CallMedia> media = std::make_unique<NoCallMedia>();
    std::unique_ptr<WalkieTalk> walkie = std::make_unique<NoWalkieTalk>();
    std::unique_ptr<Sounds> sounds = std::make_unique<SilentSounds>();
    std::unique_ptr<Notifier> notifier = std::make_unique<NoNotifier>();
    // Screen sharing: the main display and input into it.
    std::unique_ptr<ScreenSource> screen = std::make_unique<NoScreen>();
    std::unique_ptr<InputInjector> input = std::make_unique<NoInputInjector>();
    // The public directory, for the screens and the command-line client.
    std::unique_ptr<DirectoryLookup> directory = std::make_unique<NoDirectory>();
    // Opens the chosen microphone anew, for voice messages; none: they
    // never record.
    std::function<std::unique_ptr<AudioSource>()> microphone;
    // Makes the encoder of one voice message; none: they never record.
    MakeVoiceEncoder voiceEncoder;
    // Decodes a stored recording to wire audio (16 kHz mono 16-bit PCM) for
    // the walkie to play, or gives nothing; runs off the main thread. None:
    // stored recordings do not play.
    std::function<std::optional<std::vector<std::byte>>(const std::filesystem::path&)>
        decodeRecording;
    // Where the services are (the line and the directory already know).
    ServiceAddresses services;
    // Whether a window of the program is the active one.
    std::function<bool()> isActive = [] {
        return false;
    };
    // "iPhone", "iPad" or "Mac": a desktop computer reports "Mac".
    std::string deviceLabel = "Mac";
    // The secret identity of this computer for the relay service.
    std::string computerIdentity;
    // The fingerprint of the LAN certificate, which the service signs
    // statements of this device's number for; empty without a LAN link.
    std::string lanCertificate;

    AppComponents() = default;
    AppComponents(AppComponents&&) = default;
    AppComponents& operator=(AppComponents&&) = default;
    ~AppComponents() {
        directory.reset();
        walkie.reset();
        media.reset();
        network.reset();
        line.reset();
    }
};

}  // namespace merrowfax
