#include "platform/x11_screen.h"

#include <sys/ipc.h>
#include <sys/shm.h>
#include <xcb/damage.h>
#include <xcb/randr.h>
#include <xcb/shm.h>
#include <xcb/xcb.h>
#include <xcb/xfixes.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <tuple>
#include <utility>

namespace merrowfax {
namespace {

template <typename T>
struct FreeReply {
    void operator()(T* reply) const { std::free(reply); }
};
template <typename T>
using Reply = std::unique_ptr<T, FreeReply<T>>;

const char* displayName(const std::string& display) {
    return display.empty() ? nullptr : display.c_str();
}

xcb_screen_t* firstScreen(xcb_connection_t* c, int number) {
    xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(c));
    for (int i = 0; it.rem > 0 && i < number; ++i) xcb_screen_next(&it);
    return it.rem > 0 ? it.data : nullptr;
}

QRect monitorOf(xcb_connection_t* c, xcb_screen_t* screen) {
    const QRect whole(0, 0, screen->width_in_pixels, screen->height_in_pixels);
    const Reply<xcb_randr_get_output_primary_reply_t> primary(xcb_randr_get_output_primary_reply(
        c, xcb_randr_get_output_primary(c, screen->root), nullptr));
    if (!primary || primary->output == XCB_NONE) return whole;
    const Reply<xcb_randr_get_output_info_reply_t> output(xcb_randr_get_output_info_reply(
        c, xcb_randr_get_output_info(c, primary->output, XCB_CURRENT_TIME), nullptr));
    if (!output || output->crtc == XCB_NONE) return whole;
    const Reply<xcb_randr_get_crtc_info_reply_t> crtc(xcb_randr_get_crtc_info_reply(
        c, xcb_randr_get_crtc_info(c, output->crtc, XCB_CURRENT_TIME), nullptr));
    if (!crtc || crtc->width == 0 || crtc->height == 0) return whole;
    return QRect(crtc->x, crtc->y, crtc->width, crtc->height).intersected(whole);
}

// Blends the cursor (premultiplied ARGB) into the frame at its place on the
// monitor, scaled as the frame is.
void drawCursor(const xcb_xfixes_get_cursor_image_reply_t& cursor, const QRect& monitor,
                ScreenFrame& frame) {
    const std::uint32_t* pixels = xcb_xfixes_get_cursor_image_cursor_image(&cursor);
    const double scale = static_cast<double>(frame.width) / monitor.width();
    const double left = (cursor.x - cursor.xhot - monitor.x()) * scale;
    const double top = (cursor.y - cursor.yhot - monitor.y()) * scale;
    const int width = static_cast<int>(std::ceil(cursor.width * scale));
    const int height = static_cast<int>(std::ceil(cursor.height * scale));
    for (int dy = 0; dy < height; ++dy) {
        const int y = static_cast<int>(top) + dy;
        const int sy = std::min(static_cast<int>(dy / scale), cursor.height - 1);
        if (y < 0 || y >= frame.height) continue;
        for (int dx = 0; dx < width; ++dx) {
            const int x = static_cast<int>(left) + dx;
            const int sx = std::min(static_cast<int>(dx / scale), cursor.width - 1);
            if (x < 0 || x >= frame.width) continue;
            const std::uint32_t p = pixels[sy * cursor.width + sx];
            const int alpha = static_cast<int>(p >> 24);
            if (alpha == 0) continue;
            std::uint8_t* out = frame.bgrx.data() + static_cast<std::size_t>(y) * frame.stride() +
                                static_cast<std::size_t>(x) * 4;
            for (int k = 0; k < 3; ++k) {
                const int over = static_cast<int>((p >> (8 * k)) & 0xff);
                out[k] =
                    static_cast<std::uint8_t>(std::min(255, over + out[k] * (255 - alpha) / 255));
            }
        }
    }
}

}  // namespace

std::optional<QRect> primaryMonitor(const std::string& display) {
    int number = 0;
    xcb_connection_t* c = xcb_connect(displayName(display), &number);
    std::optional<QRect> out;
    if (!xcb_connection_has_error(c)) {
        if (xcb_screen_t* screen = firstScreen(c, number)) out = monitorOf(c, screen);
    }
    xcb_disconnect(c);
    return out;
}

// One connection to the server with what capture needs: the monitor, a
// shared-memory segment of its size, and a damage record of the root window.
class X11Screen::Session {
public:
    explicit Session(const std::string& display) {
        int number = 0;
        c_ = xcb_connect(displayName(display), &number);
        if (xcb_connection_has_error(c_)) return;
        screen_ = firstScreen(c_, number);
        if (!screen_ || screen_->root_depth < 24) return;
        const Reply<xcb_shm_query_version_reply_t> shm(
            xcb_shm_query_version_reply(c_, xcb_shm_query_version(c_), nullptr));
        const Reply<xcb_xfixes_query_version_reply_t> fixes(
            xcb_xfixes_query_version_reply(c_, xcb_xfixes_query_version(c_, 4, 0), nullptr));
        const Reply<xcb_damage_query_version_reply_t> damage(
            xcb_damage_query_version_reply(c_, xcb_damage_query_version(c_, 1, 1), nullptr));
        const xcb_query_extension_reply_t* damageExt = xcb_get_extension_data(c_, &xcb_damage_id);
        if (!shm || !fixes || !damage || !damageExt || !damageExt->present) return;
        damageEvent_ = damageExt->first_event + XCB_DAMAGE_NOTIFY;
        monitor_ = monitorOf(c_, screen_);

        const std::size_t bytes =
            static_cast<std::size_t>(monitor_.width()) * monitor_.height() * 4;
        shmId_ = shmget(IPC_PRIVATE, bytes, IPC_CREAT | 0600);
        if (shmId_ < 0) return;
        void* at = shmat(shmId_, nullptr, 0);
        if (at == reinterpret_cast<void*>(-1)) return;
        memory_ = static_cast<std::uint8_t*>(at);
        segment_ = xcb_generate_id(c_);
        xcb_shm_attach(c_, segment_, static_cast<std::uint32_t>(shmId_), 0);
        damage_ = xcb_generate_id(c_);
        xcb_damage_create(c_, damage_, screen_->root, XCB_DAMAGE_REPORT_LEVEL_NON_EMPTY);
        // Once the server holds the segment it may be marked for removal.
        free(xcb_get_input_focus_reply(c_, xcb_get_input_focus(c_), nullptr));
        shmctl(shmId_, IPC_RMID, nullptr);
        ready_ = !xcb_connection_has_error(c_);
    }
    ~Session() {
        if (memory_) shmdt(memory_);
        if (shmId_ >= 0) shmctl(shmId_, IPC_RMID, nullptr);
        xcb_disconnect(c_);
    }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    bool ready() const { return ready_; }
    const QRect& monitor() const { return monitor_; }
    bool broken() const { return xcb_connection_has_error(c_) != 0; }

    // Whether the screen changed since the last call: damage reported, or
    // the cursor moved or changed shape.
    bool changed(Reply<xcb_xfixes_get_cursor_image_reply_t>& cursor) {
        bool damaged = false;
        while (xcb_generic_event_t* event = xcb_poll_for_event(c_)) {
            if ((event->response_type & 0x7f) == damageEvent_) damaged = true;
            std::free(event);
        }
        if (damaged) xcb_damage_subtract(c_, damage_, XCB_NONE, XCB_NONE);
        cursor.reset(
            xcb_xfixes_get_cursor_image_reply(c_, xcb_xfixes_get_cursor_image(c_), nullptr));
        bool moved = false;
        if (cursor) {
            const auto now = std::tuple(cursor->x, cursor->y, cursor->cursor_serial);
            moved = now != lastCursor_;
            lastCursor_ = now;
        }
        const bool first = std::exchange(first_, false);
        return first || damaged || moved;
    }

    // The monitor as it is now, in the shared segment; null on failure.
    const std::uint8_t* grab() {
        const Reply<xcb_shm_get_image_reply_t> image(xcb_shm_get_image_reply(
            c_,
            xcb_shm_get_image(c_, screen_->root, static_cast<std::int16_t>(monitor_.x()),
                              static_cast<std::int16_t>(monitor_.y()),
                              static_cast<std::uint16_t>(monitor_.width()),
                              static_cast<std::uint16_t>(monitor_.height()), ~0u,
                              XCB_IMAGE_FORMAT_Z_PIXMAP, segment_, 0),
            nullptr));
        return image ? memory_ : nullptr;
    }

private:
    xcb_connection_t* c_ = nullptr;
    xcb_screen_t* screen_ = nullptr;
    QRect monitor_;
    int shmId_ = -1;
    std::uint8_t* memory_ = nullptr;
    xcb_shm_seg_t segment_ = 0;
    xcb_damage_damage_t damage_ = 0;
    std::uint8_t damageEvent_ = 0;
    std::tuple<std::int16_t, std::int16_t, std::uint32_t> lastCursor_{-1, -1, 0};
    bool first_ = true;
    bool ready_ = false;
};

X11Screen::X11Screen(std::string display) : display_(std::move(display)) {}

X11Screen::~X11Screen() {
    stop();
}

bool X11Screen::available() const {
    return Session(display_).ready();
}

QSize X11Screen::size() const {
    const auto monitor = primaryMonitor(display_);
    return monitor ? monitor->size() : QSize();
}

bool X11Screen::start(std::chrono::milliseconds interval, OnFrame onFrame) {
    stop();
    auto session = std::make_unique<Session>(display_);
    if (!session->ready()) return false;
    {
        std::lock_guard lock(mutex_);
        stopping_ = false;
    }
    thread_ = std::thread(&X11Screen::run, this, std::move(session), interval, std::move(onFrame));
    return true;
}

void X11Screen::stop() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
}

void X11Screen::run(std::unique_ptr<Session> session, std::chrono::milliseconds interval,
                    OnFrame onFrame) {
    const QRect monitor = session->monitor();
    const QSize size = captureSize(monitor.size());
    auto next = std::chrono::steady_clock::now();
    while (true) {
        {
            std::unique_lock lock(mutex_);
            if (wake_.wait_until(lock, next, [this] { return stopping_; })) return;
        }
        next += interval;
        next = std::max(next, std::chrono::steady_clock::now());
        if (session->broken()) return;
        Reply<xcb_xfixes_get_cursor_image_reply_t> cursor;
        if (!session->changed(cursor)) continue;
        const std::uint8_t* pixels = session->grab();
        if (!pixels) continue;
        ScreenFrame frame;
        frame.width = size.width();
        frame.height = size.height();
        frame.bgrx.resize(frame.stride() * static_cast<std::size_t>(frame.height));
        scaleInto(pixels, monitor.width(), monitor.height(),
                  static_cast<std::size_t>(monitor.width()) * 4, frame);
        if (cursor) drawCursor(*cursor, monitor, frame);
        onFrame(std::move(frame));
    }
}

}  // namespace merrowfax
