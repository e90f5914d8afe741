#pragma once

#include <filesystem>
#include <stdexcept>
#include <string>

#include "support/child_process.h"

namespace merrowfax::testing {

// A private D-Bus session bus (dbus-daemon --session) in a fresh folder, for
// the life of the object. Throws std::runtime_error when it does not start.
class SessionBus {
public:
    SessionBus() : root_(makeTempFolder("merrowfax-bus-")), socket_(root_ / "bus") {
        const std::string address = "--address=unix:path=" + socket_.string();
        pid_ = ::fork();
        if (pid_ == 0) {
            ::execlp("dbus-daemon", "dbus-daemon", "--session", "--nofork", "--nopidfile",
                     address.c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
        for (int i = 0; i < 500 && !socketAnswers(socket_); ++i) {
            if (waitExit(pid_, std::chrono::milliseconds(10)))
                throw std::runtime_error("dbus-daemon --session exited; is dbus installed?");
        }
        if (!socketAnswers(socket_)) throw std::runtime_error("dbus-daemon did not start");
    }
    ~SessionBus() {
        endChild(pid_, std::chrono::seconds(2));
        std::error_code ignored;
        std::filesystem::remove_all(root_, ignored);
    }
    SessionBus(const SessionBus&) = delete;
    SessionBus& operator=(const SessionBus&) = delete;

    std::string address() const { return "unix:path=" + socket_.string(); }

private:
    std::filesystem::path root_;
    std::filesystem::path socket_;
    pid_t pid_ = -1;
};

}  // namespace merrowfax::testing
