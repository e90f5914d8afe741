#pragma once

#include <QObject>
#include <QTimer>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "transport/discovery.h"

namespace merrowfax::testing {

// An in-process network for Discovery: what a member advertises, the other
// members that browse find, at 127.0.0.1. Reports come later on the same
// thread, as Avahi's do. Members may outlive the network.
class DiscoveryNetwork : public std::enable_shared_from_this<DiscoveryNetwork> {
public:
    class Member;

    static std::shared_ptr<DiscoveryNetwork> make() { return std::make_shared<DiscoveryNetwork>(); }
    std::unique_ptr<Member> join();

private:
    friend class Member;
    void changed(Member* from, bool gone);
    std::vector<Member*> members_;
};

class DiscoveryNetwork::Member final : public Discovery {
public:
    explicit Member(std::shared_ptr<DiscoveryNetwork> network) : network_(std::move(network)) {
        network_->members_.push_back(this);
    }
    ~Member() override {
        stop();
        std::erase(network_->members_, this);
    }

    void setCallbacks(Callbacks callbacks) override { callbacks_ = std::move(callbacks); }
    void advertise(const std::string& name, std::uint16_t port, const TextMap& text) override {
        if (advertised_ && advertised_->name != name) network_->changed(this, true);
        advertised_ = Service{name, "127.0.0.1", port, text};
        network_->changed(this, false);
    }
    void browse(bool on) override {
        browsing_ = on;
        if (!on) return;
        for (Member* other : network_->members_) {
            if (other != this && other->advertised_) report(*other->advertised_);
        }
    }
    void stop() override {
        browsing_ = false;
        if (advertised_) network_->changed(this, true);
        advertised_.reset();
    }

    bool browsing() const { return browsing_; }
    bool advertising() const { return advertised_.has_value(); }
    const std::optional<Service>& advertised() const { return advertised_; }

    // Reports `service` to this member as found, as a network would.
    void report(const Service& service) {
        QTimer::singleShot(0, &context_, [this, service] {
            if (browsing_ && callbacks_.found) callbacks_.found(service);
        });
    }
    void reportLost(const std::string& name) {
        QTimer::singleShot(0, &context_, [this, name] {
            if (browsing_ && callbacks_.lost) callbacks_.lost(name);
        });
    }

private:
    std::shared_ptr<DiscoveryNetwork> network_;
    Callbacks callbacks_;
    std::optional<Service> advertised_;
    bool browsing_ = false;
    QObject context_;  // reports still queued die with the member
};

inline std::unique_ptr<DiscoveryNetwork::Member> DiscoveryNetwork::join() {
    return std::make_unique<Member>(shared_from_this());
}

inline void DiscoveryNetwork::changed(Member* from, bool gone) {
    for (Member* other : members_) {
        if (other == from || !other->browsing()) continue;
        if (gone) {
            other->reportLost(from->advertised()->name);
        } else {
            other->report(*from->advertised());
        }
    }
}

}  // namespace merrowfax::testing
