#pragma once

#include <memory>
#include <mutex>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/context.hpp>

#include "relay/services.h"

namespace merrowfax::relay {

// Accepts connections, counts them per client address and hands each to an
// HTTP session (TLS when a context is given; a new one can replace it while
// serving, for new connections).
class Listener : public std::enable_shared_from_this<Listener> {
public:
    Listener(boost::asio::io_context& io, std::shared_ptr<boost::asio::ssl::context> tls,
             const boost::asio::ip::tcp::endpoint& endpoint, Services& services,
             AddressCount& addresses);

    boost::asio::ip::tcp::endpoint local() const { return acceptor_.local_endpoint(); }
    void run();
    void stop();
    // A replacement for the TLS context given at the start. Connections keep
    // the one they began with: each holds its own reference to OpenSSL's
    // context (SSL_new counts one), so the old one lives as long as they do.
    void tls(std::shared_ptr<boost::asio::ssl::context> context);

private:
    void accept();
    void onAccept(boost::system::error_code ec, boost::asio::ip::tcp::socket socket);

    boost::asio::io_context& io_;
    std::mutex tlsLock_;
    std::shared_ptr<boost::asio::ssl::context> tls_;
    boost::asio::ip::tcp::acceptor acceptor_;
    Services& services_;
    AddressCount& addresses_;
    std::uint64_t accepted_ = 0;
};

}  // namespace merrowfax::relay
