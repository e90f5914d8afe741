#include "base/privacy_text.h"

#include <array>

namespace merrowfax::privacy {
namespace {

constexpr std::array kSections = std::to_array<Section>({
    {"Text, photos, and files",
     "You can send text, emoji from the keyboard, photos, and files to another Merrowfax number. "
     "Merrowfax does not send carrier SMS."},
    {"Camera and microphone",
     "The camera is used for video calls and to scan a contact QR code. The microphone is used for "
     "phone calls and walkie-talkie. Walkie audio is played on the loud speaker."},
    {"Screen in a chat",
     "Either person in a chat can share their screen with the other. An iPhone, iPad, or Mac can "
     "watch. On a Mac, the mouse and keyboard stay off until the person at that Mac allows the "
     "friend to control it. An iPhone or iPad can be watched from the other phone, iPad, or Mac. "
     "Apple does not let another person tap or type on an iPhone or iPad. The screen is not "
     "saved."},
    {"Contacts",
     "You add a person by typing their Merrowfax number or by scanning the QR code on their phone. "
     "Your own QR code shows your name and virtual number."},
    {"Directory",
     "The Directory tab is a phone book. You open one letter at a time, and each screen is one "
     "page of names. Search uses the start of a name or the start of a number. A business account "
     "is listed under the business name and marked as a business. You choose Personal or Business "
     "when you get a number, and you can change it in Settings. The directory does not show your "
     "IP address, connection city, computer, or PIN."},
    {"Calls and walkie",
     "Voice and video calls use the iPhone call screen, including when Merrowfax is in the "
     "background. Walkie-talkie plays on the speaker. The lock screen button can be turned off in "
     "Settings. A fully force-quit phone rings for a call when the Merrowfax call server sends the "
     "wake-up."},
    {"Your number",
     "You choose a country and a city. Merrowfax assigns the local digits. You choose a 4-digit "
     "PIN. Canada numbers look like 0-1-234-5678. United States numbers look like 1-1-222-2222. "
     "Other countries use their own code, so London looks like 44-1-234-5678. The number works "
     "inside Merrowfax. It is not a carrier line. Putting that number on another phone requires "
     "the PIN. The PIN is stored as a hash with the number."},
    {"How text and calls move",
     "Calls and texts go over the internet while both people have Merrowfax open. The relay "
     "service forwards the live call, text, or walkie between the two phones. On the same Wi-Fi, "
     "phones can also reach each other directly; the local network carries messages only between "
     "devices whose numbers the service has confirmed within the last 14 days. Messages stay on "
     "the phones in the conversation. "
     "We keep the virtual number, the profile name, the kind of device (iPhone, iPad, or Mac), "
     "when the number was first and last seen, and how many calls it placed and answered. Call "
     "audio and message contents are not stored. Merrowfax uses no tracking SDK."},
    {"Linked devices",
     "You can link another iPhone, iPad, or Mac running Merrowfax on the same Wi-Fi with a short "
     "code. The linked device shares your virtual number and your text threads."},
    {"On the device",
     "Your number, contacts, text threads, and call list stay in Application Support on the "
     "device. A random id tells linked devices apart. It is not used to track you across other "
     "apps or websites."},
    {"How to stop",
     "You can erase the number in Settings, which removes the local chats and contacts, or delete "
     "the app. Camera and microphone can be turned off for Merrowfax in Settings. Calls need the "
     "microphone, and video calls need the camera."},
    {"Contact",
     "Merrowfax is published by the Merrowfax team. Questions about privacy: "
     "privacy@merrowfax.net"},
});

}  // namespace

std::span<const Section> sections() {
    return kSections;
}

}  // namespace merrowfax::privacy
