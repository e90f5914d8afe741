#include <gtest/gtest.h>

#include <algorithm>
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
    Fields all;
    for (const OpCase& c : kOps) all.insert(c.required.begin(), c.required.end());
    for (const auto& [op, lanNet] : carried) {
        Fields fields = all;
        fields["op"] = "\"" + op + "\"";
        EXPECT_EQ(receive(fields, Transport::lan).has_value(), lanNet.first) << op << " on LAN";
        EXPECT_EQ(receive(fields, Transport::net).has_value(), lanNet.second) << op << " on Net";
    }
}

// The event an op with only its required fields (as in kOps) becomes.
template <typename Event>
Event minimal(const std::string& op) {
    const auto c = std::find_if(kOps.begin(), kOps.end(), [&](auto& c) { return c.op == op; });
    Fields fields = c->required;
    fields["op"] = "\"" + op + "\"";
    return eventOf<Event>(receive(fields, c->transport, "M-1"));
}

TEST(Receive, LeftOutKeysTakeTheirDefaults) {
    const Uuid id = *Uuid::parse(kId);
    // A name defaults to the sender's number; a text is addressed to it.
    EXPECT_EQ(minimal<events::Text>("text"),
              (events::Text{id, "1", "1", "", "1", "hi", kNow, "M-1"}));
    EXPECT_EQ(minimal<events::Call>("call"),
              (events::Call{"invite", id, "1", "", "1", false, "M-1"}));
    EXPECT_EQ(minimal<events::Deleted>("delete").to, "1");
    EXPECT_EQ(minimal<events::Desk>("desk"),
              (events::Desk{"1", "1", "", "click", false, 0, 0, 0, "", 1, "", ""}));
    EXPECT_EQ(minimal<events::Talk>("talk"), (events::Talk{false, "Merrowfax", "1"}));
    EXPECT_EQ(minimal<events::LinkHello>("link-hello").deviceName, "Device");
    EXPECT_EQ(minimal<events::LinkJoined>("link-joined").deviceName, "Device");
    EXPECT_EQ(minimal<events::LinkAccount>("link-account"),
              (events::LinkAccount{"Ann", "0", 1, 2345678, "d", "Merrowfax", "M-1"}));
    auto file = std::get<IncomingFile>(
        *receive({{"op", "\"file\""}, {"id", kQId}, {"number", "\"1\""}, {"payload", "\"\""}}));
    EXPECT_EQ(file.event, (events::File{id, "1", "1", "", "1", "File", "file", kNow, ""}));
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

// The relay service writes the sender's number into what it forwards; the
// app hears media and acknowledgements only from the right number.
TEST(Receive, AudioNeedsTwoBytesAndMediaAndAcknowledgementsNameTheirSender) {
    auto audio = [](const char* payload) {
        return receive({{"op", "\"audio\""}, {"payload", payload}, {"number", "\"7\""}});
    };
    for (const char* bad : {"\"\"", "\"AA==\"", "\"AAE\"", "\"AA E=\""})  // 1 byte, no padding
        EXPECT_FALSE(audio(bad)) << bad;
    EXPECT_EQ(eventOf<events::Audio>(audio("\"AAE=\"")),
              (events::Audio{{std::byte{0}, std::byte{1}}, "7"}));
    auto ack = [](const Fields& number) {
        Fields fields = number;
        fields.insert({{"op", "\"delivered\""}, {"id", kQId}});
        return eventOf<events::Delivered>(receive(fields)).from;
    };
    EXPECT_EQ(ack({{"number", "\"7\""}}), "7");
    EXPECT_EQ(ack({}), "");
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

// Which event each kind of binary frame becomes on either line, carrying its
// body and its sender: the LAN peer, or the number the relay wrote in.
TEST(Frames, MediaKindsBecomeEventsThatNameTheirSender) {
    const Bytes body{std::byte{9}};
    for (std::uint8_t kind = 0; kind < 8; ++kind) {
        SCOPED_TRACE(int(kind));
        auto expected = [&](const std::string& from) -> std::optional<PeerEvent> {
            switch (kind) {
                case 2:
                    return events::Audio{body, from};
                case 3:
                    return events::Video{body, from};
                case 4:
                    return events::Walkie{body, from};
                case 5:
                    return events::DeskFrame{body, from};
                default:
                    return std::nullopt;
            }
        };
        const std::vector<std::byte> lanMessage{std::byte{kind}, body[0]};
        const auto lan = eventFromFrame(*parseLanFrame(lanMessage), "1-1-222-2222");
        const auto net =
            eventFromFrame(*parseNetFrame(encodeNetFrame(FrameKind{kind}, "44-1-555-0001", body)));
        EXPECT_EQ(isMediaKind(kind), kind >= 2 && kind <= 5);
        EXPECT_EQ(net, expected("44-1-555-0001"));
        EXPECT_EQ(lan, kind == 5 ? std::nullopt : expected("1-1-222-2222"));  // desk: net only
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
        {linkHelloEnvelope("AB12CD", "d", "Mac", "secret"), Transport::lan},
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
