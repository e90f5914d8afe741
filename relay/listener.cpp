#include "relay/listener.h"

#include <boost/asio/post.hpp>
#include <boost/asio/strand.hpp>

#include "relay/http_session.h"
#include "relay/log.h"

namespace merrowfax::relay {
namespace net = boost::asio;
using tcp = net::ip::tcp;

Listener::Listener(net::io_context& io, net::ssl::context* tls, const tcp::endpoint& endpoint,
                   Services& services, AddressCount& addresses)
    : io_(io),
      tls_(tls),
      acceptor_(net::make_strand(io)),
      services_(services),
      addresses_(addresses) {
    acceptor_.open(endpoint.protocol());
    acceptor_.set_option(net::socket_base::reuse_address(true));
    acceptor_.bind(endpoint);
    acceptor_.listen(net::socket_base::max_listen_connections);
}

void Listener::run() {
    accept();
}

void Listener::stop() {
    net::post(acceptor_.get_executor(), [self = shared_from_this()] {
        boost::system::error_code ignored;
        self->acceptor_.close(ignored);
    });
}

void Listener::accept() {
    acceptor_.async_accept(net::make_strand(io_),
                           beast::bind_front_handler(&Listener::onAccept, shared_from_this()));
}

void Listener::onAccept(boost::system::error_code ec, tcp::socket socket) {
    if (ec == net::error::operation_aborted || !acceptor_.is_open()) return;
    if (ec) {
        logLine(std::string("accept failed: ") + ec.message());
        return accept();
    }
    boost::system::error_code peerError;
    const auto peer = socket.remote_endpoint(peerError);
    const std::string address = peerError ? std::string("unknown") : peer.address().to_string();
    const std::string label = "conn " + std::to_string(++accepted_) + " from " + address;
    if (!addresses_.enter(address)) {
        logLine(label + " refused: too many connections from this address");
        socket.close(peerError);
        return accept();
    }
    logLine(label + " accepted");
    // Records and media frames are small and latency-bound: without this,
    // Nagle holds a frame back until the previous one is acknowledged.
    socket.set_option(tcp::no_delay(true), peerError);
    auto slot = std::make_shared<AddressSlot>(addresses_, address);
    if (tls_) {
        std::make_shared<HttpSession<beast::ssl_stream<beast::tcp_stream>>>(
            beast::ssl_stream<beast::tcp_stream>(std::move(socket), *tls_), services_,
            std::move(slot), label)
            ->run();
    } else {
        std::make_shared<HttpSession<beast::tcp_stream>>(beast::tcp_stream(std::move(socket)),
                                                         services_, std::move(slot), label)
            ->run();
    }
    accept();
}

}  // namespace merrowfax::relay
