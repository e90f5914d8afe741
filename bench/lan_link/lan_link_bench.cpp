// The LAN link on loopback: two PeerLinks on one event loop, found through
// the in-process discovery network, each with its own certificate. Measures
// a text's round trip (text out, "delivered" back), a 20 MB file's
// throughput, and call audio frame latency while such files are sent: a
// frame every 20 ms from a thread of its own, as a microphone sends, timed
// to its arrival on the receiver's media thread.
#include <QCoreApplication>
#include <QTemporaryDir>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "base/date.h"
#include "base/uuid.h"
#include "support/discovery_double.h"
#include "support/event_wait.h"
#include "transport/lan_identity.h"
#include "transport/peer_link.h"
#include "wire/envelope_builders.h"
#include "wire/number_statement.h"

using namespace merrowfax;
using merrowfax::testing::spinUntil;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kWarmUp = 20;
constexpr int kRoundTrips = 500;
constexpr std::size_t kFileBytes = 20'000'000;
constexpr int kFileRuns = 3;
constexpr auto kFrameEvery = std::chrono::milliseconds(20);
constexpr std::size_t kFrameBytes = 640;   // 20 ms of 16 kHz mono, 16-bit
constexpr int kIdleFrames = 100;           // before any transfer, for comparison
constexpr int kFramesUnderTransfer = 500;  // at least, sent while a file is on its way
constexpr auto kUnderTransferLimit = std::chrono::seconds(60);

std::int64_t nanosNow() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
        .count();
}

struct Stats {
    std::size_t n = 0;
    double median = 0, p99 = 0, max = 0;
};

Stats statsOf(std::vector<double> ms) {
    Stats s;
    s.n = ms.size();
    if (ms.empty()) return s;
    std::sort(ms.begin(), ms.end());
    const auto at = [&](double q) {
        return ms[std::min(ms.size() - 1,
                           static_cast<std::size_t>(q * static_cast<double>(ms.size())))];
    };
    s.median = at(0.5);
    s.p99 = at(0.99);
    s.max = ms.back();
    return s;
}

void print(const char* what, const Stats& s) {
    std::printf("%-44s n %4zu   median %7.3f ms   p99 %7.3f ms   max %7.3f ms\n", what, s.n,
                s.median, s.p99, s.max);
}

// One call audio frame: its sequence number, when it was sent, and whether a
// file was on its way then.
struct Frame {
    std::uint64_t seq = 0;
    std::int64_t sentNs = 0;
    bool underTransfer = false;
};

wire::Bytes encodeFrame(const Frame& f) {
    wire::Bytes bytes(kFrameBytes, std::byte{0});
    std::memcpy(bytes.data(), &f.seq, 8);
    std::memcpy(bytes.data() + 8, &f.sentNs, 8);
    bytes[16] = std::byte{f.underTransfer ? std::uint8_t{1} : std::uint8_t{0}};
    return bytes;
}

std::optional<Frame> decodeFrame(const wire::Bytes& bytes) {
    if (bytes.size() != kFrameBytes) return std::nullopt;
    Frame f;
    std::memcpy(&f.seq, bytes.data(), 8);
    std::memcpy(&f.sentNs, bytes.data() + 8, 8);
    f.underTransfer = bytes[16] != std::byte{0};
    return f;
}

// One side of the link and what it has received.
struct Device {
    std::string number, name;
    std::function<void(const wire::PeerEvent&)> onMain;  // what arrives on the main thread
    std::mutex framesLock;
    std::vector<std::pair<Frame, std::int64_t>> frames;  // with the arrival time
    // Last, so that it goes first: its threads call the handler until then.
    std::unique_ptr<PeerLink> link;

    // `service` vouches for the number, as the relay service would.
    Device(testing::DiscoveryNetwork& network, const std::filesystem::path& folder,
           std::string number_, std::string name_,
           const std::pair<wire::VerifyKey, wire::SigningKey>& service)
        : number(std::move(number_)), name(std::move(name_)) {
        auto identity = loadOrCreateLanIdentity(folder / (name + "-lan.pem"));
        if (!identity) std::fprintf(stderr, "%s has no LAN identity\n", name.c_str());
        const std::string fingerprint = identity ? identity->fingerprint : std::string();
        link = std::make_unique<PeerLink>(network.join(), std::move(identity));
        link->setDevice(Uuid::random().text());
        const auto unixNow = std::chrono::duration_cast<std::chrono::seconds>(
                                 std::chrono::system_clock::now().time_since_epoch())
                                 .count();
        link->setServiceKey(service.first);
        link->setStatement(wire::signStatement({number, fingerprint, unixNow - 1, unixNow + 3600},
                                               service.second));
        link->setHandler([this](wire::PeerEvent event) {
            if (auto* audio = std::get_if<wire::events::Audio>(&event)) {
                const std::int64_t at = nanosNow();
                if (auto f = decodeFrame(audio->bytes)) {
                    std::lock_guard lock(framesLock);
                    frames.emplace_back(*f, at);
                }
                return;
            }
            if (onMain) onMain(event);
        });
    }

    std::vector<std::string> keysOf(const Device& other) { return link->peers(other.number); }
};

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    const std::filesystem::path folder = dir.path().toStdString();
    auto network = testing::DiscoveryNetwork::make();
    const auto service = wire::newSigningKeys();
    Device ann(*network, folder, "0-1-234-5678", "Ann", service);
    Device ben(*network, folder, "0-2-345-6789", "Ben", service);
    ann.link->start(ann.number, ann.name);
    ben.link->start(ben.number, ben.name);

    if (!spinUntil([&] { return !ann.keysOf(ben).empty() && !ben.keysOf(ann).empty(); }, 10000)) {
        std::fprintf(stderr, "the two links did not connect\n");
        return 1;
    }
    // The spare of the two sessions each pair opens is retired, and the
    // datagram path is confirmed, within this.
    spinUntil([] { return false; }, 2000);
    const auto toBen = ann.keysOf(ben);
    const auto toAnn = ben.keysOf(ann);
    if (toBen.empty() || toAnn.empty()) {
        std::fprintf(stderr, "the session did not last\n");
        return 1;
    }
    std::printf("LAN link on loopback: two PeerLinks on one event loop (%s -> %s)\n\n",
                ann.link->ownKey().c_str(), ben.link->ownKey().c_str());

    // 1. Text round trip: Ann's text, Ben's "delivered", timed by Ann. Each
    // event is handled on its own turn of the loop, as the app does.
    {
        QObject hop;
        std::vector<double> ms;
        Uuid waiting = Uuid::random();
        Clock::time_point sentAt;
        int round = 0;
        bool failed = false;
        std::function<void()> next = [&] {
            waiting = Uuid::random();
            sentAt = Clock::now();
            if (!ann.link->sendEnvelope(
                    wire::textEnvelope(waiting, ben.number, "How long does this take?", now()),
                    toBen)) {
                failed = true;
            }
        };
        ben.onMain = [&](const wire::PeerEvent& event) {
            if (auto* text = std::get_if<wire::events::Text>(&event)) {
                QMetaObject::invokeMethod(
                    &hop,
                    [&, id = text->id, from = text->from] {
                        ben.link->sendEnvelope(wire::deliveredEnvelope(id, from), toAnn);
                    },
                    Qt::QueuedConnection);
            }
        };
        ann.onMain = [&](const wire::PeerEvent& event) {
            auto* ack = std::get_if<wire::events::Delivered>(&event);
            if (!ack || ack->id != waiting) return;
            const double took =
                std::chrono::duration<double, std::milli>(Clock::now() - sentAt).count();
            if (round++ >= kWarmUp) ms.push_back(took);
            if (round < kWarmUp + kRoundTrips)
                QMetaObject::invokeMethod(&hop, next, Qt::QueuedConnection);
        };
        next();
        const bool done =
            spinUntil([&] { return failed || round >= kWarmUp + kRoundTrips; }, 60000);
        ann.onMain = nullptr;
        ben.onMain = nullptr;
        print("text round trip (text, then \"delivered\")", statsOf(ms));
        if (!done || failed) {
            std::fprintf(stderr, "round trips stopped after %d\n", round);
            return 1;
        }
    }

    // A 20 MB file, sent until Ben's handler has it whole.
    const std::filesystem::path bigFile = folder / "twenty.bin";
    {
        std::vector<char> bytes(kFileBytes);
        std::mt19937 random(7);
        std::generate(bytes.begin(), bytes.end(), [&] { return static_cast<char>(random()); });
        std::ofstream(bigFile, std::ios::binary)
            .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }
    std::optional<Uuid> fileWaiting;
    std::optional<Clock::time_point> fileArrived;
    bool fileIntact = true;
    ben.onMain = [&](const wire::PeerEvent& event) {
        auto* file = std::get_if<wire::events::File>(&event);
        if (!file || !fileWaiting || file->id != *fileWaiting) return;
        fileArrived = Clock::now();
        std::error_code error;
        if (std::filesystem::file_size(file->url, error) != kFileBytes) fileIntact = false;
        std::filesystem::remove(file->url, error);
    };
    // Seconds to send the file, or nothing.
    const auto sendBigFile = [&]() -> std::optional<double> {
        fileWaiting = Uuid::random();
        fileArrived.reset();
        const auto start = Clock::now();
        const auto envelope = wire::lanFileEnvelope(*fileWaiting, ben.number, "twenty.bin", "file",
                                                    now(), "file-" + fileWaiting->text());
        if (!ann.link->sendFile(envelope, bigFile, toBen)) return std::nullopt;
        if (!spinUntil([&] { return fileArrived.has_value(); }, 30000)) return std::nullopt;
        return std::chrono::duration<double>(*fileArrived - start).count();
    };

    // 2. Throughput of the file alone.
    {
        std::vector<double> rates;
        for (int run = 0; run < kFileRuns; ++run) {
            const auto seconds = sendBigFile();
            if (!seconds) {
                std::fprintf(stderr, "the 20 MB file did not arrive\n");
                return 1;
            }
            rates.push_back(static_cast<double>(kFileBytes) / 1e6 / *seconds);
        }
        std::sort(rates.begin(), rates.end());
        std::printf(
            "20 MB file, %d runs                          median %7.1f MB/s   "
            "min %.1f   max %.1f%s\n",
            kFileRuns, rates[rates.size() / 2], rates.front(), rates.back(),
            fileIntact ? "" : "   (a file arrived with the wrong size)");
    }

    // 3. Call audio frames from a thread of their own, idle first, then
    // while files follow each other.
    std::atomic<bool> underTransfer = false;
    std::atomic<bool> stopFrames = false;
    std::atomic<std::uint64_t> sentIdle = 0, sentUnderTransfer = 0, refused = 0;
    std::thread microphone([&] {
        std::uint64_t seq = 0;
        auto tick = Clock::now();
        while (!stopFrames) {
            tick += kFrameEvery;
            std::this_thread::sleep_until(tick);
            Frame f{seq++, nanosNow(), underTransfer.load()};
            if (!ann.link->sendMedia(wire::FrameKind::audio, encodeFrame(f), toBen)) ++refused;
            ++(f.underTransfer ? sentUnderTransfer : sentIdle);
        }
    });
    spinUntil([&] { return sentIdle >= kIdleFrames; }, 10000);
    int transfers = 0;
    double transferSeconds = 0;
    bool transfersFailed = false;
    const auto until = Clock::now() + kUnderTransferLimit;
    while (sentUnderTransfer < kFramesUnderTransfer && Clock::now() < until) {
        underTransfer = true;
        const auto seconds = sendBigFile();
        underTransfer = false;
        if (!seconds) {
            transfersFailed = true;
            break;
        }
        ++transfers;
        transferSeconds += *seconds;
    }
    stopFrames = true;
    microphone.join();
    spinUntil([] { return false; }, 200);  // the last frames land
    ben.onMain = nullptr;

    std::vector<double> idle, loaded;
    std::uint64_t heardIdle = 0, heardUnderTransfer = 0;
    {
        std::lock_guard lock(ben.framesLock);
        for (const auto& [frame, at] : ben.frames) {
            const double ms = static_cast<double>(at - frame.sentNs) / 1e6;
            (frame.underTransfer ? loaded : idle).push_back(ms);
            ++(frame.underTransfer ? heardUnderTransfer : heardIdle);
        }
    }
    const Stats idleStats = statsOf(idle);
    const Stats loadedStats = statsOf(loaded);
    print("call audio frame, link idle", idleStats);
    print("call audio frame, 20 MB files under way", loadedStats);
    std::printf("  frames sent/heard: idle %llu/%llu, under transfer %llu/%llu; refused %llu\n",
                static_cast<unsigned long long>(sentIdle.load()),
                static_cast<unsigned long long>(heardIdle),
                static_cast<unsigned long long>(sentUnderTransfer.load()),
                static_cast<unsigned long long>(heardUnderTransfer),
                static_cast<unsigned long long>(refused.load()));
    if (transfers > 0) {
        std::printf("  %d files alongside the audio, %.1f MB/s\n", transfers,
                    static_cast<double>(kFileBytes) * transfers / 1e6 / transferSeconds);
    }
    std::printf("  p99 under transfer below 5 ms: %s\n",
                loadedStats.n > 0 && loadedStats.p99 < 5.0 ? "yes" : "NO");
    if (transfersFailed) {
        std::fprintf(stderr, "a file did not arrive while audio was sent\n");
        return 1;
    }
    ann.link->stop();
    ben.link->stop();
    return 0;
}
