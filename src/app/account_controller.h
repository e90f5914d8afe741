#pragma once

#include <QObject>

#include <optional>
#include <string>
#include <string_view>

#include "model/records.h"
#include "numbers/virtual_number.h"

namespace merrowfax {

// What the account flow asks of the rest of the program.
class AccountHost {
public:
    virtual const std::optional<Account>& account() const = 0;
    // Shows and stores `account` (nothing: no account).
    virtual void adoptAccount(std::optional<Account> account) = 0;
    // Registers anew as `account`, presenting `pin` (and `newPin` to change
    // it); `includeKind` also sends the account kind.
    virtual void connectAs(const Account& account, const std::string& pin,
                           const std::string& newPin, bool includeKind) = 0;
    // Closes the internet line.
    virtual void disconnect() = 0;
    // An account of this device on `number`, made now.
    virtual Account newAccount(std::string name, const VirtualNumber& number,
                               std::string kind) const = 0;
    virtual void setAlert(std::string text) = 0;

protected:
    ~AccountHost() = default;
};

// Number claim, PIN and profile: a number belongs to whoever presents its
// PIN to the relay service. The PIN is never stored here; it travels once,
// with the next registration, and the service's "pin" or "denied" answer
// settles the claim. The model owns it and publishes it as `accounts`.
class AccountController : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool hasPin READ hasPin NOTIFY hasPinChanged)

public:
    explicit AccountController(AccountHost& host, QObject* parent = nullptr);

    // Whether the number has a PIN, as the service said at registration.
    bool hasPin() const { return hasPin_; }

    // The first four digits of `text`.
    static std::string normalizePIN(std::string_view text);
    // Takes another number with its PIN, keeping this account's name.
    void claimNumber(const std::string& name, const std::string& number, const std::string& pin);
    // Onboarding: a fresh number with its first PIN typed twice (problems
    // are alerts), or a number the user has (its form's note, or empty).
    void claimNewNumber(const std::string& name, bool business, const VirtualNumber& number,
                        const std::string& pin, const std::string& pinAgain);
    std::string reclaimNumber(const std::string& name, const std::string& number,
                              const std::string& pin);
    // Shown at once, settled by the service; a refused PIN claim returns to
    // the account held before (none on a first run).
    void beginClaim(const Account& account, const std::string& pin, bool includeKind);
    void setPIN(const std::string& pin);
    void changePIN(const std::string& current, const std::string& newPin);
    void saveProfile(const std::string& name, bool business);

    // The service's answers to a registration.
    void handlePin(bool hasPin, const std::string& error, bool business);
    void handleDenied(const std::string& reason);
    // The account is gone from this device.
    void reset();

Q_SIGNALS:
    void hasPinChanged();

private:
    AccountHost& host_;
    bool hasPin_ = false;
    std::optional<Account> accountBeforeClaim_;  // restored when a claim is refused
    bool waitingPinSave_ = false;
    bool claimWasNew_ = false;
};

}  // namespace merrowfax
