#include <gtest/gtest.h>

#include <QImage>

#include <utility>
#include <vector>

#include "media/desk_encoder.h"

namespace merrowfax::testing {
namespace {

ScreenFrame halves(int width, int height) {
    ScreenFrame f{width, height,
                  std::vector<std::uint8_t>(static_cast<std::size_t>(width) * height * 4)};
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            f.bgrx[(static_cast<std::size_t>(y) * width + x) * 4 + (x < width / 2 ? 2 : 0)] = 255;
    return f;
}

// The sizes the first and the second JPEG come out at: what is sent, and
// what was asked for each time.
struct Attempt {
    int width, quality;
};
std::pair<std::optional<std::size_t>, std::vector<Attempt>> sendFor(std::size_t first,
                                                                    std::size_t second) {
    std::vector<Attempt> asked;
    DeskEncoder encoder([&](const ScreenFrame& f, int quality) -> std::optional<wire::Bytes> {
        asked.push_back({f.width, quality});
        return wire::Bytes(asked.size() == 1 ? first : second);
    });
    const auto sent = encoder.encode(halves(1600, 1000));
    return {sent ? std::optional(sent->size()) : std::nullopt, asked};
}

TEST(DeskEncoder, ABigPictureIsMadeAgainSmallerAndATooBigOneIsNotSent) {
    auto [sent, asked] = sendFor(600'000, 0);
    EXPECT_EQ(sent, 600'000u);
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_EQ(asked[0].quality, 55);

    std::tie(sent, asked) = sendFor(750'000, 650'000);
    EXPECT_EQ(sent, 650'000u);
    ASSERT_EQ(asked.size(), 2u);
    EXPECT_EQ(asked[1].width, 1200);
    EXPECT_EQ(asked[1].quality, 50);

    EXPECT_EQ(sendFor(750'000, 950'000).first, std::nullopt);
    EXPECT_EQ(sendFor(750'000, 900'000).first, 900'000u);
}

TEST(DeskEncoder, TheJpegHasTheFramesSizeAndColours) {
    const auto jpeg = DeskEncoder().encode(halves(1600, 1000));
    ASSERT_TRUE(jpeg);
    QImage image;
    ASSERT_TRUE(image.loadFromData(reinterpret_cast<const uchar*>(jpeg->data()),
                                   static_cast<int>(jpeg->size()), "JPG"));
    EXPECT_EQ(image.size(), QSize(1600, 1000));
    const QColor left = image.pixelColor(100, 500), right = image.pixelColor(1500, 500);
    EXPECT_GT(left.red(), 240);
    EXPECT_LT(left.blue(), 15);
    EXPECT_GT(right.blue(), 240);
    EXPECT_LT(right.red(), 15);
    EXPECT_FALSE(DeskEncoder().encode(ScreenFrame{}));
}

}  // namespace
}  // namespace merrowfax::testing
