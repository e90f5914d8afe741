#include "composition/composition.h"

#include <cstdlib>
#include <string_view>

#include "media/aac_voice_encoder.h"
#include "media/audio_file_decoder.h"
#include "media/device_call_media.h"
#include "media/device_walkie_talk.h"
#include "platform/computer_identity.h"
#include "platform/device_choice.h"
#include "platform/paths.h"
#include "platform/x11_input.h"
#include "platform/x11_screen.h"
#include "transport/avahi_discovery.h"
#include "transport/directory_client.h"
#include "transport/internet_line.h"
#include "transport/lan_identity.h"
#include "transport/peer_link.h"
#include "transport/service_key.h"

namespace merrowfax {

Composition compose(FrontEnd front) {
    Composition made;
    AppComponents& parts = made.components;
    parts.services = serviceAddresses();

    auto line = std::make_unique<InternetLine>(parts.services.service);
    made.line = line.get();
    parts.line = std::move(line);
    parts.directory = std::make_unique<DirectoryClient>(parts.services.service);
    // Calls, the walkie and voice messages each open the chosen devices
    // when they need them.
    parts.microphone = [choice = front.audioInput] {
        return openMicrophone(choice);
    };
    const auto speaker = [choice = front.audioOutput] {
        return openSpeaker(choice);
    };
    DeviceCallMedia::Devices devices;
    devices.microphone = parts.microphone;
    devices.speaker = speaker;
    devices.camera = openCamera(front.camera);
    parts.media = std::make_unique<DeviceCallMedia>(std::move(devices));
    parts.walkie = std::make_unique<DeviceWalkieTalk>(
        DeviceWalkieTalk::Devices{.microphone = parts.microphone, .speaker = speaker});
    parts.voiceEncoder = makeAacVoiceEncoder;
    parts.decodeRecording = [](const std::filesystem::path& file) {
        return decodeAudioFile(file);
    };
    if (front.sounds) parts.sounds = makeDesktopSounds();
    // Screen sharing where there is an X server (checked when a share starts);
    // under Wayland an X server shows only its own clients, so none is used.
    const char* session = std::getenv("XDG_SESSION_TYPE");
    if (std::getenv("DISPLAY") && !(session && std::string_view(session) == "wayland")) {
        parts.screen = std::make_unique<X11Screen>();
        parts.input = std::make_unique<X11Input>();
    }

    parts.notifier = front.notifier ? std::move(front.notifier) : makeDesktopNotifier();
    if (front.isActive) parts.isActive = std::move(front.isActive);
    parts.computerIdentity =
        front.identityFolder ? computerIdentityIn(*front.identityFolder) : computerIdentity();
    if (front.lan) {
        // The LAN certificate is kept beside the computer identity.
        const std::filesystem::path folder =
            front.identityFolder ? *front.identityFolder : configFolder();
        auto identity = loadOrCreateLanIdentity(folder / "lan-identity.pem");
        if (identity) parts.lanCertificate = identity->fingerprint;
        auto link =
            std::make_unique<PeerLink>(std::make_unique<AvahiDiscovery>(), std::move(identity));
        // Peers' numbers are proven by the service's statements: its key is
        // pinned, or fetched from it once.
        const std::filesystem::path keyFile = folder / "service-key";
        if (const auto key = pinnedServiceKey(keyFile)) {
            link->setServiceKey(*key);
        } else if (parts.services.service) {
            link->fetchServiceKey(keyUrl(*parts.services.service), keyFile);
        }
        made.lan = link.get();
        parts.network = std::move(link);
    }
    return made;
}

}  // namespace merrowfax
