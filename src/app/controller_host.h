#pragma once

#include <cstddef>
#include <optional>
#include <set>
#include <span>
#include <string>

#include "base/uuid.h"
#include "model/records.h"

namespace merrowfax {

// What a controller asks of the rest of the program, and nothing more: who
// numbers are, the user's alert, and the stored data its flow adds to. The
// model gives it; the controllers never see the model itself.
class ControllerHost {
public:
    // Our number and display name; nothing without an account.
    virtual std::optional<std::string> ownNumber() const = 0;
    virtual std::optional<std::string> ownName() const = 0;
    // The contact's name, else the directory's, else the number.
    virtual std::string displayName(const std::string& number) const = 0;
    virtual bool isBlocked(const std::string& number) const = 0;
    // A contact of this account: what a stranger's call or talk may not pose as.
    virtual bool isContact(const std::string& number) const = 0;
    // Remembers `name` as the directory name of `number`.
    virtual void learnName(const std::string& number, const std::string& name) = 0;
    // Numbers reachable now, on either path.
    virtual const std::set<std::string>& online() const = 0;
    virtual void setAlert(std::string text) = 0;

    // Keeps a finished call in the call list.
    virtual void recordCall(const std::string& number, const std::string& name, bool video,
                            CallDirection direction, double duration) = 0;
    // Keeps a walkie exchange with `number` as a "Walkie" audio message of
    // its chat; nothing for a short one or without a chat.
    virtual void recordWalkieMessage(std::span<const std::byte> audio, const std::string& number,
                                     bool outgoing) = 0;
    // Sends an attachment as the user would; the new message's id.
    virtual std::optional<Uuid> sendAttachment(std::span<const std::byte> bytes,
                                               const std::string& kind, const std::string& name,
                                               const std::string& number) = 0;
    // Stores the walkie's two switches.
    virtual void keepWalkieSettings(bool lockScreenTalk, bool contactsOnly) = 0;

protected:
    ~ControllerHost() = default;
};

}  // namespace merrowfax
