#include <gtest/gtest.h>

#include <QVideoFrame>
#include <QVideoFrameFormat>

#include <thread>

#include "platform/camera_pick.h"
#include "platform/device_choice.h"
#include "platform/qt_camera.h"
#include "support/event_wait.h"

namespace merrowfax {
namespace {

CameraInfo camera(std::string id, std::optional<CameraPosition> position = std::nullopt,
                  bool isDefault = false) {
    return {id, "Camera " + id, position, isDefault};
}

TEST(CameraChoice, AUserNamesACameraByIdOrDescription) {
    const std::vector<CameraInfo> cameras = {camera("/dev/video0"), camera("/dev/video2")};
    EXPECT_EQ(findCamera(cameras, "/dev/video2"), 1u);
    EXPECT_EQ(findCamera(cameras, "Camera /dev/video0"), 0u);
    EXPECT_EQ(findCamera(cameras, "camera /dev/video0"), std::nullopt) << "exact names only";
    EXPECT_EQ(findCamera(cameras, "/dev/video1"), std::nullopt);
    EXPECT_EQ(findCamera({}, "/dev/video0"), std::nullopt);
}

TEST(CameraChoice, FrontAndBackFollowThePlacesTheSystemKnows) {
    const auto front = CameraPosition::front;
    const auto back = CameraPosition::back;
    // A phone: both placed, the back one listed first and the default.
    const std::vector<CameraInfo> phone = {camera("b", back, true), camera("f", front)};
    EXPECT_EQ(cameraFor(phone, front), 1u);
    EXPECT_EQ(cameraFor(phone, back), 0u);

    // A desktop with two webcams: the default is the front, the other the back.
    const std::vector<CameraInfo> desk = {camera("usb"), camera("built-in", std::nullopt, true)};
    EXPECT_EQ(cameraFor(desk, front), 1u);
    EXPECT_EQ(cameraFor(desk, back), 0u);

    // A front camera and an unplaced one: the unplaced one serves the back.
    const std::vector<CameraInfo> mixed = {camera("f", front, true), camera("usb")};
    EXPECT_EQ(cameraFor(mixed, back), 1u);
    const std::vector<CameraInfo> mixedDefault = {camera("usb", std::nullopt, true),
                                                  camera("f", front)};
    EXPECT_EQ(cameraFor(mixedDefault, front), 1u);
    EXPECT_EQ(cameraFor(mixedDefault, back), 0u);

    // One camera serves both, whatever the system says of it.
    EXPECT_EQ(cameraFor({camera("only", front)}, back), 0u);
    EXPECT_EQ(cameraFor({camera("only")}, back), 0u);
}

TEST(CameraChoice, CaptureUsesTheSmallestModeAsWideAsTheSentPicture) {
    EXPECT_EQ(lowResolutionMode({}), std::nullopt);
    const std::vector<CameraMode> webcam = {{1280, 720, 30, true}, {160, 120, 30, false},
                                            {320, 240, 15, true},  {320, 240, 30, false},
                                            {320, 240, 10, false}, {640, 480, 30, false}};
    EXPECT_EQ(lowResolutionMode(webcam), 3u) << "uncompressed, then the faster";
    EXPECT_EQ(lowResolutionMode({{176, 144, 30, false}, {160, 120, 30, false}}), 0u)
        << "none wide enough: the largest";
}

TEST(CameraChoice, WithoutACameraNothingStartsAndThePatternStillDoes) {
    auto pattern = openCamera("pattern");
    EXPECT_TRUE(pattern->available());
    EXPECT_EQ(pattern->count(), 2) << "front and back differ";

    auto missing = openCamera("no such camera");
    EXPECT_FALSE(missing->available());
    EXPECT_EQ(missing->count(), 0);
    EXPECT_FALSE(missing->start(CameraPosition::front, [](const QImage&) {}));
    missing->stop();

    // A camera that was named but has gone away.
    QtCamera gone(QByteArray("/dev/gone"));
    EXPECT_FALSE(gone.available());
    EXPECT_FALSE(gone.start(CameraPosition::back, [](const QImage&) {}));
    gone.stop();

    if (!listCameras().empty()) GTEST_SKIP() << "this machine has a camera";
    auto preferred = openCamera("");
    EXPECT_FALSE(preferred->available());
    EXPECT_EQ(preferred->count(), 0);
    EXPECT_FALSE(preferred->start(CameraPosition::front, [](const QImage&) {}));
    preferred->stop();
}

// A frame of one colour in `format`, its planes filled byte by byte.
QVideoFrame solidFrame(QVideoFrameFormat::PixelFormat format,
                       std::vector<std::vector<int>> planes) {
    QVideoFrame frame(QVideoFrameFormat(QSize(64, 48), format));
    if (!frame.map(QVideoFrame::WriteOnly)) return {};
    for (int p = 0; p < frame.planeCount(); ++p) {
        const auto& pattern = planes[static_cast<std::size_t>(p)];
        for (int i = 0; i < frame.mappedBytes(p); ++i) {
            frame.bits(p)[i] =
                static_cast<uchar>(pattern[static_cast<std::size_t>(i) % pattern.size()]);
        }
    }
    frame.unmap();
    return frame;
}

void expectColour(const QImage& picture, QColor expected) {
    ASSERT_EQ(picture.size(), QSize(64, 48));
    for (const QPoint at : {QPoint(0, 0), QPoint(33, 21), QPoint(63, 47)}) {
        const QColor seen = picture.pixelColor(at);
        EXPECT_NEAR(seen.red(), expected.red(), 6) << at.x() << "," << at.y();
        EXPECT_NEAR(seen.green(), expected.green(), 6) << at.x() << "," << at.y();
        EXPECT_NEAR(seen.blue(), expected.blue(), 6) << at.x() << "," << at.y();
    }
}

TEST(CameraChoice, FramesInTheCamerasFormatsBecomePicturesOffTheMainThread) {
    // Red and blue in studio-range YUV: a swapped chroma plane shows.
    const std::vector<int> red = {81, 90, 240}, blue = {41, 240, 110};
    const std::vector<std::pair<QVideoFrame, QColor>> cases = {
        {solidFrame(QVideoFrameFormat::Format_YUV420P, {{red[0]}, {red[1]}, {red[2]}}), Qt::red},
        {solidFrame(QVideoFrameFormat::Format_YV12, {{blue[0]}, {blue[2]}, {blue[1]}}), Qt::blue},
        {solidFrame(QVideoFrameFormat::Format_NV12, {{blue[0]}, {blue[1], blue[2]}}), Qt::blue},
        {solidFrame(QVideoFrameFormat::Format_YUYV, {{red[0], red[1], red[0], red[2]}}), Qt::red},
        {solidFrame(QVideoFrameFormat::Format_UYVY, {{blue[1], blue[0], blue[2], blue[0]}}),
         Qt::blue},
        {solidFrame(QVideoFrameFormat::Format_BGRA8888, {{255, 0, 0, 255}}), Qt::blue},
    };
    // Converted where the backend delivers them: not the main thread, and
    // in the command-line client no GUI application at all.
    std::vector<QImage> pictures;
    std::thread([&] {
        for (const auto& c : cases) pictures.push_back(pictureOf(c.first));
    }).join();
    for (std::size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(i);
        expectColour(pictures[i], cases[i].second);
    }
    EXPECT_TRUE(pictureOf(QVideoFrame()).isNull());
}

TEST(HeadlessDevices, TestPatternCameraDeliversMovingFramesPerPosition) {
    TestPatternCamera camera;
    ASSERT_TRUE(camera.available());
    std::vector<QImage> frames;
    ASSERT_TRUE(camera.start(CameraPosition::back, [&](const QImage& f) { frames.push_back(f); }));
    ASSERT_TRUE(testing::spinUntil([&] { return frames.size() >= 2; }));
    camera.stop();
    EXPECT_EQ(frames[0].size(), QSize(320, 240));
    EXPECT_NE(frames[0], frames[1]) << "the picture moves";
    EXPECT_EQ(frames[0], TestPatternCamera::pattern(CameraPosition::back, 0));
    EXPECT_NE(frames[0], TestPatternCamera::pattern(CameraPosition::front, 0));

    EXPECT_FALSE(NoCamera().start(CameraPosition::front, [](const QImage&) {}));
}

}  // namespace
}  // namespace merrowfax
