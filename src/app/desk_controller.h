#pragma once

#include <QImage>
#include <QObject>

#include <atomic>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "app/router.h"
#include "media/desk_input.h"
#include "media/latest_job_worker.h"
#include "platform/input_injector.h"
#include "platform/screen_source.h"
#include "wire/peer_event.h"

namespace merrowfax {

class MainThreadHop;

// What screen sharing asks of the rest of the program.
class DeskHost {
public:
    virtual std::optional<std::string> ownName() const = 0;
    virtual bool isBlocked(const std::string& number) const = 0;
    // "iPhone", "iPad" or "Mac".
    virtual const std::string& deviceLabel() const = 0;
    // Sends a text to `to` as the user would, into both chats.
    virtual void sendChatText(const std::string& text, const std::string& to) = 0;
    virtual void setAlert(std::string text) = 0;

protected:
    ~DeskHost() = default;
};

// What sharing drives. All of it outlives the controller.
struct DeskDevices {
    Router& router;
    ScreenSource& screen;
    InputInjector& input;
};

// Screen sharing, both sides. As host it captures the main display at most
// 8 times a second, encodes each frame on a worker (dropping what comes
// while one encodes) and hands it to the router, which keeps only the
// newest; the viewer's control events become input only while this device
// shares to that number and allows control. As viewer it shows the newest
// frame of the number it watches, decoded on a worker, and sends control
// events while the host allows control. Records travel on the internet line
// only. The model owns it and publishes it as `desk`.
class DeskController : public QObject {
    Q_OBJECT
    Q_PROPERTY(std::optional<std::string> deskShareTo READ deskShareTo NOTIFY shareChanged)
    Q_PROPERTY(bool deskControl READ deskControl NOTIFY shareChanged)
    Q_PROPERTY(std::optional<std::string> deskWatchFrom READ deskWatchFrom NOTIFY watchChanged)
    Q_PROPERTY(std::string deskWatchName READ deskWatchName NOTIFY watchChanged)
    Q_PROPERTY(std::string deskHostKind READ deskHostKind NOTIFY watchChanged)
    Q_PROPERTY(bool deskCanControl READ deskCanControl NOTIFY watchChanged)
    Q_PROPERTY(QImage deskImage READ deskImage NOTIFY imageChanged)

public:
    static constexpr std::chrono::milliseconds kFrameInterval{125};  // 8 frames a second

    // `friendFile` is cleared whenever a share stops.
    DeskController(DeskHost& host, DeskDevices devices, std::weak_ptr<MainThreadHop> hop,
                   std::filesystem::path friendFile, QObject* parent = nullptr);
    ~DeskController() override;

    const std::optional<std::string>& deskShareTo() const { return shareTo_; }
    bool deskControl() const { return control_; }
    const std::optional<std::string>& deskWatchFrom() const { return watchFrom_; }
    const std::string& deskWatchName() const { return watchName_; }
    const std::string& deskHostKind() const { return hostKind_; }
    bool deskCanControl() const { return canControl_; }
    const QImage& deskImage() const { return image_; }
    int framesShown() const { return framesShown_; }

    // Host.
    void startSharing(const std::string& to);
    void allowControl(bool allowed);
    void stopSharing();
    // Viewer.
    void sendDeskEvent(const std::string& action, double x, double y, double dy,
                       const std::string& phase, std::int64_t clicks);
    void sendDeskTyping(const std::string& text);
    void stopWatching();

    void handle(const wire::events::Desk& desk);
    void handle(wire::events::DeskFrame frame);
    // The account left: both sides end without a word.
    void reset();

Q_SIGNALS:
    void shareChanged();
    void watchChanged();
    void imageChanged();

private:
    void sendDesk(wire::Envelope envelope, const std::string& to);
    void injectControl(const wire::events::Desk& desk);
    void clearWatching();
    void showFrame(QImage image);

    DeskHost& host_;
    DeskDevices devices_;
    std::weak_ptr<MainThreadHop> hop_;
    const std::filesystem::path friendFile_;
    DeskInput input_;
    std::optional<std::string> shareTo_;
    bool control_ = false;
    bool toldNoScreen_ = false;
    std::optional<std::string> watchFrom_;
    std::string watchName_, hostKind_;
    bool canControl_ = false;
    QImage image_;
    int framesShown_ = 0;
    // Frames come on the capture thread; one encodes at a time.
    std::shared_ptr<std::atomic<bool>> encoding_ = std::make_shared<std::atomic<bool>>(false);
    std::unique_ptr<LatestJobWorker> encoder_;
    std::unique_ptr<LatestJobWorker> decoder_;
    std::shared_ptr<std::atomic<int>> watchRound_ = std::make_shared<std::atomic<int>>(0);
};

}  // namespace merrowfax
