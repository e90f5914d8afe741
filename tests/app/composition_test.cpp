#include <gtest/gtest.h>

#include <QTemporaryDir>

#include "app/app_model.h"
#include "app/fakes.h"

namespace merrowfax::testing {
namespace {

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
        parts.line = std::make_unique<FakeLine>();
        parts.network = std::make_unique<FakeLan>();
        parts.media = std::make_unique<LastWordMedia>(&spoke);
        AppModel model(dir.path().toStdString(), std::move(parts));
    }
    EXPECT_TRUE(spoke);
}

}  // namespace
}  // namespace merrowfax::testing
