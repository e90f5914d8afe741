#include "relay/http_session.h"

#include <functional>

#include <boost/asio/dispatch.hpp>
#include <boost/asio/post.hpp>
#include <boost/beast/websocket.hpp>

#include "relay/json.h"
#include "relay/log.h"
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

template <class Stream>
constexpr bool isTls = !std::is_same_v<Stream, beast::tcp_stream>;

}  // namespace

template <class Stream>
HttpSession<Stream>::HttpSession(Stream&& stream, Services& services,
                                 std::shared_ptr<AddressSlot> slot, std::string label)
    : stream_(std::move(stream)),
      executor_(stream_.get_executor()),
      services_(services),
      slot_(std::move(slot)),
      label_(std::move(label)),
      buffer_(services.config.maxHttpHeader + kReadSlack) {}

template <class Stream>
HttpSession<Stream>::~HttpSession() {
    services_.tracker.remove(trackId_);
    if (!upgraded_) logLine(label_ + " closed");
}

template <class Stream>
void HttpSession<Stream>::run() {
    trackId_ = services_.tracker.add(this->weak_from_this());
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
void HttpSession<Stream>::shutdown() {
    net::post(executor_, [self = this->shared_from_this()] {
        if (self->upgraded_) return;
        beast::error_code ignored;
        beast::get_lowest_layer(self->stream_).socket().close(ignored);
    });
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
        logLine(label_ + " request failed: " + e.what());
        beast::error_code ignored;
        beast::get_lowest_layer(stream_).socket().close(ignored);
    }
}

template <class Stream>
void HttpSession<Stream>::refuse(http::status status, std::string_view why) {
    // Not HTTP, beyond a limit or with a body: one plain answer, then the
    // door closes.
    logLine(label_ + " " + std::string(why));
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
            logLine(self->label_ + " storage error: " + e.what());
            held->result(http::status::internal_server_error);
            held->body() = json::error("storage error");
            held->keep_alive(false);
        }
        held->prepare_payload();
        net::post(self->executor_, [self, held] { self->send(std::move(*held)); });
    });
    if (queued) return;
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
    const auto target = parseTarget(raw);
    std::string refusal = kUnreadableReason;
    auto registration = target ? parseRegistration(*target, refusal) : std::nullopt;
    upgraded_ = true;
    services_.tracker.remove(trackId_);
    std::make_shared<WsSession<Stream>>(std::move(stream_), services_, slot_,
                                        std::move(registration), std::move(refusal), label_)
        ->run(std::move(request));
}

// Checks that need no storage run here; lookups and pages are answered from
// the storage pool (see answerLater).
template <class Stream>
void HttpSession<Stream>::answer(const Request& request) {
    Response response{http::status::ok, request.version()};
    response.set(http::field::server, "merrowfax-relay");
    response.set(http::field::content_type, "application/json");
    response.set(http::field::cache_control, "no-store");
    response.keep_alive(request.keep_alive());
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
        if (!services_.lookups.take(slot_->address()))
            return fail(http::status::too_many_requests, "too many lookups");
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
        if (!services_.pages.take(slot_->address()))
            return fail(http::status::too_many_requests, "too many requests");
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
