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
#include <unordered_map>
#include <vector>

#include "app/account_controller.h"
#include "app/app_components.h"
#include "app/call_controller.h"
#include "app/controller_host.h"
#include "app/media_intake.h"
#include "app/router.h"
#include "app/voice_notes.h"
#include "app/walkie_controller.h"
#include "model/records.h"
#include "model/store.h"
#include "numbers/virtual_number.h"
#include "wire/peer_event.h"

namespace merrowfax {

class MainThreadHop;

// The program's stored state and the operations on it, all on the main
// thread: start-up and routing (app_model.cpp), contacts, messaging, and
// leaving a number (pin.cpp). Flows with state and timers of their own are
// controllers it owns and publishes (`accounts`, `calls`, `walkie`,
// `voice`); screens and the command-line client drive those directly.
class AppModel : public QObject, private ControllerHost, private AccountHost {
    Q_OBJECT
    Q_PROPERTY(merrowfax::Uuid deviceId READ deviceId NOTIFY deviceIdChanged)
    Q_PROPERTY(std::optional<merrowfax::Account> account READ account NOTIFY accountChanged)
    Q_PROPERTY(std::vector<merrowfax::Contact> contacts READ contacts NOTIFY contactsChanged)
    Q_PROPERTY(std::vector<merrowfax::ChatThread> threads READ threads NOTIFY threadsChanged)
    Q_PROPERTY(std::vector<merrowfax::CallRecord> callList READ callList NOTIFY callListChanged)
    Q_PROPERTY(merrowfax::Directory directory READ directory NOTIFY directoryChanged)
    Q_PROPERTY(std::set<std::string> online READ online NOTIFY onlineChanged)
    Q_PROPERTY(std::optional<std::string> alertMessage READ alertMessage NOTIFY alertMessageChanged)
    Q_PROPERTY(int onNetworkCount READ onNetworkCount NOTIFY onNetworkCountChanged)
    Q_PROPERTY(bool restoring READ restoring NOTIFY restoringChanged)
    Q_PROPERTY(merrowfax::AccountController* accounts READ accountsObject CONSTANT)
    Q_PROPERTY(merrowfax::CallController* calls READ callsObject CONSTANT)
    Q_PROPERTY(merrowfax::WalkieController* walkie READ walkieObject CONSTANT)
    Q_PROPERTY(merrowfax::VoiceNotes* voice READ voiceObject CONSTANT)

public:
    static constexpr double recordingLife = 7200.0;       // a voice message's life, in seconds
    static constexpr std::size_t minWalkieBytes = 1'600;  // shorter exchanges leave no message

    // Loads the store in `dataFolder`, wires the components and starts the
    // transports (or asks the relay service for this computer's account).
    AppModel(std::filesystem::path dataFolder, AppComponents components, QObject* parent = nullptr);
    ~AppModel() override;

    const Uuid& deviceId() const { return data_.deviceId; }
    const std::optional<Account>& account() const override { return data_.account; }
    const std::vector<Contact>& contacts() const { return data_.contacts; }
    const std::vector<ChatThread>& threads() const { return data_.threads; }
    const std::vector<CallRecord>& callList() const { return data_.calls; }
    const Directory& directory() const { return data_.directory; }
    const std::set<std::string>& online() const override { return online_; }
    const std::optional<std::string>& alertMessage() const { return alertMessage_; }
    int onNetworkCount() const { return static_cast<int>(online_.size()); }
    bool restoring() const { return restoring_; }
    AccountController& accounts() { return *accounts_; }
    const AccountController& accounts() const { return *accounts_; }
    CallController& calls() { return *calls_; }
    const CallController& calls() const { return *calls_; }
    WalkieController& walkie() { return *walkie_; }
    const WalkieController& walkie() const { return *walkie_; }
    VoiceNotes& voice() { return *voice_; }
    const VoiceNotes& voice() const { return *voice_; }

    void dismissAlert();
    // Screens show the messages of their own checks as model alerts too.
    void setAlert(std::string text) override;
    void save();
    std::string displayName(const std::string& number) const override;
    bool isBlocked(const std::string& number) const override;
    const std::string& deviceLabel() const { return components_.deviceLabel; }

    // Contacts (contacts.cpp).
    void addContact(const std::string& name, const std::string& number);
    void updateContact(const Uuid& id, const std::string& name, const std::string& number);
    void deleteContact(const Uuid& id);
    void setBlocked(const Uuid& id, bool blocked);
    // A number without a contact becomes a blocked contact named as shown now.
    void blockNumber(const std::string& number, bool blocked);
    std::string contactLink() const;
    void learnName(const std::string& number, const std::string& name) override;
    void uploadBook();
    void importBook(const std::vector<BookEntry>& entries);

    // Messaging (messaging.cpp). Both give the new message's id, if one was made.
    std::optional<Uuid> sendText(const std::string& text, const std::string& number);
    std::optional<Uuid> sendAttachment(std::span<const std::byte> bytes, const std::string& kind,
                                       const std::string& name, const std::string& number) override;
    bool setStatus(MessageStatus status, const Uuid& id);  // false: no such message
    void retryWaiting();
    void deleteMessageForMe(const Uuid& id, const std::string& number);
    void deleteMessageForEveryone(const Uuid& id, const std::string& number);
    void clearChat(const std::string& number);
    void purgeExpired();
    // Replays a stored audio message through the walkie engine.
    void playWalkieMessage(const Uuid& id, const std::string& number);

    // Leaving a number (pin.cpp): the service forgets this computer, and
    // resetDevice() erases the number, contacts, chats and calls.
    void forgetComputer();
    void resetDevice();

    DirectoryLookup& directoryLookup() { return *components_.directory; }
    const ServiceAddresses& services() const { return components_.services; }
    std::filesystem::path filesFolder() const { return store_.filesFolder(); }
    std::optional<std::filesystem::path> attachmentFile(const std::string& storedName) const {
        return store_.attachmentFile(storedName);
    }
    void setStoreFaults(WriteFaultHook hook) { store_.setFaultHook(std::move(hook)); }  // tests

    // A call under way is hung up (record kept, peer told); `done` runs once
    // that had time to go out, at once when nothing runs.
    void prepareToQuit(std::function<void()> done);
    void waitForBackgroundWork();  // tests: background file sweeps are done

Q_SIGNALS:
    void deviceIdChanged();
    void accountChanged();
    void contactsChanged();
    // The whole list changed; a single message or thread has its own signal.
    void threadsChanged();
    void messageAdded(const std::string& thread, const merrowfax::Uuid& id);
    void messageChanged(const std::string& thread, const merrowfax::Uuid& id);
    // A thread was added or moved to the top with a new message.
    void threadMoved(const std::string& thread);
    void callListChanged();
    void directoryChanged();
    void onlineChanged();
    void alertMessageChanged();
    void onNetworkCountChanged();
    void restoringChanged();

private:
    AccountController* accountsObject() const { return accounts_.get(); }
    CallController* callsObject() const { return calls_.get(); }
    WalkieController* walkieObject() const { return walkie_.get(); }
    VoiceNotes* voiceObject() const { return voice_.get(); }

    // What the controllers ask of the model.
    std::optional<std::string> ownNumber() const override;
    std::optional<std::string> ownName() const override;
    bool isContact(const std::string& number) const override;
    void recordCall(const std::string& number, const std::string& name, bool video,
                    CallDirection direction, double duration) override;
    void recordWalkieMessage(std::span<const std::byte> audio, const std::string& number,
                             bool outgoing) override;
    void keepWalkieSettings(bool lockScreenTalk, bool contactsOnly) override;
    // What the account flow asks of it.
    void adoptAccount(std::optional<Account> account) override;
    void connectAs(const Account& account, const std::string& pin, const std::string& newPin,
                   bool includeKind) override;
    void disconnect() override;
    Account newAccount(std::string name, const VirtualNumber& number,
                       std::string kind) const override;

    // Start-up and routing.
    void wireHandlers();
    void handleEvent(wire::PeerEvent event);
    void lookupComputerAccount();
    void adoptRememberedAccount(const std::optional<RememberedAccount>& remembered);
    std::filesystem::path statementFile() const;  // our number's newest statement, for LAN peers
    std::string storedStatement() const;
    // Stores message `id` and the learnt name of `learnedNumber` in the
    // journal; one sync per event-loop turn, after which `then` runs.
    void saveMessage(const Uuid& id, const std::optional<std::string>& learnedNumber = {},
                     std::function<void()> then = {});
    void syncMessages();
    void setRestoring(bool restoring);
    void setAccount(std::optional<Account> account);
    void setNetOnline(std::set<std::string> numbers);
    void setLanOnline(std::set<std::string> numbers);
    void refreshOnline();

    // Contacts.
    const Contact* contactWithNumber(const std::string& number) const;
    bool autoAddContact(const std::string& name, const std::string& number);
    bool strangerMayBeAdded();  // fewer than the limit added within the window
    void moveConversation(const std::string& from, const std::string& to);
    std::vector<BookEntry> bookEntries() const;
    void bookChanged();  // the book goes up once a burst of changes is in
    void flushBook();

    // Messaging.
    std::optional<std::string> checkSendTarget(const std::string& number);
    bool offerText(const Message& message, const std::string& number);
    void appendMessage(Message message, const std::string& number, const std::string& title);
    void flushWaiting();
    void markDeleted(const Uuid& id, const std::string& number);
    void notifyNewText(const std::string& title);
    void receiveText(const wire::events::Text& text);
    void receiveFile(const wire::events::File& file);
    void receiveDeletion(const wire::events::Deleted& deleted);
    void receiveDelivered(const wire::events::Delivered& ack);
    ChatThread* thread(const std::string& number);
    Message* message(const std::string& number, const Uuid& id);
    Message* message(const Uuid& id);  // through the index, in any thread
    void indexThreads();               // the index anew, after a bulk change
    void removeStoredFile(const std::optional<std::string>& storedName);
    void sweepOrphanFiles();
    void sortThreads();
    // After `number` got a message or changed time: signals whether its
    // place in the list changed (or whether it is new, `added`).
    void placeThread(const std::string& number, bool added);

    AppComponents components_;
    Router router_;  // everything that goes out to other numbers
    Store store_;
    std::shared_ptr<MainThreadHop> hop_;
    // Received media, taken on the threads that bring it; shared with the
    // transports' handlers, which may outlive the model by a chunk.
    std::shared_ptr<MediaIntake> intake_;
    // After the components, which they drive. The call flow steps the
    // walkie back, and voice notes give way to calls: that order.
    std::unique_ptr<AccountController> accounts_;
    std::unique_ptr<WalkieController> walkie_;
    std::unique_ptr<CallController> calls_;
    std::unique_ptr<VoiceNotes> voice_;

    // The stored state, live: save() writes it as it is.
    StoredDatabase data_;
    // Each message's thread, by id.
    std::unordered_map<Uuid, std::string> threadOf_;
    std::set<std::string> online_;
    std::set<std::string> lanOnline_;
    std::set<std::string> netOnline_;
    std::optional<std::string> alertMessage_;
    bool restoring_ = false;

    QTimer bookTimer_;  // a book upload is due when it fires
    // The line opened and asked for the stored book: its answer is merged,
    // and the merged book goes back when it differs.
    bool mergingBook_ = false;
    std::deque<std::chrono::steady_clock::time_point> strangersAdded_;  // within the window

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
