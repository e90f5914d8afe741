#pragma once

#include <QObject>

#include <functional>
#include <map>
#include <optional>
#include <string>

#include "base/uuid.h"
#include "platform/notifier.h"

namespace merrowfax {

class CallController;
class Messaging;

// What the desktop shows while no window of ours is active: a new text, and
// a ringing call with "Accept" and "Decline". A click opens the chat or the
// call screen. A chat's notice goes once the chat is read or a newer text
// replaces it; a call's once it stops ringing.
class Notices : public QObject {
    Q_OBJECT

public:
    Notices(Notifier& notifier, std::function<bool()> windowActive, CallController& calls,
            Messaging& messaging);
    ~Notices() override;

    // A text from `number`, shown under `title`.
    void newText(const std::string& title, const std::string& number);

Q_SIGNALS:
    // The user clicked the notice of the chat with `number`.
    void chatRequested(const std::string& number);
    // The user acted on a call's notice: the window should come forward.
    void windowRequested();

private:
    void ringingChanged();
    void callAction(const Uuid& call, const std::string& key);

    Notifier& notifier_;
    std::function<bool()> windowActive_;
    CallController& calls_;
    std::map<std::string, NoticeId> chatNotices_;  // by number
    std::optional<Uuid> ringing_;                  // the call a notice is up for
    NoticeId ringingNotice_ = 0;
};

}  // namespace merrowfax
