#pragma once

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "media/call_media.h"
#include "media/voice_encoder.h"
#include "media/walkie_talk.h"
#include "platform/input_injector.h"
#include "platform/notifier.h"
#include "platform/sounds.h"
#include "platform/wav_file.h"
#include "transport/lan_transport.h"
#include "transport/net_transport.h"

namespace merrowfax::testing {

// A new T in the component slot `slot`; the test keeps the returned pointer.
template <typename T, typename Slot>
T* install(std::unique_ptr<Slot>& slot) {
    auto made = std::make_unique<T>();
    T* raw = made.get();
    slot = std::move(made);
    return raw;
}

// Records what the model sends and lets a test play the relay service.
class FakeLine final : public NetTransport {
public:
    Callbacks callbacks;
    std::vector<LineIdentity> starts;
    std::vector<wire::Envelope> sent;
    std::vector<std::optional<std::vector<BookEntry>>> books;
    std::function<void(std::optional<RememberedAccount>)> pendingLookup;
    std::string lookedUpComputer;
    bool accepts = false;

    void setCallbacks(Callbacks c) override { callbacks = std::move(c); }
    void start(const LineIdentity& identity) override { starts.push_back(identity); }
    void stop() override { ++stops; }
    int stops = 0;
    bool send(const wire::Envelope& envelope) override {
        sent.push_back(envelope);
        return accepts;
    }
    // Book uploads, counted where a test can still read them once the model
    // (and this line with it) is gone.
    std::shared_ptr<int> uploads = std::make_shared<int>(0);
    void requestBook(const std::optional<std::vector<BookEntry>>& contacts) override {
        books.push_back(contacts);
        if (contacts) ++*uploads;
    }
    void lookupComputer(const std::string& computer,
                        std::function<void(std::optional<RememberedAccount>)> done) override {
        lookedUpComputer = computer;
        pendingLookup = std::move(done);
    }
    void forgetComputer(const std::string& computer) override { forgotten.push_back(computer); }
    std::vector<std::string> forgotten;
    // Trust changes that went out, as "+ID" and "-ID".
    std::vector<std::string> trusts;
    bool trustComputer(const std::string& computer, bool trust) override {
        if (!open) return false;
        trusts.push_back((trust ? "+" : "-") + computer);
        return true;
    }

    bool open = false;
    int connects = 0;
    std::vector<std::pair<std::string, std::string>> audio;  // to whom, the base64 chunk
    std::vector<std::pair<wire::FrameKind, std::optional<std::string>>> frames;
    bool isOpen() const override { return open; }
    void connect() override { ++connects; }
    void sendAudio(std::string to, std::string base64) override {
        audio.emplace_back(std::move(to), std::move(base64));
    }
    void sendBinary(wire::FrameKind kind, std::optional<std::string> to, wire::Bytes,
                    std::function<void()> completion) override {
        frames.emplace_back(kind, std::move(to));
        if (completion) completion();
    }

    std::vector<wire::Envelope> sentWithOp(const std::string& op) const {
        std::vector<wire::Envelope> out;
        for (const auto& e : sent) {
            if (e.op == op) out.push_back(e);
        }
        return out;
    }
};

// Input a test can count, on a 1000 x 500 screen.
class RecordingInput final : public InputInjector {
public:
    int actions = 0;
    bool available() const override { return true; }
    QRect monitor() const override { return {0, 0, 1000, 500}; }
    void move(QPoint) override { ++actions; }
    void button(int, bool) override { ++actions; }
    void key(std::uint32_t, bool) override { ++actions; }
    void text(std::u32string_view) override { ++actions; }
};

// Connected peers a test chooses; records what goes out to them.
class FakeLan final : public LanTransport {
public:
    std::function<void(wire::PeerEvent)> handler;
    std::vector<std::pair<std::string, std::string>> starts;  // number, name
    int stops = 0;
    // Connected peers: key to the number it serves.
    std::map<std::string, std::string> connected;
    // What went out, each with the connected peers it went to.
    std::vector<std::pair<wire::Envelope, std::vector<std::string>>> envelopes;
    std::vector<std::pair<wire::FrameKind, std::vector<std::string>>> media;
    std::vector<std::pair<wire::Envelope, std::filesystem::path>> files;

    void setHandler(std::function<void(wire::PeerEvent)> h) override { handler = std::move(h); }
    void setCompanionLabel(const std::string& label) override { companionLabel = label; }
    void setDevice(const std::string& id) override { device = id; }
    std::string companionLabel, hostedCode, seekCode, seekComputer;
    void setHostedCode(const std::string& code) override { hostedCode = code; }
    void setSeekCode(const std::string& code, const std::string& computer) override {
        seekCode = code;
        seekComputer = computer;
    }
    std::vector<std::pair<std::filesystem::path, std::string>> snapshots;  // file, peer
    bool sendSnapshot(const std::filesystem::path& file, const std::string& peer) override {
        if (!connected.contains(peer)) return false;
        snapshots.emplace_back(file, peer);
        return true;
    }
    void setStatement(const std::string& s) override { statement = s; }
    std::string device, statement;
    void start(const std::string& number, const std::string& name) override {
        starts.emplace_back(number, name);
    }
    void stop() override { ++stops; }
    std::vector<std::string> peers(const std::string& number) override {
        std::vector<std::string> keys;
        for (const auto& [key, served] : connected) {
            if (served == number) keys.push_back(key);
        }
        return keys;
    }
    bool sendEnvelope(const wire::Envelope& envelope,
                      const std::vector<std::string>& keys) override {
        auto reached = connectedOf(keys);
        if (reached.empty()) return false;
        envelopes.emplace_back(envelope, std::move(reached));
        return true;
    }
    bool sendMedia(wire::FrameKind kind, const wire::Bytes&,
                   const std::vector<std::string>& keys) override {
        auto reached = connectedOf(keys);
        if (reached.empty()) return false;
        media.emplace_back(kind, std::move(reached));
        return true;
    }
    bool sendFile(const wire::Envelope& envelope, const std::filesystem::path& file,
                  const std::vector<std::string>& keys) override {
        if (connectedOf(keys).empty()) return false;
        files.emplace_back(envelope, file);
        return true;
    }

    std::vector<wire::Envelope> sentWithOp(const std::string& op) const {
        std::vector<wire::Envelope> out;
        for (const auto& [e, keys] : envelopes) {
            if (e.op == op) out.push_back(e);
        }
        return out;
    }

private:
    std::vector<std::string> connectedOf(const std::vector<std::string>& keys) const {
        std::vector<std::string> out;
        for (const auto& key : keys) {
            if (connected.contains(key)) out.push_back(key);
        }
        return out;
    }
};

// A call media engine whose devices and start a test chooses.
class FakeMedia final : public CallMedia {
public:
    bool microphone = true;  // allowed
    bool camera = true;
    int cameras = 1;
    bool starts = true;
    int audioStarts = 0;
    int videoStarts = 0;
    std::vector<wire::Bytes> received;
    int framesShown = 0;
    Callbacks callbacks;

    void setCallbacks(Callbacks c) override { callbacks = std::move(c); }
    bool microphoneAllowed() const override { return microphone; }
    bool hasCamera() const override { return camera; }
    int cameraCount() const override { return camera ? cameras : 0; }
    bool startAudio() override {
        ++audioStarts;
        publishAudioReady(starts);
        return starts;
    }
    void stopAudio() override { publishAudioReady(false); }
    void receiveAudio(std::span<const std::byte> chunk) override {
        received.emplace_back(chunk.begin(), chunk.end());
    }
    void setSpeaker(bool) override {}
    void startVideo() override {
        ++videoStarts;
        publishVideoOn(true);
    }
    void stopVideo() override {
        publishVideoOn(false);
        publishLocalPreview({});
    }
    void switchCamera() override {}
    void receiveVideo(std::span<const std::byte>) override { ++framesShown; }
    // What the engine publishes as pictures arrive.
    using CallMedia::publishLocalPreview;
    using CallMedia::publishRemoteImage;
};

// A walkie engine that records what the model asks of it; a test "speaks"
// by calling the captured-audio callback the model installed.
class RecordingWalkie final : public WalkieTalk {
public:
    int givenWay = 0;
    bool yielded = false;
    Callbacks callbacks;
    int presses = 0;
    bool capturing = false;
    std::vector<std::string> hearings;  // names, one per startHearing
    std::vector<wire::Bytes> chunks;    // received chunks, as handed over
    int silences = 0;                   // heard talks ended by their talker

    void setCallbacks(Callbacks c) override { callbacks = std::move(c); }
    void setChannel(const Uuid&) override {}
    bool hasAudio() const override { return true; }
    bool pressTalk() override {
        ++presses;
        capturing = !yielded;
        return capturing;
    }
    void releaseTalk() override { capturing = false; }
    void startHearing(const std::string& name) override {
        hearings.push_back(name);
        publishHearing(QString::fromStdString(name));
    }
    void receiveChunk(std::span<const std::byte> chunk, const std::string&) override {
        chunks.emplace_back(chunk.begin(), chunk.end());
    }
    void playClip(std::span<const std::byte>, const std::string&) override {}
    void silenceEnded() override { ++silences; }
    void giveWay() override {
        ++givenWay;
        capturing = false;
    }
    void setYielded(bool y) override { yielded = y; }

    // The microphone hands over `bytes` bytes of audio, as the audio thread
    // would (the model hops to its own thread).
    void speak(std::size_t bytes, std::byte value = std::byte{1}) {
        if (capturing && callbacks.onCaptured) callbacks.onCaptured(wire::Bytes(bytes, value));
    }
};

class RecordingSounds final : public Sounds {
public:
    std::vector<SystemSound> played;
    void play(SystemSound sound) override { played.push_back(sound); }
};

class RecordingNotifier final : public Notifier {
public:
    struct Posted {
        Notice notice;
        NoticeAction onAction;
        bool withdrawn = false;
    };
    std::vector<Posted> posted;
    void requestPermission() override {}
    NoticeId post(Notice notice, NoticeAction onAction) override {
        posted.push_back({std::move(notice), std::move(onAction)});
        return static_cast<NoticeId>(posted.size());
    }
    void withdraw(NoticeId id) override {
        if (id > 0 && id <= posted.size()) posted[id - 1].withdrawn = true;
    }
};

// A voice message encoder without a codec: the samples go into the file as
// they are. As with the real one, a recording without any audio fails.
class PlainVoiceEncoder final : public VoiceEncoder {
public:
    bool open(const std::filesystem::path& file) override {
        out_.open(file, std::ios::binary);
        return out_.is_open();
    }
    void add(std::span<const std::int16_t> samples) override {
        out_.write(reinterpret_cast<const char*>(samples.data()),
                   static_cast<std::streamsize>(samples.size_bytes()));
        added_ += samples.size();
    }
    bool finish() override {
        out_.close();
        return added_ > 0 && !out_.fail();
    }

private:
    std::ofstream out_;
    std::size_t added_ = 0;
};

// Decodes the recordings the model stores itself (WAV files of wire audio);
// anything else gives nothing.
inline std::optional<std::vector<std::byte>> decodeWireWav(const std::filesystem::path& file) {
    const auto wav = readWav(file);
    if (!wav || wav->format != kWireAudioFormat || wav->samples.empty()) return std::nullopt;
    std::vector<std::byte> bytes(wav->samples.size() * sizeof(std::int16_t));
    std::memcpy(bytes.data(), wav->samples.data(), bytes.size());
    return bytes;
}

}  // namespace merrowfax::testing
