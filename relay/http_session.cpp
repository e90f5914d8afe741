#include "relay/http_session.h"

#include <functional>

#include <openssl/evp.h>
#include <openssl/sha.h>
#include <boost/asio/dispatch.hpp>
#include <boost/asio/post.hpp>
#include <boost/beast/websocket/rfc6455.hpp>

#include "relay/json.h"
#include "relay/query.h"
#include "relay/web_pages.h"
#include "relay/ws_session.h"
#include "wire/number_statement.h"

namespace merrowfax::relay {
namespace net = boost::asio;
namespace {

// Room beyond the header limit for what arrives behind a header in the same
// read; the read buffer never grows past the two together.
constexpr std::size_t kReadSlack = 4 * 1024;
constexpr const char* kLive = "/merrowfax/live";
constexpr const char* kDirectory = "/merrowfax/directory";
constexpr const char* kAbout = "/merrowfax/";
constexpr const char* kPrivacy = "/merrowfax/privacy";
constexpr const char* kKey = "/merrowfax/key";
constexpr const char* kHealth = "/healthz";
constexpr const char* kMetrics = "/metrics";
// A client's key is 16 random bytes in base64 (24 characters).
constexpr std::size_t kMaxWebSocketKey = 24;

// Sec-WebSocket-Accept: base64 of the SHA-1 of the client's key and the
// protocol's fixed GUID.
std::string websocketAccept(std::string_view key) {
    std::string joined(key);
    joined += "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
    unsigned char digest[SHA_DIGEST_LENGTH];
    SHA1(reinterpret_cast<const unsigned char*>(joined.data()), joined.size(), digest);
    char encoded[4 * ((SHA_DIGEST_LENGTH + 2) / 3) + 1];
    const int size =
        EVP_EncodeBlock(reinterpret_cast<unsigned char*>(encoded), digest, SHA_DIGEST_LENGTH);
    return std::string(encoded, static_cast<std::size_t>(size));
}

template <class Stream>
constexpr bool isTls = !std::is_same_v<Stream, beast::tcp_stream>;

}  // namespace

template <class Stream>
HttpSession<Stream>::HttpSession(Stream&& stream, Services& services,
                                 std::shared_ptr<AddressSlot> slot, std::string conn)
    : stream_(std::move(stream)),
      executor_(stream_.get_executor()),
      services_(services),
      slot_(std::move(slot)),
      conn_(std::move(conn)),
      buffer_(services.config.maxHttpHeader + kReadSlack) {}

template <class Stream>
HttpSession<Stream>::~HttpSession() {
    if (!upgraded_) log(Level::info, "closed");
}

template <class Stream>
void HttpSession<Stream>::log(Level level, std::string_view event, std::string_view key,
                              std::string_view value) {
    if (key.empty()) return logEvent(level, event, {{"conn", conn_}, {"addr", slot_->address()}});
    logEvent(level, event, {{"conn", conn_}, {"addr", slot_->address()}, {key, value}});
}

template <class Stream>
void HttpSession<Stream>::run() {
    if constexpr (isTls<Stream>) {
        beast::get_lowest_layer(stream_).expires_after(services_.config.handshake);
        stream_.async_handshake(net::ssl::stream_base::server,
                                [self = this->shared_from_this()](beast::error_code ec) {
                                    if (ec) return self->close();
                                    self->read();
                                });
    } else {
        net::dispatch(stream_.get_executor(), [self = this->shared_from_this()] { self->read(); });
    }
}

template <class Stream>
void HttpSession<Stream>::read() {
    parser_.emplace();
    parser_->header_limit(static_cast<std::uint32_t>(services_.config.maxHttpHeader));
    parser_->body_limit(0);
    beast::get_lowest_layer(stream_).expires_after(services_.config.httpTimeout);
    // The header only: every endpoint is a GET, and a body is refused before
    // any of it (or of a chunk line, extension or trailer) is buffered.
    http::async_read_header(
        stream_, buffer_, *parser_,
        beast::bind_front_handler(&HttpSession::onRead, this->shared_from_this()));
}

template <class Stream>
void HttpSession<Stream>::onRead(beast::error_code ec, std::size_t) {
    if (ec == http::error::end_of_stream || ec == beast::error::timeout ||
        ec == net::error::operation_aborted || ec == net::error::connection_reset ||
        ec == net::error::eof)
        return close();
    if (ec) return refuse(http::status::bad_request, "bad request");
    if (!parser_->is_done() || parser_->get().count(http::field::transfer_encoding) > 0)
        return refuse(http::status::bad_request, "no body expected");
    try {
        respond();
    } catch (const std::exception& e) {
        // Out of memory or a fault in one request: this connection ends, the
        // service goes on.
        log(Level::error, "request_failed", "error", e.what());
        beast::error_code ignored;
        beast::get_lowest_layer(stream_).socket().close(ignored);
    }
}

template <class Stream>
void HttpSession<Stream>::refuse(http::status status, std::string_view why) {
    // Not HTTP, beyond a limit or with a body: one plain answer, then the
    // door closes.
    log(Level::warning, "bad_request", "reason", why);
    Response response{status, 11};
    response.set(http::field::content_type, "application/json");
    response.body() = json::error(why);
    response.keep_alive(false);
    response.prepare_payload();
    send(std::move(response));
}

template <class Stream>
void HttpSession<Stream>::respond() {
    Request request = parser_->release();
    if (beast::websocket::is_upgrade(request)) return upgrade(std::move(request));
    answer(request);
}

template <class Stream>
void HttpSession<Stream>::answerLater(Response response, std::function<void(Response&)> fill) {
    auto self = this->shared_from_this();
    auto held = std::make_shared<Response>(std::move(response));
    const bool queued = services_.storeWork.post([self, held, fill = std::move(fill)] {
        try {
            fill(*held);
        } catch (const std::exception& e) {
            self->log(Level::error, "storage_error", "error", e.what());
            held->result(http::status::internal_server_error);
            held->body() = json::error("storage error");
            held->keep_alive(false);
        }
        held->prepare_payload();
        net::post(self->executor_, [self, held] { self->send(std::move(*held)); });
    });
    if (queued) return;
    bump(services_.metrics.storeRefused);
    held->result(http::status::service_unavailable);
    held->set(http::field::retry_after, "1");
    held->body() = json::error("busy");
    held->prepare_payload();
    send(std::move(*held));
}

template <class Stream>
void HttpSession<Stream>::upgrade(Request request) {
    // A bad query on the live path is still upgraded, then refused with
    // "denied" and 1008: the client's line expects a WebSocket answer, and
    // only "denied" stops it from retrying.
    const std::string_view raw = request.target();
    if (raw.substr(0, raw.find('?')) != kLive) {
        Response response{http::status::not_found, request.version()};
        response.keep_alive(false);
        response.prepare_payload();
        return send(std::move(response));
    }
    if (services_.draining) {
        // Shutting down: the client's line tries again, elsewhere or later.
        Response response{http::status::service_unavailable, request.version()};
        response.keep_alive(false);
        response.prepare_payload();
        return send(std::move(response));
    }
    // The handshake's own checks, as a WebSocket server makes them.
    if (request[http::field::sec_websocket_version] != "13") {
        Response response{http::status::upgrade_required, request.version()};
        response.set(http::field::sec_websocket_version, "13");
        response.keep_alive(false);
        response.prepare_payload();
        return send(std::move(response));
    }
    const auto key = request[http::field::sec_websocket_key];
    if (key.empty() || key.size() > kMaxWebSocketKey)
        return refuse(http::status::bad_request, "bad key");
    const auto target = parseTarget(raw);
    std::string refusal = kUnreadableReason;
    auto registration = target ? parseRegistration(*target, refusal) : std::nullopt;
    auto answer = std::make_shared<http::response<http::empty_body>>(
        http::status::switching_protocols, request.version());
    answer->set(http::field::server, "merrowfax-relay");
    answer->set(http::field::upgrade, "websocket");
    answer->set(http::field::connection, "upgrade");
    answer->set(http::field::sec_websocket_accept, websocketAccept(key));
    beast::get_lowest_layer(stream_).expires_after(services_.config.handshake);
    http::async_write(
        stream_, *answer,
        [self = this->shared_from_this(), answer, registration = std::move(registration),
         refusal = std::move(refusal)](beast::error_code ec, std::size_t) mutable {
            self->upgraded(ec, std::move(registration), std::move(refusal));
        });
}

// The 101 is out: the connection is a WebSocket from here, served by a
// session over the bare socket (or the TLS stream).
template <class Stream>
void HttpSession<Stream>::upgraded(beast::error_code ec, std::optional<Registration> registration,
                                   std::string refusal) {
    if (ec) {
        log(Level::info, "handshake_failed");
        return close();
    }
    upgraded_ = true;
    const auto waiting = buffer_.cdata();
    std::string early(static_cast<const char*>(waiting.data()), waiting.size());
    buffer_.consume(buffer_.size());
    auto& lowest = beast::get_lowest_layer(stream_);
    lowest.expires_never();
    if constexpr (isTls<Stream>) {
        std::make_shared<WsSession<Stream>>(std::move(stream_), services_, slot_,
                                            std::move(registration), std::move(refusal), conn_)
            ->run(std::move(early));
    } else {
        std::make_shared<PlainWsSession>(lowest.release_socket(), services_, slot_,
                                         std::move(registration), std::move(refusal), conn_)
            ->run(std::move(early));
    }
}

// Checks that need no storage run here; lookups and pages are answered from
// the storage pool (see answerLater).
template <class Stream>
void HttpSession<Stream>::answer(const Request& request) {
    Response response{http::status::ok, request.version()};
    response.set(http::field::server, "merrowfax-relay");
    response.set(http::field::content_type, "application/json");
    response.set(http::field::cache_control, "no-store");
    response.keep_alive(request.keep_alive() && !services_.draining);
    auto fail = [&](http::status status, std::string_view message) {
        response.result(status);
        response.body() = json::error(message);
        response.prepare_payload();
        send(std::move(response));
    };
    auto target = parseTarget(request.target());
    if (request.method() != http::verb::get)
        return fail(http::status::method_not_allowed, "only GET");
    if (!target) return fail(http::status::bad_request, "bad query");
    if (operatorAnswer(target->path, response)) return send(std::move(response));
    if (target->path == kAbout || target->path == kPrivacy) {
        // Fixed text, made once: nothing to look up or limit.
        response.set(http::field::content_type, "text/html; charset=utf-8");
        response.set(http::field::cache_control, "max-age=3600");
        response.body() = target->path == kAbout ? aboutPage() : privacyPage();
        response.prepare_payload();
        return send(std::move(response));
    }
    if (target->path == kKey) {
        // The public key that number statements verify against.
        response.body() = json::verifyKey(wire::encodeVerifyKey(services_.secrets.verifyKey()));
        response.prepare_payload();
        return send(std::move(response));
    }
    Store& store = services_.store;
    if (target->path == kLive) {
        bump(services_.metrics.lookups);
        if (!services_.lookups.take(slot_->address())) {
            bump(services_.metrics.lookupsThrottled);
            return fail(http::status::too_many_requests, "too many lookups");
        }
        const std::string* computer = target->find("computer");
        const std::string* forget = target->find("forget");
        if (!computer || computer->empty() || computer->size() > 200 || !isCleanText(*computer) ||
            (forget && *forget != "1"))
            return fail(http::status::bad_request, "bad query");
        const std::string tag = services_.registrar.computerTag(*computer);
        if (forget) {
            return answerLater(std::move(response), [&store, tag](Response& r) {
                store.forgetComputer(tag);
                r.body() = "{}";
            });
        }
        return answerLater(std::move(response), [&store, tag](Response& r) {
            if (const auto number = store.computerNumber(tag)) {
                const auto record = store.number(*number);
                r.body() = json::lookup(*number, record ? record->name : "");
            } else {
                r.result(http::status::not_found);
                r.body() = json::error("unknown computer");
            }
        });
    }
    if (target->path == kDirectory) {
        bump(services_.metrics.directoryPages);
        if (!services_.pages.take(slot_->address())) {
            bump(services_.metrics.pagesThrottled);
            return fail(http::status::too_many_requests, "too many requests");
        }
        return answerLater(std::move(response), [&directory = services_.directory,
                                                 target = std::move(*target)](Response& r) {
            if (auto page = directory.page(target)) {
                r.body() = std::move(*page);
            } else {
                r.result(http::status::bad_request);
                r.body() = json::error("bad query");
            }
        });
    }
    fail(http::status::not_found, "not found");
}

// /healthz and /metrics: plain text, nothing stored is read. The counts are
// the operator's business (how many use the service, how much they send, how
// often PINs fail), so /metrics answers loopback peers only, where a local
// Prometheus or an SSH tunnel reaches it, unless --metrics-public says the
// network in front is the operator's own. False for any other path.
template <class Stream>
bool HttpSession<Stream>::operatorAnswer(const std::string& path, Response& response) {
    if (path != kHealth && path != kMetrics) return false;
    response.set(http::field::content_type, "text/plain; charset=utf-8");
    if (path == kHealth) {
        const bool draining = services_.draining;
        response.result(draining ? http::status::service_unavailable : http::status::ok);
        response.body() = draining ? "draining\n" : "ok\n";
    } else if (services_.config.metricsPublic || isLoopback(slot_->address())) {
        response.set(http::field::content_type, "text/plain; version=0.0.4; charset=utf-8");
        response.body() = services_.metrics.render(services_.storeWork.pending());
    } else {
        response.result(http::status::forbidden);
        response.body() = "metrics are served to loopback peers only\n";
    }
    response.prepare_payload();
    return true;
}

template <class Stream>
void HttpSession<Stream>::send(Response response) {
    response_ = std::make_shared<Response>(std::move(response));
    beast::get_lowest_layer(stream_).expires_after(services_.config.httpTimeout);
    http::async_write(stream_, *response_,
                      [self = this->shared_from_this()](beast::error_code ec, std::size_t) {
                          const bool keep = self->response_->keep_alive();
                          self->response_.reset();
                          if (ec || !keep) return self->close();
                          self->read();
                      });
}

template <class Stream>
void HttpSession<Stream>::close() {
    beast::error_code ignored;
    if constexpr (isTls<Stream>) {
        beast::get_lowest_layer(stream_).expires_after(services_.config.handshake);
        stream_.async_shutdown([self = this->shared_from_this()](beast::error_code) {
            beast::error_code ignored;
            beast::get_lowest_layer(self->stream_).socket().close(ignored);
        });
    } else {
        stream_.socket().shutdown(net::ip::tcp::socket::shutdown_send, ignored);
    }
}

template class HttpSession<beast::tcp_stream>;
template class HttpSession<beast::ssl_stream<beast::tcp_stream>>;

}  // namespace merrowfax::relay
