#pragma once

#include <sys/types.h>

#include <string>

namespace merrowfax::testing {

// A private X server (Xvfb) of one screen at the size asked for, on a free
// display number; gone with the object. Throws std::runtime_error when it
// does not start.
class XvfbServer {
public:
    static bool available();  // Xvfb is installed

    XvfbServer(int width, int height);
    ~XvfbServer();
    XvfbServer(const XvfbServer&) = delete;
    XvfbServer& operator=(const XvfbServer&) = delete;

    // ":N", for DISPLAY or the backends' display argument.
    const std::string& display() const { return display_; }

private:
    pid_t pid_ = -1;
    std::string display_;
};

}  // namespace merrowfax::testing
