#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "addressing.h"
#include "histogram.h"
#include "nats_parser.h"
#include "payload.h"
#include "wire/frames.h"

namespace merrowfax::bench {
namespace {

TEST(Histogram, BucketsCoverEveryValueWithinTheirPrecision) {
    std::mt19937_64 random(7);
    for (int i = 0; i < 200'000; ++i) {
        const std::uint64_t v = random() >> (random() % 64);
        const auto b = Histogram::bucketOf(v);
        ASSERT_LE(v, Histogram::highestIn(b)) << v;
        if (b > 0) {
            ASSERT_GT(v, Histogram::highestIn(b - 1)) << v;
        }
        // 64 buckets per power of two: the bucket's top is within 1/64 of the value.
        ASSERT_LE(static_cast<double>(Histogram::highestIn(b) - v), static_cast<double>(v) / 64.0)
            << v;
    }
    EXPECT_EQ(Histogram::highestIn(Histogram::bucketOf(UINT64_MAX)), UINT64_MAX);
}

TEST(Histogram, QuantilesOfAKnownDistribution) {
    Histogram h;
    EXPECT_EQ(h.quantile(0.99), 0u);
    for (std::uint64_t v = 1; v <= 100'000; ++v) h.record(v * 1000);
    EXPECT_EQ(h.count(), 100'000u);
    EXPECT_NEAR(static_cast<double>(h.quantile(0.5)), 50e6, 50e6 / 64);
    EXPECT_NEAR(static_cast<double>(h.quantile(0.99)), 99e6, 99e6 / 64);
    EXPECT_GE(h.quantile(0.99), 99'000'000u);  // never reported below the truth
    EXPECT_EQ(h.quantile(1.0), 100'000'000u);  // clipped to the largest recorded
    EXPECT_NEAR(h.mean(), 50'000'500.0, 1.0);

    Histogram a, b;
    for (std::uint64_t v = 0; v < 100; ++v) (v % 2 ? a : b).record(v);
    a.merge(b);
    EXPECT_EQ(a.count(), 100u);
    EXPECT_EQ(a.quantile(0.5), 49u);  // exact in the linear range
    EXPECT_EQ(a.max(), 99u);
}

struct Seen {
    std::vector<std::string> ops;
    NatsParser::Sink sink() {
        return [this](const NatsParser::Op& op) {
            switch (op.kind) {
                case NatsParser::Kind::msg:
                    ops.push_back("MSG " + std::string(op.subject) + " [" +
                                  std::string(op.payload) + "]");
                    break;
                case NatsParser::Kind::ping:
                    ops.push_back("PING");
                    break;
                case NatsParser::Kind::pong:
                    ops.push_back("PONG");
                    break;
                case NatsParser::Kind::err:
                    ops.push_back("ERR" + std::string(op.payload));
                    break;
                case NatsParser::Kind::info:
                    ops.push_back("INFO");
                    break;
                case NatsParser::Kind::ok:
                    ops.push_back("OK");
                    break;
            }
        };
    }
};

TEST(NatsParser, SameOperationsWhereverTheStreamIsCut) {
    // A payload holding protocol text must not be read as protocol.
    const std::string stream =
        "INFO {\"max_payload\":1048576}\r\nPING\r\n"
        "MSG 0-1-100-0001 1 13\r\nMSG x 1 2\r\nhi\r\n"
        "msg 0-1-100-0002 7 _INBOX.a 0\r\n\r\n"
        "+OK\r\nPONG\r\n-ERR 'Slow Consumer'\r\n";
    const std::vector<std::string> expected = {"INFO",
                                               "PING",
                                               "MSG 0-1-100-0001 [MSG x 1 2\r\nhi]",
                                               "MSG 0-1-100-0002 []",
                                               "OK",
                                               "PONG",
                                               "ERR 'Slow Consumer'"};
    for (std::size_t cut = 0; cut <= stream.size(); ++cut) {
        for (std::size_t second = cut; second <= stream.size(); second += 7) {
            NatsParser parser;
            Seen seen;
            ASSERT_TRUE(parser.feed(std::string_view(stream).substr(0, cut), seen.sink()));
            ASSERT_TRUE(
                parser.feed(std::string_view(stream).substr(cut, second - cut), seen.sink()));
            ASSERT_TRUE(parser.feed(std::string_view(stream).substr(second), seen.sink()));
            ASSERT_EQ(seen.ops, expected) << "cut at " << cut << " and " << second;
            EXPECT_EQ(parser.buffered(), 0u);
        }
    }
}

TEST(NatsParser, RefusesWhatIsNotTheProtocol) {
    Seen seen;
    for (const char* bad : {"HELLO\r\n", "MSG a 1\r\n", "MSG a 1 x\r\n", "MSG a 1 2\r\nabcd\r\n",
                            "MSG a 1 999999999999\r\n"}) {
        NatsParser parser;
        EXPECT_FALSE(parser.feed(bad, seen.sink())) << bad;
    }
    NatsParser endless;
    EXPECT_FALSE(endless.feed(std::string(70'000, 'x'), seen.sink()));
}

TEST(Payload, TextStampSurvivesTheRelaysRestamping) {
    const std::string record =
        textRecord("0-1-100-0001", upperUuid(1, 2), {123456789012345ull, 77}, 1700000000.5, 300);
    EXPECT_EQ(record.size(), 300u);
    rapidjson::Document doc;
    ASSERT_FALSE(doc.Parse(record.c_str()).HasParseError());
    EXPECT_STREQ(doc["op"].GetString(), "text");
    EXPECT_STREQ(doc["to"].GetString(), "0-1-100-0001");
    EXPECT_STREQ(doc["id"].GetString(), "00000000-0000-4001-8000-000000000002");
    // What the relay does: parse, add the sender's number, write again.
    doc.AddMember("number", "0-1-100-0000", doc.GetAllocator());
    rapidjson::StringBuffer out;
    rapidjson::Writer<rapidjson::StringBuffer> writer(out);
    doc.Accept(writer);
    const auto stamp = textStamp(out.GetString());
    ASSERT_TRUE(stamp);
    EXPECT_EQ(stamp->sentNs, 123456789012345ull);
    EXPECT_EQ(stamp->seq, 77u);
    EXPECT_FALSE(textStamp(R"({"op":"presence","online":[]})"));
    EXPECT_FALSE(textStamp(R"({"body":"t12"})"));
}

TEST(Payload, MediaFrameIsOneTheRelayRoutes) {
    const std::string frame =
        mediaFrame(5, "44-564-678-9012", {~0ull - 5, 0xFFFFFFFFu}, 900 * 1024);
    const auto parsed = wire::parseNetFrame(
        std::span(reinterpret_cast<const std::byte*>(frame.data()), frame.size()));
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->kind, 5);
    EXPECT_EQ(parsed->target, "44-564-678-9012");
    EXPECT_EQ(parsed->media.size(), 900u * 1024);
    const auto stamp = mediaStamp(frame);
    ASSERT_TRUE(stamp);
    EXPECT_EQ(stamp->sentNs, ~0ull - 5);
    EXPECT_EQ(stamp->seq, 0xFFFFFFFFu);
    EXPECT_FALSE(mediaStamp(frame.substr(0, 20)));
}

TEST(Addressing, NumbersAndSourcesFollowTheIndex) {
    EXPECT_EQ(numberFor(0), "0-1-100-0000");
    EXPECT_EQ(numberFor(12'345), "0-1-101-2345");
    // 60 clients a source from 127.0.0.2; the last byte never 255 or 0.
    EXPECT_EQ(loopbackSource(59, 60), 0x7F000002u);
    EXPECT_EQ(loopbackSource(60, 60), 0x7F000003u);
    EXPECT_EQ(loopbackSource(252 * 60, 60), 0x7F0000FEu);
    EXPECT_EQ(loopbackSource(253 * 60, 60), 0x7F000101u);
    EXPECT_EQ(loopbackSource(3, 0), loopbackSource(3, 1));
}

}  // namespace
}  // namespace merrowfax::bench
