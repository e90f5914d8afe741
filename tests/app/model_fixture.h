#pragma once

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QTemporaryDir>

#include <memory>

#include "app/app_model.h"
#include "fakes.h"
#include "platform/timings.h"
#include "support/event_wait.h"

namespace merrowfax::testing {

inline constexpr const char* kOwn = "0-1-234-5678";
inline constexpr const char* kAlice = "44-1-555-0001";
inline constexpr const char* kBob = "1-1-222-2222";

// Shortens timings or limits for the length of a test.
class TimingsOverride {
public:
    explicit TimingsOverride(void (*change)(Timings&)) : saved_(timings()) {
        Timings t = saved_;
        change(t);
        setTimings(t);
    }
    ~TimingsOverride() { setTimings(saved_); }
    TimingsOverride(const TimingsOverride&) = delete;
    TimingsOverride& operator=(const TimingsOverride&) = delete;

private:
    Timings saved_;
};

// An AppModel on a fresh data folder with fake transports and devices.
class ModelTest : public ::testing::Test {
protected:
    QTemporaryDir dir;
    std::unique_ptr<AppModel> model;
    FakeLine* line = nullptr;
    FakeLan* lan = nullptr;
    RecordingSounds* sounds = nullptr;
    RecordingNotifier* notifier = nullptr;
    FakeMedia* media = nullptr;
    RecordingWalkie* walkie = nullptr;
    RecordingInput* input = nullptr;

    std::filesystem::path folder() const { return dir.path().toStdString(); }

    // Writes db.json as a previous run would have left it.
    void seed(const StoredDatabase& database) { Store(folder()).save(database); }

    static Account account(const char* number = kOwn, const char* name = "Me") {
        Account a;
        a.id = Uuid::random();
        a.deviceId = Uuid::random();
        a.displayName = name;
        a.number = *VirtualNumber::parse(number);
        return a;
    }

    // What voice messages record from and encode with; none: they never
    // record.
    std::function<std::unique_ptr<AudioSource>()> microphone;
    MakeVoiceEncoder voiceEncoder = [] {
        return std::make_unique<PlainVoiceEncoder>();
    };
    // Notices go to the session bus's notification service, not to `notifier`.
    bool desktopNotices = false;
    // How stored recordings decode for the walkie; none: they never play.
    std::function<std::optional<std::vector<std::byte>>(const std::filesystem::path&)>
        decodeRecording = decodeWireWav;

    // Seeds an account (unless told otherwise) and starts the model.
    void start(bool withAccount = true) {
        if (withAccount && !std::filesystem::exists(folder() / "db.json")) {
            StoredDatabase db = StoredDatabase::fresh();
            db.account = account();
            seed(db);
        }
        AppComponents parts;
        line = install<FakeLine>(parts.line);
        lan = install<FakeLan>(parts.network);
        sounds = install<RecordingSounds>(parts.sounds);
        if (desktopNotices)
            parts.notifier = makeDesktopNotifier();
        else
            notifier = install<RecordingNotifier>(parts.notifier);
        media = install<FakeMedia>(parts.media);
        walkie = install<RecordingWalkie>(parts.walkie);
        input = install<RecordingInput>(parts.input);
        parts.computerIdentity = "mac-TEST";
        parts.lanCertificate = std::string(64, 'c');
        parts.microphone = microphone;
        parts.voiceEncoder = voiceEncoder;
        parts.decodeRecording = decodeRecording;
        model = std::make_unique<AppModel>(folder(), std::move(parts));
        settle();
    }

    // Runs queued main-thread work (component callbacks hop there).
    static void settle() {
        for (int i = 0; i < 5; ++i) QCoreApplication::processEvents();
    }

    // Runs the event loop until `done` or about `ms` milliseconds.
    static bool waitUntil(const std::function<bool()>& done, int ms = 3000) {
        return spinUntil(done, ms);
    }

    // An event as a transport delivers it: through its callback, then the hop.
    void fromLine(wire::PeerEvent event) {
        line->callbacks.handler(std::move(event));
        settle();
    }
    void fromLan(wire::PeerEvent event) {
        lan->handler(std::move(event));
        settle();
    }

    static wire::events::Text text(const char* from, const std::string& body,
                                   Uuid id = Uuid::random(), const char* name = "Alice") {
        wire::events::Text t;
        t.id = id;
        t.from = from;
        t.to = kOwn;
        t.name = name;
        t.body = body;
        t.sent = now();
        t.peerKey = from;
        return t;
    }

    const ChatThread* threadOf(const std::string& number) const {
        for (const auto& t : model->messaging().threads()) {
            if (t.id == number) return &t;
        }
        return nullptr;
    }

    // Reads db.json back as the next start would.
    StoredDatabase stored() const { return Store(folder()).load(); }
};

}  // namespace merrowfax::testing
