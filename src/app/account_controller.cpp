// Number claim and PIN: a number belongs to whoever presents its PIN to the
// relay service; the service's "pin" or "denied" answer settles the claim.

#include "app/account_controller.h"

#include "model/text_limits.h"
#include "numbers/unicode_text.h"

namespace merrowfax {
namespace {
// Only the digits of a typed PIN count; blanks and anything else between
// them are ignored.
std::string digitsOf(std::string_view text) {
    std::string digits;
    for (char c : text) {
        if (c >= '0' && c <= '9') digits.push_back(c);
    }
    return digits;
}

}  // namespace

AccountController::AccountController(AccountHost& host, QObject* parent)
    : QObject(parent), host_(host) {}

std::string AccountController::normalizePIN(std::string_view text) {
    std::string digits;
    for (char c : text) {
        if (c >= '0' && c <= '9' && digits.size() < 4) digits.push_back(c);
    }
    return digits;
}

void AccountController::claimNumber(const std::string& name, const std::string& number,
                                    const std::string& pin) {
    if (!host_.account()) return;
    auto parsed = VirtualNumber::parse(number);
    if (!parsed) return host_.setAlert("Enter the full number, like 0-1-660-9141.");
    const std::string normalized = normalizePIN(pin);
    if (normalized.size() != 4) return host_.setAlert("Enter the 4-digit PIN for that number.");
    const std::string trimmedName = cleanName(name);
    if (trimmedName.empty()) return;

    claimWasNew_ = true;
    accountBeforeClaim_ = host_.account();
    Account claimed = *host_.account();
    claimed.number = *parsed;
    claimed.displayName = trimmedName;
    host_.adoptAccount(claimed);
    host_.connectAs(claimed, normalized, {}, false);
}

void AccountController::beginClaim(const Account& account, const std::string& pin,
                                   bool includeKind) {
    claimWasNew_ = !pin.empty();
    accountBeforeClaim_ = claimWasNew_ ? host_.account() : std::nullopt;
    host_.adoptAccount(account);
    host_.connectAs(account, pin, {}, includeKind);
}

void AccountController::setPIN(const std::string& pin) {
    if (!host_.account()) return;
    const std::string normalized = normalizePIN(pin);
    if (normalized.size() != 4) return host_.setAlert("Use a 4-digit PIN.");
    claimWasNew_ = false;
    waitingPinSave_ = true;
    host_.connectAs(*host_.account(), normalized, {}, false);
}

void AccountController::changePIN(const std::string& current, const std::string& newPin) {
    if (!host_.account()) return;
    const std::string from = normalizePIN(current);
    const std::string to = normalizePIN(newPin);
    if (from.size() != 4 || to.size() != 4) return host_.setAlert("Use a 4-digit PIN.");
    if (from == to) return host_.setAlert("Choose a different PIN.");
    claimWasNew_ = false;
    waitingPinSave_ = true;
    host_.connectAs(*host_.account(), from, to, false);
}

void AccountController::saveProfile(const std::string& name, bool business) {
    if (!host_.account()) return;
    const std::string cleaned = cleanName(name);
    if (cleaned.empty()) return;
    Account account = *host_.account();
    account.displayName = cleaned;
    account.accountKind = business ? "business" : "personal";
    host_.adoptAccount(account);
    host_.connectAs(account, {}, {}, true);
    host_.setAlert(business ? "Business name saved. The directory lists this as a business."
                            : "Name saved. The directory lists this name.");
}

void AccountController::handlePin(bool hasPin, const std::string& error, bool business) {
    claimWasNew_ = false;
    accountBeforeClaim_.reset();
    if (hasPin_ != hasPin) {
        hasPin_ = hasPin;
        Q_EMIT hasPinChanged();
    }
    const std::string kind = business ? "business" : "personal";
    if (host_.account() && host_.account()->accountKind != kind) {
        Account account = *host_.account();
        account.accountKind = kind;
        host_.adoptAccount(account);
    }
    if (waitingPinSave_) {
        waitingPinSave_ = false;
        host_.setAlert(error.empty() ? "PIN saved. Another phone needs this PIN to use the number."
                                     : error);
    }
}

void AccountController::handleDenied(const std::string& reason) {
    host_.disconnect();
    host_.setAlert(reason.empty() ? "Wrong PIN." : reason);
    waitingPinSave_ = false;
    if (!claimWasNew_) return;
    claimWasNew_ = false;
    std::optional<Account> previous = std::move(accountBeforeClaim_);
    accountBeforeClaim_.reset();
    if (previous) {
        host_.adoptAccount(previous);
        host_.connectAs(*previous, {}, {}, false);
    } else {
        host_.adoptAccount(std::nullopt);
    }
}

void AccountController::claimNewNumber(const std::string& name, bool business,
                                       const VirtualNumber& number, const std::string& pin,
                                       const std::string& pinAgain) {
    const std::string first = digitsOf(pin);
    if (first.size() != 4) return host_.setAlert("Choose a 4-digit PIN.");
    if (first != digitsOf(pinAgain)) return host_.setAlert("The two PINs do not match.");
    const std::string trimmedName = cleanName(name);
    if (trimmedName.empty()) return;

    beginClaim(host_.newAccount(trimmedName, number, business ? "business" : "personal"),
               normalizePIN(pin), true);
}

std::string AccountController::reclaimNumber(const std::string& name, const std::string& number,
                                             const std::string& pin) {
    const auto parsed = VirtualNumber::parse(number);
    if (!parsed) return "Enter the full number, like 0-1-660-9141.";
    if (digitsOf(pin).size() != 4) return "Enter the 4-digit PIN for that number.";
    const std::string trimmedName = cleanName(name);
    if (trimmedName.empty()) return {};

    beginClaim(host_.newAccount(trimmedName, *parsed, "personal"), normalizePIN(pin), false);
    return {};
}

void AccountController::reset() {
    accountBeforeClaim_.reset();
    waitingPinSave_ = claimWasNew_ = false;
    if (!hasPin_) return;
    hasPin_ = false;
    Q_EMIT hasPinChanged();
}

}  // namespace merrowfax
