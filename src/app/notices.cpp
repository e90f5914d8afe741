#include "app/notices.h"

#include <algorithm>

#include "app/call_controller.h"
#include "app/messaging.h"

namespace merrowfax {
namespace {

// Chats with a notice up; beyond, an older one makes room.
constexpr std::size_t kChatNotices = 32;

}  // namespace

Notices::Notices(Notifier& notifier, std::function<bool()> windowActive, CallController& calls,
                 Messaging& messaging)
    : notifier_(notifier), windowActive_(std::move(windowActive)), calls_(calls) {
    connect(&calls, &CallController::incomingChanged, this, &Notices::ringingChanged);
    // A chat read, or gone, takes its notice along.
    connect(&messaging, &Messaging::unreadChanged, this,
            [this, &messaging](const std::string& number) {
                const auto& threads = messaging.threads();
                std::erase_if(chatNotices_, [&](const auto& entry) {
                    if (!number.empty() && number != entry.first) return false;
                    auto t = std::find_if(threads.begin(), threads.end(),
                                          [&](const ChatThread& x) { return x.id == entry.first; });
                    if (t != threads.end() && t->unread > 0) return false;
                    notifier_.withdraw(entry.second);
                    return true;
                });
            });
}

Notices::~Notices() {
    for (const auto& [number, id] : chatNotices_) notifier_.withdraw(id);
    notifier_.withdraw(ringingNotice_);
}

void Notices::newText(const std::string& title, const std::string& number) {
    if (windowActive_()) return;
    if (auto old = chatNotices_.find(number); old != chatNotices_.end()) {
        notifier_.withdraw(old->second);
        chatNotices_.erase(old);
    }
    if (chatNotices_.size() >= kChatNotices) {
        notifier_.withdraw(chatNotices_.begin()->second);
        chatNotices_.erase(chatNotices_.begin());
    }
    Notice notice;
    notice.title = title;
    notice.body = "New text";
    notice.actions = {{"default", "Open"}};
    chatNotices_[number] = notifier_.post(std::move(notice), [this, number](const std::string&) {
        chatNotices_.erase(number);
        Q_EMIT chatRequested(number);
    });
}

void Notices::ringingChanged() {
    const auto& incoming = calls_.incoming();
    if (incoming && ringing_ == incoming->id) return;
    if (ringing_) {
        notifier_.withdraw(ringingNotice_);
        ringing_.reset();
        ringingNotice_ = 0;
    }
    if (!incoming || windowActive_()) return;
    Notice notice;
    notice.title = incoming->name.empty() ? incoming->number : incoming->name;
    notice.body = incoming->video ? "Incoming video call" : "Incoming call";
    notice.actions = {{"default", "Open"}, {"accept", "Accept"}, {"decline", "Decline"}};
    notice.ringing = true;
    ringing_ = incoming->id;
    ringingNotice_ = notifier_.post(
        std::move(notice),
        [this, call = incoming->id](const std::string& key) { callAction(call, key); });
}

void Notices::callAction(const Uuid& call, const std::string& key) {
    if (ringing_ == call) {
        ringing_.reset();
        ringingNotice_ = 0;
    }
    // A late click on a call that stopped ringing does nothing to the next one.
    const bool stillRinging = calls_.incoming() && calls_.incoming()->id == call;
    if (key == "accept" && stillRinging) {
        calls_.answerCall();
        Q_EMIT windowRequested();
    } else if (key == "decline" && stillRinging) {
        calls_.declineCall();
    } else if (key == "default") {
        Q_EMIT windowRequested();
    }
}

}  // namespace merrowfax
