#include "relay/listener.h"

#include <boost/asio/post.hpp>
#include <boost/asio/strand.hpp>

#include "relay/http_session.h"
#include "relay/log.h"

namespace merrowfax::relay {
namespace net = boost::asio;
using tcp = net::ip::tcp;

Listener::Listener(net::io_context& io, std::shared_ptr<net::ssl::context> tls,
                   const tcp::endpoint& endpoint, Services& services, AddressCount& addresses)
    : io_(io),
      tls_(std::move(tls)),
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

void Listener::tls(std::shared_ptr<net::ssl::context> context) {
    std::lock_guard guard(tlsLock_);
    tls_ = std::move(context);
}

void Listener::accept() {
    acceptor_.async_accept(net::make_strand(io_),
                           beast::bind_front_handler(&Listener::onAccept, shared_from_this()));
}

void Listener::onAccept(boost::system::error_code ec, tcp::socket socket) {
    if (ec == net::error::operation_aborted || !acceptor_.is_open()) return;
    if (ec) {
        logEvent(Level::error, "accept_failed", {{"error", ec.message()}});
        return accept();
    }
    boost::system::error_code peerError;
    const auto peer = socket.remote_endpoint(peerError);
    const std::string address = peerError ? std::string("unknown") : peer.address().to_string();
    const std::string conn = std::to_string(++accepted_);
    if (!addresses_.enter(address)) {
        bump(services_.metrics.connectionsRefused);
        logEvent(Level::warning, "refused",
                 {{"conn", conn}, {"addr", address}, {"reason", "too many from this address"}});
        socket.close(peerError);
        return accept();
    }
    bump(services_.metrics.connectionsAccepted);
    logEvent(Level::info, "accepted", {{"conn", conn}, {"addr", address}});
    // Records and media frames are small and latency-bound: without this,
    // Nagle holds a frame back until the previous one is acknowledged.
    socket.set_option(tcp::no_delay(true), peerError);
    auto slot =
        std::make_shared<AddressSlot>(addresses_, address, services_.metrics.connectionsOpen);
    std::shared_ptr<net::ssl::context> tls;
    {
        std::lock_guard guard(tlsLock_);
        tls = tls_;
    }
    if (tls) {
        std::make_shared<HttpSession<beast::ssl_stream<beast::tcp_stream>>>(
            beast::ssl_stream<beast::tcp_stream>(std::move(socket), *tls), services_,
            std::move(slot), conn)
            ->run();
    } else {
        std::make_shared<HttpSession<beast::tcp_stream>>(beast::tcp_stream(std::move(socket)),
                                                         services_, std::move(slot), conn)
            ->run();
    }
    accept();
}

}  // namespace merrowfax::relay
