// The walkie's model side: its operations, its wiring and its messages.

#include <QThreadPool>

#include <utility>

#include "app/app_model.h"
#include "media/audio_file_decoder.h"
#include "media/walkie_wav.h"
#include "platform/main_thread.h"

namespace merrowfax {

void AppModel::wireWalkie() {
    std::weak_ptr<MainThreadHop> weakHop = hop_;
    WalkieTalk::Callbacks callbacks;
    // Each chunk goes out at once, from the audio thread; the main thread
    // keeps it for the message of this press.
    callbacks.onCaptured = [this, weakHop](wire::Bytes chunk) {
        auto hop = weakHop.lock();
        if (!hop) return;
        router_.sendWalkie(chunk);
        hop->post([this, chunk = std::move(chunk)] { walkie_->appendOutgoing(chunk); });
    };
    components_.walkie->setCallbacks(std::move(callbacks));
}

void AppModel::holdTalk(const std::string& number) {
    walkie_->holdTalk(number);
}

void AppModel::endTalk(const std::string& number) {
    walkie_->endTalk(number);
}

void AppModel::playWalkieMessage(const Uuid& id, const std::string& number) {
    const Message* m = message(number, id);
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
    QThreadPool::globalInstance()->start([this, weakHop, file = *file, name = std::move(name)] {
        auto clip = decodeAudioFile(file);
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
    if (audio.size() <= minWalkieBytes || !thread(number)) return;
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
    message.expiresAt = message.sentAt + recordingLife;
    appendMessage(message, number, displayName(number));
    saveMessage(message.id);
}

void AppModel::setLockScreenTalk(bool on) {
    if (data_.lockScreenTalk == on) return;
    data_.lockScreenTalk = on;
    Q_EMIT lockScreenTalkChanged();
    save();
}

void AppModel::setWalkieContactsOnly(bool on) {
    if (walkieContactsOnly() == on) return;
    data_.walkieContactsOnly = on;
    Q_EMIT walkieContactsOnlyChanged();
    save();
}

}  // namespace merrowfax
