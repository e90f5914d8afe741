#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "wire/frames.h"

using namespace merrowfax::wire;

namespace {

std::vector<std::byte> bytes(std::string_view text) {
    std::vector<std::byte> out(text.size());
    if (!text.empty()) std::memcpy(out.data(), text.data(), text.size());
    return out;
}

}  // namespace

TEST(NetFrame, RoundTripsKindTargetAndExactlyItsMedia) {
    std::vector<std::byte> media(320);
    for (std::size_t i = 0; i < media.size(); ++i) media[i] = static_cast<std::byte>(i);
    auto message = encodeNetFrame(FrameKind::audio, "0-1-234-5678", media);
    ASSERT_EQ(message.size(), 2u + 12u + 320u);
    EXPECT_EQ(message[0], std::byte{2});
    EXPECT_EQ(message[1], std::byte{12});
    auto frame = parseNetFrame(message);
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->kind, 2);
    EXPECT_EQ(frame->target, "0-1-234-5678");
    EXPECT_TRUE(std::equal(media.begin(), media.end(), frame->media.begin(), frame->media.end()));

    // The longest target the length byte holds; one more is refused, as is none.
    auto longest = parseNetFrame(encodeNetFrame(FrameKind::video, std::string(255, '1'), {}));
    ASSERT_TRUE(longest);
    EXPECT_EQ(longest->target.size(), 255u);
    EXPECT_TRUE(longest->media.empty());
    EXPECT_TRUE(encodeNetFrame(FrameKind::video, "", {}).empty());
    EXPECT_TRUE(encodeNetFrame(FrameKind::video, std::string(256, '1'), {}).empty());
}

TEST(NetFrame, ShortOrLyingFramesAreDropped) {
    for (const std::string& bad :
         {std::string(), std::string("\x02\x01"), std::string("\x02\x00xyz", 5),  // zero length
          std::string("\x02\x0c"
                      "0-1-234"),  // the header lies
          std::string("\x02\xff"
                      "0")})
        EXPECT_FALSE(parseNetFrame(bytes(bad))) << bad;
    const auto bare = bytes(
        "\x03\x01"
        "7");  // a frame may carry no media at all
    ASSERT_TRUE(parseNetFrame(bare));
    EXPECT_EQ(parseNetFrame(bare)->target, "7");
}

TEST(LanFrame, KindByteThenBody) {
    EXPECT_FALSE(parseLanFrame({}));
    auto message = encodeLanFrame(FrameKind::envelope, bytes("{\"op\":\"roster\"}"));
    auto frame = parseLanFrame(message);
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->kind, 1);
    EXPECT_EQ(frame->body.size(), 15u);
    const auto kindOnly = bytes("\x04");
    ASSERT_TRUE(parseLanFrame(kindOnly));
    EXPECT_TRUE(parseLanFrame(kindOnly)->body.empty());
}
