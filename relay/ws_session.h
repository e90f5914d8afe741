#pragma once

#include <list>
#include <memory>
#include <optional>
#include <string>

#include <rapidjson/document.h>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>

#include "relay/limits.h"
#include "relay/log.h"
#include "relay/query.h"
#include "relay/services.h"

namespace merrowfax::relay {

namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;

// One registered device on the live endpoint. Every handler runs on the
// stream's strand; other threads reach it only through posted calls. The send
// queue is bounded: media is dropped first, and a reader that lets records
// pile up is disconnected so it never holds anyone else back.
template <class Stream>
class WsSession final : public Peer,
                        public Closable,
                        public std::enable_shared_from_this<WsSession<Stream>> {
public:
    // Without a registration, `refusal` says why: it goes to the client as
    // "denied" before the close, so the client stops retrying.
    WsSession(Stream&& stream, Services& services, std::shared_ptr<AddressSlot> slot,
              std::optional<Registration> registration, std::string refusal, std::string conn);
    ~WsSession() override;

    void run(http::request<http::string_body> request);

    void deliverText(std::shared_ptr<const std::string> record, bool media) override;
    void deliverBinary(std::shared_ptr<const std::string> frame) override;
    void deliverPresence(std::uint64_t seq, std::vector<std::string> online) override;
    void kick(std::uint16_t code) override;
    void reachable() override;
    void missed(const std::string& to) override;
    void shutdown() override;
    void abort() override;

private:
    struct Outgoing {
        std::shared_ptr<const std::string> data;
        bool binary = false;
        bool media = false;
    };

    void onAccept(beast::error_code ec);
    void onVerdict(Verdict verdict);
    void armIdle();
    void read();
    void onRead(beast::error_code ec, std::size_t size);
    void handleText(std::string_view text);
    void handleBook(const rapidjson::Value& record);
    void handleTrust(bool trust, const rapidjson::Value& record);
    void greet();
    void confirmProof();
    void sendStatement(std::string lanCert);
    void bookWork();
    void forward(rapidjson::Document& record, const std::string& to, std::string_view op);
    void handleBinary(std::string_view frame);
    void enqueue(Outgoing item);
    void sendRecord(std::string record);
    void write();
    void close(websocket::close_code code);
    void finish(const char* why);
    void log(Level level, std::string_view event, std::string_view key = {},
             std::string_view value = {});

    websocket::stream<Stream> ws_;
    Services& services_;
    std::shared_ptr<AddressSlot> slot_;
    std::optional<Registration> registration_;
    std::string refusal_;
    std::string conn_;  // for log lines: the connection's number
    beast::flat_buffer buffer_;
    boost::asio::steady_timer idle_;
    Clock::time_point lastHeard_;
    TokenBucket bucket_;
    TokenBucket trustBucket_;  // trust and untrust records
    double excess_ = 0;
    PeerId id_;
    std::uint64_t trackId_ = 0;
    std::string number_;  // set once registered
    bool attached_ = false;
    std::string computer_;   // keyed tag of the connection's computer
    bool proven_ = false;    // may trust other computers with the number
    bool accepted_ = false;  // the WebSocket handshake is done
    bool closing_ = false;
    bool finished_ = false;
    std::optional<websocket::close_code> pendingClose_;
    std::list<Outgoing> queue_;  // unlike a deque, holds no memory while empty
    std::size_t queuedBytes_ = 0;
    std::size_t queuedMedia_ = 0;
    std::unique_ptr<SendBudget::Account> budget_;  // the queue's share of the service's
    bool writing_ = false;
    std::uint64_t presenceSeq_ = 0;
    std::string greeting_;  // "pin", held until the hub says the connection is reachable
    std::string lanCert_;   // for the statement that follows it
    // Book work for the storage pool, one job at a time so that a later
    // book never lands before an earlier one; a newer book replaces one
    // still waiting.
    std::optional<std::string> bookToStore_;
    bool bookWanted_ = false;
    bool bookBusy_ = false;
    bool bookRetrying_ = false;
    boost::asio::steady_timer bookRetry_;
    boost::asio::steady_timer proofRetry_;  // the proof check waits for room in the pool
};

using PlainWsSession = WsSession<beast::tcp_stream>;
using TlsWsSession = WsSession<beast::ssl_stream<beast::tcp_stream>>;

extern template class WsSession<beast::tcp_stream>;
extern template class WsSession<beast::ssl_stream<beast::tcp_stream>>;

}  // namespace merrowfax::relay
