#include "client.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <array>
#include <chrono>
#include <optional>

#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>

#include "addressing.h"
#include "clock.h"
#include "load.h"
#include "payload.h"
#include "report.h"

namespace merrowfax::bench {

Client::Client(Load& load, std::size_t i)
    : index(i), number(numberFor(i)), partner(i ^ 1), load_(load), ws_(load.io), pause_(load.io) {}

void Client::open(const net::ip::address& source, std::function<void(bool)> ready) {
    ready_ = std::move(ready);
    auto& socket = ws_.next_layer();
    beast::error_code ec;
    socket.open(tcp::v4(), ec);
    if (!ec) {
        // Let connect() pick the port per destination: more clients than
        // ephemeral ports per source address would otherwise allow.
        int on = 1;
        ::setsockopt(socket.native_handle(), IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &on, sizeof on);
        if (receiveBuffer > 0)
            socket.set_option(net::socket_base::receive_buffer_size(receiveBuffer));
        socket.bind(tcp::endpoint(source, 0), ec);
    }
    if (ec) return fail("socket");
    socket.async_connect(load_.server(index), [self = shared_from_this()](beast::error_code ec) {
        if (ec) return self->fail("connect");
        self->handshake();
    });
}

void Client::handshake() {
    ws_.set_option(websocket::stream_base::timeout::suggested(beast::role_type::client));
    ws_.read_message_max(64 * 1024 * 1024);
    ws_.auto_fragment(false);
    if (load_.writeBufferBytes > 0) ws_.write_buffer_bytes(load_.writeBufferBytes);
    ws_.next_layer().set_option(tcp::no_delay(true));
    const std::string host = load_.options.host + ":" + std::to_string(load_.options.port);
    ws_.async_handshake(host, target(), [self = shared_from_this()](beast::error_code ec) {
        if (ec) return self->fail("handshake");
        self->alive = true;
        self->onOpen();
        self->read();
    });
}

void Client::send(std::shared_ptr<const std::string> payload, bool binary) {
    if (!alive) return;
    push(envelope(std::move(payload), binary));
}

void Client::push(Out out) {
    out_.push_back(std::move(out));
    if (!writing_) write();
}

void Client::write() {
    if (out_.empty() || !alive) {
        writing_ = false;
        return;
    }
    writing_ = true;
    const auto& f = out_.front();
    ws_.binary(f.binary);
    const std::array<net::const_buffer, 3> buffers{
        net::buffer(f.head), f.body ? net::buffer(*f.body) : net::const_buffer{},
        net::buffer(f.tail.data(), f.tail.size())};
    ws_.async_write(buffers, [self = shared_from_this()](beast::error_code ec, std::size_t) {
        self->out_.pop_front();
        if (ec) return self->fail("write");
        self->write();
    });
}

void Client::read() {
    ws_.async_read(
        in_, [self = shared_from_this()](beast::error_code ec, std::size_t) { self->onRead(ec); });
}

void Client::onRead(beast::error_code ec) {
    if (ec) return fail("read");
    const auto data = in_.cdata();
    const std::size_t size = data.size();
    onMessage(std::string_view(static_cast<const char*>(data.data()), size), ws_.got_binary());
    in_.consume(size);
    if (!alive) return;
    if (readRate <= 0) return read();
    // Paced by bytes, not messages: nats-server packs several operations into
    // one WebSocket message.
    pause_.expires_after(std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(static_cast<double>(size) / readRate)));
    pause_.async_wait([self = shared_from_this()](beast::error_code) { self->read(); });
}

void Client::deliver(std::string_view payload) {
    const auto now = nowNs();
    std::optional<Stamp> stamp;
    if (!payload.empty() && payload.front() == '{') {
        stamp = textStamp(payload);
    } else {
        stamp = mediaStamp(payload);
    }
    if (stamp && load_.onStamp) load_.onStamp(*this, *stamp, now);
}

void Client::settle(bool ok) {
    auto done = std::move(ready_);
    ready_ = nullptr;
    done(ok);
}

void Client::fail(const char* why) {
    if (alive) {
        ++load_.closed;
        closedAt = nowNs();
    }
    alive = false;
    if (ready_) {
        note(number + ": " + why);
        settle(false);
    }
    pause_.cancel();
    beast::error_code ignored;
    ws_.next_layer().close(ignored);
}

}  // namespace merrowfax::bench
