#pragma once

#include <QRect>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "platform/screen_source.h"

namespace merrowfax {

// The primary monitor of an X server: XRandR's primary output, else the
// whole root window. Nothing when the server cannot be reached.
std::optional<QRect> primaryMonitor(const std::string& display = {});

// Screen capture from an X server through xcb, on a thread of its own: the
// primary monitor read through shared memory (MIT-SHM), scaled to its
// capture size, with the cursor (XFixes) drawn in. A frame goes out only
// when the screen was damaged (XDamage) or the cursor moved since the last.
// A server without these extensions, or with other than 32-bit pixels, is
// not available.
class X11Screen final : public ScreenSource {
public:
    // `display` as in $DISPLAY; empty: $DISPLAY itself.
    explicit X11Screen(std::string display = {});
    ~X11Screen() override;
    X11Screen(const X11Screen&) = delete;
    X11Screen& operator=(const X11Screen&) = delete;

    bool available() const override;
    QSize size() const override;
    bool start(std::chrono::milliseconds interval, OnFrame onFrame) override;
    void stop() override;

private:
    class Session;
    void run(std::unique_ptr<Session> session, std::chrono::milliseconds interval, OnFrame onFrame);

    const std::string display_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace merrowfax
