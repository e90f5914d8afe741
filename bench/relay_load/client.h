#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/websocket/stream.hpp>

namespace merrowfax::bench {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using tcp = net::ip::tcp;

class Load;

// One client over WebSocket, partnered with the client whose index differs in
// the lowest bit. This base holds what every server kind shares: socket
// set-up, the write queue, the read loop (paced for a slow reader) and handing
// stamps to the scenario; the subclasses say what goes over the wire.
class Client : public std::enable_shared_from_this<Client> {
public:
    Client(Load& load, std::size_t index);
    virtual ~Client() = default;

    // Connects from `source`; `ready` is called once, with true when the
    // server has taken the client in, false when it failed first.
    void open(const net::ip::address& source, std::function<void(bool)> ready);
    // Sends a payload to the partner, if this client is still up.
    void send(std::shared_ptr<const std::string> payload, bool binary);

    std::size_t index;
    std::string number;
    std::size_t partner;
    bool alive = false;
    std::uint64_t closedAt = 0;
    double readRate = 0;    // a slow reader's bytes per second (0: as fast as it can)
    int receiveBuffer = 0;  // SO_RCVBUF when set

    // Receive side of the one stream that reaches this client.
    std::uint32_t maxSeq = 0;
    bool seenAny = false;

protected:
    // One WebSocket message: optional head and tail around a shared body, so
    // a payload sent by many clients is built once.
    struct Out {
        std::string head;
        std::shared_ptr<const std::string> body;
        std::string_view tail;
        bool binary = false;
    };

    virtual std::string target() const = 0;  // the handshake's request target
    virtual void onOpen() {}                 // after the handshake, before reading
    virtual Out envelope(std::shared_ptr<const std::string> payload, bool binary) const = 0;
    virtual void onMessage(std::string_view data, bool binary) = 0;

    void push(Out out);
    // Reads the stamp of a payload that reached this client and reports it.
    void deliver(std::string_view payload);
    bool opening() const { return static_cast<bool>(ready_); }
    void opened() { settle(true); }
    void fail(const char* why);

    Load& load_;

private:
    void handshake();
    void read();
    void onRead(beast::error_code ec);
    void write();
    void settle(bool ok);

    websocket::stream<tcp::socket> ws_;
    beast::flat_buffer in_;
    std::deque<Out> out_;
    bool writing_ = false;
    std::function<void(bool)> ready_;
    net::steady_timer pause_;
};

}  // namespace merrowfax::bench
