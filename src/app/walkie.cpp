// The walkie's stored side: its messages and its switches.

#include <QThreadPool>

#include <utility>

#include "app/app_model.h"
#include "media/walkie_wav.h"
#include "platform/main_thread.h"

namespace merrowfax {

void AppModel::playWalkieMessage(const Uuid& id, const std::string& number) {
    const Message* m = messaging_->find(number, id);
    std::optional<std::filesystem::path> file;
    if (m && m->attachmentKind == "audio" && m->attachmentPath) {
        file = store_.attachmentFile(*m->attachmentPath);
    }
    if (!file) {
        setAlert("That recording could not be played.");
        return;
    }
    std::string name =
        m->sender == "me" && data_.account ? data_.account->displayName : displayName(number);
    // Decoding a long file takes a while: not on the main thread.
    std::weak_ptr<MainThreadHop> weakHop = hop_;
    QThreadPool::globalInstance()->start([this, weakHop, decode = components_.decodeRecording,
                                          file = *file, name = std::move(name)] {
        auto clip = decode ? decode(file) : std::nullopt;
        auto hop = weakHop.lock();
        if (!hop) return;
        hop->post([this, clip = std::move(clip), name] {
            if (!clip) {
                setAlert("That recording could not be played.");
                return;
            }
            walkie_->playClip(*clip, name);
        });
    });
}

void AppModel::recordWalkieMessage(std::span<const std::byte> audio, const std::string& number,
                                   bool outgoing) {
    if (audio.size() <= minWalkieBytes || !messaging_->hasThread(number)) return;
    const std::vector<std::byte> wav = makeWalkieWav(audio);
    if (wav.empty()) return;
    auto stored = store_.storeFile(wav, "walkie.wav");
    if (!stored) return;

    Message message;
    message.id = Uuid::random();
    message.sender = outgoing ? "me" : "them";
    message.sentAt = now();
    message.text = "Walkie";
    message.status = MessageStatus::delivered;
    message.attachmentName = "walkie.wav";
    message.attachmentKind = "audio";
    message.attachmentPath = *stored;
    message.expiresAt = message.sentAt + Messaging::recordingLife;
    messaging_->keep(std::move(message), number);
}

void AppModel::keepWalkieSettings(bool lockScreenTalk, bool contactsOnly) {
    data_.lockScreenTalk = lockScreenTalk;
    data_.walkieContactsOnly = contactsOnly;
    save();
}

}  // namespace merrowfax
