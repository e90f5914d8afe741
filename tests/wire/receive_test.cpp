#include <gtest/gtest.h>

#include <map>
#include <string>

#include "wire/base64.h"
#include "wire/envelope_builders.h"
#include "wire/envelope_json.h"
#include "wire/receive.h"

using namespace merrowfax;
using namespace merrowfax::wire;

namespace {

constexpr const char* kId = "E621E1F8-C36C-495A-93FC-0C247A3E6E5F";
constexpr Date kNow = 800000000.25;
const std::string kQId = std::string("\"") + kId + "\"";  // as a JSON value

// JSON values by key, so a record can be built with one field left out.
using Fields = std::map<std::string, std::string>;

std::string json(const Fields& fields) {
    std::string out = "{";
    for (const auto& [key, value] : fields) {
        if (out.size() > 1) out += ",";
        out += "\"" + key + "\":" + value;
    }
    return out + "}";
}

std::optional<Incoming> receive(const Fields& fields, Transport t = Transport::net,
                                std::string_view peerKey = "peer") {
    auto envelope = decodeEnvelope(json(fields));
    if (!envelope) ADD_FAILURE() << "does not decode: " << json(fields);
    return envelope ? receiveEnvelope(*envelope, t, peerKey, kNow) : std::nullopt;
}

template <typename Event>
Event eventOf(const std::optional<Incoming>& in) {
    if (!in) throw std::runtime_error("no event");
    return std::get<Event>(std::get<PeerEvent>(*in));
}

struct OpCase {
    std::string op;
    Transport transport;
    Fields required;
};

// Each op with exactly its required fields on a transport that carries it.
const std::vector<OpCase> kOps = {
    {"text", Transport::lan, {{"id", kQId}, {"number", "\"1\""}, {"text", "\"hi\""}}},
    {"delivered", Transport::net, {{"id", kQId}}},
    {"delete", Transport::lan, {{"id", kQId}, {"number", "\"1\""}}},
    {"call", Transport::net, {{"id", kQId}, {"call", "\"invite\""}, {"number", "\"1\""}}},
    {"audio", Transport::net, {{"payload", "\"AAE=\""}}},
    {"talk", Transport::lan, {{"number", "\"1\""}}},
    {"file", Transport::net, {{"id", kQId}, {"number", "\"1\""}, {"payload", "\"\""}}},
    {"file", Transport::lan, {{"id", kQId}, {"number", "\"1\""}, {"resource", "\"file-1\""}}},
    {"desk", Transport::net, {{"number", "\"1\""}, {"desk", "\"click\""}}},
    {"link-hello", Transport::lan, {{"linkCode", "\"AB12CD\""}, {"device", "\"d\""}}},
    {"link-account",
     Transport::lan,
     {{"name", "\"Ann\""},
      {"country", "\"0\""},
      {"cityCode", "1"},
      {"subscriber", "2345678"},
      {"device", "\"d\""}}},
    {"link-joined", Transport::lan, {{"device", "\"d\""}}},
    {"unlink", Transport::lan, {{"device", "\"d\""}}},
};

}  // namespace

TEST(Receive, EveryOpNeedsExactlyItsRequiredFields) {
    for (const OpCase& c : kOps) {
        Fields fields = c.required;
        fields["op"] = "\"" + c.op + "\"";
        EXPECT_TRUE(receive(fields, c.transport)) << c.op;
        for (const auto& [key, value] : c.required) {
            Fields missing = fields;
            missing.erase(key);
            EXPECT_FALSE(receive(missing, c.transport)) << c.op << " without " << key;
        }
        // A malformed id spoils any record, even one that does not need an id.
        fields["id"] = "\"not-a-uuid\"";
        EXPECT_FALSE(receive(fields, c.transport)) << c.op << " with a bad id";
    }
}

TEST(Receive, EachTransportCarriesOnlyItsOps) {
    const std::map<std::string, std::pair<bool, bool>> carried = {
        {"roster", {true, false}},       {"text", {true, true}},
        {"delivered", {true, true}},     {"delete", {true, true}},
        {"call", {true, true}},          {"audio", {false, true}},
        {"talk", {true, true}},          {"file", {true, true}},
        {"desk", {false, true}},         {"link-hello", {true, false}},
        {"link-account", {true, false}}, {"link-joined", {true, false}},
        {"unlink", {true, false}},       {"presence", {false, false}},
        {"ping", {false, false}},        {"Text", {false, false}},
    };
    // A record with every field any op needs, so only the op decides.
    const Fields all = {{"id", kQId},           {"number", "\"1\""},     {"text", "\"t\""},
                        {"call", "\"invite\""}, {"payload", "\"AAE=\""}, {"resource", "\"file-1\""},
                        {"desk", "\"click\""},  {"linkCode", "\"C\""},   {"device", "\"d\""},
                        {"name", "\"n\""},      {"country", "\"0\""},    {"cityCode", "1"},
                        {"subscriber", "2"}};
    for (const auto& [op, lanNet] : carried) {
        Fields fields = all;
        fields["op"] = "\"" + op + "\"";
        EXPECT_EQ(receive(fields, Transport::lan).has_value(), lanNet.first) << op << " on LAN";
        EXPECT_EQ(receive(fields, Transport::net).has_value(), lanNet.second) << op << " on Net";
    }
}

TEST(Receive, TextDefaultsToTheSender) {
    auto text = eventOf<events::Text>(receive(
        {{"op", "\"text\""}, {"id", kQId}, {"number", "\"0-1-234-5678\""}, {"text", "\"hello\""}},
        Transport::net, "0-1-234-5678"));
    EXPECT_EQ(text, (events::Text{*Uuid::parse(kId), "0-1-234-5678", "0-1-234-5678", "",
                                  "0-1-234-5678", "hello", kNow, "0-1-234-5678"}));
}

TEST(Receive, OtherDefaults) {
    auto call = eventOf<events::Call>(
        receive({{"op", "\"call\""}, {"call", "\"end\""}, {"id", kQId}, {"number", "\"1\""}}));
    EXPECT_EQ(call, (events::Call{"end", *Uuid::parse(kId), "1", "", "1", false, "peer"}));

    auto deleted = eventOf<events::Deleted>(
        receive({{"op", "\"delete\""}, {"id", kQId}, {"number", "\"1\""}}));
    EXPECT_EQ(deleted.to, "1");

    auto desk = eventOf<events::Desk>(
        receive({{"op", "\"desk\""}, {"number", "\"1\""}, {"desk", "\"move\""}}));
    EXPECT_EQ(desk, (events::Desk{"1", "1", "", "move", false, 0, 0, 0, "", 1, "", ""}));

    auto talk = eventOf<events::Talk>(receive({{"op", "\"talk\""}, {"number", "\"1\""}}));
    EXPECT_EQ(talk, (events::Talk{false, "Merrowfax", "1"}));

    EXPECT_EQ(eventOf<events::LinkHello>(
                  receive({{"op", "\"link-hello\""}, {"linkCode", "\"C\""}, {"device", "\"d\""}},
                          Transport::lan, "M-1"))
                  .deviceName,
              "Device");
    EXPECT_EQ(eventOf<events::LinkJoined>(
                  receive({{"op", "\"link-joined\""}, {"device", "\"d\""}}, Transport::lan))
                  .deviceName,
              "Device");
    auto account = eventOf<events::LinkAccount>(receive({{"op", "\"link-account\""},
                                                         {"name", "\"Ann\""},
                                                         {"country", "\"44\""},
                                                         {"cityCode", "1"},
                                                         {"subscriber", "2345678"},
                                                         {"device", "\"d\""}},
                                                        Transport::lan, "M-1"));
    EXPECT_EQ(account, (events::LinkAccount{"Ann", "44", 1, 2345678, "d", "Merrowfax", "M-1"}));

    auto file = std::get<IncomingFile>(
        *receive({{"op", "\"file\""}, {"id", kQId}, {"number", "\"1\""}, {"payload", "\"\""}}));
    EXPECT_EQ(file.event,
              (events::File{*Uuid::parse(kId), "1", "1", "", "1", "File", "file", kNow, ""}));
}

TEST(Receive, TalkStartsOnlyOnExactlyStart) {
    const std::map<std::string, bool> cases = {{"\"start\"", true},   {"\"end\"", false},
                                               {"null", false},       {"\"Start\"", false},
                                               {"\"start \"", false}, {"\"\"", false}};
    for (const auto& [call, start] : cases) {
        auto talk = eventOf<events::Talk>(receive(
            {{"op", "\"talk\""}, {"number", "\"1\""}, {"call", call}, {"name", "\"Ann\""}}));
        EXPECT_EQ(talk.start, start) << call;
        EXPECT_EQ(talk.name, "Ann");
    }
}

TEST(Receive, AudioPayloadMustDecodeToTwoBytes) {
    auto audio = [](const char* payload) {
        return receive({{"op", "\"audio\""}, {"payload", payload}});
    };
    EXPECT_FALSE(audio("\"\""));
    EXPECT_FALSE(audio("\"AA==\""));   // 1 byte
    EXPECT_FALSE(audio("\"AAE\""));    // no padding
    EXPECT_FALSE(audio("\"AA E=\""));  // not base64
    EXPECT_EQ(eventOf<events::Audio>(audio("\"AAE=\"")).bytes, (Bytes{std::byte{0}, std::byte{1}}));
}

TEST(Receive, MediaAndAcknowledgementsNameTheirSender) {
    // The relay service writes the sender's number into what it forwards;
    // the app hears media and acknowledgements only from the right number.
    auto audio = eventOf<events::Audio>(
        receive({{"op", "\"audio\""}, {"payload", "\"AAE=\""}, {"number", "\"7\""}}));
    EXPECT_EQ(audio.from, "7");
    auto ack = eventOf<events::Delivered>(
        receive({{"op", "\"delivered\""}, {"id", kQId}, {"number", "\"7\""}}));
    EXPECT_EQ(ack.from, "7");
    EXPECT_EQ(eventOf<events::Delivered>(receive({{"op", "\"delivered\""}, {"id", kQId}})).from,
              "");

    const Bytes body{std::byte{9}};
    for (auto kind :
         {FrameKind::audio, FrameKind::video, FrameKind::walkie, FrameKind::deskFrame}) {
        const auto message = encodeNetFrame(kind, "44-1-555-0001", body);
        auto event = eventFromFrame(*parseNetFrame(message));
        ASSERT_TRUE(event);
        const std::string from = std::visit(
            [](const auto& e) -> std::string {
                if constexpr (requires { e.from; }) {
                    return e.from;
                } else {
                    return "?";
                }
            },
            *event);
        EXPECT_EQ(from, "44-1-555-0001") << int(kind);
    }
    const std::vector<std::byte> lanMessage{std::byte{3}, std::byte{9}};
    EXPECT_EQ(
        std::get<events::Video>(*eventFromFrame(*parseLanFrame(lanMessage), "1-1-222-2222")).from,
        "1-1-222-2222");
}

TEST(Receive, NetFileCarriesItsBytesForTheLineToStore) {
    const Bytes content{std::byte{'%'}, std::byte{'P'}, std::byte{'D'}, std::byte{'F'}};
    auto in = receive({{"op", "\"file\""},
                       {"id", kQId},
                       {"number", "\"1\""},
                       {"fileName", "\"../../a.pdf\""},
                       {"fileKind", "\"image\""},
                       {"sent", "3.5"},
                       {"payload", "\"" + encodeBase64(content) + "\""}});
    auto file = std::get<IncomingFile>(*in);
    EXPECT_EQ(file.bytes, content);
    EXPECT_TRUE(file.resource.empty());
    EXPECT_EQ(file.localName.substr(0, 4), "net-");
    EXPECT_TRUE(Uuid::parse(file.localName.substr(4)));
    auto event = std::move(file).arrived("/tmp/x");
    EXPECT_EQ(event.url, "/tmp/x");
    EXPECT_EQ(event.fileName, "../../a.pdf");
    EXPECT_EQ(event.kind, "image");
    EXPECT_EQ(event.sent, 3.5);

    EXPECT_FALSE(
        receive({{"op", "\"file\""}, {"id", kQId}, {"number", "\"1\""}, {"payload", "\"%%%%\""}}));
}

TEST(Receive, LanFileWaitsForItsResourceUnderASafeName) {
    auto file = std::get<IncomingFile>(*receive({{"op", "\"file\""},
                                                 {"id", kQId},
                                                 {"number", "\"1\""},
                                                 {"fileName", "\"../../.ssh/authorized_keys\""},
                                                 {"resource", "\"file-9\""}},
                                                Transport::lan));
    EXPECT_EQ(file.resource, "file-9");
    EXPECT_TRUE(file.bytes.empty());
    EXPECT_EQ(file.localName.find('/'), std::string::npos);
    EXPECT_EQ(file.localName.substr(36), "-.._.._.ssh_authorized_keys");
    EXPECT_TRUE(Uuid::parse(file.localName.substr(0, 36)));

    auto unnamed = std::get<IncomingFile>(*receive(
        {{"op", "\"file\""}, {"id", kQId}, {"number", "\"1\""}, {"resource", "\"file-9\""}},
        Transport::lan));
    EXPECT_EQ(unnamed.localName.substr(36), "-file");
    EXPECT_EQ(unnamed.event.fileName, "File");
}

TEST(Receive, RosterReportsThePeersNumber) {
    auto roster = std::get<RosterUpdate>(*receive(
        {{"op", "\"roster\""}, {"number", "\"1\""}, {"name", "\"Ann\""}}, Transport::lan, "M-1"));
    EXPECT_EQ(roster, (RosterUpdate{"M-1", "1", "Ann", "", ""}));
    auto proven = std::get<RosterUpdate>(
        *receive({{"op", "\"roster\""}, {"number", "\"1\""}, {"cert", "\"v1.a.b\""}},
                 Transport::lan, "M-1"));
    EXPECT_EQ(proven.cert, "v1.a.b");
}

TEST(SafeFileName, KeepsOneHarmlessComponent) {
    const std::map<std::string, std::string> cases = {{"", "file"},         {".", "file"},
                                                      {"..", "file"},       {"a/b\\c", "a_b_c"},
                                                      {"x\ny\x7f", "x_y_"}, {"Zoë.pdf", "Zoë.pdf"}};
    for (const auto& [in, out] : cases) EXPECT_EQ(safeFileName(in), out) << in;
    // Cut at 200 bytes without splitting the two-byte "é".
    const std::string longName = std::string(199, 'a') + "\xc3\xa9" + "tail";
    EXPECT_EQ(safeFileName(longName), std::string(199, 'a'));
}

TEST(Frames, MediaKindsBecomeEvents) {
    std::vector<std::byte> media(320, std::byte{7});
    const auto message = encodeNetFrame(FrameKind::audio, "0-1-234-5678", media);
    auto net = parseNetFrame(message);
    ASSERT_TRUE(net);
    EXPECT_EQ(eventOf<events::Audio>(eventFromFrame(*net)).bytes, media);

    for (std::uint8_t kind = 0; kind < 8; ++kind) {
        const std::vector<std::byte> lanMessage{std::byte{kind}, std::byte{9}};
        auto lan = eventFromFrame(*parseLanFrame(lanMessage), "1");
        const std::vector<std::byte> netMessage{std::byte{kind}, std::byte{1}, std::byte{'7'},
                                                std::byte{9}};
        auto fromNet = eventFromFrame(*parseNetFrame(netMessage));
        const Bytes body{std::byte{9}};
        switch (kind) {
            case 2:
                EXPECT_EQ(std::get<events::Audio>(*lan).bytes, body);
                break;
            case 3:
                EXPECT_EQ(std::get<events::Video>(*lan).bytes, body);
                break;
            case 4:
                EXPECT_EQ(std::get<events::Walkie>(*lan).bytes, body);
                break;
            default:
                EXPECT_FALSE(lan) << int(kind);
        }
        if (kind == 5) {
            EXPECT_EQ(std::get<events::DeskFrame>(*fromNet).bytes, body);
        } else {
            EXPECT_EQ(fromNet.has_value(), isMediaKind(kind)) << int(kind);
        }
    }
}

TEST(Builders, WhatSendersBuildReceiversAccept) {
    const Uuid id = Uuid::random();
    const Bytes pcm(320, std::byte{1});
    const std::vector<std::pair<Envelope, Transport>> sent = {
        {textEnvelope(id, "2", "hi", 1.5), Transport::net},
        {deliveredEnvelope(id, "2"), Transport::net},
        {deleteEnvelope(id, "2"), Transport::net},
        {callEnvelope("invite", id, "2", true), Transport::net},
        {audioEnvelope("2", encodeBase64(pcm)), Transport::net},
        {talkEnvelope(true, "2", "Ann"), Transport::net},
        {netFileEnvelope(id, "2", "a.jpg", "image", 1.5, pcm), Transport::net},
        {lanFileEnvelope(id, "2", "a.jpg", "image", 1.5, "file-" + id.text()), Transport::lan},
        {rosterEnvelope(), Transport::lan},
        {linkHelloEnvelope("AB12CD", "d", "Mac"), Transport::lan},
        {linkAccountEnvelope("Ann", "0", 1, 2345678, "d", "Mac"), Transport::lan},
        {linkJoinedEnvelope("d", "Mac"), Transport::lan},
        {unlinkEnvelope("d"), Transport::lan},
    };
    for (auto [envelope, transport] : sent) {
        // The relay service stamps `number` on the internet line; the LAN
        // sender fills its own identity.
        if (transport == Transport::net) envelope.number = "1";
        fillSender(envelope, "dev", "1", "Ann");
        auto back = decodeEnvelope(*encodeEnvelope(envelope));
        ASSERT_TRUE(back) << envelope.op;
        EXPECT_TRUE(receiveEnvelope(*back, transport, "peer", kNow)) << envelope.op;
    }
}
