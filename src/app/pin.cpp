// Number claim and PIN: a number belongs to whoever presents its PIN to the
// relay service. The PIN is never stored here; it travels once, with the next
// registration, and the service's "pin" or "denied" answer settles the claim.

#include <algorithm>

#include "app/app_model.h"
#include "model/text_limits.h"
#include "numbers/unicode_text.h"
#include "numbers/virtual_number.h"

namespace merrowfax {

std::string AppModel::normalizePIN(std::string_view text) {
    std::string digits;
    for (char c : text) {
        if (c >= '0' && c <= '9' && digits.size() < 4) digits.push_back(c);
    }
    return digits;
}

void AppModel::forgetComputer() {
    components_.line->forgetComputer(components_.computerIdentity);
}

void AppModel::claimNumber(const std::string& name, const std::string& number,
                           const std::string& pin) {
    if (!data_.account) return;
    auto parsed = VirtualNumber::parse(number);
    if (!parsed) return setAlert("Enter the full number, like 0-1-660-9141.");
    const std::string normalized = normalizePIN(pin);
    if (normalized.size() != 4) return setAlert("Enter the 4-digit PIN for that number.");
    const std::string trimmedName = cleanName(name);
    if (trimmedName.empty()) return;

    claimWasNew_ = true;
    accountBeforeClaim_ = data_.account;
    Account claimed = *data_.account;
    claimed.number = *parsed;
    claimed.displayName = trimmedName;
    setAccount(claimed);
    save();
    startTransports(claimed, normalized, {}, false);
}

void AppModel::beginClaim(const Account& account, const std::string& pin, bool includeKind) {
    claimWasNew_ = !pin.empty();
    accountBeforeClaim_ = claimWasNew_ ? data_.account : std::nullopt;
    setAccount(account);
    save();
    startTransports(account, pin, {}, includeKind);
}

void AppModel::setPIN(const std::string& pin) {
    if (!data_.account) return;
    const std::string normalized = normalizePIN(pin);
    if (normalized.size() != 4) return setAlert("Use a 4-digit PIN.");
    claimWasNew_ = false;
    waitingPinSave_ = true;
    startTransports(*data_.account, normalized, {}, false);
}

void AppModel::changePIN(const std::string& current, const std::string& newPin) {
    if (!data_.account) return;
    const std::string from = normalizePIN(current);
    const std::string to = normalizePIN(newPin);
    if (from.size() != 4 || to.size() != 4) return setAlert("Use a 4-digit PIN.");
    if (from == to) return setAlert("Choose a different PIN.");
    claimWasNew_ = false;
    waitingPinSave_ = true;
    startTransports(*data_.account, from, to, false);
}

void AppModel::saveProfile(const std::string& name, bool business) {
    if (!data_.account) return;
    const std::string cleaned = cleanName(name);
    if (cleaned.empty()) return;
    Account account = *data_.account;
    account.displayName = cleaned;
    account.accountKind = business ? "business" : "personal";
    setAccount(account);
    save();
    startTransports(account, {}, {}, true);
    setAlert(business ? "Business name saved. The directory lists this as a business."
                      : "Name saved. The directory lists this name.");
}

void AppModel::handlePin(bool hasPin, const std::string& error, bool business) {
    claimWasNew_ = false;
    accountBeforeClaim_.reset();
    if (hasPin_ != hasPin) {
        hasPin_ = hasPin;
        Q_EMIT hasPinChanged();
    }
    const std::string kind = business ? "business" : "personal";
    if (data_.account && data_.account->accountKind != kind) {
        Account account = *data_.account;
        account.accountKind = kind;
        setAccount(account);
        save();
    }
    if (waitingPinSave_) {
        waitingPinSave_ = false;
        setAlert(error.empty() ? "PIN saved. Another phone needs this PIN to use the number."
                               : error);
    }
}

void AppModel::handleDenied(const std::string& reason) {
    components_.line->stop();
    setAlert(reason.empty() ? "Wrong PIN." : reason);
    waitingPinSave_ = false;
    if (!claimWasNew_) return;
    claimWasNew_ = false;
    std::optional<Account> previous = std::move(accountBeforeClaim_);
    accountBeforeClaim_.reset();
    if (previous) {
        setAccount(previous);
        save();
        startTransports(*previous, {}, {}, false);
    } else {
        setAccount(std::nullopt);
        save();
    }
}

void AppModel::resetDevice() {
    calls_->reset();
    forgetComputer();
    components_.network->stop();
    // Nothing of the number stays here, not even its registration.
    components_.line->stop();

    setAccount(std::nullopt);
    data_.contacts.clear();
    data_.threads.clear();
    data_.calls.clear();
    data_.directory.clear();
    threadOf_.clear();
    Q_EMIT contactsChanged();
    Q_EMIT threadsChanged();
    Q_EMIT callListChanged();
    Q_EMIT directoryChanged();
    if (hasPin_) {
        hasPin_ = false;
        Q_EMIT hasPinChanged();
    }
    lanOnline_.clear();
    netOnline_.clear();
    refreshOnline();
    save();
    sweepOrphanFiles();  // the attachments of the erased chats
}

}  // namespace merrowfax
