// HTTP clients that never stop sending: a request body on endpoints that take
// none, chunk lines that never end. The service refuses them after the
// header, its memory stays put, and devices go on texting meanwhile.
#include <algorithm>
#include <thread>

#include <gtest/gtest.h>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/write.hpp>

#include "relay_fixture.h"

namespace merrowfax::testing {
namespace {

namespace net = boost::asio;
using tcp = net::ip::tcp;

struct Attack {
    std::size_t sent = 0;
    bool cutOff = false;  // the service closed the connection
    long peakMb = 0;      // the service's resident memory while it ran
};

// Sends `head`, then `filler` over and over for up to `time`, sampling the
// service's memory as it goes.
Attack stream(const RelayProcess& relay, const std::string& head, char filler,
              std::chrono::milliseconds time) {
    net::io_context io;
    tcp::socket socket(io);
    socket.connect(tcp::endpoint(net::ip::make_address("127.0.0.1"), relay.port()));
    net::write(socket, net::buffer(head));
    socket.non_blocking(true);
    const std::string chunk(64 * 1024, filler);
    Attack out;
    const auto end = std::chrono::steady_clock::now() + time;
    auto sampled = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() < end) {
        boost::system::error_code ec;
        const auto n = socket.write_some(net::buffer(chunk), ec);
        out.sent += n;
        if (ec == net::error::would_block) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        } else if (ec) {
            out.cutOff = true;
            break;
        }
        if (std::chrono::steady_clock::now() - sampled > std::chrono::milliseconds(20)) {
            out.peakMb = std::max(out.peakMb, residentMb(relay.pid()));
            sampled = std::chrono::steady_clock::now();
        }
    }
    out.peakMb = std::max(out.peakMb, residentMb(relay.pid()));
    return out;
}

TEST(HostileHttpTest, EndlessChunkLinesAreRefusedWithoutBuffering) {
    RelayProcess relay;
    auto a = join(relay, makeDevice(number(1), "Ann", "mac-1"));
    auto b = join(relay, makeDevice(number(2), "Bob", "mac-2"));
    const long before = residentMb(relay.pid());
    const std::string chunked = "Host: relay\r\nTransfer-Encoding: chunked\r\n\r\n";
    struct Case {
        const char* what;
        std::string head;
        char filler;
    };
    const Case cases[] = {
        {"chunk size", "GET /merrowfax/directory HTTP/1.1\r\n" + chunked, '0'},
        {"chunk extension", "GET /merrowfax/directory HTTP/1.1\r\n" + chunked + "1;", 'x'},
        {"trailer", "GET /merrowfax/live HTTP/1.1\r\n" + chunked + "0\r\nX-Pad: ", 'x'},
        {"long body",
         "GET /merrowfax/directory HTTP/1.1\r\nHost: r\r\nContent-Length: 9999999999\r\n\r\n", 'x'},
    };
    for (const auto& c : cases) {
        const auto attack = stream(relay, c.head, c.filler, std::chrono::seconds(4));
        EXPECT_TRUE(attack.cutOff) << c.what << ": " << attack.sent / (1024 * 1024) << " MB taken";
        EXPECT_LT(attack.peakMb - before, 64 + kSanitizerSlackMb) << c.what;
        a.client->sendText(textRecord(number(2), "still here"));
        EXPECT_TRUE(b.client->waitFor("text", std::chrono::seconds(2))) << c.what;
    }
}

TEST(HostileHttpTest, RequestsWithABodyGetAnAnswerAndTheDoorCloses) {
    RelayProcess relay;
    for (const std::string head : {
             "GET /merrowfax/directory?letter=A HTTP/1.1\r\nHost: r\r\nContent-Length: 2\r\n\r\n{}",
             "GET /merrowfax/directory?letter=A HTTP/1.1\r\nHost: r\r\nTransfer-Encoding: "
             "chunked\r\n\r\n0\r\n\r\n",
             "POST /merrowfax/directory HTTP/1.1\r\nHost: r\r\nContent-Length: 1\r\n\r\nx",
         }) {
        // Two requests: the second never gets an answer, the connection ends first.
        const auto answer = rawExchange(relay.port(), head + head);
        EXPECT_EQ(answer.rfind("HTTP/1.1 400", 0), 0u) << head;
        EXPECT_EQ(answer.find("HTTP/1.1", 1), std::string::npos) << head;
    }
    // Content-Length 0 is no body.
    const auto plain =
        rawExchange(relay.port(),
                    "GET /merrowfax/directory?letter=A HTTP/1.1\r\nHost: r\r\nContent-Length: 0\r\n"
                    "Connection: close\r\n\r\n");
    EXPECT_EQ(plain.rfind("HTTP/1.1 200", 0), 0u) << plain;
}

}  // namespace
}  // namespace merrowfax::testing
