#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

#include "wire/base64.h"
#include "wire/envelope_json.h"

using namespace merrowfax::wire;

namespace {

Envelope everyField() {
    Envelope e;
    e.op = "file";
    e.id = "E621E1F8-C36C-495A-93FC-0C247A3E6E5F";
    e.number = "0-1-234-5678";
    e.name = "Zoë \"quoted\" \\ back";
    e.device = "device-1";
    e.text = "line\nbreak\ttab \x01 control, emoji \xF0\x9F\x98\x80";
    e.video = true;
    e.call = "invite";
    e.sent = 786297600.123456;
    e.linkCode = "AB12CD";
    e.to = "44-1-234-5678";
    e.country = "44";
    e.cityCode = std::numeric_limits<std::int64_t>::max();
    e.subscriber = std::numeric_limits<std::int64_t>::min();
    e.deviceName = "Mac";
    e.fileName = "report.pdf";
    e.fileKind = "file";
    e.resource = "file-0A";
    e.payload = "AAEC";
    e.desk = "click";
    e.control = false;
    e.x = 0.1;
    e.y = -1e-300;
    e.dy = 12345.678;
    e.phase = "began";
    e.n = 2;
    e.key = "";
    return e;
}

std::optional<Envelope> decode(const std::string& json) {
    return decodeEnvelope(json);
}

}  // namespace

TEST(EnvelopeJson, EveryFieldRoundTrips) {
    const Envelope original = everyField();
    auto json = encodeEnvelope(original);
    ASSERT_TRUE(json);
    auto back = decode(*json);
    ASSERT_TRUE(back);
    EXPECT_EQ(*back, original);
    EXPECT_EQ(encodeEnvelope(*back), json);
}

TEST(EnvelopeJson, AbsentKeysAreLeftOutAndDatesReadBackExactly) {
    Envelope e;
    e.op = "ping";
    EXPECT_EQ(encodeEnvelope(e), R"({"op":"ping"})");
    e.op = "text";
    e.sent = 786297600.123456;
    EXPECT_EQ(encodeEnvelope(e), R"({"op":"text","sent":786297600.123456})");
    // Neighbouring doubles must stay apart through text.
    e.sent = std::nextafter(786297600.123456, 1e12);
    EXPECT_EQ(decode(*encodeEnvelope(e))->sent, e.sent);
}

TEST(EnvelopeJson, AcceptsAnyOrderNullsUnknownKeysAndWhitespace) {
    auto e = decode(
        " \n{\"to\":\"1\", \"extra\":{\"a\":[1,{\"b\":null}]}, \"name\":null,\"op\":\"text\","
        "\"sent\":5, \"o\\u0070x\":1} \r\n");
    ASSERT_TRUE(e);
    EXPECT_EQ(e->op, "text");
    EXPECT_EQ(e->to, "1");
    EXPECT_FALSE(e->name);
    EXPECT_EQ(e->sent, 5.0);
}

TEST(EnvelopeJson, IntegersWrittenAsIntegralFloatsCount) {
    struct Case {
        std::string value;
        std::int64_t expected;
    };
    for (const Case& c : std::initializer_list<Case>{{"1.0", 1},
                                                     {"1e3", 1000},
                                                     {"-0.0", 0},
                                                     {"-9223372036854775808", INT64_MIN},
                                                     {"9223372036854775807", INT64_MAX}}) {
        auto e = decode(R"({"op":"desk","n":)" + c.value + "}");
        ASSERT_TRUE(e) << c.value;
        EXPECT_EQ(e->n, c.expected) << c.value;
    }
}

TEST(EnvelopeJson, RejectsTheWholeRecord) {
    const std::string deep =
        std::string(kMaxEnvelopeDepth, '[') + std::string(kMaxEnvelopeDepth, ']');
    const std::initializer_list<std::pair<const char*, std::string>> cases = {
        {"empty", ""},
        {"not json", "op=text"},
        {"truncated", R"({"op":"text","id":"E6)"},
        {"array root", R"([{"op":"text"}])"},
        {"scalar root", R"("text")"},
        {"no op", R"({"id":"x"})"},
        {"null op", R"({"op":null})"},
        {"op of wrong type", R"({"op":1})"},
        {"string given a number", R"({"op":"text","to":5})"},
        {"bool given a string", R"({"op":"call","video":"true"})"},
        {"bool given a number", R"({"op":"call","video":1})"},
        {"number given a string", R"({"op":"desk","x":"1"})"},
        {"date given a string", R"({"op":"text","sent":"2024-01-01"})"},
        {"integer with fraction", R"({"op":"desk","n":1.5})"},
        {"integer above int64", R"({"op":"desk","n":9223372036854775808})"},
        {"integer far above int64", R"({"op":"link-account","cityCode":1e19})"},
        {"integer below int64", R"({"op":"link-account","subscriber":-9223372036854775809})"},
        {"number beyond double", R"({"op":"desk","x":1e400})"},
        {"object for a known key", R"({"op":"text","text":{"a":1}})"},
        {"array for a known key", R"({"op":"text","to":["1"]})"},
        {"duplicate key", R"({"op":"text","number":"1","number":"2"})"},
        {"duplicate key with null", R"({"op":"text","to":null,"to":"2"})"},
        {"duplicate op", R"({"op":"text","op":"call"})"},
        {"trailing garbage", R"({"op":"text"}x)"},
        {"two objects", R"({"op":"text"}{"op":"text"})"},
        {"trailing NUL", std::string(R"({"op":"text"})") + '\0'},
        {"NUL in a string", std::string(R"({"op":"te)") + '\0' + R"(xt"})"},
        {"invalid UTF-8", "{\"op\":\"text\",\"text\":\"\xff\xfe\"}"},
        {"overlong UTF-8", "{\"op\":\"text\",\"text\":\"\xc0\xaf\"}"},
        {"encoded surrogate", "{\"op\":\"text\",\"text\":\"\xed\xa0\x80\"}"},
        {"lone low surrogate escape", R"({"op":"text","text":"\udc00"})"},
        {"lone high surrogate escape", R"({"op":"text","text":"\ud800"})"},
        {"NaN", R"({"op":"desk","x":NaN})"},
        {"comment", R"({"op":"text"/*c*/})"},
        {"too deep", R"({"op":"x","u":)" + deep + "}"},
        {"way too deep", R"({"op":"x","u":)" + std::string(200000, '[')},
        {"over the size bound", R"({"op":"x","u":")" + std::string(kMaxEnvelopeBytes, 'a') + "\"}"},
    };
    for (const auto& [what, json] : cases) EXPECT_FALSE(decode(json)) << what;
}

// Just inside the bounds decodes; what no receiver would accept is not encoded.
TEST(EnvelopeJson, LimitsLeaveRoomForRealRecordsAndEncodeRespectsThem) {
    const std::string nested =
        std::string(kMaxEnvelopeDepth - 1, '[') + std::string(kMaxEnvelopeDepth - 1, ']');
    EXPECT_TRUE(decode(R"({"op":"x","u":)" + nested + "}"));
    Envelope e;
    e.op = "file";  // a 900 KB file as base64 fits in one record
    e.payload = encodeBase64(std::vector<std::byte>(900 * 1024, std::byte{0x5a}));
    auto back = decode(encodeEnvelope(e).value_or(""));
    ASSERT_TRUE(back);
    EXPECT_EQ(back->payload, e.payload);
    e.payload = std::string(kMaxEnvelopeBytes, 'a');
    EXPECT_FALSE(encodeEnvelope(e));
    e.payload.reset();
    e.text = "\xff";
    EXPECT_FALSE(encodeEnvelope(e));
}

TEST(Base64, StandardAlphabetWithPadding) {
    const std::vector<std::byte> bytes{std::byte{0xfb}, std::byte{0xff}, std::byte{0x00},
                                       std::byte{0x3e}};
    EXPECT_EQ(encodeBase64(bytes), "+/8APg==");
    EXPECT_EQ(decodeBase64("+/8APg==", 16), bytes);
    EXPECT_EQ(decodeBase64("", 16), std::vector<std::byte>{});
    for (const char* bad : {"+/8APg", "+/8APg=", "+/8A Pg==", "-_8APg==", "QR==", "Q===", "!!!!"}) {
        EXPECT_FALSE(decodeBase64(bad, 16)) << bad;
    }
    EXPECT_FALSE(decodeBase64("+/8APg==", 3));
    EXPECT_TRUE(decodeBase64("+/8APg==", 4));
}
