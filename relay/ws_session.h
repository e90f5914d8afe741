#pragma once

#include <list>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include <rapidjson/document.h>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>

#include "relay/limits.h"
#include "relay/log.h"
#include "relay/query.h"
#include "relay/services.h"
#include "relay/ws_frames.h"

namespace merrowfax::relay {

namespace beast = boost::beast;
namespace http = beast::http;

// One registered device on the live endpoint, over a plain socket or TLS
// after the HTTP upgrade. Every handler runs on the socket's strand; other
// threads reach it only through posted calls. The framing is our own
// (ws_frames.h): an idle plain connection holds no read buffer (it waits for
// the socket to become readable, then reads into the thread's), and queued
// records go out together in one gathered write. The send queue is bounded:
// media is dropped first, and a reader that lets records pile up is
// disconnected so it never holds anyone else back.
template <class Stream>
class WsSession final : public Peer,
                        public Closable,
                        public std::enable_shared_from_this<WsSession<Stream>>,
                        private ws::Reader::Handler {
public:
    // Without a registration, `refusal` says why: it goes to the client as
    // "denied" before the close, so the client stops retrying.
    WsSession(Stream&& stream, Services& services, std::shared_ptr<AddressSlot> slot,
              std::optional<Registration> registration, std::string refusal, std::string conn);
    ~WsSession() override;

    // Starts after the 101 answer went out; `early` holds what the client
    // sent behind its upgrade request.
    void run(std::string early);

    void deliverText(std::shared_ptr<const std::string> record, bool media) override;
    void deliverBinary(std::shared_ptr<const std::string> frame) override;
    void deliverPresence(std::uint64_t seq, std::vector<std::string> online) override;
    void kick(std::uint16_t code) override;
    void reachable() override;
    void missed(const std::string& to) override;
    void shutdown() override;
    void abort() override;

private:
    static constexpr bool kPlain = std::is_same_v<Stream, boost::asio::ip::tcp::socket>;

    struct Outgoing {
        std::shared_ptr<const std::string> data;
        ws::Header header;  // empty for a frame made whole (a close)
        bool media = false;
        std::size_t size() const { return header.size + data->size(); }
    };

    void onMessage(bool text, std::string_view payload) override;
    void onPing(std::string_view payload) override;
    void onClose(std::uint16_t code) override;

    void start();
    void onVerdict(Verdict verdict);
    void armIdle();
    void read();
    void onReadable(beast::error_code ec);
    void onTlsRead(beast::error_code ec, std::size_t size, bool direct);
    bool take(std::uint16_t verdict);
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
    void supersede(const Outgoing& item);
    void sendRecord(std::string record);
    void flushSoon();
    void write();
    void writePlain();
    void writeTls();
    template <class Buffers>
    std::size_t gather(Buffers& out);
    void sent(std::size_t bytes);
    std::size_t pinned() const;
    typename std::list<Outgoing>::iterator unqueue(typename std::list<Outgoing>::iterator it);
    void dropQueued();
    void queueClose(std::uint16_t code);
    void afterClose();
    void close(std::uint16_t code);
    void fail(std::uint16_t code, const char* why);
    void finish(const char* why);
    void log(Level level, std::string_view event, std::string_view key = {},
             std::string_view value = {});

    Stream stream_;
    Services& services_;
    std::shared_ptr<AddressSlot> slot_;
    std::optional<Registration> registration_;
    std::string refusal_;
    std::string conn_;  // for log lines: the connection's number
    ws::Reader reader_;
    std::unique_ptr<char[]> tlsIn_;   // TLS reads land here; plain ones in the thread's buffer
    boost::asio::steady_timer idle_;  // also bounds the wait for the client's close
    Clock::time_point lastHeard_;
    TokenBucket bucket_;
    TokenBucket trustBucket_;  // trust and untrust records
    double excess_ = 0;
    PeerId id_;
    std::uint64_t trackId_ = 0;
    std::string number_;  // set once registered
    bool attached_ = false;
    std::string computer_;  // keyed tag of the connection's computer
    bool proven_ = false;   // may trust other computers with the number
    bool closing_ = false;  // nothing more is acted on or queued
    bool closeQueued_ = false;
    bool closeSent_ = false;
    bool finished_ = false;
    bool reading_ = false;
    const char* closeWhy_ = nullptr;  // set: end once the close frame is out
    std::string early_;               // sent behind the upgrade request, read first
    std::list<Outgoing> queue_;       // unlike a deque, holds no memory while empty
    std::size_t queuedBytes_ = 0;
    std::size_t queuedMedia_ = 0;
    std::size_t frontSent_ = 0;  // bytes of the first item already on the wire
    std::vector<boost::asio::const_buffer> tlsGather_;  // a TLS write's buffers
    std::size_t inFlight_ = 0;                          // and the items they cover
    std::unique_ptr<SendBudget::Account> budget_;       // the queue's share of the service's
    bool writing_ = false;  // waiting for the socket (or a TLS write) to finish
    bool flushPosted_ = false;
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
    // Made on first need: most connections never wait for the storage pool.
    std::unique_ptr<boost::asio::steady_timer> bookRetry_;
    std::unique_ptr<boost::asio::steady_timer> proofRetry_;
};

using PlainWsSession = WsSession<boost::asio::ip::tcp::socket>;
using TlsWsSession = WsSession<beast::ssl_stream<beast::tcp_stream>>;

extern template class WsSession<boost::asio::ip::tcp::socket>;
extern template class WsSession<beast::ssl_stream<beast::tcp_stream>>;

}  // namespace merrowfax::relay
