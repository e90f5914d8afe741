#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "wire/frames.h"

using namespace merrowfax::wire;

namespace {

std::vector<std::byte> bytes(std::string_view text) {
    std::vector<std::byte> out(text.size());
    std::memcpy(out.data(), text.data(), text.size());
    return out;
}

}  // namespace

TEST(NetFrame, AudioFrameYieldsExactlyItsMediaBytes) {
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
    ASSERT_EQ(frame->media.size(), 320u);
    EXPECT_TRUE(std::equal(media.begin(), media.end(), frame->media.begin()));
}

TEST(NetFrame, ShortOrLyingFramesAreDropped) {
    EXPECT_FALSE(parseNetFrame({}));
    EXPECT_FALSE(parseNetFrame(bytes("\x02\x01")));                     // under 3 bytes
    EXPECT_FALSE(parseNetFrame(bytes(std::string("\x02\x00xyz", 5))));  // zero length
    EXPECT_FALSE(
        parseNetFrame(bytes("\x02\x0c"
                            "0-1-234")));  // header lies
    EXPECT_FALSE(
        parseNetFrame(bytes("\x02\xff"
                            "0")));
    // A frame may carry no media at all.
    const auto message = bytes(
        "\x03\x01"
        "7");
    auto bare = parseNetFrame(message);
    ASSERT_TRUE(bare);
    EXPECT_EQ(bare->target, "7");
    EXPECT_TRUE(bare->media.empty());
}

TEST(NetFrame, EncodeRefusesTargetsTheLengthByteCannotHold) {
    EXPECT_TRUE(encodeNetFrame(FrameKind::video, "", {}).empty());
    EXPECT_TRUE(encodeNetFrame(FrameKind::video, std::string(256, '1'), {}).empty());
    auto longest = encodeNetFrame(FrameKind::video, std::string(255, '1'), bytes("m"));
    auto frame = parseNetFrame(longest);
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->target.size(), 255u);
    EXPECT_EQ(frame->media.size(), 1u);
}

TEST(LanFrame, KindByteThenBody) {
    EXPECT_FALSE(parseLanFrame({}));
    auto message = encodeLanFrame(FrameKind::envelope, bytes("{\"op\":\"roster\"}"));
    auto frame = parseLanFrame(message);
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->kind, 1);
    EXPECT_EQ(frame->body.size(), 15u);
    const auto kindOnly = bytes("\x04");
    auto onlyKind = parseLanFrame(kindOnly);
    ASSERT_TRUE(onlyKind);
    EXPECT_TRUE(onlyKind->body.empty());
}

TEST(FrameKind, MediaKindsAreTwoToFive) {
    EXPECT_FALSE(isMediaKind(0));
    EXPECT_FALSE(isMediaKind(1));
    for (std::uint8_t k = 2; k <= 5; ++k) EXPECT_TRUE(isMediaKind(k));
    EXPECT_FALSE(isMediaKind(6));
    EXPECT_FALSE(isMediaKind(255));
}
