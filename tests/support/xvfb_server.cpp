#include "support/xvfb_server.h"

#include <poll.h>

#include <stdexcept>
#include <vector>

#include "support/child_process.h"

namespace merrowfax::testing {
namespace {

constexpr const char* kXvfb = "/usr/bin/Xvfb";

}  // namespace

bool XvfbServer::available() {
    return ::access(kXvfb, X_OK) == 0;
}

XvfbServer::XvfbServer(int width, int height) {
    // Xvfb picks a free display and writes its number once it serves.
    int ready[2];
    if (::pipe(ready) != 0) throw std::runtime_error("pipe failed");
    const std::string fd = std::to_string(ready[1]);
    const std::string screen = std::to_string(width) + "x" + std::to_string(height) + "x24";
    std::vector<const char*> argv{kXvfb,          "-displayfd", fd.c_str(), "-screen",  "0",
                                  screen.c_str(), "-nolisten",  "tcp",      "-noreset", nullptr};
    pid_ = ::fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        ::close(ready[0]);
        ::execv(argv[0], const_cast<char* const*>(argv.data()));
        ::_exit(127);
    }
    ::close(ready[1]);
    pollfd wait{ready[0], POLLIN, 0};
    std::string number;
    char c = 0;
    while (::poll(&wait, 1, 10000) > 0 && ::read(ready[0], &c, 1) == 1 && c != '\n') number += c;
    ::close(ready[0]);
    if (number.empty()) {
        endChild(pid_, std::chrono::seconds(1));
        throw std::runtime_error("Xvfb did not start");
    }
    display_ = ":" + number;
}

XvfbServer::~XvfbServer() {
    endChild(pid_, std::chrono::seconds(2));
}

}  // namespace merrowfax::testing
