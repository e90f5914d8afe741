// Start-up, the wiring of the components and the routing of their events.

#include "app/app_model.h"

#include <algorithm>
#include <fstream>
#include <type_traits>
#include <utility>

#include "model/atomic_file.h"
#include "model/text_limits.h"
#include "numbers/unicode_text.h"
#include "numbers/virtual_number.h"
#include "platform/main_thread.h"
#include "platform/timings.h"
#include "wire/number_statement.h"

namespace merrowfax {

std::filesystem::path AppModel::statementFile() const {
    return store_.folder() / "lan-statement";
}

std::string AppModel::storedStatement() const {
    std::ifstream in(statementFile(), std::ios::binary);
    std::string text(wire::kMaxStatementBytes + 1, '\0');
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<std::size_t>(std::max<std::streamsize>(0, in.gcount())));
    return text.size() > wire::kMaxStatementBytes ? std::string() : text;
}

AppModel::AppModel(std::filesystem::path dataFolder, AppComponents components, QObject* parent)
    : QObject(parent),
      components_(std::move(components)),
      router_(*components_.network, *components_.line),
      store_(std::move(dataFolder)),
      hop_(std::make_shared<MainThreadHop>(this)),
      intake_(std::make_shared<MediaIntake>(*components_.media, *components_.walkie)),
      // The store gives a fresh database when db.json is missing or
      // unreadable, and persists a new walkie channel at once.
      data_(store_.loadAtStartup()) {
    PeopleHost& peopleHost = *this;
    people_ =
        std::make_unique<People>(peopleHost, *components_.line, data_.contacts, data_.directory);
    MessagingHost& chatHost = *this;
    messaging_ = std::make_unique<Messaging>(chatHost, *people_, router_, store_, data_.threads);
    connect(people_.get(), &People::numberChanged, messaging_.get(), &Messaging::moveConversation);
    AccountHost& accountHost = *this;
    accounts_ = std::make_unique<AccountController>(accountHost);
    ControllerHost& host = *this;
    walkie_ = std::make_unique<WalkieController>(
        host, WalkieDevices{router_, *components_.walkie, *intake_}, hop_,
        data_.lockScreenTalk.value_or(true), data_.walkieContactsOnly.value_or(true));
    calls_ = std::make_unique<CallController>(
        host, CallDevices{router_, *components_.media, *walkie_, *components_.sounds, *intake_},
        hop_);
    voice_ = std::make_unique<VoiceNotes>(host, *calls_, std::move(components_.microphone),
                                          std::move(components_.voiceEncoder));
    LinkHost& linkHost = *this;
    linking_ = std::make_unique<LinkController>(linkHost, *components_.network, *components_.line,
                                                components_.computerIdentity);
    DeskHost& deskHost = *this;
    desk_ = std::make_unique<DeskController>(
        deskHost, DeskDevices{router_, *components_.screen, *components_.input}, hop_,
        store_.folder() / "friend");
    notices_ = std::make_unique<Notices>(*components_.notifier, components_.isActive, *calls_,
                                         *messaging_);
    // A name kept by an older version may hold invisible characters; what
    // goes out from now on is clean.
    if (data_.account) {
        std::string name = cleanName(data_.account->displayName);
        data_.account->displayName = name.empty() ? data_.account->number.text() : std::move(name);
    }
    components_.walkie->setChannel(data_.channelId.value_or(Uuid{}));

    saveRetry_.setSingleShot(true);
    connect(&saveRetry_, &QTimer::timeout, this, &AppModel::save);

    wireHandlers();
    components_.notifier->requestPermission();

    if (data_.account) {
        connectAs(*data_.account, {}, {}, false);
    } else {
        restoring_ = true;
        QMetaObject::invokeMethod(
            this, [this] { lookupComputerAccount(); }, Qt::QueuedConnection);
    }

    foldTimer_.setInterval(timings().journalFold);
    connect(&foldTimer_, &QTimer::timeout, this, [this] { store_.foldInBackground(data_); });
    foldTimer_.start();
}

AppModel::~AppModel() {
    // A recording still running is sent while the model stands.
    voice_.reset();
    // Media a network thread is handing over now still finds the engine;
    // later chunks are dropped.
    intake_->close();
    people_->flushBook();
    hop_->close();
    messaging_->waitForFileSweeps();
    if (store_.hasUnfoldedChanges() || syncQueued_ || saveFailing_) save();
}

void AppModel::wireHandlers() {
    // Each callback only hops to the main thread; the hop holds the model
    // weakly, so late callbacks do nothing.
    std::weak_ptr<MainThreadHop> weakHop = hop_;
    auto onMain = [weakHop](auto work) {
        if (auto hop = weakHop.lock()) hop->post(std::move(work));
    };

    // Call and walkie audio are taken on the thread that brought them,
    // straight to the engines; what a walkie talk keeps follows here.
    std::shared_ptr<MediaIntake> intake = intake_;
    intake->setKeepHeard([this, onMain](wire::events::Walkie clip) {
        onMain([this, clip = std::move(clip)] { walkie_->keepHeard(clip); });
    });
    components_.network->setHandler([this, onMain, intake](wire::PeerEvent event) {
        if (intake->take(event, MediaPath::lan)) return;
        onMain([this, event = std::move(event)]() mutable { handleEvent(std::move(event)); });
    });

    NetTransport::Callbacks line;
    line.handler = [this, onMain, intake](wire::PeerEvent event) {
        if (intake->take(event, MediaPath::relay)) return;
        onMain([this, event = std::move(event)]() mutable {
            if (auto* online = std::get_if<wire::events::Online>(&event)) {
                setNetOnline(std::move(online->numbers));
            } else {
                handleEvent(std::move(event));
            }
        });
    };
    line.onMiss = [this, onMain](std::string number) {
        onMain([this, number = std::move(number)] { calls_->callNotDelivered(number); });
    };
    line.onDenied = [this, onMain](std::string reason) {
        onMain([this, reason = std::move(reason)] { accounts_->handleDenied(reason); });
    };
    // Every registration fetches the stored contact book again.
    line.onOpen = [this, onMain] {
        onMain([this] {
            people_->lineOpened();
            linking_->lineOpened();
        });
    };
    line.onPin = [this, onMain](bool hasPin, std::string error, bool business) {
        onMain([this, hasPin, error = std::move(error), business] {
            accounts_->handlePin(hasPin, error, business);
        });
    };
    line.onBook = [this, onMain](std::vector<BookEntry> entries) {
        onMain([this, entries = std::move(entries)] { people_->importBook(entries); });
    };
    // Each registration renews the statement of our number that LAN peers
    // need; the newest is kept for runs that do not reach the service.
    line.onStatement = [this, onMain](std::string statement) {
        onMain([this, statement = std::move(statement)] {
            replaceFileDurably(statementFile(), statement);
            components_.network->setStatement(statement);
        });
    };
    components_.line->setCallbacks(std::move(line));
    // Call media, the system call screen and the walkie's capture are wired
    // by their controllers.
}

void AppModel::connectAs(const Account& account, const std::string& pin, const std::string& newPin,
                         bool includeKind) {
    const std::string number = account.number.text();
    const std::string name = cleanName(account.displayName);
    components_.network->setCompanionLabel(deviceLabel());
    components_.network->setDevice(deviceId().text());
    components_.network->setStatement(storedStatement());
    components_.network->start(number, name);

    LineIdentity identity;
    identity.number = number;
    identity.name = name;
    identity.device = deviceLabel();
    identity.computer = components_.computerIdentity;
    identity.pin = pin;
    identity.newPin = newPin;
    identity.accountKind = includeKind ? account.accountKind : std::string();
    identity.lanCert = components_.lanCertificate;
    components_.line->start(identity);
}

void AppModel::lookupComputerAccount() {
    std::weak_ptr<MainThreadHop> weakHop = hop_;
    components_.line->lookupComputer(
        components_.computerIdentity, [this, weakHop](std::optional<RememberedAccount> answer) {
            if (auto hop = weakHop.lock()) {
                hop->post([this, answer = std::move(answer)] { adoptRememberedAccount(answer); });
            }
        });
}

void AppModel::adoptRememberedAccount(const std::optional<RememberedAccount>& remembered) {
    if (remembered && !data_.account) {
        auto number = VirtualNumber::parse(remembered->number);
        const std::string name = cleanName(remembered->name);
        if (number && !name.empty()) {
            const Account account = newAccount(name, *number, "personal");
            setAccount(account);
            save();
            connectAs(account, {}, {}, false);
        }
    }
    setRestoring(false);
}

Account AppModel::newAccount(std::string name, const VirtualNumber& number,
                             std::string kind) const {
    Account account;
    account.id = Uuid::random();
    account.deviceId = data_.deviceId;
    account.displayName = std::move(name);
    account.number = number;
    account.createdAt = now();
    account.accountKind = std::move(kind);
    return account;
}

void AppModel::save() {
    if (store_.save(data_)) {
        saveRetry_.stop();
        saveFailing_ = false;
        return;
    }
    // The state stays in memory; every change saves again, and so does the
    // timer, for when the disk has room again without a change.
    if (!saveRetry_.isActive()) saveRetry_.start(timings().saveRetry);
    if (std::exchange(saveFailing_, true)) return;
    setAlert("Merrowfax could not save your chats. Free some disk space and try again.");
}

void AppModel::saveMessage(const Uuid& id, const std::optional<std::string>& learnedNumber,
                           std::function<void()> then) {
    bool appended = false;
    // Newest threads first, newest messages last: the changed one is near.
    for (const ChatThread& t : data_.threads) {
        auto m = std::find_if(t.messages.rbegin(), t.messages.rend(),
                              [&](const Message& x) { return x.id == id; });
        if (m == t.messages.rend()) continue;
        Directory learned;
        if (learnedNumber) {
            if (auto it = data_.directory.find(*learnedNumber); it != data_.directory.end())
                learned.insert(*it);
        }
        appended = store_.appendMessage(t, *m, learned);
        break;
    }
    if (!appended) {
        save();
        if (then) then();
        return;
    }
    if (then) afterSync_.push_back(std::move(then));
    if (syncQueued_) return;
    syncQueued_ = true;
    // Events already queued (more texts of a flood) run first and share it.
    QMetaObject::invokeMethod(this, &AppModel::syncMessages, Qt::QueuedConnection);
}

void AppModel::syncMessages() {
    syncQueued_ = false;
    if (!store_.syncJournal()) save();
    for (auto& then : std::exchange(afterSync_, {})) then();
}

void AppModel::dismissAlert() {
    if (!alertMessage_) return;
    alertMessage_.reset();
    Q_EMIT alertMessageChanged();
}

std::optional<std::string> AppModel::ownName() const {
    if (!data_.account) return std::nullopt;
    return data_.account->displayName;
}

std::optional<Uuid> AppModel::sendAttachment(std::span<const std::byte> bytes,
                                             const std::string& kind, const std::string& name,
                                             const std::string& number) {
    return messaging_->sendAttachment(bytes, kind, name, number);
}

bool AppModel::isContact(const std::string& number) const {
    return people_->contactWithNumber(number) != nullptr;
}

void AppModel::learnName(const std::string& number, const std::string& name) {
    people_->learnName(number, name);
}

void AppModel::setAlert(std::string text) {
    alertMessage_ = std::move(text);
    Q_EMIT alertMessageChanged();
}

void AppModel::setRestoring(bool restoring) {
    if (restoring_ == restoring) return;
    restoring_ = restoring;
    Q_EMIT restoringChanged();
}

void AppModel::adoptAccount(std::optional<Account> account) {
    setAccount(std::move(account));
    save();
}

void AppModel::disconnect() {
    components_.line->stop();
}

void AppModel::setAccount(std::optional<Account> account) {
    data_.account = std::move(account);
    Q_EMIT accountChanged();
}

std::optional<std::string> AppModel::ownNumber() const {
    if (!data_.account) return std::nullopt;
    return data_.account->number.text();
}

void AppModel::setNetOnline(std::set<std::string> numbers) {
    if (auto own = ownNumber()) numbers.erase(*own);
    netOnline_ = std::move(numbers);
    intake_->pathLeft(MediaPath::relay, netOnline_);
    refreshOnline();
    messaging_->flushWaiting();
}

void AppModel::setLanOnline(std::set<std::string> numbers) {
    lanOnline_ = std::move(numbers);
    intake_->pathLeft(MediaPath::lan, lanOnline_);
    refreshOnline();
    messaging_->flushWaiting();
}

void AppModel::refreshOnline() {
    std::set<std::string> merged = lanOnline_;
    merged.insert(netOnline_.begin(), netOnline_.end());
    // Our own number is never "someone online", whichever path reported it.
    if (auto own = ownNumber()) merged.erase(*own);
    if (merged == online_) return;
    const bool countChanged = merged.size() != online_.size();
    online_ = std::move(merged);
    Q_EMIT onlineChanged();
    if (countChanged) Q_EMIT onNetworkCountChanged();
    calls_->onlineChanged(online_);
}

std::string AppModel::displayName(const std::string& number) const {
    return people_->displayName(number);
}

bool AppModel::isBlocked(const std::string& number) const {
    return people_->isBlocked(number);
}

void AppModel::handleEvent(wire::PeerEvent event) {
    using namespace wire::events;
    std::visit(
        [this](auto& e) {
            using E = std::decay_t<decltype(e)>;
            if constexpr (std::is_same_v<E, Online>) {
                setLanOnline(std::move(e.numbers));
            } else if constexpr (std::is_same_v<E, Text> || std::is_same_v<E, Delivered> ||
                                 std::is_same_v<E, Deleted> || std::is_same_v<E, File>) {
                messaging_->receive(e);
            } else if constexpr (std::is_same_v<E, Call>) {
                calls_->handleSignal(e);
            } else if constexpr (std::is_same_v<E, Audio> || std::is_same_v<E, Video>) {
                // Taken on the way in, by the media intake.
            } else if constexpr (std::is_same_v<E, Walkie>) {
                walkie_->receiveWalkie(e);
            } else if constexpr (std::is_same_v<E, Talk>) {
                walkie_->receiveTalk(e);
            } else if constexpr (std::is_same_v<E, DeskFrame>) {
                desk_->handle(std::move(e));
            } else if constexpr (std::is_same_v<E, Desk>) {
                desk_->handle(e);
            } else if constexpr (std::is_same_v<E, LinkHello> || std::is_same_v<E, LinkAccount> ||
                                 std::is_same_v<E, LinkJoined> || std::is_same_v<E, Unlink> ||
                                 std::is_same_v<E, Snapshot>) {
                linking_->handle(e);
            } else {
                static_assert(!sizeof(E*), "every event has its place");
            }
        },
        event);
}

void AppModel::sendChatText(const std::string& text, const std::string& to) {
    messaging_->sendText(text, to);
}

SyncSnapshot AppModel::currentData() const {
    SyncSnapshot data;
    data.contacts = data_.contacts;
    data.threads = data_.threads;
    data.calls = data_.calls;
    data.directory = data_.directory;
    return data;
}

void AppModel::replaceData(SyncSnapshot data) {
    data_.calls = std::move(data.calls);
    Q_EMIT callListChanged();
    people_->replaceAll(std::move(data.contacts), std::move(data.directory));
    messaging_->replaceAll(std::move(data.threads));
    save();
}

void AppModel::prepareToQuit(std::function<void()> done) {
    if (!calls_->hangUpForQuit()) {
        done();
        return;
    }
    // The "end" is queued on both paths; the event loop writes it out.
    QTimer::singleShot(timings().quitDrain, this, std::move(done));
}

void AppModel::waitForBackgroundWork() {
    messaging_->waitForFileSweeps();
}

void AppModel::setKeepInTray(bool keep) {
    if (keep == keepInTray()) return;
    data_.keepInTray = keep;
    save();
    Q_EMIT keepInTrayChanged();
}

void AppModel::notifyNewText(const std::string& title, const std::string& number) {
    components_.sounds->play(SystemSound::newText);
    notices_->newText(title, number);
}

}  // namespace merrowfax
