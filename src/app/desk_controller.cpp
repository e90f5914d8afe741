#include "app/desk_controller.h"

#include <QBuffer>
#include <QImageReader>

#include <utility>

#include "media/desk_encoder.h"
#include "model/atomic_file.h"
#include "platform/main_thread.h"

namespace merrowfax {
namespace {

// A received frame claiming more than this many pixels is not decoded.
constexpr qint64 kMaxFramePixels = 4096ll * 4096;

wire::Envelope deskRecord(const std::string& action) {
    wire::Envelope e;
    e.op = "desk";
    e.desk = action;
    return e;
}

// A decoded frame, or nothing for bytes that are not a JPEG of a sane size:
// the size in its header is read first, so a picture claiming 100 000 x
// 100 000 pixels is refused before any of it is allocated.
QImage decodeFrame(const wire::Bytes& bytes) {
    QByteArray data(reinterpret_cast<const char*>(bytes.data()),
                    static_cast<qsizetype>(bytes.size()));
    if (!data.startsWith("\xff\xd8")) return {};
    QBuffer buffer(&data);
    QImageReader reader(&buffer, "jpeg");
    const QSize size = reader.size();
    if (!size.isValid() || static_cast<qint64>(size.width()) * size.height() > kMaxFramePixels)
        return {};
    return reader.read();
}

}  // namespace

DeskController::DeskController(DeskHost& host, DeskDevices devices,
                               std::weak_ptr<MainThreadHop> hop, std::filesystem::path friendFile,
                               QObject* parent)
    : QObject(parent),
      host_(host),
      devices_(devices),
      hop_(std::move(hop)),
      friendFile_(std::move(friendFile)),
      input_(devices.input) {}

DeskController::~DeskController() {
    devices_.screen.stop();
    encoder_.reset();
    decoder_.reset();
}

void DeskController::sendDesk(wire::Envelope envelope, const std::string& to) {
    envelope.to = to;
    devices_.router.sendOnLine(envelope);
}

// --- Host ----------------------------------------------------------------------

void DeskController::startSharing(const std::string& to) {
    if (shareTo_ == to) return;
    if (shareTo_) stopSharing();
    shareTo_ = to;
    control_ = false;
    input_.reset();
    Q_EMIT shareChanged();
    devices_.router.setDeskTo(to);
    wire::Envelope start = deskRecord("start");
    start.control = false;
    start.name = host_.ownName().value_or("Merrowfax");
    start.device = host_.deviceLabel();
    sendDesk(std::move(start), to);

    if (!encoder_) encoder_ = std::make_unique<LatestJobWorker>();
    auto encoding = encoding_;
    LatestJobWorker* worker = encoder_.get();
    Router* router = &devices_.router;
    // start() says when there is nothing to capture.
    const bool capturing = devices_.screen.start(kFrameInterval, [=](ScreenFrame frame) {
        // Frames that come while one encodes are dropped.
        if (encoding->exchange(true)) return;
        worker->submit([=, frame = std::move(frame)] {
            thread_local DeskEncoder jpeg;
            if (auto bytes = jpeg.encode(frame)) router->queueDeskFrame(std::move(*bytes));
            *encoding = false;
        });
    });
    if (!capturing && !std::exchange(toldNoScreen_, true))
        host_.setAlert("Screen sharing needs an X11 session for now.");
    host_.sendChatText("Sharing this Mac. Control stays off until this Mac allows it.", to);
}

void DeskController::allowControl(bool allowed) {
    if (!shareTo_) return;
    control_ = allowed;
    if (!allowed) input_.reset();
    Q_EMIT shareChanged();
    wire::Envelope allow = deskRecord("allow");
    allow.control = allowed;
    sendDesk(std::move(allow), *shareTo_);
}

void DeskController::stopSharing() {
    if (shareTo_) sendDesk(deskRecord("stop"), *shareTo_);
    devices_.screen.stop();
    devices_.router.setDeskTo(std::nullopt);
    input_.reset();
    const bool changed = shareTo_.has_value() || control_;
    shareTo_.reset();
    control_ = false;
    replaceFileDurably(friendFile_, "");
    if (changed) Q_EMIT shareChanged();
}

void DeskController::injectControl(const wire::events::Desk& d) {
    if (d.action == "pointer") {
        input_.pointer(d.x, d.y, d.phase);
    } else if (d.action == "click") {
        input_.click(d.x, d.y, d.clicks);
    } else if (d.action == "scroll") {
        input_.scroll(d.x, d.y, d.dy);
    } else if (d.action == "text") {
        input_.text(d.text);
    } else if (d.action == "key") {
        input_.key(d.key);
    }
}

// --- Viewer --------------------------------------------------------------------

void DeskController::sendDeskEvent(const std::string& action, double x, double y, double dy,
                                   const std::string& phase, std::int64_t clicks) {
    if (!canControl_ || !watchFrom_) return;
    wire::Envelope e = deskRecord(action);
    e.x = x;
    e.y = y;
    e.dy = dy;
    e.phase = phase;
    e.n = clicks;
    sendDesk(std::move(e), *watchFrom_);
}

void DeskController::sendDeskTyping(const std::string& text) {
    if (!canControl_ || !watchFrom_) return;
    wire::Envelope e = deskRecord(text == "\n" ? "key" : "text");
    if (text == "\n") {
        e.key = "return";
    } else {
        e.text = text;
    }
    sendDesk(std::move(e), *watchFrom_);
}

void DeskController::stopWatching() {
    if (watchFrom_) sendDesk(deskRecord("bye"), *watchFrom_);
    clearWatching();
}

void DeskController::clearWatching() {
    ++*watchRound_;  // frames decoding now are not shown
    const bool hadImage = !image_.isNull();
    const bool changed = watchFrom_.has_value() || canControl_;
    watchFrom_.reset();
    watchName_.clear();
    hostKind_.clear();
    canControl_ = false;
    image_ = QImage();
    framesShown_ = 0;
    if (changed) Q_EMIT watchChanged();
    if (hadImage) Q_EMIT imageChanged();
}

void DeskController::handle(const wire::events::Desk& d) {
    if (host_.isBlocked(d.from)) return;
    // To the host: only from the number it shares to.
    if (shareTo_ && d.from == *shareTo_) {
        if (d.action == "bye") return stopSharing();
        if (control_) injectControl(d);
    }
    // To the viewer.
    if (d.action == "start") {
        if (watchFrom_ && *watchFrom_ != d.from) clearWatching();
        watchFrom_ = d.from;
        watchName_ = d.name;
        hostKind_ = d.device;
        canControl_ = false;
        Q_EMIT watchChanged();
    } else if (watchFrom_ && d.from == *watchFrom_) {
        if (d.action == "allow") {
            canControl_ = d.control && hostKind_ == "Mac";
            Q_EMIT watchChanged();
        } else if (d.action == "stop") {
            clearWatching();
        }
    }
}

void DeskController::handle(wire::events::DeskFrame frame) {
    if (!watchFrom_ || frame.from != *watchFrom_) return;
    if (!decoder_) decoder_ = std::make_unique<LatestJobWorker>();
    const int round = *watchRound_;
    decoder_->submit(
        [this, round, bytes = std::move(frame.bytes), rounds = watchRound_, hop = hop_] {
            QImage image = decodeFrame(bytes);
            if (image.isNull()) return;
            if (auto main = hop.lock()) {
                main->post([this, round, rounds, image = std::move(image)]() mutable {
                    if (*rounds == round) showFrame(std::move(image));
                });
            }
        });
}

void DeskController::showFrame(QImage image) {
    if (!watchFrom_) return;
    image_ = std::move(image);
    ++framesShown_;
    Q_EMIT imageChanged();
}

void DeskController::reset() {
    shareTo_.reset();  // no "stop": the account is gone
    stopSharing();
    clearWatching();
}

}  // namespace merrowfax
