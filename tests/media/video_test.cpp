#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QImage>

#include <atomic>

#include "media/device_call_media.h"
#include "media_fakes.h"

namespace merrowfax::testing {
namespace {

using namespace std::chrono_literals;

QImage picture(int width, int height) {
    QImage image(width, height, QImage::Format_RGB32);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) image.setPixel(x, y, qRgb(x * 7, y * 3, (x ^ y) & 0xFF));
    }
    return image;
}

wire::Bytes jpegOf(int width, int height) {
    return encodeVideoFrame(picture(width, height)).value_or(wire::Bytes{});
}

// A JPEG whose frame header claims another size.
wire::Bytes claimingSize(wire::Bytes jpeg, int width, int height) {
    for (std::size_t i = 0; i + 9 < jpeg.size(); ++i) {
        if (jpeg[i] == std::byte{0xFF} && jpeg[i + 1] == std::byte{0xC0}) {
            jpeg[i + 5] = std::byte(height >> 8);
            jpeg[i + 6] = std::byte(height & 0xFF);
            jpeg[i + 7] = std::byte(width >> 8);
            jpeg[i + 8] = std::byte(width & 0xFF);
            return jpeg;
        }
    }
    ADD_FAILURE() << "no frame header";
    return jpeg;
}

TEST(VideoFrames, CameraPicturesBecomeSmall192WideJpegs) {
    for (auto [w, h] : {std::pair{320, 240}, std::pair{1280, 720}, std::pair{480, 640}}) {
        const auto jpeg = encodeVideoFrame(picture(w, h));
        ASSERT_TRUE(jpeg) << w << "x" << h;
        EXPECT_LT(jpeg->size(), kMaxVideoFrameBytes);
        const QImage back = decodeVideoFrame(*jpeg);
        EXPECT_EQ(back.width(), 192);
        EXPECT_EQ(back.height(), 192 * h / w);
    }
    EXPECT_FALSE(encodeVideoFrame(picture(1, 100)));
    EXPECT_FALSE(encodeVideoFrame(QImage()));
}

TEST(VideoFrames, TheGateTakesOneFrameAnInterval) {
    FrameGate gate(120ms);
    const auto t0 = FrameGate::Clock::time_point{} + 10s;
    EXPECT_TRUE(gate.accept(t0));
    EXPECT_FALSE(gate.accept(t0 + 100ms));
    EXPECT_TRUE(gate.accept(t0 + 130ms));
    EXPECT_FALSE(gate.accept(t0 + 250ms));
    gate.reset();
    EXPECT_TRUE(gate.accept(t0 + 251ms));
}

class CallVideo : public ::testing::Test {
protected:
    CallVideo() {
        DeviceCallMedia::Devices devices;
        auto made = std::make_unique<HandCamera>();
        camera = made.get();
        devices.camera = std::move(made);
        devices.now = [this] {
            return now;
        };
        media = std::make_unique<DeviceCallMedia>(std::move(devices));
        media->setCallbacks({{}, [this](wire::Bytes frame) {
                                 std::lock_guard lock(mutex);
                                 sent.push_back(std::move(frame));
                             }});
    }
    std::size_t sentCount() {
        std::lock_guard lock(mutex);
        return sent.size();
    }

    HandCamera* camera = nullptr;
    DeviceCallMedia::Clock::time_point now = DeviceCallMedia::Clock::time_point{} + 100s;
    std::mutex mutex;
    std::vector<wire::Bytes> sent;
    std::unique_ptr<DeviceCallMedia> media;
};

TEST_F(CallVideo, TheOwnPictureIsPreviewedOnlyWhileVideoRuns) {
    media->startVideo();
    camera->show(picture(320, 240));
    ASSERT_TRUE(spinUntil([&] { return !media->localPreview().isNull(); }));
    EXPECT_GE(media->localPreview().width(), 240);
    EXPECT_GE(media->localPreview().height(), 340);
    media->stopVideo();
    EXPECT_TRUE(media->localPreview().isNull());
    // A picture still on its way when video stopped does not come back.
    camera->show(picture(320, 240));
    QCoreApplication::processEvents();
    EXPECT_TRUE(media->localPreview().isNull());
}

TEST_F(CallVideo, SwitchingWithVideoOffOnlyRemembersTheOtherCamera) {
    media->switchCamera();
    EXPECT_TRUE(camera->positions.empty());
    media->startVideo();
    media->switchCamera();
    media->stopVideo();
    EXPECT_FALSE(media->videoOn());
    EXPECT_EQ(camera->positions, (std::vector{CameraPosition::back, CameraPosition::front}));
}

TEST_F(CallVideo, TheLastGoodPictureStaysThroughBadFrames) {
    const wire::Bytes good = jpegOf(320, 240);
    media->receiveVideo(good);
    ASSERT_TRUE(spinUntil([&] { return media->remoteFrames() == 1; }));
    EXPECT_EQ(media->remoteImage().width(), 192);
    const wire::Bytes truncated(good.begin(), good.begin() + good.size() / 3);
    for (const wire::Bytes& bad :
         {truncated, claimingSize(good, 60000, 60000), wire::Bytes(10 << 20, std::byte{0xFF}),
          wire::Bytes(300, std::byte{0x89}), wire::Bytes{}}) {
        media->receiveVideo(bad);
    }
    // A good frame after them shows they were all dealt with, in order.
    media->receiveVideo(jpegOf(640, 360));
    ASSERT_TRUE(spinUntil([&] { return media->remoteImage().height() == 108; }));
    EXPECT_EQ(media->remoteFrames(), 2);
    media->stopVideo();
    EXPECT_TRUE(media->remoteImage().isNull());
    EXPECT_EQ(media->remoteFrames(), 0);
}

TEST_F(CallVideo, FramesStillDecodingWhenTheEngineGoesAreHarmless) {
    const wire::Bytes good = jpegOf(1280, 720);
    for (int i = 0; i < 20; ++i) media->receiveVideo(good);
    media->startVideo();
    camera->show(picture(1280, 720));
    media.reset();
    QCoreApplication::processEvents();  // queued pictures for a gone engine
}

}  // namespace
}  // namespace merrowfax::testing
