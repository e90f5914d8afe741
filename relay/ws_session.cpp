#include "relay/ws_session.h"

#include <utility>

#include <boost/asio/dispatch.hpp>
#include <boost/asio/post.hpp>
#include <boost/beast/websocket/ssl.hpp>

#include "relay/json.h"
#include "relay/log.h"
#include "wire/frames.h"
#include "wire/number_statement.h"

namespace merrowfax::relay {
namespace net = boost::asio;
namespace {

constexpr std::size_t kMaxComputer = 200;
// A pending read holds the buffer space it prepared: small while a connection
// is idle (most are), and a message's remainder comes in larger steps.
constexpr std::size_t kFirstRead = 512;

Seconds unixNow() {
    return unixMillis() / 1000;
}

}  // namespace

template <class Stream>
WsSession<Stream>::WsSession(Stream&& stream, Services& services, std::shared_ptr<AddressSlot> slot,
                             std::optional<Registration> registration, std::string refusal,
                             std::string conn)
    : ws_(std::move(stream)),
      services_(services),
      slot_(std::move(slot)),
      registration_(std::move(registration)),
      refusal_(std::move(refusal)),
      conn_(std::move(conn)),
      buffer_(std::max(services.config.maxTextMessage, services.config.maxBinaryMessage) +
              kFirstRead),
      idle_(ws_.get_executor()),
      bucket_(services.config.recordsPerSecond, services.config.recordBurst),
      trustBucket_(services.config.trustOpsPerMinute / 60.0, services.config.trustOpsPerMinute),
      id_(services.nextPeer++),
      bookRetry_(ws_.get_executor()),
      proofRetry_(ws_.get_executor()) {}

template <class Stream>
WsSession<Stream>::~WsSession() {
    if (attached_ && !finished_) {
        services_.hub.detach(id_);
        move(services_.metrics.liveOpen, -1);
    }
    services_.tracker.remove(trackId_);
}

template <class Stream>
void WsSession<Stream>::log(Level level, std::string_view event, std::string_view key,
                            std::string_view value) {
    if (key.empty()) return logEvent(level, event, {{"conn", conn_}, {"addr", slot_->address()}});
    logEvent(level, event, {{"conn", conn_}, {"addr", slot_->address()}, {key, value}});
}

template <class Stream>
void WsSession<Stream>::run(http::request<http::string_body> request) {
    trackId_ = services_.tracker.add(this->weak_from_this());
    // An upgrade that crossed the start of shutdown missed its call: it closes
    // (1001) once accepted and registers nothing.
    if (services_.draining) {
        closing_ = true;
        pendingClose_ = websocket::close_code::going_away;
    }
    budget_ = services_.sendBudget.open(slot_->address(), [weak = this->weak_from_this()] {
        if (auto self = weak.lock())
            net::post(self->ws_.get_executor(), [self] {
                if (!self->finished_) bump(self->services_.metrics.slowCutBudget);
                self->finish("slow reader, over budget");
            });
    });
    const auto& config = services_.config;
    beast::get_lowest_layer(ws_).expires_never();
    websocket::stream_base::timeout timeout{};
    timeout.handshake_timeout = config.handshake;
    timeout.idle_timeout = websocket::stream_base::none();
    timeout.keep_alive_pings = false;
    ws_.set_option(timeout);
    ws_.set_option(websocket::stream_base::decorator([](websocket::response_type& response) {
        response.set(http::field::server, "merrowfax-relay");
    }));
    ws_.read_message_max(std::max(config.maxTextMessage, config.maxBinaryMessage));
    ws_.async_accept(request,
                     beast::bind_front_handler(&WsSession::onAccept, this->shared_from_this()));
}

template <class Stream>
void WsSession<Stream>::onAccept(beast::error_code ec) {
    if (ec) return finish("handshake failed");
    accepted_ = true;
    lastHeard_ = Clock::now();
    if (closing_) return write();  // shut down during the handshake: the close goes now
    armIdle();
    if (!registration_) {
        bump(services_.metrics.registrationsDenied);
        log(Level::warning, "denied", "reason", "unreadable registration");
        sendRecord(json::denied(refusal_));
        return close(websocket::close_code::policy_error);
    }
    auto self = this->shared_from_this();
    const bool queued =
        services_.registrar.submit(*registration_, slot_->address(), [self](Verdict verdict) {
            net::post(self->ws_.get_executor(), [self, verdict = std::move(verdict)]() mutable {
                self->onVerdict(std::move(verdict));
            });
        });
    if (!queued) {
        bump(services_.metrics.registrationsBusy);
        log(Level::warning, "busy", "reason", "registrations queue full");
        close(websocket::close_code::try_again_later);
    }
}

template <class Stream>
void WsSession<Stream>::onVerdict(Verdict verdict) {
    if (finished_ || closing_) return;
    const std::string number = registration_->number;
    std::string lanCert = std::move(registration_->lanCert);
    registration_.reset();  // the PINs and the computer id go no further
    if (verdict.retry) {
        bump(services_.metrics.registrationsBusy);
        log(Level::warning, "busy", "reason", "hash queue full");
        return close(websocket::close_code::try_again_later);
    }
    if (!verdict.accepted) {
        bump(services_.metrics.registrationsDenied);
        log(Level::info, "denied", "number", number);
        sendRecord(json::denied(verdict.reason));
        return close(websocket::close_code::policy_error);
    }
    number_ = number;
    attached_ = true;
    proven_ = verdict.proven;
    computer_ = std::move(verdict.computer);
    bump(services_.metrics.registrationsOk);
    move(services_.metrics.liveOpen, 1);
    log(Level::info, "registered", "number", number_);
    greeting_ = json::pin(verdict.hasPin, verdict.business, verdict.error);
    lanCert_ = std::move(lanCert);
    // The hub calls reachable() before it delivers anything, on a single node
    // from within this call (so "pin" goes out at once).
    services_.hub.attach(id_, number_, computer_, this->weak_from_this(), verdict.book);
}

template <class Stream>
void WsSession<Stream>::reachable() {
    net::dispatch(ws_.get_executor(), [self = this->shared_from_this()] { self->greet(); });
}

template <class Stream>
void WsSession<Stream>::greet() {
    if (finished_ || closing_) return;
    sendRecord(std::exchange(greeting_, {}));
    sendStatement(std::exchange(lanCert_, {}));
    confirmProof();
    read();
}

// A revocation (untrust, a PIN set or changed) that crossed the decision
// closed only the connections the hub knew then; now that this one is
// reachable, check that its proof still holds. A full storage pool delays
// the check, not the connection.
template <class Stream>
void WsSession<Stream>::confirmProof() {
    if (finished_) return;
    auto self = this->shared_from_this();
    const bool posted = services_.storeWork.post([self, number = number_, computer = computer_] {
        auto& store = self->services_.store;
        const auto record = store.number(number);
        if ((record && record->pinHash.empty()) || store.isTrusted(number, computer)) return;
        net::post(self->ws_.get_executor(), [self] {
            self->log(Level::info, "revoked");
            self->close(websocket::close_code::policy_error);
        });
    });
    if (posted) return;
    proofRetry_.expires_after(services_.config.storeRetry);
    proofRetry_.async_wait([self](beast::error_code ec) {
        if (!ec) self->confirmProof();
    });
}

// Signed once per connection, right after "pin", for the LAN certificate it
// registered with (empty: none): peers on the LAN check its number with the
// relay's public key. A revocation that crossed the decision still closes the
// connection (confirmProof) but cannot take the statement back; no statement
// can be, before it expires.
template <class Stream>
void WsSession<Stream>::sendStatement(std::string lanCert) {
    if (lanCert.empty()) return;
    const Seconds now = unixNow();
    const wire::NumberStatement statement{
        number_, std::move(lanCert), now,
        now + static_cast<Seconds>(services_.config.statementValidity.count())};
    sendRecord(json::cert(services_.secrets.signStatement(statement)));
}

template <class Stream>
void WsSession<Stream>::armIdle() {
    idle_.expires_at(lastHeard_ + services_.config.idle);
    idle_.async_wait([self = this->shared_from_this()](beast::error_code ec) {
        if (ec || self->finished_ || self->closing_) return;
        if (Clock::now() - self->lastHeard_ >= self->services_.config.idle) {
            self->log(Level::info, "idle");
            self->close(websocket::close_code::going_away);
        } else {
            self->armIdle();
        }
    });
}

template <class Stream>
void WsSession<Stream>::read() {
    ws_.async_read_some(buffer_, buffer_.size() == 0 ? kFirstRead : 0,
                        beast::bind_front_handler(&WsSession::onRead, this->shared_from_this()));
}

template <class Stream>
void WsSession<Stream>::onRead(beast::error_code ec, std::size_t) {
    if (ec) {
        if (ec == websocket::error::closed) return finish("closed by client");
        if (ec == websocket::error::message_too_big) return finish("message too big");
        return finish("read failed");
    }
    lastHeard_ = Clock::now();
    if (!ws_.is_message_done()) return read();
    const auto data = buffer_.cdata();
    const std::string_view message(static_cast<const char*>(data.data()), data.size());
    Flow& flow = ws_.got_text() ? services_.metrics.inText : services_.metrics.inBinary;
    bump(flow.messages);
    bump(flow.bytes, message.size());
    if (closing_) {
        // Closing: read on until the close completes, but act on nothing.
    } else if (!bucket_.take(lastHeard_)) {
        bump(services_.metrics.recordsThrottled);
        excess_ += 1;
        if (excess_ > services_.config.floodExcess) {
            bump(services_.metrics.floodersCut);
            log(Level::warning, "flooding");
            buffer_.consume(buffer_.size());
            return close(websocket::close_code::policy_error);
        }
    } else {
        excess_ = std::max(0.0, excess_ - 1);
        try {
            if (ws_.got_text()) {
                handleText(message);
            } else {
                handleBinary(message);
            }
        } catch (const std::exception& e) {
            log(Level::error, "storage_error", "error", e.what());
        }
    }
    buffer_.consume(buffer_.size());
    if (buffer_.capacity() > kFirstRead) buffer_.shrink_to_fit();
    if (!finished_) read();
}

template <class Stream>
void WsSession<Stream>::handleText(std::string_view text) {
    auto record = json::parseObject(text);
    if (!record) return;
    const auto opView = json::string(*record, "op");
    if (!opView) return;
    const std::string op(*opView);
    if (op == "ping") return sendRecord(json::record("pong"));
    if (op == "book") return handleBook(*record);
    if (op == "trust" || op == "untrust") return handleTrust(op == "trust", *record);
    const auto to = json::string(*record, "to");
    if (!to || !json::isForwarded(op)) return;
    const auto target = canonicalNumber(*to);
    if (!target) return;
    forward(*record, *target, op);
}

template <class Stream>
void WsSession<Stream>::handleBook(const rapidjson::Value& record) {
    const auto contacts = record.FindMember("contacts");
    if (contacts == record.MemberEnd()) {
        bookWanted_ = true;
    } else {
        auto book = json::cleanBook(contacts->value, services_.config.maxBookEntries);
        if (!book) return;
        services_.hub.setBook(number_, book->numbers);
        bookToStore_ = std::move(book->json);
    }
    bookWork();
}

// Stores the waiting book, then reads it back if asked, on the storage
// pool; the answer comes back to this strand. A full pool is tried again
// after a while.
template <class Stream>
void WsSession<Stream>::bookWork() {
    if (bookBusy_ || bookRetrying_ || (!bookToStore_ && !bookWanted_)) return;
    auto toStore = std::exchange(bookToStore_, std::nullopt);
    const bool fetch = std::exchange(bookWanted_, false);
    auto self = this->shared_from_this();
    const bool queued = services_.storeWork.post([self, number = number_, toStore, fetch] {
        std::optional<std::string> answer;
        try {
            if (toStore) self->services_.store.storeBook(number, *toStore);
            if (fetch) answer = self->services_.store.book(number).value_or("[]");
        } catch (const std::exception& e) {
            self->log(Level::error, "storage_error", "error", e.what());
        }
        net::post(self->ws_.get_executor(), [self, answer = std::move(answer)] {
            self->bookBusy_ = false;
            if (answer) self->sendRecord(json::book(*answer));
            if (!self->finished_) self->bookWork();
        });
    });
    if (queued) {
        bookBusy_ = true;
        return;
    }
    bookToStore_ = std::move(toStore);
    bookWanted_ = fetch;
    if (finished_) return;
    bookRetrying_ = true;
    bookRetry_.expires_after(services_.config.storeRetry);
    bookRetry_.async_wait([self](beast::error_code) {
        self->bookRetrying_ = false;
        if (!self->finished_) self->bookWork();
    });
}

// The proof is checked where it is used: the store changes trust only while
// this connection's computer is still trusted with the number.
template <class Stream>
void WsSession<Stream>::handleTrust(bool trust, const rapidjson::Value& record) {
    if (!proven_) return;
    const auto computer = json::string(record, "computer");
    if (!computer || computer->empty() || computer->size() > kMaxComputer ||
        !isCleanText(*computer))
        return;
    if (!trustBucket_.take()) return bump(services_.metrics.trustThrottled);
    std::string tag = services_.registrar.computerTag(std::string(*computer));
    const bool posted =
        services_.storeWork.post([self = this->shared_from_this(), trust, tag = std::move(tag),
                                  number = number_, by = computer_] {
            auto& services = self->services_;
            if (trust) {
                services.store.trustBy(number, by, tag, services.config.maxTrusted, unixMillis());
            } else if (services.store.untrustBy(number, by, tag)) {
                services.hub.closeComputers(number, {tag}, false);
            }
        });
    if (!posted) log(Level::warning, "trust_dropped", "reason", "storage busy");
}

template <class Stream>
void WsSession<Stream>::forward(rapidjson::Document& record, const std::string& to,
                                std::string_view op) {
    if (op == "call") {
        // Statistics: dropped when the storage pool is full.
        const auto signal = json::string(record, "call");
        if (signal == "invite" || signal == "accept")
            services_.storeWork.post(
                [&store = services_.store, number = number_, placed = signal == "invite"] {
                    store.countCall(number, placed);
                });
    }
    auto text = json::stamped(record, number_);
    if (!text) return;
    services_.hub.forward(id_, to, std::make_shared<const std::string>(std::move(*text)),
                          op == "audio" ? Cargo::mediaRecord : Cargo::record);
}

template <class Stream>
void WsSession<Stream>::handleBinary(std::string_view frame) {
    if (frame.size() > services_.config.maxBinaryMessage) return;
    const auto parsed = wire::parseNetFrame(
        std::span(reinterpret_cast<const std::byte*>(frame.data()), frame.size()));
    if (!parsed || !wire::isMediaKind(parsed->kind)) return;
    const auto target = canonicalNumber(parsed->target);
    if (!target) return;
    // Out goes the same layout with the sender's number where the target was:
    // the receiver learns who speaks, and nobody can speak as someone else.
    auto out = std::make_shared<std::string>();
    out->reserve(2 + number_.size() + parsed->media.size());
    out->push_back(static_cast<char>(parsed->kind));
    out->push_back(static_cast<char>(static_cast<unsigned char>(number_.size())));
    out->append(number_);
    out->append(reinterpret_cast<const char*>(parsed->media.data()), parsed->media.size());
    services_.hub.forward(id_, *target, std::move(out), Cargo::frame);
}

template <class Stream>
void WsSession<Stream>::deliverText(std::shared_ptr<const std::string> record, bool media) {
    net::post(ws_.get_executor(),
              [self = this->shared_from_this(), record = std::move(record), media]() mutable {
                  self->enqueue({std::move(record), false, media});
              });
}

template <class Stream>
void WsSession<Stream>::deliverBinary(std::shared_ptr<const std::string> frame) {
    net::post(ws_.get_executor(),
              [self = this->shared_from_this(), frame = std::move(frame)]() mutable {
                  self->enqueue({std::move(frame), true, true});
              });
}

template <class Stream>
void WsSession<Stream>::deliverPresence(std::uint64_t seq, std::vector<std::string> online) {
    net::post(ws_.get_executor(),
              [self = this->shared_from_this(), seq, online = std::move(online)] {
                  if (seq <= self->presenceSeq_) return;
                  self->presenceSeq_ = seq;
                  self->sendRecord(json::presence(online));
              });
}

template <class Stream>
void WsSession<Stream>::kick(std::uint16_t code) {
    net::post(ws_.get_executor(), [self = this->shared_from_this(), code] {
        self->log(Level::info, "displaced");
        self->close(static_cast<websocket::close_code>(code));
    });
}

template <class Stream>
void WsSession<Stream>::missed(const std::string& to) {
    net::post(ws_.get_executor(),
              [self = this->shared_from_this(), to] { self->sendRecord(json::miss(to)); });
}

template <class Stream>
void WsSession<Stream>::shutdown() {
    net::post(ws_.get_executor(), [self = this->shared_from_this()] {
        self->close(websocket::close_code::going_away);
    });
}

template <class Stream>
void WsSession<Stream>::abort() {
    net::post(ws_.get_executor(), [self = this->shared_from_this()] { self->finish("shutdown"); });
}

template <class Stream>
void WsSession<Stream>::sendRecord(std::string record) {
    enqueue({std::make_shared<const std::string>(std::move(record)), false, false});
}

template <class Stream>
void WsSession<Stream>::enqueue(Outgoing item) {
    if (finished_ || closing_ || budget_->cut()) return;
    const auto& config = services_.config;
    const std::size_t size = item.data->size();
    if (item.media) {
        if (queuedMedia_ >= config.sendQueueMedia || queuedBytes_ + size > config.sendQueueBytes)
            return bump(services_.metrics.mediaDropped);  // a slow reader loses media first
    } else if (queue_.size() - queuedMedia_ >= config.sendQueueRecords ||
               queuedBytes_ + size > config.sendQueueBytes) {
        // Make room by dropping waiting media (not the frame being written).
        for (auto it = std::next(queue_.begin(), writing_ ? 1 : 0); it != queue_.end();) {
            if (!it->media) {
                ++it;
                continue;
            }
            queuedBytes_ -= it->data->size();
            budget_->release(it->data->size());
            --queuedMedia_;
            it = queue_.erase(it);
            bump(services_.metrics.mediaDropped);
        }
        if (queue_.size() >= config.sendQueueRecords ||
            queuedBytes_ + size > config.sendQueueBytes) {
            bump(services_.metrics.slowCutQueue);
            return finish("slow reader");
        }
    }
    queuedBytes_ += size;
    if (item.media) ++queuedMedia_;
    queue_.push_back(std::move(item));
    budget_->add(size);
    if (!writing_) write();
}

template <class Stream>
void WsSession<Stream>::write() {
    if (queue_.empty() || finished_) {
        writing_ = false;
        if (pendingClose_ && !finished_) {
            const auto code = *pendingClose_;
            pendingClose_.reset();
            ws_.async_close(code, [self = this->shared_from_this()](beast::error_code) {
                self->finish("closed by relay");
            });
        }
        return;
    }
    writing_ = true;
    ws_.binary(queue_.front().binary);
    ws_.async_write(net::buffer(*queue_.front().data),
                    [self = this->shared_from_this()](beast::error_code ec, std::size_t) {
                        const auto& sent = self->queue_.front();
                        if (!ec) {
                            Flow& flow = sent.binary ? self->services_.metrics.outBinary
                                                     : self->services_.metrics.outText;
                            bump(flow.messages);
                            bump(flow.bytes, sent.data->size());
                        }
                        self->queuedBytes_ -= sent.data->size();
                        self->budget_->release(sent.data->size());
                        if (sent.media) --self->queuedMedia_;
                        self->queue_.pop_front();
                        if (ec) return self->finish("write failed");
                        self->write();
                    });
}

template <class Stream>
void WsSession<Stream>::close(websocket::close_code code) {
    if (closing_ || finished_) return;
    closing_ = true;
    pendingClose_ = code;
    if (!writing_ && accepted_) write();  // else onAccept sends it
}

template <class Stream>
void WsSession<Stream>::finish(const char* why) {
    if (finished_) return;
    finished_ = true;
    closing_ = true;
    idle_.cancel();
    proofRetry_.cancel();
    bookRetry_.cancel();
    if (attached_) {
        services_.hub.detach(id_);
        move(services_.metrics.liveOpen, -1);
        // A book still waiting goes with the last-seen time (best effort:
        // both are dropped when the storage pool is full).
        services_.storeWork.post([&store = services_.store, number = number_,
                                  book = std::exchange(bookToStore_, std::nullopt),
                                  now = unixNow()] {
            if (book) store.storeBook(number, *book);
            store.touch(number, now);
        });
    }
    log(Level::info, "closed", "why", why);
    // Nothing more goes out: the queue's memory is free now, not when the
    // last handler lets go (the frame being written stays until then).
    for (auto it = std::next(queue_.begin(), writing_ && !queue_.empty() ? 1 : 0);
         it != queue_.end();) {
        queuedBytes_ -= it->data->size();
        budget_->release(it->data->size());
        if (it->media) --queuedMedia_;
        it = queue_.erase(it);
    }
    beast::error_code ignored;
    beast::get_lowest_layer(ws_).socket().close(ignored);
}

template class WsSession<beast::tcp_stream>;
template class WsSession<beast::ssl_stream<beast::tcp_stream>>;

}  // namespace merrowfax::relay
