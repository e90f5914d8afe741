// Photos too large for the relay service are scaled down before they are
// kept and sent; others go as they are.
#include <QBuffer>
#include <QImage>
#include <QImageReader>
#include <QRandomGenerator>

#include <algorithm>
#include <fstream>
#include <iterator>

#include "app/photo_fit.h"
#include "model/text_limits.h"
#include "model_fixture.h"

using namespace merrowfax;
using namespace merrowfax::testing;

namespace {

std::vector<std::byte> jpeg(const QImage& image, int quality) {
    QByteArray out;
    QBuffer buffer(&out);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "jpeg", quality);
    const auto* begin = reinterpret_cast<const std::byte*>(out.constData());
    return {begin, begin + out.size()};
}

// A camera's photo: a gradient with sensor noise, which compresses badly.
std::vector<std::byte> cameraPhoto(int width, int height) {
    QImage image(width, height, QImage::Format_RGB32);
    QRandomGenerator noise(7);
    for (int y = 0; y < height; ++y) {
        auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < width; ++x) {
            const int n = static_cast<int>(noise.bounded(40));
            line[x] = qRgb((x * 200 / width + n) % 256, (y * 200 / height + n) % 256, (60 + n));
        }
    }
    return jpeg(image, 92);
}

QSize sizeOf(std::span<const std::byte> bytes) {
    QByteArray data(reinterpret_cast<const char*>(bytes.data()),
                    static_cast<qsizetype>(bytes.size()));
    QBuffer buffer(&data);
    buffer.open(QIODevice::ReadOnly);
    return QImageReader(&buffer).size();
}

std::vector<std::byte> readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<char> chars{std::istreambuf_iterator<char>(in), {}};
    const auto* begin = reinterpret_cast<const std::byte*>(chars.data());
    return {begin, begin + chars.size()};
}

class Photos : public ModelTest {
protected:
    void SetUp() override {
        start();
        line->accepts = true;
    }
    std::vector<std::byte> storedPhoto(const Uuid& id) const {
        for (const auto& m : threadOf(kAlice)->messages) {
            if (m.id == id) return readFile(*model->attachmentFile(*m.attachmentPath));
        }
        return {};
    }
};

TEST_F(Photos, ACameraPhotoIsScaledUntilItFitsTheRelayAndASmallOneGoesUntouched) {
    const auto big = cameraPhoto(4000, 3000);
    ASSERT_GE(big.size(), kRelayAttachmentLimit);
    const auto id = model->messaging().sendAttachment(big, "image", "IMG_0001.JPG", kAlice);
    ASSERT_TRUE(id);
    const auto kept = storedPhoto(*id);
    EXPECT_LT(kept.size(), kRelayAttachmentLimit);
    const QSize size = sizeOf(kept);
    const int longest = std::max(size.width(), size.height());
    EXPECT_TRUE(std::find(std::begin(kPhotoSteps), std::end(kPhotoSteps), longest) !=
                std::end(kPhotoSteps))
        << longest;
    EXPECT_EQ(size.width() * 3, size.height() * 4);
    EXPECT_EQ(line->sentWithOp("file").size(), 1u);  // through the relay too

    const auto small = cameraPhoto(800, 600);
    ASSERT_LT(small.size(), kRelayAttachmentLimit);
    const auto smallId = model->messaging().sendAttachment(small, "image", "IMG_0002.JPG", kAlice);
    EXPECT_EQ(storedPhoto(*smallId), small);  // byte for byte
}

TEST(PhotoFit, AHeaderClaimingAHugePictureIsNotDecoded) {
    auto photo = cameraPhoto(64, 48);
    // The frame header (SOF0) claims 60000 x 60000 pixels.
    for (std::size_t i = 0; i + 9 < photo.size(); ++i) {
        if (photo[i] == std::byte{0xFF} && photo[i + 1] == std::byte{0xC0}) {
            for (std::size_t at : {i + 5, i + 7}) {
                photo[at] = std::byte{0xEA};
                photo[at + 1] = std::byte{0x60};
            }
            break;
        }
    }
    photo.resize(kRelayAttachmentLimit + 10, std::byte{0});
    EXPECT_FALSE(fitPhoto(photo, kRelayAttachmentLimit));
    // Not a JPEG at all: left alone.
    EXPECT_FALSE(fitPhoto(std::vector<std::byte>(kRelayAttachmentLimit, std::byte{1}),
                          kRelayAttachmentLimit));
}

}  // namespace
