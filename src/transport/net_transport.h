#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "wire/envelope.h"
#include "wire/frames.h"
#include "wire/peer_event.h"
#include "wire/service_records.h"

namespace merrowfax {

using wire::BookEntry;

// Who the line registers as with the relay service.
struct LineIdentity {
    std::string number;       // own number text
    std::string name;         // display name
    std::string device;       // device label
    std::string computer;     // computer identity
    std::string pin;          // presented once, when 4 digits
    std::string newPin;       // set once, when 4 digits
    std::string accountKind;  // registered once when "personal" or "business"
    std::string lanCert;      // fingerprint of the LAN certificate, for a number statement
};

// The account the relay service remembers for this computer.
struct RememberedAccount {
    std::string number;
    std::string name;
};

// What the app needs from its connection to the relay service. Callbacks may
// run on any thread; the app moves them to its own.
class NetTransport {
public:
    struct Callbacks {
        std::function<void(wire::PeerEvent)> handler;
        std::function<void(std::string)> onMiss;  // a record found nobody under `to`
        std::function<void()> onOpen;
        std::function<void(std::vector<BookEntry>)> onBook;
        std::function<void(std::string)> onDenied;  // reason
        std::function<void(bool hasPin, std::string error, bool business)> onPin;
        // The service vouched for this connection's number (a statement
        // for the LAN certificate it registered with).
        std::function<void(std::string statement)> onStatement;
    };

    virtual ~NetTransport() = default;

    virtual void setCallbacks(Callbacks callbacks) = 0;
    // Stores the identity and marks the line as meant to run, then connects.
    virtual void start(const LineIdentity& identity) = 0;
    virtual void stop() = 0;
    // True when the envelope was queued on an open connection.
    virtual bool send(const wire::Envelope& envelope) = 0;
    // Fetches the stored contact book, or stores `contacts` when given.
    virtual void requestBook(const std::optional<std::vector<BookEntry>>& contacts) = 0;
    // Asks which account this computer had; `done` gets nothing on any failure.
    virtual void lookupComputer(const std::string& computer,
                                std::function<void(std::optional<RememberedAccount>)> done) = 0;
    // Drops the service's memory of this computer; fire and forget.
    virtual void forgetComputer(const std::string& computer) = 0;
    // Asks the service to let another computer take this number without its
    // PIN (or no longer); true when it went out on an open connection.
    virtual bool trustComputer(const std::string& computer, bool trust) = 0;

    // Whether the connection is registered and open now.
    virtual bool isOpen() const = 0;
    // (Re)opens the connection when the line is meant to run.
    virtual void connect() = 0;

    // Call audio to `to`, the chunk already in base64; any thread. Where
    // call media goes is the router's to know.
    virtual void sendAudio(std::string to, std::string base64) = 0;
    // A media frame to `to`; `completion` runs once it was handed on, or at
    // once when nothing was sent. Any thread.
    virtual void sendBinary(wire::FrameKind kind, std::optional<std::string> to,
                            wire::Bytes payload, std::function<void()> completion = {}) = 0;
};

// Used until the program has a connection to the relay service: nothing is
// sent, no event ever arrives and no account is remembered.
class OfflineNetTransport final : public NetTransport {
public:
    void setCallbacks(Callbacks) override {}
    void start(const LineIdentity&) override {}
    void stop() override {}
    bool send(const wire::Envelope&) override { return false; }
    void requestBook(const std::optional<std::vector<BookEntry>>&) override {}
    void lookupComputer(const std::string&,
                        std::function<void(std::optional<RememberedAccount>)> done) override {
        done(std::nullopt);
    }
    void forgetComputer(const std::string&) override {}
    bool trustComputer(const std::string&, bool) override { return false; }
    bool isOpen() const override { return false; }
    void connect() override {}
    void sendAudio(std::string, std::string) override {}
    void sendBinary(wire::FrameKind, std::optional<std::string>, wire::Bytes,
                    std::function<void()> completion) override {
        if (completion) completion();
    }
};

}  // namespace merrowfax
