// With a certificate the same port speaks only TLS: https for the directory
// and wss for the live endpoint.
#include <cstdlib>

#include <gtest/gtest.h>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>

#include "relay_fixture.h"

namespace merrowfax::testing {
namespace {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = net::ip::tcp;

TEST(TlsTest, ServesHttpsAndWssOnOnePort) {
    const auto dir =
        std::filesystem::temp_directory_path() / ("relay-tls-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const auto key = dir / "key.pem";
    const auto cert = dir / "cert.pem";
    const std::string make =
        "openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=127.0.0.1"
        " -keyout " +
        key.string() + " -out " + cert.string() + " >/dev/null 2>&1";
    ASSERT_EQ(std::system(make.c_str()), 0) << "needs the openssl command to make a certificate";
    RelayProcess relay(flags({"--tls-cert", cert.string(), "--tls-key", key.string()}));

    net::io_context io;
    net::ssl::context ctx(net::ssl::context::tls_client);
    ctx.set_verify_mode(net::ssl::verify_none);
    const tcp::endpoint endpoint(net::ip::make_address("127.0.0.1"), relay.port());
    {
        beast::ssl_stream<beast::tcp_stream> stream(io, ctx);
        beast::get_lowest_layer(stream).connect(endpoint);
        stream.handshake(net::ssl::stream_base::client);
        http::request<http::empty_body> request{http::verb::get, "/merrowfax/directory?letter=A",
                                                11};
        request.set(http::field::host, "127.0.0.1");
        http::write(stream, request);
        beast::flat_buffer buffer;
        http::response<http::string_body> response;
        http::read(stream, buffer, response);
        EXPECT_EQ(response.result_int(), 200u);
        EXPECT_EQ(response.body(), R"({"people":[],"more":false,"after":""})");
    }
    {
        beast::websocket::stream<beast::ssl_stream<beast::tcp_stream>> ws(io, ctx);
        beast::get_lowest_layer(ws).connect(endpoint);
        ws.next_layer().handshake(net::ssl::stream_base::client);
        ws.handshake("127.0.0.1", makeDevice(number(1), "Tia", "mac-tls").target());
        beast::flat_buffer buffer;
        ws.read(buffer);
        EXPECT_NE(beast::buffers_to_string(buffer.data()).find(R"("op":"pin")"), std::string::npos);
    }
    // Plain HTTP on the TLS port gets nothing useful back.
    EXPECT_EQ(httpGet(relay.port(), "/merrowfax/directory?letter=A").status, 0);
    std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace merrowfax::testing
