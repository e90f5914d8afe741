#include "relay/ws_session.h"

#include <utility>

#include <boost/asio/dispatch.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>
#include <boost/container/small_vector.hpp>

#include "relay/json.h"
#include "relay/log.h"
#include "wire/frames.h"
#include "wire/number_statement.h"

namespace merrowfax::relay {
namespace net = boost::asio;
namespace {

constexpr std::size_t kMaxComputer = 200;
constexpr std::uint16_t kPolicy = 1008;
constexpr std::uint16_t kTryAgainLater = 1013;
// Plain reads land in a buffer of the I/O thread, so an idle connection
// holds none; a wake reads at most a few of them before others get a turn.
constexpr std::size_t kReadChunk = 64 * 1024;
constexpr int kReadsPerWake = 4;
constexpr std::size_t kTlsRead = 4 * 1024;
// One gathered write carries at most this much of the queue.
constexpr std::size_t kBatchItems = 64;
constexpr std::size_t kBatchBytes = 256 * 1024;

Seconds unixNow() {
    return unixMillis() / 1000;
}

char* threadBuffer() {
    thread_local const auto buffer = std::make_unique_for_overwrite<char[]>(kReadChunk);
    return buffer.get();
}

}  // namespace

template <class Stream>
WsSession<Stream>::WsSession(Stream&& stream, Services& services, std::shared_ptr<AddressSlot> slot,
                             std::optional<Registration> registration, std::string refusal,
                             std::string conn)
    : stream_(std::move(stream)),
      services_(services),
      slot_(std::move(slot)),
      registration_(std::move(registration)),
      refusal_(std::move(refusal)),
      conn_(std::move(conn)),
      reader_(std::max(services.config.maxTextMessage, services.config.maxBinaryMessage)),
      idle_(stream_.get_executor()),
      bucket_(services.config.recordsPerSecond, services.config.recordBurst),
      trustBucket_(services.config.trustOpsPerMinute / 60.0, services.config.trustOpsPerMinute),
      id_(services.nextPeer++) {}

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
void WsSession<Stream>::run(std::string early) {
    trackId_ = services_.tracker.add(this->weak_from_this());
    budget_ = services_.sendBudget.open(slot_->address(), [weak = this->weak_from_this()] {
        if (auto self = weak.lock())
            net::post(self->stream_.get_executor(), [self] {
                if (!self->finished_) bump(self->services_.metrics.slowCutBudget);
                self->finish("slow reader, over budget");
            });
    });
    beast::error_code ec;
    if constexpr (kPlain) {
        stream_.non_blocking(true, ec);
    } else {
        beast::get_lowest_layer(stream_).expires_never();
        tlsIn_ = std::make_unique_for_overwrite<char[]>(kTlsRead);
    }
    if (ec) return finish("handshake failed");
    early_ = std::move(early);
    lastHeard_ = Clock::now();
    start();
}

template <class Stream>
void WsSession<Stream>::start() {
    // An upgrade that crossed the start of shutdown missed its call: it closes
    // (1001) and registers nothing.
    if (services_.draining) return close(ws::kGoingAway);
    armIdle();
    if (!registration_) {
        bump(services_.metrics.registrationsDenied);
        log(Level::warning, "denied", "reason", "unreadable registration");
        sendRecord(json::denied(refusal_));
        return close(kPolicy);
    }
    auto self = this->shared_from_this();
    const bool queued =
        services_.registrar.submit(*registration_, slot_->address(), [self](Verdict verdict) {
            net::post(self->stream_.get_executor(), [self, verdict = std::move(verdict)]() mutable {
                self->onVerdict(std::move(verdict));
            });
        });
    if (!queued) {
        bump(services_.metrics.registrationsBusy);
        log(Level::warning, "busy", "reason", "registrations queue full");
        close(kTryAgainLater);
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
        return close(kTryAgainLater);
    }
    if (!verdict.accepted) {
        bump(services_.metrics.registrationsDenied);
        log(Level::info, "denied", "number", number);
        sendRecord(json::denied(verdict.reason));
        return close(kPolicy);
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
    net::dispatch(stream_.get_executor(), [self = this->shared_from_this()] { self->greet(); });
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
        net::post(self->stream_.get_executor(), [self] {
            self->log(Level::info, "revoked");
            self->close(kPolicy);
        });
    });
    if (posted) return;
    if (!proofRetry_) proofRetry_ = std::make_unique<net::steady_timer>(stream_.get_executor());
    proofRetry_->expires_after(services_.config.storeRetry);
    proofRetry_->async_wait([self](beast::error_code ec) {
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
        net::post(self->stream_.get_executor(), [self, answer = std::move(answer)] {
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
    if (!bookRetry_) bookRetry_ = std::make_unique<net::steady_timer>(stream_.get_executor());
    bookRetry_->expires_after(services_.config.storeRetry);
    bookRetry_->async_wait([self](beast::error_code) {
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
void WsSession<Stream>::armIdle() {
    idle_.expires_at(lastHeard_ + services_.config.idle);
    idle_.async_wait([self = this->shared_from_this()](beast::error_code ec) {
        if (ec || self->finished_ || self->closing_) return;
        if (Clock::now() - self->lastHeard_ >= self->services_.config.idle) {
            self->log(Level::info, "idle");
            self->close(ws::kGoingAway);
        } else {
            self->armIdle();
        }
    });
}

template <class Stream>
void WsSession<Stream>::read() {
    if (finished_ || reading_ || reader_.closed()) return;
    reading_ = true;
    if (!early_.empty()) {
        // What came behind the upgrade request goes first.
        std::string early = std::exchange(early_, {});
        if (!take(reader_.feed(early.data(), early.size(), *this))) return;
    }
    auto self = this->shared_from_this();
    if constexpr (kPlain) {
        stream_.async_wait(net::socket_base::wait_read, [self](beast::error_code ec) {
            self->reading_ = false;
            self->onReadable(ec);
        });
    } else {
        const auto room = reader_.room();
        const bool direct = !room.empty();
        const auto buffer =
            direct ? net::buffer(room.data(), room.size()) : net::buffer(tlsIn_.get(), kTlsRead);
        stream_.async_read_some(buffer, [self, direct](beast::error_code ec, std::size_t size) {
            self->reading_ = false;
            self->onTlsRead(ec, size, direct);
        });
    }
}

// Readable: read until the socket is drained or this wake's share is used,
// a large frame's payload straight into its message.
template <class Stream>
void WsSession<Stream>::onReadable(beast::error_code ec) {
    if constexpr (kPlain) {
        if (ec) return finish(closing_ ? "closed by relay" : "read failed");
        for (int round = 0; round < kReadsPerWake && !finished_ && !reader_.closed(); ++round) {
            const auto room = reader_.room();
            const bool direct = !room.empty();
            char* into = direct ? room.data() : threadBuffer();
            const std::size_t capacity = direct ? room.size() : kReadChunk;
            const std::size_t size = stream_.read_some(net::buffer(into, capacity), ec);
            if (ec == net::error::would_block || ec == net::error::try_again) break;
            if (ec) return finish(closing_ ? "closed by relay" : "read failed");
            lastHeard_ = Clock::now();
            if (!take(direct ? reader_.filled(size, *this) : reader_.feed(into, size, *this)))
                return;
            if (size < capacity) break;
        }
        read();
    }
}

template <class Stream>
void WsSession<Stream>::onTlsRead(beast::error_code ec, std::size_t size, bool direct) {
    if constexpr (!kPlain) {
        if (ec) return finish(closing_ ? "closed by relay" : "read failed");
        lastHeard_ = Clock::now();
        if (!take(direct ? reader_.filled(size, *this) : reader_.feed(tlsIn_.get(), size, *this)))
            return;
        read();
    }
}

// The reader's verdict on what it read: false once the connection fails.
template <class Stream>
bool WsSession<Stream>::take(std::uint16_t verdict) {
    if (verdict == 0) return !finished_;
    fail(verdict, verdict == ws::kTooBig    ? "message too big"
                  : verdict == ws::kBadData ? "text not UTF-8"
                                            : "protocol error");
    return false;
}

template <class Stream>
void WsSession<Stream>::onMessage(bool text, std::string_view message) {
    Flow& flow = text ? services_.metrics.inText : services_.metrics.inBinary;
    bump(flow.messages);
    bump(flow.bytes, message.size());
    if (closing_) return;  // closing: read on until the close completes, but act on nothing
    if (!bucket_.take(lastHeard_)) {
        bump(services_.metrics.recordsThrottled);
        excess_ += 1;
        if (excess_ > services_.config.floodExcess) {
            bump(services_.metrics.floodersCut);
            log(Level::warning, "flooding");
            close(kPolicy);
        }
        return;
    }
    excess_ = std::max(0.0, excess_ - 1);
    try {
        if (text) {
            handleText(message);
        } else {
            handleBinary(message);
        }
    } catch (const std::exception& e) {
        log(Level::error, "storage_error", "error", e.what());
    }
}

template <class Stream>
void WsSession<Stream>::onPing(std::string_view payload) {
    if (closing_) return;
    enqueue({std::make_shared<const std::string>(payload),
             ws::header(ws::Opcode::pong, payload.size()), false});
}

// The client closed: our close answers it (after whatever of ours is being
// written), then the connection ends.
template <class Stream>
void WsSession<Stream>::onClose(std::uint16_t code) {
    if (closeSent_) return finish("closed by relay");
    closeWhy_ = closing_ && closeQueued_ ? "closed by relay" : "closed by client";
    closing_ = true;
    dropQueued();
    queueClose(code == ws::kNoStatus ? ws::kNormal : code);
}

template <class Stream>
void WsSession<Stream>::deliverText(std::shared_ptr<const std::string> record, bool media) {
    net::post(stream_.get_executor(),
              [self = this->shared_from_this(), record = std::move(record), media]() mutable {
                  const auto size = record->size();
                  self->enqueue({std::move(record), ws::header(ws::Opcode::text, size), media});
              });
}

template <class Stream>
void WsSession<Stream>::deliverBinary(std::shared_ptr<const std::string> frame) {
    net::post(stream_.get_executor(),
              [self = this->shared_from_this(), frame = std::move(frame)]() mutable {
                  const auto size = frame->size();
                  self->enqueue({std::move(frame), ws::header(ws::Opcode::binary, size), true});
              });
}

template <class Stream>
void WsSession<Stream>::deliverPresence(std::uint64_t seq, std::vector<std::string> online) {
    net::post(stream_.get_executor(),
              [self = this->shared_from_this(), seq, online = std::move(online)] {
                  if (seq <= self->presenceSeq_) return;
                  self->presenceSeq_ = seq;
                  self->sendRecord(json::presence(online));
              });
}

template <class Stream>
void WsSession<Stream>::kick(std::uint16_t code) {
    net::post(stream_.get_executor(), [self = this->shared_from_this(), code] {
        self->log(Level::info, "displaced");
        self->close(code);
    });
}

template <class Stream>
void WsSession<Stream>::missed(const std::string& to) {
    net::post(stream_.get_executor(),
              [self = this->shared_from_this(), to] { self->sendRecord(json::miss(to)); });
}

template <class Stream>
void WsSession<Stream>::shutdown() {
    net::post(stream_.get_executor(),
              [self = this->shared_from_this()] { self->close(ws::kGoingAway); });
}

template <class Stream>
void WsSession<Stream>::abort() {
    net::post(stream_.get_executor(),
              [self = this->shared_from_this()] { self->finish("shutdown"); });
}

template <class Stream>
void WsSession<Stream>::sendRecord(std::string record) {
    const auto size = record.size();
    enqueue({std::make_shared<const std::string>(std::move(record)),
             ws::header(ws::Opcode::text, size), false});
}

// Items already (partly) handed to the socket: they stay until written.
template <class Stream>
std::size_t WsSession<Stream>::pinned() const {
    if constexpr (kPlain) {
        return frontSent_ > 0 ? 1 : 0;
    } else {
        return writing_ ? inFlight_ : 0;
    }
}

template <class Stream>
void WsSession<Stream>::enqueue(Outgoing item) {
    if (finished_ || closing_ || budget_->cut()) return;
    const auto& config = services_.config;
    const std::size_t size = item.size();
    if (item.media) {
        supersede(item);
        if (queuedMedia_ >= config.sendQueueMedia || queuedBytes_ + size > config.sendQueueBytes)
            return bump(services_.metrics.mediaDropped);  // a slow reader loses media first
    } else if (queue_.size() - queuedMedia_ >= config.sendQueueRecords ||
               queuedBytes_ + size > config.sendQueueBytes) {
        // Make room by dropping waiting media (not what is being written).
        for (auto it = std::next(queue_.begin(), static_cast<std::ptrdiff_t>(pinned()));
             it != queue_.end();) {
            if (!it->media) {
                ++it;
                continue;
            }
            it = unqueue(it);
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
    flushSoon();
}

// A screen picture is whole in itself: once the reader falls behind (its
// socket is full), a newer one from the same sharer takes the place of one
// still waiting, so it sees the screen as it is now rather than as it was.
// A reader that keeps up gets every picture.
template <class Stream>
void WsSession<Stream>::supersede(const Outgoing& item) {
    if (!writing_) return;
    const std::string_view frame = *item.data;
    const auto desk = static_cast<char>(wire::FrameKind::deskFrame);
    if ((item.header.bytes[0] & 0x0F) != static_cast<char>(ws::Opcode::binary) ||
        frame.size() < 2 || frame[0] != desk)
        return;
    const std::string_view stream = frame.substr(0, 2 + static_cast<unsigned char>(frame[1]));
    for (auto it = std::next(queue_.begin(), static_cast<std::ptrdiff_t>(pinned()));
         it != queue_.end(); ++it) {
        if (it->media && std::string_view(*it->data).starts_with(stream)) {
            unqueue(it);
            bump(services_.metrics.mediaDropped);
            return;
        }
    }
}

template <class Stream>
typename std::list<typename WsSession<Stream>::Outgoing>::iterator WsSession<Stream>::unqueue(
    typename std::list<Outgoing>::iterator it) {
    queuedBytes_ -= it->size();
    budget_->release(it->size());
    if (it->media) --queuedMedia_;
    return queue_.erase(it);
}

// Records queued by the handlers that run now go out together: the write
// waits for them, behind what the strand has queued already.
template <class Stream>
void WsSession<Stream>::flushSoon() {
    if (writing_ || flushPosted_ || finished_) return;
    flushPosted_ = true;
    net::post(stream_.get_executor(), [self = this->shared_from_this()] {
        self->flushPosted_ = false;
        self->write();
    });
}

// The queue's head as buffers, from the first byte not yet written.
template <class Stream>
template <class Buffers>
std::size_t WsSession<Stream>::gather(Buffers& out) {
    std::size_t bytes = 0;
    std::size_t skip = frontSent_;
    std::size_t items = 0;
    for (const auto& item : queue_) {
        if (items == kBatchItems || bytes >= kBatchBytes) break;
        ++items;
        std::string_view head = item.header.view();
        std::string_view body = *item.data;
        const std::size_t fromHead = std::min(skip, head.size());
        head.remove_prefix(fromHead);
        body.remove_prefix(skip - fromHead);
        skip = 0;
        if (!head.empty()) out.emplace_back(head.data(), head.size());
        if (!body.empty()) out.emplace_back(body.data(), body.size());
        bytes += head.size() + body.size();
    }
    if constexpr (!kPlain) inFlight_ = items;
    return bytes;
}

template <class Stream>
void WsSession<Stream>::write() {
    if (finished_ || writing_ || queue_.empty()) return;
    if constexpr (kPlain) {
        writePlain();
    } else {
        writeTls();
    }
}

// Straight to the socket, without a wait while it takes everything; the
// reactor is asked only once it is full.
template <class Stream>
void WsSession<Stream>::writePlain() {
    if constexpr (kPlain) {
        while (!queue_.empty() && !finished_) {
            boost::container::small_vector<net::const_buffer, 2 * kBatchItems> buffers;
            const std::size_t bytes = gather(buffers);
            beast::error_code ec;
            const std::size_t written = stream_.write_some(buffers, ec);
            if (ec && ec != net::error::would_block && ec != net::error::try_again)
                return finish("write failed");
            sent(written);
            if (closeSent_ || finished_) return;
            if (written < bytes) {
                writing_ = true;
                stream_.async_wait(net::socket_base::wait_write,
                                   [self = this->shared_from_this()](beast::error_code ec) {
                                       self->writing_ = false;
                                       if (ec) return self->finish("write failed");
                                       self->write();
                                   });
                return;
            }
        }
    }
}

template <class Stream>
void WsSession<Stream>::writeTls() {
    if constexpr (!kPlain) {
        tlsGather_.clear();
        gather(tlsGather_);
        writing_ = true;
        net::async_write(stream_, tlsGather_,
                         [self = this->shared_from_this()](beast::error_code ec, std::size_t n) {
                             self->writing_ = false;
                             self->inFlight_ = 0;
                             if (ec) return self->finish("write failed");
                             self->sent(n);
                             if (!self->closeSent_) self->write();
                         });
    }
}

// `bytes` more of the queue are on the wire: what is whole leaves it.
template <class Stream>
void WsSession<Stream>::sent(std::size_t bytes) {
    while (bytes > 0 && !queue_.empty()) {
        auto& front = queue_.front();
        const std::size_t left = front.size() - frontSent_;
        if (bytes < left) {
            frontSent_ += bytes;
            return;
        }
        bytes -= left;
        frontSent_ = 0;
        const bool isClose = front.header.size == 0;
        const auto op = static_cast<ws::Opcode>(front.header.bytes[0] & 0x0F);
        if (op == ws::Opcode::text || op == ws::Opcode::binary) {
            Flow& flow =
                op == ws::Opcode::binary ? services_.metrics.outBinary : services_.metrics.outText;
            bump(flow.messages);
            bump(flow.bytes, front.data->size());
        }
        unqueue(queue_.begin());
        if (isClose) {
            closeSent_ = true;
            return afterClose();
        }
    }
}

// Our close frame is out: the connection ends when the client answers it,
// or at once after a failure or an answer that came first.
template <class Stream>
void WsSession<Stream>::afterClose() {
    if (closeWhy_) return finish(closeWhy_);
    read();
}

// From here the close exchange has its deadline, queue or no queue.
template <class Stream>
void WsSession<Stream>::queueClose(std::uint16_t code) {
    if (closeQueued_) return write();
    closeQueued_ = true;
    idle_.expires_after(services_.config.handshake);
    idle_.async_wait([self = this->shared_from_this()](beast::error_code ec) {
        if (!ec) self->finish(self->closeWhy_ ? self->closeWhy_ : "closed by relay");
    });
    auto frame = std::make_shared<const std::string>(ws::closeFrame(code));
    queuedBytes_ += frame->size();
    budget_->add(frame->size());
    queue_.push_back({std::move(frame), {}, false});
    write();
}

// Drops what waits, keeping what is being written and a queued close.
template <class Stream>
void WsSession<Stream>::dropQueued() {
    for (auto it = std::next(queue_.begin(), static_cast<std::ptrdiff_t>(pinned()));
         it != queue_.end();)
        it = it->header.size == 0 ? std::next(it) : unqueue(it);
}

// Politely: what is queued goes out first, then the close frame.
template <class Stream>
void WsSession<Stream>::close(std::uint16_t code) {
    if (closing_ || finished_) return;
    closing_ = true;
    queueClose(code);
}

// The client broke the protocol: what waits is dropped, the close goes
// next, and the connection ends once it is out.
template <class Stream>
void WsSession<Stream>::fail(std::uint16_t code, const char* why) {
    if (finished_) return;
    closeWhy_ = why;
    if (closeSent_) return finish(why);
    closing_ = true;
    dropQueued();
    queueClose(code);
}

template <class Stream>
void WsSession<Stream>::finish(const char* why) {
    if (finished_) return;
    finished_ = true;
    closing_ = true;
    idle_.cancel();
    if (proofRetry_) proofRetry_->cancel();
    if (bookRetry_) bookRetry_->cancel();
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
    // last handler lets go (a TLS write under way keeps its buffers).
    for (auto it = std::next(queue_.begin(), static_cast<std::ptrdiff_t>(pinned()));
         it != queue_.end();)
        it = unqueue(it);
    beast::error_code ignored;
    if constexpr (kPlain) {
        stream_.close(ignored);
    } else {
        beast::get_lowest_layer(stream_).socket().close(ignored);
    }
}

template class WsSession<net::ip::tcp::socket>;
template class WsSession<beast::ssl_stream<beast::tcp_stream>>;

}  // namespace merrowfax::relay
