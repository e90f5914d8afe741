#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "media/call_media.h"
#include "platform/notifier.h"
#include "platform/sounds.h"
#include "transport/lan_transport.h"
#include "transport/net_transport.h"

namespace merrowfax::testing {

// Records what the model sends and lets a test play the relay service.
class FakeLine final : public NetTransport {
public:
    Callbacks callbacks;
    std::vector<LineIdentity> starts;
    std::vector<wire::Envelope> sent;
    std::vector<std::optional<std::vector<BookEntry>>> books;
    std::function<void(std::optional<RememberedAccount>)> pendingLookup;
    std::string lookedUpComputer;
    bool accepts = false;

    void setCallbacks(Callbacks c) override { callbacks = std::move(c); }
    void start(const LineIdentity& identity) override { starts.push_back(identity); }
    void stop() override { ++stops; }
    int stops = 0;
    bool send(const wire::Envelope& envelope) override {
        sent.push_back(envelope);
        return accepts;
    }
    void requestBook(const std::optional<std::vector<BookEntry>>& contacts) override {
        books.push_back(contacts);
    }
    void lookupComputer(const std::string& computer,
                        std::function<void(std::optional<RememberedAccount>)> done) override {
        lookedUpComputer = computer;
        pendingLookup = std::move(done);
    }
    void forgetComputer(const std::string& computer) override { forgotten.push_back(computer); }
    std::vector<std::string> forgotten;

    std::vector<wire::Envelope> sentWithOp(const std::string& op) const {
        std::vector<wire::Envelope> out;
        for (const auto& e : sent) {
            if (e.op == op) out.push_back(e);
        }
        return out;
    }
};

class FakeLan final : public LanTransport {
public:
    std::function<void(wire::PeerEvent)> handler;
    std::vector<std::pair<std::string, std::string>> starts;  // number, name
    std::vector<wire::Envelope> texts;
    std::vector<std::string> delivered;  // "<id> to <number>"
    std::vector<std::string> deletes;
    std::vector<std::pair<wire::Envelope, std::filesystem::path>> files;
    bool accepts = false;
    bool peers = false;

    void setHandler(std::function<void(wire::PeerEvent)> h) override { handler = std::move(h); }
    void setCompanionLabel(const std::string&) override {}
    void start(const std::string& number, const std::string& name) override {
        starts.emplace_back(number, name);
    }
    bool sendText(const wire::Envelope& envelope, const std::string&) override {
        texts.push_back(envelope);
        return accepts;
    }
    void sendDelete(const Uuid& id, const std::string& to) override {
        deletes.push_back(id.text() + " to " + to);
    }
    void sendDelivered(const Uuid& id, const std::string& to) override {
        delivered.push_back(id.text() + " to " + to);
    }
    bool hasPeers(const std::string&) override { return peers; }
    bool sendFile(const wire::Envelope& envelope, const std::filesystem::path& file,
                  const std::string&) override {
        files.emplace_back(envelope, file);
        return accepts;
    }
};

class RecordingSounds final : public Sounds {
public:
    std::vector<SystemSound> played;
    void play(SystemSound sound) override { played.push_back(sound); }
};

class RecordingNotifier final : public Notifier {
public:
    std::vector<std::pair<std::string, std::string>> posted;
    void requestPermission() override {}
    void post(const std::string& title, const std::string& body) override {
        posted.emplace_back(title, body);
    }
};

}  // namespace merrowfax::testing
