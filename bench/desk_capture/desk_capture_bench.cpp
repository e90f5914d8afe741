// Screen sharing's sending side on a private Xvfb: capture (shared memory,
// scaling, cursor) and JPEG encoding per frame, for two screen sizes, while
// a painter changes the screen all the time. Reports the frames a second
// sustained at the share's 8 a second and flat out, the time per frame, and
// this process's CPU (the X server's copy into shared memory is its own).
#include <sys/resource.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <vector>

#include "media/desk_encoder.h"
#include "platform/x11_screen.h"
#include "support/xvfb_server.h"

using namespace merrowfax;
using Clock = std::chrono::steady_clock;

namespace {

double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval& t) {
        return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6;
    };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// Keeps changing a third of the screen: stripes of a new colour every 20 ms.
class Painter {
public:
    Painter(const std::string& display, int width, int height) {
        thread_ = std::thread([=, this] {
            xcb_connection_t* c = xcb_connect(display.c_str(), nullptr);
            xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
            const xcb_gcontext_t gc = xcb_generate_id(c);
            std::uint32_t colour = 0x123456;
            xcb_create_gc(c, gc, screen->root, XCB_GC_FOREGROUND, &colour);
            for (int round = 0; !stop_; ++round) {
                for (int y = 0; y < height; y += 16) {
                    colour =
                        static_cast<std::uint32_t>(round * 2654435761u + y * 40503u) & 0xffffff;
                    xcb_change_gc(c, gc, XCB_GC_FOREGROUND, &colour);
                    const xcb_rectangle_t r{0, static_cast<std::int16_t>(y),
                                            static_cast<std::uint16_t>(width / 3), 16};
                    xcb_poly_fill_rectangle(c, screen->root, gc, 1, &r);
                }
                std::free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
            xcb_disconnect(c);
        });
    }
    ~Painter() {
        stop_ = true;
        thread_.join();
    }

private:
    std::atomic<bool> stop_ = false;
    std::thread thread_;
};

void run(int width, int height, std::chrono::milliseconds interval, const char* pace) {
    testing::XvfbServer x(width, height);
    Painter painter(x.display(), width, height);
    X11Screen screen(x.display());
    DeskEncoder encoder;
    std::mutex lock;
    std::vector<double> encodeMs;
    std::size_t bytes = 0;
    const auto seconds = std::chrono::seconds(5);
    const double cpuBefore = cpuSeconds();
    const auto start = Clock::now();
    screen.start(interval, [&](ScreenFrame frame) {
        const auto t = Clock::now();
        const auto jpeg = encoder.encode(frame);
        std::lock_guard hold(lock);
        encodeMs.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t).count());
        if (jpeg) bytes += jpeg->size();
    });
    std::this_thread::sleep_for(seconds);
    screen.stop();
    const double wall = std::chrono::duration<double>(Clock::now() - start).count();
    const double cpu = cpuSeconds() - cpuBefore;
    std::sort(encodeMs.begin(), encodeMs.end());
    const double frames = static_cast<double>(encodeMs.size());
    const double median = encodeMs.empty() ? 0 : encodeMs[encodeMs.size() / 2];
    const QSize sent = captureSize({width, height});
    std::printf(
        "%4dx%-4d -> %4dx%-4d %-9s %5.1f frames/s  encode median %5.1f ms  "
        "JPEG %6.0f KB  CPU %5.1f %% of one core\n",
        width, height, sent.width(), sent.height(), pace, frames / wall, median,
        frames > 0 ? bytes / frames / 1024 : 0.0, 100 * cpu / wall);
}

}  // namespace

int main() {
    if (!testing::XvfbServer::available()) {
        std::fprintf(stderr, "Xvfb is missing\n");
        return 1;
    }
    for (auto [w, h] : {std::pair{1920, 1080}, std::pair{2560, 1600}}) {
        run(w, h, std::chrono::milliseconds(125), "8/s");
        run(w, h, std::chrono::milliseconds(1), "flat out");
    }
}
