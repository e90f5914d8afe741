#include "app/link_controller.h"

#include <sys/random.h>

#include <QDir>

#include <algorithm>
#include <array>
#include <cctype>
#include <fstream>
#include <iterator>
#include <utility>

#include "base/date.h"
#include "model/atomic_file.h"
#include "model/record_json.h"
#include "model/text_limits.h"
#include "numbers/virtual_number.h"
#include "platform/timings.h"
#include "wire/envelope_builders.h"

namespace merrowfax {
namespace {

constexpr std::string_view kCodeAlphabet = "ABCDEFGHJKLMNPQRSTUVWXYZ23456789";
constexpr std::size_t kCodeLength = 6;
constexpr std::size_t kMaxComputerText = 256;
static_assert(kCodeAlphabet.size() == 32, "a byte's low five bits pick a character uniformly");

// A device's key on the LAN: "m-" and the first 8 characters of its id.
std::string lanKeyOf(const Uuid& device) {
    return "m-" + device.text().substr(0, 8);
}

// "Mac" of "Mac 1A2B", when the name starts with a known label.
std::string kindOf(const std::string& deviceName) {
    const std::string first = deviceName.substr(0, deviceName.find(' '));
    for (const char* label : {"iPhone", "iPad", "Mac"}) {
        if (first == label) return first;
    }
    return {};
}

std::optional<std::string> readSmallFile(const std::filesystem::path& file, std::uintmax_t limit) {
    std::error_code error;
    const auto size = std::filesystem::file_size(file, error);
    if (error || size > limit) return std::nullopt;
    std::ifstream in(file, std::ios::binary);
    std::string bytes(static_cast<std::size_t>(size), '\0');
    if (!in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()))) return std::nullopt;
    return bytes;
}

void removeFile(const std::filesystem::path& file) {
    std::error_code ignored;
    std::filesystem::remove(file, ignored);
}

}  // namespace

LinkController::LinkController(LinkHost& host, LanTransport& lan, NetTransport& line,
                               std::string computer, QObject* parent)
    : QObject(parent), host_(host), lan_(lan), line_(line), computer_(std::move(computer)) {
    hosted_.expiry.setSingleShot(true);
    connect(&hosted_.expiry, &QTimer::timeout, this, [this] {
        stopHosting();
        setStatus({});
    });
    seek_.timeout.setSingleShot(true);
    connect(&seek_.timeout, &QTimer::timeout, this, [this] {
        if (!host_.account() && status_.starts_with("Looking"))
            setStatus("No Merrowfax with that code is on this Wi-Fi.");
    });
}

std::string LinkController::drawLinkCode() {
    std::array<unsigned char, kCodeLength> random{};
    std::size_t filled = 0;
    while (filled < random.size()) {
        const ssize_t got = getrandom(random.data() + filled, random.size() - filled, 0);
        if (got > 0) filled += static_cast<std::size_t>(got);
    }
    std::string code;
    for (unsigned char byte : random) code.push_back(kCodeAlphabet[byte & 31u]);
    return code;
}

std::string LinkController::normalizeLinkCode(std::string_view typed) {
    std::string code;
    for (char c : typed) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 128 && std::isalnum(u)) code.push_back(static_cast<char>(std::toupper(u)));
    }
    return code;
}

std::string LinkController::companionName() const {
    return host_.deviceLabel() + " " + host_.deviceId().text().substr(0, 4);
}

void LinkController::setStatus(std::string status) {
    if (status == status_) return;
    status_ = std::move(status);
    Q_EMIT linkStatusChanged();
}

void LinkController::setHostedCode(std::optional<std::string> code) {
    hosted_.wrongByPeer.clear();
    if (code == hosted_.code) return;
    hosted_.code = std::move(code);
    lan_.setHostedCode(hosted_.code.value_or(std::string()));
    Q_EMIT hostedLinkCodeChanged();
}

// --- Host --------------------------------------------------------------------

std::string LinkController::hostLinkCode() {
    std::string code = drawLinkCode();
    setHostedCode(code);
    hosted_.expiry.start(timings().linkCodeLife);
    setStatus(
        "Keep this Merrowfax open. On the other device, choose Link a device and enter the code.");
    return code;
}

void LinkController::stopHosting() {
    hosted_.expiry.stop();
    setHostedCode(std::nullopt);
}

void LinkController::handle(const wire::events::LinkHello& hello) {
    const auto& account = host_.account();
    if (!account || !hosted_.code) return;
    auto wrong = hosted_.wrongByPeer.find(hello.peerKey);
    if (wrong != hosted_.wrongByPeer.end() && wrong->second >= kWrongCodesPerPeer) return;
    if (hello.code != *hosted_.code) {
        if (wrong != hosted_.wrongByPeer.end()) {
            ++wrong->second;
        } else if (hosted_.wrongByPeer.size() < kMaxGuessers) {
            hosted_.wrongByPeer.emplace(hello.peerKey, 1);
        }
        return;
    }
    const auto device = Uuid::parse(hello.device);
    if (!device || *device == host_.deviceId()) return;

    // The service must take the new computer before the new device registers.
    std::optional<std::string> computer;
    if (!hello.computer.empty() && hello.computer.size() <= kMaxComputerText)
        computer = hello.computer;
    if (computer) trust(*computer, true);

    const VirtualNumber& number = account->number;
    const wire::Envelope offer = wire::linkAccountEnvelope(
        cleanName(account->displayName), number.country.code, number.cityCode, number.subscriber,
        host_.deviceId().text(), companionName());
    if (!lan_.sendEnvelope(offer, {hello.peerKey})) return;
    if (auto file = makeSnapshot()) lan_.sendSnapshot(*file, hello.peerKey);
    if (handedTo_.size() < kMaxGuessers) handedTo_.insert(device->text());
    recordLinked(device->text(), hello.deviceName, computer);
}

void LinkController::handle(const wire::events::LinkJoined& joined) {
    const auto device = Uuid::parse(joined.device);
    if (!device || !handedTo_.erase(device->text())) return;
    const std::string name = cleanName(joined.deviceName);
    recordLinked(device->text(), name, std::nullopt);
    setStatus((name.empty() ? std::string("Device") : name) + " is linked.");
    stopHosting();
}

bool LinkController::recordLinked(const std::string& device, const std::string& name,
                                  std::optional<std::string> computer) {
    const auto id = Uuid::parse(device);
    std::optional<Account> account = host_.account();
    if (!id || !account) return false;
    std::string shown = cleanName(name);
    if (shown.empty()) shown = "Device";
    const Date at = now();
    auto& linked = account->linkedDevices;
    auto known = std::find_if(linked.begin(), linked.end(),
                              [&](const LinkedDevice& d) { return d.id == *id; });
    if (known == linked.end()) {
        LinkedDevice added;
        added.id = *id;
        added.kind = kindOf(shown);
        added.name = std::move(shown);
        added.linkedAt = at;
        added.lastSeen = at;
        added.computer = std::move(computer);
        linked.push_back(std::move(added));
    } else {
        known->name = std::move(shown);
        known->lastSeen = at;
        if (computer) known->computer = std::move(computer);
    }
    host_.adoptAccount(std::move(account));
    return true;
}

std::optional<std::filesystem::path> LinkController::makeSnapshot() {
    const auto& account = host_.account();
    SyncSnapshot snapshot = host_.currentData();
    if (account) snapshot.linked = account->linkedDevices;
    // A computer's identity is a secret of the device that linked it.
    for (LinkedDevice& device : snapshot.linked) device.computer.reset();
    LinkedDevice self;
    self.id = host_.deviceId();
    self.name = companionName();
    self.kind = host_.deviceLabel();
    self.linkedAt = self.lastSeen = now();
    snapshot.linked.push_back(std::move(self));

    const std::filesystem::path file =
        std::filesystem::path(QDir::tempPath().toStdString()) / kSnapshotFileName;
    if (!replaceFileDurably(file, encodeSnapshot(snapshot))) return std::nullopt;
    return file;
}

// --- Seeker ------------------------------------------------------------------

void LinkController::seekLinkCode(std::string_view typed) {
    const std::string code = normalizeLinkCode(typed);
    if (code.size() != kCodeLength) {
        setStatus("Enter the 6 character code from the other Merrowfax.");
        return;
    }
    setStatus("Looking for " + code + " on this Wi-Fi…");
    dropPending();
    seek_.code = code;
    seek_.hostKey.clear();
    seek_.snapshotTaken = false;
    lan_.setCompanionLabel(companionName());
    lan_.setDevice(host_.deviceId().text());
    lan_.setSeekCode(code, computer_);
    // Without a number of its own while it looks.
    lan_.start({}, {});
    seek_.timeout.start(timings().linkSearch);
}

void LinkController::handle(const wire::events::LinkAccount& offer) {
    // The LAN link took it only from the device showing the code sought.
    if (seek_.code.empty()) return;
    VirtualNumber parts;
    parts.country.code = offer.country;
    parts.cityCode = offer.cityCode;
    parts.subscriber = offer.subscriber;
    const auto number = VirtualNumber::parse(parts.text());
    const auto hostDevice = Uuid::parse(offer.device);
    std::string name = cleanName(offer.name);
    if (!number || !hostDevice || *hostDevice == host_.deviceId()) return;
    if (name.empty()) name = number->text();

    Account account;
    account.id = Uuid::random();
    account.deviceId = host_.deviceId();
    account.displayName = name;
    account.number = *number;
    account.createdAt = now();
    account.isCompanion = true;
    account.accountKind = "personal";
    LinkedDevice hostEntry;
    hostEntry.id = *hostDevice;
    hostEntry.name = cleanName(offer.deviceName);
    if (hostEntry.name.empty()) hostEntry.name = "Device";
    hostEntry.kind = kindOf(hostEntry.name);
    hostEntry.linkedAt = hostEntry.lastSeen = account.createdAt;
    account.linkedDevices.push_back(std::move(hostEntry));

    seek_.timeout.stop();
    seek_.code.clear();
    seek_.hostKey = offer.peerKey;
    lan_.setSeekCode({}, {});
    host_.adoptAccount(account);
    setStatus("Linked as " + number->text() + ".");
    host_.connectAs(account, {}, {}, false);
    if (seek_.pending) {
        const std::filesystem::path file = *seek_.pending;
        const bool fromHost = seek_.pendingFrom == seek_.hostKey;
        seek_.pending.reset();
        if (fromHost) {
            seek_.snapshotTaken = true;
            applySnapshot(file);
        }
        removeFile(file);
    }
    lan_.sendEnvelope(wire::linkJoinedEnvelope(host_.deviceId().text(), companionName()),
                      {offer.peerKey});
}

void LinkController::handle(const wire::events::Snapshot& snapshot) {
    const std::filesystem::path file = snapshot.path;
    if (!seek_.hostKey.empty()) {
        // Linked in this run: once, from the device that handed the account.
        if (snapshot.peerKey == seek_.hostKey && !seek_.snapshotTaken) {
            seek_.snapshotTaken = true;
            applySnapshot(file);
        }
        removeFile(file);
        return;
    }
    if (!seek_.code.empty() && !host_.account()) {
        // Before the account: kept until it comes, from whichever device it comes.
        dropPending();
        seek_.pending = file;
        seek_.pendingFrom = snapshot.peerKey;
        return;
    }
    removeFile(file);
}

bool LinkController::applySnapshot(const std::filesystem::path& file) {
    const auto bytes = readSmallFile(file, kMaxSnapshotBytes);
    if (!bytes) return false;
    auto snapshot = decodeSnapshot(*bytes);
    std::optional<Account> account = host_.account();
    if (!snapshot || !account) return false;
    std::vector<LinkedDevice> linked;
    for (LinkedDevice& device : snapshot->linked) {
        if (device.id == host_.deviceId()) continue;
        device.computer.reset();
        device.name = cleanName(device.name);
        linked.push_back(std::move(device));
    }
    snapshot->linked.clear();
    host_.replaceData(std::move(*snapshot));
    account->linkedDevices = std::move(linked);
    host_.adoptAccount(std::move(account));
    return true;
}

void LinkController::dropPending() {
    if (seek_.pending) removeFile(*seek_.pending);
    seek_.pending.reset();
    seek_.pendingFrom.clear();
}

// --- Every device of the number ------------------------------------------------

void LinkController::unlinkDevice(const std::string& id) {
    const auto device = Uuid::parse(id);
    std::optional<Account> account = host_.account();
    if (!device || !account) return;
    auto& linked = account->linkedDevices;
    const auto gone = std::find_if(linked.begin(), linked.end(),
                                   [&](const LinkedDevice& d) { return d.id == *device; });
    if (gone == linked.end()) return;
    if (gone->computer) trust(*gone->computer, false);
    linked.erase(gone);
    const std::string number = account->number.text();
    host_.adoptAccount(std::move(account));
    // To the devices of this number and to the device itself.
    std::vector<std::string> keys = lan_.peers(number);
    keys.push_back(lanKeyOf(*device));
    lan_.sendEnvelope(wire::unlinkEnvelope(device->text()), keys);
}

void LinkController::handle(const wire::events::Unlink& unlink) {
    std::optional<Account> account = host_.account();
    if (!account || unlink.from != account->number.text()) return;
    auto& linked = account->linkedDevices;
    const bool fromLinked = std::any_of(linked.begin(), linked.end(), [&](const LinkedDevice& d) {
        return lanKeyOf(d.id) == unlink.peerKey;
    });
    if (!fromLinked) return;
    const auto device = Uuid::parse(unlink.device);
    if (!device) return;
    if (*device == host_.deviceId()) {
        host_.resetDevice();
        return;
    }
    const auto gone = std::find_if(linked.begin(), linked.end(),
                                   [&](const LinkedDevice& d) { return d.id == *device; });
    if (gone == linked.end()) return;
    linked.erase(gone);
    host_.adoptAccount(std::move(account));
}

void LinkController::trust(const std::string& computer, bool on) {
    if (line_.trustComputer(computer, on) || on) return;
    // A trust goes out again with every registration; an untrust must wait.
    if (std::find(untrustLater_.begin(), untrustLater_.end(), computer) == untrustLater_.end())
        untrustLater_.push_back(computer);
}

void LinkController::lineOpened() {
    std::vector<std::string> waiting = std::exchange(untrustLater_, {});
    for (const std::string& computer : waiting) trust(computer, false);
    const auto& account = host_.account();
    if (!account) return;
    for (const LinkedDevice& device : account->linkedDevices) {
        if (device.computer) line_.trustComputer(*device.computer, true);
    }
}

void LinkController::reset() {
    stopHosting();
    seek_.timeout.stop();
    seek_.code.clear();
    seek_.hostKey.clear();
    seek_.snapshotTaken = false;
    dropPending();
    lan_.setSeekCode({}, {});
    handedTo_.clear();
    untrustLater_.clear();
    setStatus({});
}

}  // namespace merrowfax
