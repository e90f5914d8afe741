#pragma once

#include <QObject>
#include <QThreadPool>
#include <QTimer>

#include <chrono>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "app/app_components.h"
#include "app/call_controller.h"
#include "app/media_intake.h"
#include "app/router.h"
#include "app/walkie_controller.h"
#include "media/call_media.h"
#include "media/system_call_bridge.h"
#include "media/walkie_talk.h"
#include "model/records.h"
#include "model/store.h"
#include "numbers/virtual_number.h"
#include "platform/notifier.h"
#include "platform/sounds.h"
#include "transport/lan_transport.h"
#include "transport/net_transport.h"
#include "wire/peer_event.h"

namespace merrowfax {

class MainThreadHop;

// The program's one state object. Screens and the command-line client observe
// its properties and call its operations, all on the main thread. Operations
// live in one file per concern: start-up and routing (app_model.cpp),
// contacts, messaging, calls, number claim and PIN (pin.cpp). Flows with
// state and timers of their own are controllers it owns and forwards to:
// calls (CallController); the walkie, desk sessions and device linking join
// them as controllers of their own.
class AppModel : public QObject {
    Q_OBJECT
    Q_PROPERTY(merrowfax::Uuid deviceId READ deviceId NOTIFY deviceIdChanged)
    Q_PROPERTY(std::optional<merrowfax::Account> account READ account NOTIFY accountChanged)
    Q_PROPERTY(std::vector<merrowfax::Contact> contacts READ contacts NOTIFY contactsChanged)
    Q_PROPERTY(std::vector<merrowfax::ChatThread> threads READ threads NOTIFY threadsChanged)
    Q_PROPERTY(std::vector<merrowfax::CallRecord> calls READ calls NOTIFY callsChanged)
    Q_PROPERTY(merrowfax::Directory directory READ directory NOTIFY directoryChanged)
    Q_PROPERTY(std::set<std::string> online READ online NOTIFY onlineChanged)
    Q_PROPERTY(std::optional<merrowfax::IncomingCall> incoming READ incoming NOTIFY incomingChanged)
    Q_PROPERTY(std::optional<merrowfax::ActiveCall> active READ active NOTIFY activeChanged)
    Q_PROPERTY(std::optional<std::string> alertMessage READ alertMessage NOTIFY alertMessageChanged)
    Q_PROPERTY(std::string linkStatus READ linkStatus NOTIFY linkStatusChanged)
    Q_PROPERTY(
        std::optional<std::string> hostedLinkCode READ hostedLinkCode NOTIFY hostedLinkCodeChanged)
    Q_PROPERTY(int onNetworkCount READ onNetworkCount NOTIFY onNetworkCountChanged)
    Q_PROPERTY(std::optional<std::string> incomingTalk READ incomingTalk NOTIFY incomingTalkChanged)
    Q_PROPERTY(bool holdingTalk READ holdingTalk NOTIFY holdingTalkChanged)
    Q_PROPERTY(std::optional<std::string> talkTarget READ talkTarget NOTIFY talkTargetChanged)
    Q_PROPERTY(
        std::optional<std::string> walkiePartner READ walkiePartner NOTIFY walkiePartnerChanged)
    Q_PROPERTY(bool restoring READ restoring NOTIFY restoringChanged)
    Q_PROPERTY(bool hasPin READ hasPin NOTIFY hasPinChanged)
    Q_PROPERTY(bool lockScreenTalk READ lockScreenTalk NOTIFY lockScreenTalkChanged)
    Q_PROPERTY(bool walkieContactsOnly READ walkieContactsOnly NOTIFY walkieContactsOnlyChanged)
    Q_PROPERTY(std::optional<std::string> deskShareTo READ deskShareTo NOTIFY deskShareToChanged)
    Q_PROPERTY(bool deskControl READ deskControl NOTIFY deskControlChanged)
    Q_PROPERTY(
        std::optional<std::string> deskWatchFrom READ deskWatchFrom NOTIFY deskWatchFromChanged)
    Q_PROPERTY(std::string deskWatchName READ deskWatchName NOTIFY deskWatchNameChanged)
    Q_PROPERTY(bool deskCanControl READ deskCanControl NOTIFY deskCanControlChanged)
    Q_PROPERTY(std::string deskHostKind READ deskHostKind NOTIFY deskHostKindChanged)

public:
    // A voice message lives this long, in seconds.
    static constexpr double recordingLife = 7200.0;
    // A walkie exchange this short or shorter leaves no message (0.05 s).
    static constexpr std::size_t minWalkieBytes = 1'600;

    // Starts up: loads the store in `dataFolder`, wires the components and
    // starts the transports (or asks the relay service for this computer's
    // account). The model lives for the whole run.
    AppModel(std::filesystem::path dataFolder, AppComponents components, QObject* parent = nullptr);
    ~AppModel() override;

    // Published state.
    const Uuid& deviceId() const { return data_.deviceId; }
    const std::optional<Account>& account() const { return data_.account; }
    const std::vector<Contact>& contacts() const { return data_.contacts; }
    const std::vector<ChatThread>& threads() const { return data_.threads; }
    const std::vector<CallRecord>& calls() const { return data_.calls; }
    const Directory& directory() const { return data_.directory; }
    const std::set<std::string>& online() const { return online_; }
    const std::optional<IncomingCall>& incoming() const { return calls_->incoming(); }
    const std::optional<ActiveCall>& active() const { return calls_->active(); }
    const std::optional<std::string>& alertMessage() const { return alertMessage_; }
    const std::string& linkStatus() const { return linkStatus_; }
    const std::optional<std::string>& hostedLinkCode() const { return hostedLinkCode_; }
    int onNetworkCount() const { return static_cast<int>(online_.size()); }
    const std::optional<std::string>& incomingTalk() const { return walkie_->incomingTalk(); }
    bool holdingTalk() const { return walkie_->holdingTalk(); }
    const std::optional<std::string>& talkTarget() const { return walkie_->talkTarget(); }
    const std::optional<std::string>& walkiePartner() const { return walkie_->partner(); }
    bool restoring() const { return restoring_; }
    bool hasPin() const { return hasPin_; }
    bool lockScreenTalk() const { return data_.lockScreenTalk.value_or(true); }
    bool walkieContactsOnly() const { return data_.walkieContactsOnly.value_or(true); }
    const std::optional<std::string>& deskShareTo() const { return deskShareTo_; }
    bool deskControl() const { return deskControl_; }
    const std::optional<std::string>& deskWatchFrom() const { return deskWatchFrom_; }
    const std::string& deskWatchName() const { return deskWatchName_; }
    bool deskCanControl() const { return deskCanControl_; }
    const std::string& deskHostKind() const { return deskHostKind_; }

    // The alert was seen.
    void dismissAlert();
    // Screens show the messages of their own checks as model alerts too.
    void setAlert(std::string text);

    // Start-up and routing.
    void save();
    // Stores the message `id` (added, or its status changed) and the
    // directory name of `learnedNumber` without rewriting the whole store.
    // One sync at the end of this event-loop turn makes all such messages
    // durable; `then` runs after it (what must not go out before, such as
    // "delivered"). Any other change since the last save needs save().
    void saveMessage(const Uuid& id, const std::optional<std::string>& learnedNumber = {},
                     std::function<void()> then = {});
    // The newest statement of our number the service gave, kept beside the
    // store for LAN peers; empty when there is none.
    std::filesystem::path statementFile() const;
    std::string storedStatement() const;
    void startTransports(const Account& account, const std::string& pin, const std::string& newPin,
                         bool includeKind);
    void refreshOnline();
    std::string displayName(const std::string& number) const;
    bool isBlocked(const std::string& number) const;
    // A contact of this account: what a stranger's call or talk may not pose as.
    bool isContact(const std::string& number) const { return contactWithNumber(number); }
    // The LAN link reports `number` online.
    bool onLan(const std::string& number) const { return lanOnline_.contains(number); }
    const std::string& deviceLabel() const { return components_.deviceLabel; }
    void handleEvent(wire::PeerEvent event);

    // Contacts.
    void addContact(const std::string& name, const std::string& number);
    void updateContact(const Uuid& id, const std::string& name, const std::string& number);
    void deleteContact(const Uuid& id);
    void setBlocked(const Uuid& id, bool blocked);
    // Blocks or unblocks `number`: its contact's flag, or for a number
    // without a contact a new blocked contact named as it is shown now.
    void blockNumber(const std::string& number, bool blocked);
    bool autoAddContact(const std::string& name, const std::string& number);
    std::string contactLink() const;
    // Remembers `name` as the directory name of `number`.
    void learnName(const std::string& number, const std::string& name);
    // The contact list changed: the book goes to the relay service once the
    // changes of a burst are in (timings().bookUpload), as one upload.
    void bookChanged();
    // A gathered upload goes now (the program is closing).
    void flushBook();
    void uploadBook();
    void importBook(const std::vector<BookEntry>& entries);

    // Messaging.
    // Both give the new message's id; nothing when no message was made.
    std::optional<Uuid> sendText(const std::string& text, const std::string& number);
    std::optional<Uuid> sendAttachment(std::span<const std::byte> bytes, const std::string& kind,
                                       const std::string& name, const std::string& number);
    void appendMessage(Message message, const std::string& number, const std::string& title);
    // True when a message with that id exists.
    bool setStatus(MessageStatus status, const Uuid& id);
    void flushWaiting();
    void retryWaiting();
    void deleteMessageForMe(const Uuid& id, const std::string& number);
    void deleteMessageForEveryone(const Uuid& id, const std::string& number);
    void markDeleted(const Uuid& id, const std::string& number);
    void clearChat(const std::string& number);
    void purgeExpired();
    void notifyNewText(const std::string& title);

    // Calls: thin forwards to the CallController, and the stored call list.
    void startCall(const std::string& number, bool video);
    void answerCall();
    void declineCall();
    // The call screen's camera button: turns the own camera off, or on when
    // the device has one, and the call becomes voice or video with it.
    void toggleCallVideo();
    // Hangs up the current call, or gives up a ringing one; also the common
    // clean-up of every other way a call ends.
    void endCall();
    void handleCallSignal(const wire::events::Call& signal);
    void noAnswer(const Uuid& id, bool incoming);
    // The relay service found nobody under `number`.
    void callNotDelivered(const std::string& number);
    void recordCall(const std::string& number, const std::string& name, bool video,
                    CallDirection direction, double duration);
    // Connected seconds at `end`: 0 when it never connected, never below 0
    // (the clock may have been set back).
    static double callDuration(const ActiveCall& call, Date end);
    // The engine the call screen shows and controls.
    CallMedia& media() { return *components_.media; }
    const CallMedia& media() const { return *components_.media; }
    // Where a system call screen reports back; nothing calls it on a desktop.
    SystemCallBridge& bridge() { return calls_->bridge(); }

    // The walkie: thin forwards to the WalkieController, and its messages.
    void holdTalk(const std::string& number);
    void endTalk(const std::string& number);
    // Replays a stored audio message (a walkie clip or a voice message)
    // through the walkie engine; an alert when it cannot be played.
    void playWalkieMessage(const Uuid& id, const std::string& number);
    // Keeps a walkie exchange with `number` as a "Walkie" audio message of
    // its chat; nothing for a short one or without a chat.
    void recordWalkieMessage(std::span<const std::byte> audio, const std::string& number,
                             bool outgoing);
    void setLockScreenTalk(bool on);
    // "Walkie from contacts only": strangers' talk is ignored entirely.
    void setWalkieContactsOnly(bool on);
    // The walkie engine, as the screens show it.
    WalkieTalk& walkieEngine() { return *components_.walkie; }
    const WalkieTalk& walkieEngine() const { return *components_.walkie; }

    // Number claim and PIN.
    static std::string normalizePIN(std::string_view text);
    const std::string& computerIdentity() const { return components_.computerIdentity; }
    void forgetComputer();
    void claimNumber(const std::string& name, const std::string& number, const std::string& pin);
    // Onboarding's two roads to an account: a freshly drawn number with its
    // first PIN (typed twice), or a number the user already has. The first
    // reports problems as alerts; the second gives its form's own note, or
    // an empty text.
    void claimNewNumber(const std::string& name, bool business, const VirtualNumber& number,
                        const std::string& pin, const std::string& pinAgain);
    std::string reclaimNumber(const std::string& name, const std::string& number,
                              const std::string& pin);
    // Onboarding's road to a first account (a new number, or one taken with
    // its PIN): shown at once, settled by the service's answer; with a PIN a
    // refusal returns to the account held before (none on a first run).
    void beginClaim(const Account& account, const std::string& pin, bool includeKind);
    void setPIN(const std::string& pin);
    void changePIN(const std::string& current, const std::string& newPin);
    void saveProfile(const std::string& name, bool business);
    void handlePin(bool hasPin, const std::string& error, bool business);
    void handleDenied(const std::string& reason);
    // Erases the number from this device: the account, contacts, chats and
    // calls; the service forgets this computer.
    void resetDevice();

    // The public directory and where the services are.
    DirectoryClient& directoryClient() { return *components_.directory; }
    const ServiceAddresses& services() const { return components_.services; }

    // The store's attachments folder and the full path of a stored file.
    std::filesystem::path filesFolder() const { return store_.filesFolder(); }
    std::optional<std::filesystem::path> attachmentFile(const std::string& storedName) const {
        return store_.attachmentFile(storedName);
    }

    // Tests: write failures of the store (model/atomic_file.h).
    void setStoreFaults(WriteFaultHook hook) { store_.setFaultHook(std::move(hook)); }

    // The program is about to close: a call under way is hung up (its record
    // kept, the peer told), and `done` runs once that had time to go out;
    // at once when nothing runs.
    void prepareToQuit(std::function<void()> done);

    // Tests: waits until background file sweeps are done.
    void waitForBackgroundWork();

Q_SIGNALS:
    void deviceIdChanged();
    void accountChanged();
    void contactsChanged();
    void threadsChanged();
    void callsChanged();
    void directoryChanged();
    void onlineChanged();
    void incomingChanged();
    void activeChanged();
    void alertMessageChanged();
    void linkStatusChanged();
    void hostedLinkCodeChanged();
    void onNetworkCountChanged();
    void incomingTalkChanged();
    void holdingTalkChanged();
    void talkTargetChanged();
    void walkiePartnerChanged();
    void restoringChanged();
    void hasPinChanged();
    void lockScreenTalkChanged();
    void walkieContactsOnlyChanged();
    void deskShareToChanged();
    void deskControlChanged();
    void deskWatchFromChanged();
    void deskWatchNameChanged();
    void deskCanControlChanged();
    void deskHostKindChanged();

private:
    void wireHandlers();
    void lookupComputerAccount();
    void adoptRememberedAccount(const std::optional<RememberedAccount>& remembered);
    // An account of this device on `number`, made now.
    Account newAccount(std::string name, const VirtualNumber& number, std::string kind) const;
    void syncMessages();
    void setRestoring(bool restoring);
    void setAccount(std::optional<Account> account);
    void setNetOnline(std::set<std::string> numbers);
    void setLanOnline(std::set<std::string> numbers);
    std::optional<std::string> ownNumber() const;

    // Contacts.
    void sortContacts();
    const Contact* contactWithNumber(const std::string& number) const;
    // Whether a stranger's text may still add a contact: fewer than the
    // limit were added within the window (older additions are forgotten).
    bool strangerMayBeAdded();
    void moveConversation(const std::string& from, const std::string& to);
    std::vector<BookEntry> bookEntries() const;
    static bool sameBook(const std::vector<BookEntry>& a, const std::vector<BookEntry>& b);

    // The walkie's captured audio goes out, then is kept for its message.
    void wireWalkie();

    // Messaging.
    std::optional<std::string> checkSendTarget(const std::string& number);
    bool offerText(const Message& message, const std::string& number);
    void receiveText(const wire::events::Text& text);
    void receiveFile(const wire::events::File& file);
    void receiveDeletion(const wire::events::Deleted& deleted);
    void receiveDelivered(const wire::events::Delivered& ack);
    bool hasMessage(const Uuid& id) const;
    ChatThread* thread(const std::string& number);
    Message* message(const std::string& number, const Uuid& id);
    void removeStoredFile(const std::optional<std::string>& storedName);
    void sweepOrphanFiles();
    void sortThreads();

    AppComponents components_;
    Router router_;  // everything that goes out to other numbers
    Store store_;
    std::shared_ptr<MainThreadHop> hop_;
    // Received media on the threads that bring it; shared with the
    // transports' handlers, which may outlive the model by a chunk.
    std::shared_ptr<MediaIntake> intake_;
    // After the components: they drive them, and go first. The call flow
    // steps the walkie back, so it goes before the walkie.
    std::unique_ptr<WalkieController> walkie_;
    std::unique_ptr<CallController> calls_;

    // The stored state, live: save() writes it as it is. Its `channelId` is
    // the walkie channel, `lockScreenTalk` and `walkieContactsOnly` the
    // published switches; all are always set after start-up.
    StoredDatabase data_;
    std::set<std::string> online_;
    std::optional<std::string> alertMessage_;
    std::string linkStatus_;
    std::optional<std::string> hostedLinkCode_;
    bool restoring_ = false;
    bool hasPin_ = false;
    std::optional<std::string> deskShareTo_;
    bool deskControl_ = false;
    std::optional<std::string> deskWatchFrom_;
    std::string deskWatchName_;
    bool deskCanControl_ = false;
    std::string deskHostKind_;

    std::optional<Account> accountBeforeClaim_;  // restored when a claim is refused
    bool waitingPinSave_ = false;
    bool claimWasNew_ = false;
    std::set<std::string> lanOnline_;
    std::set<std::string> netOnline_;

    QTimer bookTimer_;  // a book upload is due when it fires
    // The line opened and asked for the stored book: its answer is merged,
    // and the merged book goes back when it differs.
    bool mergingBook_ = false;
    // When strangers' texts added contacts, oldest first, within the window.
    std::deque<std::chrono::steady_clock::time_point> strangersAdded_;

    QTimer expiryTimer_;
    QTimer foldTimer_;          // folds the store's journal into db.json
    QTimer retryTimer_;         // offers undelivered texts again
    QTimer saveRetry_;          // saves again after a failed save
    bool saveFailing_ = false;  // reported; cleared by the next save that lands
    bool syncQueued_ = false;
    std::vector<std::function<void()>> afterSync_;  // run once the journal is synced
    QThreadPool fileSweeps_;                        // one worker: sweeps never overlap
};

}  // namespace merrowfax
