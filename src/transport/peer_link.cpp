#include "transport/peer_link.h"

#include <QDir>

#include <algorithm>
#include <system_error>

#include "base/date.h"
#include "numbers/unicode_text.h"
#include "platform/diagnostic_log.h"
#include "platform/timings.h"
#include "transport/service_key.h"
#include "wire/envelope_builders.h"
#include "wire/envelope_json.h"
#include "wire/frames.h"

namespace merrowfax {
namespace {

// Names other devices give themselves are cut like our own advertised one.
constexpr std::size_t kNameLimit = 24;

// The first `count` characters of UTF-8 text.
std::string firstCharacters(const std::string& text, std::size_t count) {
    std::size_t i = 0;
    for (std::size_t seen = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if ((c & 0xC0) != 0x80 && seen++ == count) break;
    }
    return text.substr(0, i);
}

std::filesystem::path temporaryFolder() {
    return QDir::tempPath().toStdString();
}

// A device's key from its advertised name: mDNS renames an advertisement
// that collides (even with the device's own withdrawn one) as "NAME #2".
std::string keyOfService(const std::string& name) {
    const auto mark = name.rfind(" #");
    if (mark == std::string::npos || mark + 2 == name.size()) return name;
    const bool digits = std::all_of(name.begin() + static_cast<std::ptrdiff_t>(mark + 2),
                                    name.end(), [](char c) { return c >= '0' && c <= '9'; });
    return digits ? name.substr(0, mark) : name;
}

// Moves `from` to `to`, replacing what is there; copies across file systems.
bool moveFile(const std::filesystem::path& from, const std::filesystem::path& to) {
    std::error_code error;
    std::filesystem::remove(to, error);
    std::filesystem::rename(from, to, error);
    if (!error) return true;
    std::filesystem::copy_file(from, to, std::filesystem::copy_options::overwrite_existing, error);
    return !error;
}

}  // namespace

PeerLink::PeerLink(std::unique_ptr<Discovery> discovery, std::optional<LanIdentity> identity)
    : discovery_(std::move(discovery)), identity_(std::move(identity)) {
    Discovery::Callbacks callbacks;
    callbacks.found = [this](const Discovery::Service& service) {
        found(service);
    };
    callbacks.lost = [this](const std::string& key) {
        lost(key);
    };
    discovery_->setCallbacks(std::move(callbacks));
    if (!identity_)
        diagnosticLog("LAN link without a certificate: no sessions with nearby devices");
    expiry_.setSingleShot(true);
    connect(&expiry_, &QTimer::timeout, this, [this] {
        proveClaims();
        publishOnline();
    });
    // An invitation that failed is tried again while the device is in sight:
    // devices proven before first, as invitations at once are few.
    connect(&retry_, &QTimer::timeout, this, [this] {
        std::vector<std::string> keys;
        {
            std::lock_guard lock(lock_);
            for (const auto& [key, service] : peerByKey_) {
                if (service.port != 0) keys.push_back(key);
            }
        }
        if (sessions_) {
            std::stable_partition(keys.begin(), keys.end(), [this](const std::string& key) {
                return sessions_->wasProven(key);
            });
        }
        for (const std::string& key : keys) invite(key);
    });
}

PeerLink::~PeerLink() {
    discovery_->stop();
    sessions_.reset();
}

void PeerLink::setHandler(std::function<void(wire::PeerEvent)> handler) {
    std::lock_guard lock(lock_);
    handler_ = std::move(handler);
}

void PeerLink::setCompanionLabel(const std::string& label) {
    std::lock_guard lock(lock_);
    companionLabel_ = label;
}

void PeerLink::setDevice(const std::string& deviceId) {
    const std::string key = "m-" + firstCharacters(deviceId, 8);
    {
        std::lock_guard lock(lock_);
        deviceId_ = deviceId;
        if (key == ownKey_) return;
        ownKey_ = key;
    }
    sessions_.reset();
    if (!identity_) return;
    sessions_ = std::make_unique<lan::Sessions>(key, *identity_, temporaryFolder());
    lan::Sessions::Callbacks callbacks;
    callbacks.stateChanged = [this](const std::string& peer, lan::Sessions::State state) {
        stateChanged(peer, state);
    };
    // The peer may have missed our roster on a session it let go of.
    callbacks.kept = [this](const std::string& peer) {
        sendRoster(peer);
    };
    callbacks.wanted = [this](const std::string& peer, const std::string& name, std::uint64_t) {
        return resourceWanted(peer, name);
    };
    callbacks.received = [this](const std::string& peer, std::span<const std::byte> message) {
        received(peer, message);
    };
    callbacks.media = [this](const std::string& peer, std::span<const std::byte> message) {
        receivedMedia(peer, message);
    };
    callbacks.resource = [this](const std::string& peer, const std::string& name,
                                const std::filesystem::path& file) {
        resourceArrived(peer, name, file);
    };
    sessions_->setCallbacks(std::move(callbacks));
}

std::string PeerLink::ownKey() const {
    std::lock_guard lock(lock_);
    return ownKey_;
}

std::uint16_t PeerLink::port() const {
    return sessions_ ? sessions_->port() : 0;
}

void PeerLink::start(const std::string& number, const std::string& name) {
    {
        std::lock_guard lock(lock_);
        myNumber_ = number;
        myName_ = name;
    }
    startDiscovery();
}

void PeerLink::startDiscovery() {
    Discovery::TextMap text;
    std::string key;
    bool browse = false;
    {
        std::lock_guard lock(lock_);
        if (ownKey_.empty()) return;
        key = ownKey_;
        text["n"] = myNumber_;
        text["a"] = firstCharacters(myName_, kNameLimit);
        if (!hostedCode_.empty()) text["k"] = hostedCode_;
        browse = !myNumber_.empty() || !seekCode_.empty();
        started_ = true;
    }
    const std::uint16_t sessionPort = sessions_ ? sessions_->listen() : 0;
    discovery_->advertise(key, sessionPort, text);
    discovery_->browse(browse);
    retry_.start(timings().lanInviteGuard);
}

void PeerLink::stop() {
    retry_.stop();
    discovery_->stop();
    if (sessions_) sessions_->disconnectAll();
    {
        std::lock_guard lock(lock_);
        started_ = false;
        peerByKey_.clear();
        numberByKey_.clear();
        claimByKey_.clear();
        nameByKey_.clear();
        invitedAt_.clear();
    }
    publishOnline();
}

// --- What discovery and the sessions report -------------------------------------

void PeerLink::found(const Discovery::Service& service) {
    const std::string key = keyOfService(service.name);
    bool helloAgain = false;
    {
        std::lock_guard lock(lock_);
        if (key == ownKey_ || !started_) return;
        // A network full of strangers' advertisements fills no memory.
        if (peerByKey_.size() >= kMaxSeenDevices && !peerByKey_.contains(key)) return;
        // What it advertises is only a hint: its number counts once proven.
        peerByKey_[key] = service;
        const auto name = service.text.find("a");
        if (name != service.text.end())
            nameByKey_[key] = unicode::cleanName(name->second, kNameLimit);
        // The session may have come first, and its account been refused for
        // want of this advertisement: the seeker asks again.
        helloAgain = advertisesSoughtCode(key);
    }
    if (helloAgain && sessions_ && sessions_->isConnected(key)) sendLinkHello(key);
    invite(key);
    publishOnline();
}

void PeerLink::invite(const std::string& key) {
    if (!sessions_ || sessions_->isConnected(key)) return;
    Discovery::Service service;
    {
        std::lock_guard lock(lock_);
        const auto seen = peerByKey_.find(key);
        if (seen == peerByKey_.end() || seen->second.port == 0) return;
        service = seen->second;
        const auto now = std::chrono::steady_clock::now();
        const auto last = invitedAt_.find(key);
        if (last != invitedAt_.end() && now - last->second < timings().lanInviteGuard) return;
        invitedAt_[key] = now;
    }
    if (!sessions_->invite(key, service.host, service.port)) {
        // Not tried (too many invitations waiting): the next round may.
        std::lock_guard lock(lock_);
        invitedAt_.erase(key);
    }
}

void PeerLink::lost(const std::string& name) {
    const std::string key = keyOfService(name);
    {
        std::lock_guard lock(lock_);
        // An advertisement replaced under another name is not the device going.
        const auto seen = peerByKey_.find(key);
        if (seen != peerByKey_.end() && seen->second.port != 0 && seen->second.name != name) return;
        peerByKey_.erase(key);
        numberByKey_.erase(key);
        claimByKey_.erase(key);  // a later check must not bring it back
        nameByKey_.erase(key);
        invitedAt_.erase(key);
    }
    publishOnline();
}

void PeerLink::stateChanged(const std::string& key, lan::Sessions::State state) {
    switch (state) {
        case lan::Sessions::State::notConnected: {
            std::lock_guard lock(lock_);
            numberByKey_.erase(key);
            claimByKey_.erase(key);
            // A device known only from its session goes with it.
            const auto seen = peerByKey_.find(key);
            if (seen != peerByKey_.end() && seen->second.port == 0) {
                peerByKey_.erase(seen);
                nameByKey_.erase(key);
                invitedAt_.erase(key);
            }
            break;
        }
        case lan::Sessions::State::connecting:
            break;
        case lan::Sessions::State::connected:
            rememberSessionPeer(key);
            sendRoster(key);
            sendLinkHello(key);
            break;
    }
    publishOnline();
}

void PeerLink::received(const std::string& key, std::span<const std::byte> message) {
    const auto frame = wire::parseLanFrame(message);
    if (!frame) return;
    if (frame->kind == static_cast<std::uint8_t>(wire::FrameKind::envelope)) {
        if (auto envelope = wire::decodeEnvelope(frame->body)) handleEnvelope(key, *envelope);
        return;
    }
    receivedMedia(key, message);
}

void PeerLink::receivedMedia(const std::string& key, std::span<const std::byte> message) {
    const auto frame = wire::parseLanFrame(message);
    if (!frame || frame->kind == static_cast<std::uint8_t>(wire::FrameKind::envelope)) return;
    const std::string from = numberOf(key);
    if (from.empty()) return;  // media only from a proven number
    if (auto event = wire::eventFromFrame(*frame, from)) emit(std::move(*event));
}

void PeerLink::handleEnvelope(const std::string& key, const wire::Envelope& received) {
    wire::Envelope envelope = received;
    if (envelope.op != "roster") {
        // From the number the session proved, whatever it says; from no
        // number, only what linking needs.
        const std::string proven = numberOf(key);
        if (!proven.empty()) {
            envelope.number = proven;
        } else if (envelope.op != "link-hello" && envelope.op != "link-account" &&
                   envelope.op != "link-joined") {
            return;
        }
    }
    if (envelope.op == "link-account") {
        // An account only from the device showing the code typed here.
        std::lock_guard lock(lock_);
        if (!advertisesSoughtCode(key)) return;
        linkHost_ = key;
        linkSnapshotTaken_ = false;
    }
    auto incoming = wire::receiveEnvelope(envelope, wire::Transport::lan, key, now());
    if (!incoming) return;
    if (auto* roster = std::get_if<wire::RosterUpdate>(&*incoming)) {
        {
            std::lock_guard lock(lock_);
            // A statement is small; anything bigger proves nothing and is not kept.
            const bool plausible =
                roster->number.size() <= 64 && roster->cert.size() <= 2 * wire::kMaxStatementBytes;
            claimByKey_[key] = plausible ? Claim{roster->number, roster->cert} : Claim{};
            std::string name = unicode::cleanName(roster->name, kNameLimit);
            if (!name.empty() && peerByKey_.contains(key)) nameByKey_[key] = std::move(name);
        }
        proveClaims();
        publishOnline();
    } else if (auto* file = std::get_if<wire::IncomingFile>(&*incoming)) {
        std::lock_guard lock(lock_);
        if (pendingFiles_.size() >= kMaxPendingFiles && !pendingFiles_.contains(file->resource)) {
            const auto oldest = std::min_element(
                pendingFiles_.begin(), pendingFiles_.end(),
                [](const auto& a, const auto& b) { return a.second.order < b.second.order; });
            pendingFiles_.erase(oldest);
        }
        const std::string resource = file->resource;
        pendingFiles_[resource] = PendingFile{key, std::move(*file), nextPendingOrder_++};
    } else {
        emit(std::get<wire::PeerEvent>(std::move(*incoming)));
    }
}

void PeerLink::rememberSessionPeer(const std::string& key) {
    std::lock_guard lock(lock_);
    // Sessions are bounded, but the sighted list keeps its own bound too.
    if (peerByKey_.size() < kMaxSeenDevices) {
        peerByKey_.try_emplace(key, Discovery::Service{key, {}, 0, {}});
    }
}

bool PeerLink::advertisesSoughtCode(const std::string& key) const {
    if (seekCode_.empty()) return false;
    const auto seen = peerByKey_.find(key);
    if (seen == peerByKey_.end()) return false;
    const auto code = seen->second.text.find("k");
    return code != seen->second.text.end() && code->second == seekCode_;
}

bool PeerLink::snapshotAllowed(const std::string& key) const {
    return advertisesSoughtCode(key) || (key == linkHost_ && !linkSnapshotTaken_);
}

// A file only from the proven device that announced it; a snapshot only
// from the device this one is being linked to.
bool PeerLink::resourceWanted(const std::string& key, const std::string& name) const {
    std::lock_guard lock(lock_);
    if (name.starts_with("snap-")) return snapshotAllowed(key);
    const auto pending = pendingFiles_.find(name);
    return numberByKey_.contains(key) && pending != pendingFiles_.end() &&
           pending->second.from == key;
}

void PeerLink::resourceArrived(const std::string& key, const std::string& name,
                               const std::filesystem::path& file) {
    const std::filesystem::path folder = temporaryFolder();
    if (name.starts_with("snap-")) {
        {
            std::lock_guard lock(lock_);
            if (!snapshotAllowed(key)) return;  // the transfer's file is removed
            if (key == linkHost_) linkSnapshotTaken_ = true;
        }
        const std::filesystem::path copy = folder / name;
        if (moveFile(file, copy)) emit(wire::events::Snapshot{copy.string(), key});
        return;
    }
    std::optional<PendingFile> pending;
    {
        std::lock_guard lock(lock_);
        const auto it = pendingFiles_.find(name);
        // Only the device that announced the file may deliver its bytes.
        if (it == pendingFiles_.end() || it->second.from != key) return;
        pending = std::move(it->second);
        pendingFiles_.erase(it);
    }
    const std::filesystem::path copy = folder / pending->file.localName;
    if (moveFile(file, copy)) emit(std::move(pending->file).arrived(copy.string()));
}

// --- Sending -------------------------------------------------------------------

std::vector<std::string> PeerLink::connectedAmong(const std::vector<std::string>& keys) const {
    std::vector<std::string> connected;
    if (!sessions_) return connected;
    for (const std::string& key : keys) {
        if (sessions_->isConnected(key) &&
            std::find(connected.begin(), connected.end(), key) == connected.end()) {
            connected.push_back(key);
        }
    }
    return connected;
}

std::vector<std::string> PeerLink::peers(const std::string& number) {
    std::vector<std::string> keys;
    if (number.empty()) return keys;
    {
        std::lock_guard lock(lock_);
        for (const auto& [key, served] : numberByKey_) {
            if (served == number) keys.push_back(key);
        }
    }
    return connectedAmong(keys);
}

bool PeerLink::sendEnvelope(const wire::Envelope& envelope,
                            const std::vector<std::string>& peerKeys) {
    const std::vector<std::string> targets = connectedAmong(peerKeys);
    if (targets.empty()) return false;
    wire::Envelope filled = envelope;
    {
        std::lock_guard lock(lock_);
        if (!filled.device) filled.device = deviceId_;
        if (!filled.number) filled.number = myNumber_;
        if (!filled.name) filled.name = myName_;
    }
    const auto json = wire::encodeEnvelope(filled);
    if (!json) return false;
    const auto frame =
        wire::encodeLanFrame(wire::FrameKind::envelope,
                             {reinterpret_cast<const std::byte*>(json->data()), json->size()});
    bool any = false;
    for (const std::string& key : targets) any = sessions_->send(key, frame) || any;
    return any;
}

bool PeerLink::sendMedia(wire::FrameKind kind, const wire::Bytes& data,
                         const std::vector<std::string>& peerKeys) {
    if (!sessions_) return false;
    const auto frame = wire::encodeLanFrame(kind, data);
    bool any = false;
    for (const std::string& key : connectedAmong(peerKeys)) {
        any = sessions_->sendMedia(key, frame) || any;
    }
    return any;
}

bool PeerLink::sendFile(const wire::Envelope& envelope, const std::filesystem::path& file,
                        const std::vector<std::string>& peerKeys) {
    if (!envelope.resource || !lan::Sessions::validResourceName(*envelope.resource)) return false;
    bool any = false;
    for (const std::string& key : connectedAmong(peerKeys)) {
        // The envelope first: the bytes are only taken once it is known.
        if (sendEnvelope(envelope, {key}) &&
            sessions_->sendResource(key, *envelope.resource, file)) {
            any = true;
        }
    }
    return any;
}

bool PeerLink::sendSnapshot(const std::filesystem::path& file, const std::string& peerKey) {
    if (!sessions_) return false;
    return sessions_->sendResource(peerKey, "snap-" + Uuid::random().text() + ".json", file);
}

void PeerLink::setHostedCode(const std::string& code) {
    {
        std::lock_guard lock(lock_);
        if (hostedCode_ == code) return;
        hostedCode_ = code;
    }
    startDiscovery();
}

void PeerLink::setSeekCode(const std::string& code, const std::string& computer) {
    {
        std::lock_guard lock(lock_);
        seekCode_ = code;
        seekComputer_ = computer;
        // The device linked to may still be sending its snapshot once the
        // search is over; a new search starts afresh.
        if (!code.empty()) {
            linkHost_.clear();
            linkSnapshotTaken_ = false;
        }
    }
    startDiscovery();
    if (code.empty() || !sessions_) return;
    for (const std::string& key : sessions_->connected()) sendLinkHello(key);
}

// Only to the device showing the code: the hello carries this computer's
// identity with the relay service, which no other device may learn.
void PeerLink::sendLinkHello(const std::string& key) {
    wire::Envelope hello;
    {
        std::lock_guard lock(lock_);
        if (!advertisesSoughtCode(key)) return;
        hello = wire::linkHelloEnvelope(seekCode_, deviceId_, companionLabel_, seekComputer_);
    }
    sendEnvelope(hello, {key});
}

void PeerLink::sendRoster(const std::string& key) {
    wire::Envelope roster;
    roster.op = "roster";
    {
        std::lock_guard lock(lock_);
        if (!ownStatement_.empty()) roster.cert = ownStatement_;
    }
    sendEnvelope(roster, {key});
}

void PeerLink::setStatement(const std::string& statement) {
    {
        std::lock_guard lock(lock_);
        if (statement == ownStatement_) return;
        ownStatement_ = statement;
    }
    // A renewed statement goes to every device in session.
    if (sessions_) {
        for (const std::string& key : sessions_->connected()) sendRoster(key);
    }
}

void PeerLink::setServiceKey(const wire::VerifyKey& key) {
    {
        std::lock_guard lock(lock_);
        serviceKey_ = key;
    }
    proveClaims();
    publishOnline();
}

void PeerLink::fetchServiceKey(const QUrl& keyUrl, const std::filesystem::path& file) {
    if (!http_) http_ = std::make_unique<QNetworkAccessManager>();
    merrowfax::fetchServiceKey(*http_, keyUrl, file,
                               [this](const wire::VerifyKey& key) { setServiceKey(key); });
}

void PeerLink::proveClaims() {
    const auto unixNow = std::chrono::duration_cast<std::chrono::seconds>(
                             std::chrono::system_clock::now().time_since_epoch())
                             .count();
    std::optional<std::int64_t> firstExpiry;
    std::vector<std::string> proven;
    {
        std::lock_guard lock(lock_);
        for (const auto& [key, claim] : claimByKey_) {
            std::optional<wire::NumberStatement> statement;
            if (serviceKey_ && sessions_ && !claim.number.empty()) {
                statement = wire::verifyStatement(claim.statement, *serviceKey_, unixNow);
            }
            // Signed for this number and for the certificate this session
            // came with: a statement copied from another device proves nothing.
            if (statement && statement->number == claim.number &&
                statement->lanCert == sessions_->peerFingerprint(key)) {
                numberByKey_[key] = claim.number;
                proven.push_back(key);
                if (!firstExpiry || statement->expires < *firstExpiry) {
                    firstExpiry = statement->expires;
                }
            } else {
                numberByKey_.erase(key);
            }
        }
    }
    for (const std::string& key : proven) sessions_->setProven(key);
    expiry_.stop();
    if (firstExpiry) {
        const auto wait = std::chrono::seconds(std::max<std::int64_t>(0, *firstExpiry - unixNow));
        // Timers take int milliseconds: a far expiry is checked again later.
        expiry_.start(std::min<std::chrono::milliseconds>(wait, std::chrono::hours(24 * 20)));
    }
}

// --- Reporting -----------------------------------------------------------------

std::string PeerLink::numberOf(const std::string& key) const {
    std::lock_guard lock(lock_);
    const auto it = numberByKey_.find(key);
    return it == numberByKey_.end() ? std::string() : it->second;
}

void PeerLink::publishOnline() {
    wire::events::Online online;
    {
        std::lock_guard lock(lock_);
        for (const auto& [key, number] : numberByKey_) {
            if (!number.empty()) online.numbers.insert(number);
        }
    }
    emit(std::move(online));
}

void PeerLink::emit(wire::PeerEvent event) {
    std::function<void(wire::PeerEvent)> handler;
    {
        std::lock_guard lock(lock_);
        handler = handler_;
    }
    if (handler) handler(std::move(event));
}

std::vector<PeerLink::PeerInfo> PeerLink::peerList() const {
    std::vector<PeerInfo> list;
    std::lock_guard lock(lock_);
    for (const auto& [key, service] : peerByKey_) {
        PeerInfo info;
        info.key = key;
        if (const auto it = numberByKey_.find(key); it != numberByKey_.end())
            info.number = it->second;
        if (const auto it = nameByKey_.find(key); it != nameByKey_.end()) info.name = it->second;
        info.connected = sessions_ && sessions_->isConnected(key);
        list.push_back(std::move(info));
    }
    return list;
}

std::size_t PeerLink::pendingFileCount() const {
    std::lock_guard lock(lock_);
    return pendingFiles_.size();
}

}  // namespace merrowfax
