#include "support/ws_client.h"

#include <array>
#include <cctype>
#include <functional>
#include <stdexcept>

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>

namespace merrowfax::testing {
namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = net::ip::tcp;

namespace {

// Runs the context until `done` or the timeout; cancels what is left.
template <class Cancel>
bool runFor(net::io_context& io, std::chrono::milliseconds timeout, bool& done, Cancel cancel) {
    io.restart();
    io.run_for(timeout);
    if (!done) {
        cancel();
        io.restart();
        io.run_for(1s);
    }
    return done;
}

}  // namespace

struct WsClient::Impl {
    net::io_context io;
    websocket::stream<tcp::socket> ws{io};
    beast::flat_buffer buffer;
};

WsClient::WsClient(unsigned short port, const std::string& target)
    : WsClient(port, target, Options{}) {}

WsClient::WsClient(unsigned short port, const std::string& target, const Options& options)
    : impl_(new Impl) {
    auto& socket = impl_->ws.next_layer();
    socket.open(tcp::v4());
    if (options.receiveBuffer > 0)
        socket.set_option(net::socket_base::receive_buffer_size(options.receiveBuffer));
    socket.bind(tcp::endpoint(net::ip::make_address(options.from), 0));
    socket.connect(tcp::endpoint(net::ip::make_address("127.0.0.1"), port));
    impl_->ws.read_message_max(64 * 1024 * 1024);
    impl_->ws.handshake("127.0.0.1:" + std::to_string(port), target);
}

WsClient::~WsClient() {
    beast::error_code ignored;
    impl_->ws.next_layer().close(ignored);
}

void WsClient::sendText(const std::string& text) {
    impl_->ws.text(true);
    impl_->ws.write(net::buffer(text));
}

bool WsClient::trySendText(const std::string& text) {
    beast::error_code ec;
    impl_->ws.text(true);
    impl_->ws.write(net::buffer(text), ec);
    return !ec;
}

void WsClient::sendBinary(const std::string& bytes) {
    impl_->ws.binary(true);
    impl_->ws.write(net::buffer(bytes));
}

std::optional<WsClient::Message> WsClient::receive(std::chrono::milliseconds timeout) {
    if (closed_) return std::nullopt;
    bool done = false;
    beast::error_code result;
    impl_->buffer.clear();
    impl_->ws.async_read(impl_->buffer, [&](beast::error_code ec, std::size_t) {
        result = ec;
        done = true;
    });
    runFor(impl_->io, timeout, done, [&] {
        beast::error_code ignored;
        impl_->ws.next_layer().cancel(ignored);
    });
    if (!done || result == net::error::operation_aborted) {
        // A cancelled read leaves the stream unusable: treat it as ended.
        closed_ = true;
        timedOut_ = true;
        return std::nullopt;
    }
    if (result) {
        closed_ = true;
        closeCode_ = impl_->ws.reason().code;
        return std::nullopt;
    }
    Message m;
    m.binary = impl_->ws.got_binary();
    m.data = beast::buffers_to_string(impl_->buffer.data());
    return m;
}

std::optional<rapidjson::Document> WsClient::waitFor(const std::string& op,
                                                     std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return std::nullopt;
        auto m = receive(left);
        if (!m) return std::nullopt;
        if (m->binary) continue;
        auto doc = parseJson(m->data);
        if (doc.IsObject() && doc.HasMember("op") && doc["op"].IsString() &&
            doc["op"].GetString() == op)
            return doc;
    }
}

int WsClient::waitClosed(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!closed_) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return -1;
        receive(left);
    }
    return timedOut_ ? -1 : closeCode_;
}

void WsClient::close() {
    beast::error_code ignored;
    impl_->ws.close(websocket::close_code::normal, ignored);
    closed_ = true;
}

std::string urlEncode(const std::string& text) {
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
            out.push_back(static_cast<char>(c));
        } else {
            out.push_back('%');
            out.push_back(hex[c >> 4]);
            out.push_back(hex[c & 15]);
        }
    }
    return out;
}

std::string liveTarget(const std::vector<std::pair<std::string, std::string>>& items) {
    std::string target = "/merrowfax/live";
    char sep = '?';
    for (const auto& [name, value] : items) {
        target += sep + urlEncode(name) + "=" + urlEncode(value);
        sep = '&';
    }
    return target;
}

HttpAnswer httpGet(unsigned short port, const std::string& target) {
    HttpAnswer answer;
    try {
        net::io_context io;
        beast::tcp_stream stream(io);
        stream.connect(tcp::endpoint(net::ip::make_address("127.0.0.1"), port));
        http::request<http::empty_body> request{http::verb::get, target, 11};
        request.set(http::field::host, "127.0.0.1");
        http::write(stream, request);
        beast::flat_buffer buffer;
        http::response<http::string_body> response;
        http::read(stream, buffer, response);
        answer.status = static_cast<int>(response.result_int());
        answer.contentType = std::string(response[http::field::content_type]);
        answer.body = response.body();
    } catch (const std::exception&) {
        answer.status = 0;
    }
    return answer;
}

std::string rawExchange(unsigned short port, const std::string& bytes,
                        std::chrono::milliseconds timeout) {
    net::io_context io;
    tcp::socket socket(io);
    socket.connect(tcp::endpoint(net::ip::make_address("127.0.0.1"), port));
    beast::error_code ec;
    net::write(socket, net::buffer(bytes), ec);
    std::string received;
    std::array<char, 4096> chunk{};
    bool done = false;
    std::function<void()> readMore = [&] {
        socket.async_read_some(net::buffer(chunk), [&](beast::error_code e, std::size_t n) {
            received.append(chunk.data(), n);
            if (e) {
                done = true;
                return;
            }
            readMore();
        });
    };
    readMore();
    runFor(io, timeout, done, [&] {
        beast::error_code ignored;
        socket.cancel(ignored);
    });
    return received;
}

rapidjson::Document parseJson(const std::string& text) {
    rapidjson::Document doc;
    doc.Parse(text.data(), text.size());
    return doc;
}

}  // namespace merrowfax::testing
