// The onboarding roads to an account. The screens and the command-line
// client both take them; the claim itself is settled by the relay service
// (pin.cpp).

#include "app/app_model.h"
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

void AppModel::claimNewNumber(const std::string& name, bool business, const VirtualNumber& number,
                              const std::string& pin, const std::string& pinAgain) {
    const std::string first = digitsOf(pin);
    if (first.size() != 4) return setAlert("Choose a 4-digit PIN.");
    if (first != digitsOf(pinAgain)) return setAlert("The two PINs do not match.");
    const std::string trimmedName = cleanName(name);
    if (trimmedName.empty()) return;

    beginClaim(newAccount(trimmedName, number, business ? "business" : "personal"),
               normalizePIN(pin), true);
}

std::string AppModel::reclaimNumber(const std::string& name, const std::string& number,
                                    const std::string& pin) {
    const auto parsed = VirtualNumber::parse(number);
    if (!parsed) return "Enter the full number, like 0-1-660-9141.";
    if (digitsOf(pin).size() != 4) return "Enter the 4-digit PIN for that number.";
    const std::string trimmedName = cleanName(name);
    if (trimmedName.empty()) return {};

    beginClaim(newAccount(trimmedName, *parsed, "personal"), normalizePIN(pin), false);
    return {};
}

}  // namespace merrowfax
