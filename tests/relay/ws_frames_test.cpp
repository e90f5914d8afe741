// The live endpoint's framing: client frames in any pieces, fragments joined
// around control frames, and every malformed frame refused with its code.
#include "relay/ws_frames.h"

#include <thread>

#include <gtest/gtest.h>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/streambuf.hpp>
#include <boost/asio/write.hpp>

#include "relay_fixture.h"

namespace merrowfax::relay::ws {
namespace {

// A masked client frame.
std::string frame(Opcode op, std::string_view payload, bool fin = true) {
    std::string out(header(op, payload.size()).view());
    out[0] = static_cast<char>((fin ? 0x80 : 0) | static_cast<int>(op));
    out[1] = static_cast<char>(out[1] | 0x80);
    const char key[4] = {'\x12', '\x34', '\x56', '\x78'};
    out.append(key, 4);
    for (std::size_t i = 0; i < payload.size(); ++i)
        out.push_back(static_cast<char>(payload[i] ^ key[i % 4]));
    return out;
}

struct Seen : Reader::Handler {
    std::vector<std::string> messages;  // "t:" or "b:" and the payload
    std::vector<std::string> pings;
    int closeCode = 0;
    void onMessage(bool text, std::string_view payload) override {
        messages.push_back((text ? "t:" : "b:") + std::string(payload));
    }
    void onPing(std::string_view payload) override { pings.emplace_back(payload); }
    void onClose(std::uint16_t code) override { closeCode = code; }
};

// Feeds `bytes` in pieces of `piece` bytes; the first refusal ends it.
std::uint16_t feed(Reader& reader, Seen& seen, std::string bytes, std::size_t piece) {
    for (std::size_t at = 0; at < bytes.size(); at += piece) {
        const std::size_t n = std::min(piece, bytes.size() - at);
        if (const auto code = reader.feed(bytes.data() + at, n, seen)) return code;
    }
    return 0;
}

TEST(WsFrames, MessagesComeWholeHoweverTheBytesAreCut) {
    const std::string big(70'000, 'z');
    const std::string stream = frame(Opcode::text, "hello") + frame(Opcode::binary, "ab", false) +
                               frame(Opcode::ping, "p1") +
                               frame(Opcode::continuation, "cd", false) +
                               frame(Opcode::continuation, "ef") + frame(Opcode::text, "") +
                               frame(Opcode::pong, "x") + frame(Opcode::binary, big);
    for (const std::size_t piece :
         {std::size_t{1}, std::size_t{3}, std::size_t{7}, std::size_t{64}, stream.size()}) {
        Reader reader(1 << 20);
        Seen seen;
        ASSERT_EQ(feed(reader, seen, stream, piece), 0) << piece;
        ASSERT_EQ(seen.messages.size(), 4u) << piece;
        EXPECT_EQ(seen.messages[0], "t:hello");
        EXPECT_EQ(seen.messages[1], "b:abcdef");
        EXPECT_EQ(seen.messages[2], "t:");
        EXPECT_EQ(seen.messages[3], "b:" + big);
        EXPECT_EQ(seen.pings, std::vector<std::string>{"p1"});
        EXPECT_EQ(reader.held(), 0u);  // nothing kept once the messages are out
    }
}

TEST(WsFrames, ALargeFrameIsReadStraightIntoItsMessage) {
    const std::string payload(100'000, 'q');
    std::string bytes = frame(Opcode::binary, payload);
    Reader reader(1 << 20);
    Seen seen;
    ASSERT_EQ(reader.feed(bytes.data(), 20, seen), 0);  // the header and a little
    std::size_t at = 20;
    while (at < bytes.size()) {
        const auto room = reader.room();
        ASSERT_FALSE(room.empty());
        const std::size_t n = std::min({room.size(), bytes.size() - at, std::size_t{30'000}});
        std::copy_n(bytes.data() + at, n, room.data());
        ASSERT_EQ(reader.filled(n, seen), 0);
        at += n;
    }
    ASSERT_EQ(seen.messages.size(), 1u);
    EXPECT_EQ(seen.messages[0], "b:" + payload);
    EXPECT_TRUE(reader.room().empty());
}

TEST(WsFrames, MalformedFramesAreRefusedWithTheirCode) {
    auto refusal = [](std::string bytes, std::size_t max = 1000) {
        Reader reader(max);
        Seen seen;
        return feed(reader, seen, std::move(bytes), 1);
    };
    std::string unmasked = frame(Opcode::text, "hi");
    unmasked[1] = static_cast<char>(unmasked[1] & 0x7F);
    EXPECT_EQ(refusal(unmasked), kProtocolError);
    std::string reserved = frame(Opcode::text, "hi");
    reserved[0] = static_cast<char>(reserved[0] | 0x40);
    EXPECT_EQ(refusal(reserved), kProtocolError);
    EXPECT_EQ(refusal(frame(Opcode::ping, "x", false)), kProtocolError);  // fragmented control
    EXPECT_EQ(refusal(frame(Opcode::ping, std::string(126, 'x'))), kProtocolError);
    EXPECT_EQ(refusal(frame(Opcode::continuation, "x")), kProtocolError);  // nothing to continue
    EXPECT_EQ(refusal(frame(Opcode::text, "a", false) + frame(Opcode::text, "b")), kProtocolError);
    EXPECT_EQ(refusal(frame(static_cast<Opcode>(3), "x")), kProtocolError);
    std::string longForm = "\x81\xFE" + std::string("\x00\x05", 2) + "abcd" + "hello";
    EXPECT_EQ(refusal(longForm), kProtocolError);  // 5 bytes in the 16-bit form
    // The limit holds for the message, not only for each of its fragments.
    EXPECT_EQ(refusal(frame(Opcode::binary, std::string(600, 'a'), false) +
                      frame(Opcode::continuation, std::string(600, 'a'))),
              kTooBig);
    EXPECT_EQ(refusal(frame(Opcode::text, "\xC0\xAF")), kBadData);
    // A character split across fragments is fine; one left unfinished is not.
    Reader reader(1000);
    Seen seen;
    EXPECT_EQ(feed(reader, seen,
                   frame(Opcode::text, "\xE2\x82", false) + frame(Opcode::continuation, "\xAC"), 5),
              0);
    EXPECT_EQ(seen.messages.at(0), "t:\xE2\x82\xAC");
    EXPECT_EQ(refusal(frame(Opcode::text, "\xE2\x82")), kBadData);
}

TEST(WsFrames, CloseFramesAreCheckedAndEndTheReading) {
    Reader reader(1000);
    Seen seen;
    EXPECT_EQ(feed(reader, seen,
                   frame(Opcode::close,
                         "\x03\xE8"
                         "bye") +
                       frame(Opcode::text, "late"),
                   4),
              0);
    EXPECT_EQ(seen.closeCode, 1000);
    EXPECT_TRUE(seen.messages.empty());  // nothing after the close is read
    EXPECT_TRUE(reader.closed());

    auto code = [](std::string payload) {
        Reader r(1000);
        Seen s;
        const auto refused = feed(r, s, frame(Opcode::close, payload), 100);
        return refused ? refused : s.closeCode;
    };
    EXPECT_EQ(code(""), kNoStatus);
    EXPECT_EQ(code("\x03"), kProtocolError);
    EXPECT_EQ(code(std::string("\x03\xED", 2)), kProtocolError);  // 1005 is never sent
    EXPECT_EQ(code(std::string("\x03\xE8\xFF", 3)), kBadData);
}

TEST(WsFrames, ServerHeaders) {
    EXPECT_EQ(header(Opcode::text, 125).view(), std::string("\x81\x7D"));
    EXPECT_EQ(header(Opcode::binary, 126).view(), std::string("\x82\x7E\x00\x7E", 4));
    EXPECT_EQ(header(Opcode::binary, 65535).size, 4);
    EXPECT_EQ(header(Opcode::binary, 65536).view(),
              std::string("\x82\x7F\x00\x00\x00\x00\x00\x01\x00\x00", 10));
    EXPECT_EQ(closeFrame(1008), std::string("\x88\x02\x03\xF0", 4));
}

namespace net = boost::asio;
using net::ip::tcp;

// A WebSocket client by hand, to cut frames where no library would.
class RawClient {
public:
    RawClient(unsigned short port, const std::string& target) : socket_(io_) {
        socket_.connect({net::ip::make_address("127.0.0.1"), port});
        socket_.set_option(tcp::no_delay(true));
        const timeval wait{3, 0};
        ::setsockopt(socket_.native_handle(), SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
        net::write(socket_, net::buffer("GET " + target +
                                        " HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\n"
                                        "Connection: Upgrade\r\nSec-WebSocket-Version: 13\r\n"
                                        "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n\r\n"));
        const std::size_t end = net::read_until(socket_, in_, "\r\n\r\n");
        answer_.assign(net::buffers_begin(in_.data()), net::buffers_begin(in_.data()) + end);
        in_.consume(end);
    }
    const std::string& answer() const { return answer_; }

    // One byte per write when `inPieces`, each its own segment.
    void send(const std::string& bytes, bool inPieces = false) {
        if (!inPieces) return (void)net::write(socket_, net::buffer(bytes));
        for (const char c : bytes) {
            net::write(socket_, net::buffer(&c, 1));
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    }

    // The next frame's opcode and payload; opcode -1 when none came.
    std::pair<int, std::string> next() {
        boost::system::error_code ec;
        if (!fill(2, ec)) return {-1, {}};
        const auto* h = static_cast<const unsigned char*>(in_.data().data());
        const int op = h[0] & 0x0F;
        std::size_t length = h[1] & 0x7F;
        const std::size_t extra = length == 126 ? 2 : length == 127 ? 8 : 0;
        if (!fill(2 + extra, ec)) return {-1, {}};
        h = static_cast<const unsigned char*>(in_.data().data());
        if (extra) length = 0;
        for (std::size_t i = 0; i < extra; ++i) length = (length << 8) | h[2 + i];
        if (!fill(2 + extra + length, ec)) return {-1, {}};
        const auto* p = static_cast<const char*>(in_.data().data());
        std::string payload(p + 2 + extra, length);
        in_.consume(2 + extra + length);
        return {op, payload};
    }

    // The first frame with this opcode, skipping others.
    std::optional<std::string> waitFor(int op) {
        for (auto [got, payload] = next(); got != -1; std::tie(got, payload) = next())
            if (got == op) return payload;
        return std::nullopt;
    }

private:
    bool fill(std::size_t size, boost::system::error_code& ec) {
        if (in_.size() < size)
            net::read(socket_, in_, net::transfer_at_least(size - in_.size()), ec);
        return in_.size() >= size;
    }

    net::io_context io_;
    tcp::socket socket_;
    net::streambuf in_;
    std::string answer_;
};

TEST(RawWebSocket, PiecesAndPingsGetThroughAndABrokenFrameIsRefused) {
    testing::RelayProcess relay;
    auto bo = testing::join(relay, testing::makeDevice(testing::number(2), "Bo", "mac-2"));
    RawClient ann(relay.port(), testing::makeDevice(testing::number(1), "Ann", "mac-1").target());
    EXPECT_NE(ann.answer().find("Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo="),
              std::string::npos);
    const auto pin = ann.waitFor(1);
    ASSERT_TRUE(pin && pin->find(R"("op":"pin")") != std::string::npos);

    // A record in two fragments with a ping between, one byte at a time.
    const std::string record = testing::textRecord(testing::number(2), "in pieces");
    ann.send(frame(Opcode::text, record.substr(0, 10), false) +
                 frame(Opcode::ping, "still there?") +
                 frame(Opcode::continuation, record.substr(10)),
             true);
    EXPECT_EQ(ann.waitFor(static_cast<int>(Opcode::pong)), "still there?");
    const auto text = bo.client->waitFor("text");
    ASSERT_TRUE(text);
    EXPECT_STREQ((*text)["text"].GetString(), "in pieces");

    // An unmasked frame: refused with 1002, and the service goes on.
    ann.send(std::string(header(Opcode::text, 2).view()) + "hi");
    EXPECT_EQ(ann.waitFor(static_cast<int>(Opcode::close)), std::string("\x03\xEA", 2));
    EXPECT_TRUE(testing::pongs(*bo.client));
}

}  // namespace
}  // namespace merrowfax::relay::ws
