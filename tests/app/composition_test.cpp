#include <gtest/gtest.h>

#include <QTemporaryDir>

#include "app/app_model.h"
#include "app/composition.h"
#include "app/fakes.h"
#include "platform/computer_identity.h"
#include "transport/internet_line.h"
#include "transport/peer_link.h"

namespace merrowfax::testing {
namespace {

TEST(Composition, TheServiceAddressIsReadOnceForEveryPartThatNeedsIt) {
    QTemporaryDir dir;
    const std::filesystem::path folder = dir.path().toStdString();
    qputenv("MERROWFAX_SERVICE", "ws://127.0.0.1:9");
    FrontEnd front;
    front.notifier = std::make_unique<RecordingNotifier>();
    front.identityFolder = folder;
    Composition made = compose(std::move(front));
    ASSERT_TRUE(made.line);
    EXPECT_EQ(made.components.line.get(), made.line);
    EXPECT_EQ(made.components.services.service, QUrl(QStringLiteral("ws://127.0.0.1:9")));
    EXPECT_EQ(made.components.services.privacy.toString(),
              QStringLiteral("http://127.0.0.1:9/merrowfax/privacy"));
    EXPECT_TRUE(dynamic_cast<RecordingNotifier*>(made.components.notifier.get()));
    EXPECT_EQ(made.components.computerIdentity, computerIdentityIn(folder));

    // The LAN link, with its certificate beside the computer identity.
    ASSERT_TRUE(made.lan);
    EXPECT_EQ(made.components.network.get(), static_cast<LanTransport*>(made.lan));
    EXPECT_EQ(std::filesystem::status(folder / "lan-identity.pem").permissions() &
                  std::filesystem::perms::all,
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);

    // Plain sockets only to this machine: no service, so no privacy page.
    qputenv("MERROWFAX_SERVICE", "ws://relay.example.net");
    FrontEnd plain;
    plain.lan = false;
    Composition refused = compose(std::move(plain));
    EXPECT_FALSE(refused.lan);
    EXPECT_FALSE(refused.components.services.service);
    EXPECT_TRUE(refused.components.services.privacy.isEmpty());
    EXPECT_TRUE(refused.components.notifier) << "the desktop's notifications";
    qunsetenv("MERROWFAX_SERVICE");
}

// An engine that hands over one last captured chunk as it stops, as a
// capture thread may.
class LastWordMedia final : public CallMedia {
public:
    explicit LastWordMedia(bool* spoke) : spoke_(spoke) {}
    ~LastWordMedia() override {
        if (callbacks_.onAudio) callbacks_.onAudio(wire::Bytes(4));
        *spoke_ = true;
    }
    void setCallbacks(Callbacks callbacks) override { callbacks_ = std::move(callbacks); }
    bool microphoneAllowed() const override { return true; }
    bool hasCamera() const override { return false; }
    bool startAudio() override { return false; }
    void stopAudio() override {}
    void receiveAudio(std::span<const std::byte>) override {}
    void setSpeaker(bool) override {}
    void startVideo() override {}
    void stopVideo() override {}
    void switchCamera() override {}
    void receiveVideo(std::span<const std::byte>) override {}

private:
    bool* spoke_;
    Callbacks callbacks_;
};

// The media engine goes before the transports it sends on (AddressSanitizer
// reports the other order as a use after free).
TEST(Composition, MediaStopsWhileTheTransportsStillStand) {
    QTemporaryDir dir;
    bool spoke = false;
    {
        AppComponents parts;
        auto line = std::make_unique<FakeLine>();
        parts.line = std::move(line);
        parts.network = std::make_unique<FakeLan>();
        parts.media = std::make_unique<LastWordMedia>(&spoke);
        AppModel model(dir.path().toStdString(), std::move(parts));
    }
    EXPECT_TRUE(spoke);
}

}  // namespace
}  // namespace merrowfax::testing
