#pragma once

#include <QObject>
#include <QTimer>

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "app/account_controller.h"
#include "app/app_components.h"
#include "app/call_controller.h"
#include "app/controller_host.h"
#include "app/desk_controller.h"
#include "app/link_controller.h"
#include "app/media_intake.h"
#include "app/messaging.h"
#include "app/notices.h"
#include "app/people.h"
#include "app/router.h"
#include "app/voice_notes.h"
#include "app/walkie_controller.h"
#include "model/store.h"
#include "wire/peer_event.h"

namespace merrowfax {

class MainThreadHop;

// The root the screens and the command-line client start from. It keeps the
// stored state, starts the transports and routes what they bring (all on
// the main thread). The contacts, the chats and the flows with state and
// timers of their own are objects it owns and publishes (`people`,
// `messaging`, `accounts`, `calls`, `walkie`, `voice`, `linking`, `desk`,
// and the desktop's `notices`); callers drive those directly.
class AppModel : public QObject,
                 private ControllerHost,
                 private AccountHost,
                 private MessagingHost,
                 private PeopleHost,
                 private LinkHost,
                 private DeskHost {
    Q_OBJECT
    Q_PROPERTY(merrowfax::Uuid deviceId READ deviceId NOTIFY deviceIdChanged)
    Q_PROPERTY(std::optional<merrowfax::Account> account READ account NOTIFY accountChanged)
    Q_PROPERTY(std::vector<merrowfax::CallRecord> callList READ callList NOTIFY callListChanged)
    Q_PROPERTY(std::set<std::string> online READ online NOTIFY onlineChanged)
    Q_PROPERTY(std::optional<std::string> alertMessage READ alertMessage NOTIFY alertMessageChanged)
    Q_PROPERTY(int onNetworkCount READ onNetworkCount NOTIFY onNetworkCountChanged)
    Q_PROPERTY(bool restoring READ restoring NOTIFY restoringChanged)
    Q_PROPERTY(bool keepInTray READ keepInTray WRITE setKeepInTray NOTIFY keepInTrayChanged)
    Q_PROPERTY(merrowfax::People* people READ peopleObject CONSTANT)
    Q_PROPERTY(merrowfax::Messaging* messaging READ messagingObject CONSTANT)
    Q_PROPERTY(merrowfax::AccountController* accounts READ accountsObject CONSTANT)
    Q_PROPERTY(merrowfax::CallController* calls READ callsObject CONSTANT)
    Q_PROPERTY(merrowfax::WalkieController* walkie READ walkieObject CONSTANT)
    Q_PROPERTY(merrowfax::VoiceNotes* voice READ voiceObject CONSTANT)
    Q_PROPERTY(merrowfax::LinkController* linking READ linkingObject CONSTANT)
    Q_PROPERTY(merrowfax::DeskController* desk READ deskObject CONSTANT)
    Q_PROPERTY(merrowfax::Notices* notices READ noticesObject CONSTANT)

public:
    static constexpr std::size_t minWalkieBytes = 1'600;  // shorter exchanges leave no message

    // Loads the store in `dataFolder`, wires the components and starts the
    // transports (or asks the relay service for this computer's account).
    AppModel(std::filesystem::path dataFolder, AppComponents components, QObject* parent = nullptr);
    ~AppModel() override;

    const Uuid& deviceId() const override { return data_.deviceId; }
    const std::optional<Account>& account() const override { return data_.account; }
    const std::vector<CallRecord>& callList() const { return data_.calls; }
    const std::set<std::string>& online() const override { return online_; }
    const std::optional<std::string>& alertMessage() const { return alertMessage_; }
    int onNetworkCount() const { return static_cast<int>(online_.size()); }
    bool restoring() const { return restoring_; }
    // Whether closing the window leaves the program in the tray.
    bool keepInTray() const { return data_.keepInTray.value_or(true); }
    void setKeepInTray(bool keep);
    const std::string& deviceLabel() const override { return components_.deviceLabel; }

    // The parts it owns, each publishing its own state.
    People& people() const { return *people_; }
    Messaging& messaging() const { return *messaging_; }
    AccountController& accounts() const { return *accounts_; }
    CallController& calls() const { return *calls_; }
    WalkieController& walkie() const { return *walkie_; }
    VoiceNotes& voice() const { return *voice_; }
    LinkController& linking() const { return *linking_; }
    DeskController& desk() const { return *desk_; }
    Notices& notices() const { return *notices_; }
    DirectoryLookup& directoryLookup() const { return *components_.directory; }

    void dismissAlert();
    // Screens show the messages of their own checks as model alerts too.
    void setAlert(std::string text) override;
    void save() override;

    // Replays a stored audio message through the walkie engine (walkie.cpp).
    void playWalkieMessage(const Uuid& id, const std::string& number);

    // Leaving a number (pin.cpp): the service forgets this computer, and
    // resetDevice() erases the number, contacts, chats and calls.
    void forgetComputer();
    void resetDevice() override;

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
    void callListChanged();
    void onlineChanged();
    void alertMessageChanged();
    void onNetworkCountChanged();
    void restoringChanged();
    void keepInTrayChanged();

private:
    People* peopleObject() const { return people_.get(); }
    Messaging* messagingObject() const { return messaging_.get(); }
    AccountController* accountsObject() const { return accounts_.get(); }
    CallController* callsObject() const { return calls_.get(); }
    WalkieController* walkieObject() const { return walkie_.get(); }
    VoiceNotes* voiceObject() const { return voice_.get(); }
    LinkController* linkingObject() const { return linking_.get(); }
    DeskController* deskObject() const { return desk_.get(); }
    Notices* noticesObject() const { return notices_.get(); }

    // What the controllers ask of the model.
    std::optional<std::string> ownNumber() const override;
    std::optional<std::string> ownName() const override;
    std::string displayName(const std::string& number) const override;
    bool isBlocked(const std::string& number) const override;
    bool isContact(const std::string& number) const override;
    void learnName(const std::string& number, const std::string& name) override;
    void recordCall(const std::string& number, const std::string& name, bool video,
                    CallDirection direction, double duration) override;
    void recordWalkieMessage(std::span<const std::byte> audio, const std::string& number,
                             bool outgoing) override;
    std::optional<Uuid> sendAttachment(std::span<const std::byte> bytes, const std::string& kind,
                                       const std::string& name, const std::string& number) override;
    void keepWalkieSettings(bool lockScreenTalk, bool contactsOnly) override;
    // What the chats ask of it.
    void saveMessage(const Uuid& id, const std::optional<std::string>& learnedNumber,
                     std::function<void()> then) override;
    void notifyNewText(const std::string& title, const std::string& number) override;
    // What the account flow asks of it.
    void adoptAccount(std::optional<Account> account) override;
    void connectAs(const Account& account, const std::string& pin, const std::string& newPin,
                   bool includeKind) override;
    void disconnect() override;
    Account newAccount(std::string name, const VirtualNumber& number,
                       std::string kind) const override;
    // What device linking asks of it.
    SyncSnapshot currentData() const override;
    void replaceData(SyncSnapshot data) override;
    // What screen sharing asks of it.
    void sendChatText(const std::string& text, const std::string& to) override;

    void wireHandlers();
    void handleEvent(wire::PeerEvent event);
    void lookupComputerAccount();
    void adoptRememberedAccount(const std::optional<RememberedAccount>& remembered);
    std::filesystem::path statementFile() const;  // our number's newest statement, for LAN peers
    std::string storedStatement() const;
    void syncMessages();
    void setRestoring(bool restoring);
    void setAccount(std::optional<Account> account);
    void setNetOnline(std::set<std::string> numbers);
    void setLanOnline(std::set<std::string> numbers);
    void refreshOnline();

    AppComponents components_;
    Router router_;  // everything that goes out to other numbers
    Store store_;
    std::shared_ptr<MainThreadHop> hop_;
    // Received media, taken on the threads that bring it; shared with the
    // transports' handlers, which may outlive the model by a chunk.
    std::shared_ptr<MediaIntake> intake_;
    // After the components, which they drive. The call flow steps the
    // walkie back, and voice notes give way to calls: that order.
    std::unique_ptr<People> people_;
    std::unique_ptr<Messaging> messaging_;
    std::unique_ptr<AccountController> accounts_;
    std::unique_ptr<WalkieController> walkie_;
    std::unique_ptr<CallController> calls_;
    std::unique_ptr<VoiceNotes> voice_;
    std::unique_ptr<LinkController> linking_;
    std::unique_ptr<DeskController> desk_;
    std::unique_ptr<Notices> notices_;

    // The stored state, live: save() writes it as it is.
    StoredDatabase data_;
    std::set<std::string> online_;
    std::set<std::string> lanOnline_;
    std::set<std::string> netOnline_;
    std::optional<std::string> alertMessage_;
    bool restoring_ = false;

    QTimer foldTimer_;          // folds the store's journal into db.json
    QTimer saveRetry_;          // saves again after a failed save
    bool saveFailing_ = false;  // reported; cleared by the next save that lands
    bool syncQueued_ = false;
    std::vector<std::function<void()>> afterSync_;  // run once the journal is synced
};

}  // namespace merrowfax
