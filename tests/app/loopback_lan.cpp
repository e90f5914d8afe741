#include "loopback_lan.h"

#include <QDir>
#include <QObject>

#include <algorithm>
#include <filesystem>
#include <set>
#include <vector>

#include "wire/envelope_builders.h"
#include "wire/envelope_json.h"
#include "wire/receive.h"

namespace merrowfax::testing {

struct LoopbackLan::Hub {
    std::vector<Link*> links;
    void publishOnline();
};

class LoopbackLan::Link final : public LanTransport {
public:
    Link(std::shared_ptr<Hub> hub, std::string key) : hub_(std::move(hub)), key_(std::move(key)) {
        hub_->links.push_back(this);
    }
    ~Link() override {
        std::erase(hub_->links, this);
        hub_->publishOnline();
    }

    void setHandler(std::function<void(wire::PeerEvent)> handler) override {
        handler_ = std::move(handler);
    }
    void setCompanionLabel(const std::string&) override {}
    void setDevice(const std::string&) override {}
    void setStatement(const std::string&) override {}
    void start(const std::string& number, const std::string& name) override {
        number_ = number;
        name_ = name;
        running_ = true;
        hub_->publishOnline();
    }
    void stop() override {
        running_ = false;
        hub_->publishOnline();
    }

    std::vector<std::string> peers(const std::string& number) override {
        std::vector<std::string> keys;
        for (Link* link : hub_->links) {
            if (isPeer(link) && link->number_ == number) keys.push_back(link->key_);
        }
        return keys;
    }

    bool sendEnvelope(const wire::Envelope& envelope,
                      const std::vector<std::string>& peerKeys) override {
        wire::Envelope filled = envelope;
        wire::fillSender(filled, key_, number_, name_);
        const auto json = wire::encodeEnvelope(filled);
        if (!json) return false;
        bool any = false;
        for (Link* peer : connected(peerKeys)) {
            any = true;
            auto decoded = wire::decodeEnvelope(*json);
            if (!decoded) continue;
            auto incoming = wire::receiveEnvelope(*decoded, wire::Transport::lan, key_, now());
            if (!incoming) continue;
            if (auto* event = std::get_if<wire::PeerEvent>(&*incoming)) {
                peer->deliver(std::move(*event));
            } else if (auto* file = std::get_if<wire::IncomingFile>(&*incoming)) {
                peer->pendingFiles_.push_back(std::move(*file));
            }
        }
        return any;
    }

    bool sendMedia(wire::FrameKind kind, const wire::Bytes& data,
                   const std::vector<std::string>& peerKeys) override {
        bool any = false;
        for (Link* peer : connected(peerKeys)) {
            any = true;
            auto event = wire::eventFromFrame(wire::LanFrame{static_cast<std::uint8_t>(kind), data},
                                              number_);
            if (event) peer->deliver(std::move(*event));
        }
        return any;
    }

    bool sendFile(const wire::Envelope& envelope, const std::filesystem::path& file,
                  const std::vector<std::string>& peerKeys) override {
        if (!envelope.resource || !sendEnvelope(envelope, peerKeys)) return false;
        for (Link* peer : connected(peerKeys)) peer->transferArrived(*envelope.resource, file);
        return true;
    }

private:
    friend struct Hub;

    bool isPeer(const Link* link) const {
        return link != this && running_ && link->running_ && !link->number_.empty();
    }

    std::vector<Link*> connected(const std::vector<std::string>& keys) const {
        std::vector<Link*> out;
        for (Link* link : hub_->links) {
            if (isPeer(link) && std::count(keys.begin(), keys.end(), link->key_)) {
                out.push_back(link);
            }
        }
        return out;
    }

    // Like a real link, events reach the handler on a later turn of the loop;
    // nothing arrives once this link is gone.
    void deliver(wire::PeerEvent event) {
        QMetaObject::invokeMethod(
            &context_,
            [this, event = std::move(event)]() mutable {
                if (handler_) handler_(std::move(event));
            },
            Qt::QueuedConnection);
    }

    // The transfer named `resource` completed: the file lands in the
    // temporary folder and its pending envelope becomes the event.
    void transferArrived(const std::string& resource, const std::filesystem::path& file) {
        auto it = std::find_if(pendingFiles_.begin(), pendingFiles_.end(),
                               [&](const wire::IncomingFile& f) { return f.resource == resource; });
        if (it == pendingFiles_.end()) return;
        wire::IncomingFile incoming = std::move(*it);
        pendingFiles_.erase(it);
        const std::filesystem::path copy =
            std::filesystem::path(QDir::tempPath().toStdString()) / incoming.localName;
        std::error_code error;
        std::filesystem::copy_file(file, copy, std::filesystem::copy_options::overwrite_existing,
                                   error);
        if (!error) deliver(std::move(incoming).arrived(copy.string()));
    }

    std::shared_ptr<Hub> hub_;
    const std::string key_;
    std::string number_, name_;
    bool running_ = false;
    std::function<void(wire::PeerEvent)> handler_;
    std::vector<wire::IncomingFile> pendingFiles_;
    QObject context_;
};

void LoopbackLan::Hub::publishOnline() {
    for (Link* link : links) {
        std::set<std::string> numbers;
        for (Link* other : links) {
            if (link->isPeer(other)) numbers.insert(other->number_);
        }
        link->deliver(wire::events::Online{std::move(numbers)});
    }
}

LoopbackLan::LoopbackLan() : hub_(std::make_shared<Hub>()) {}
LoopbackLan::~LoopbackLan() = default;

std::unique_ptr<LanTransport> LoopbackLan::join(const std::string& key) {
    return std::make_unique<Link>(hub_, key);
}

}  // namespace merrowfax::testing
