#include "support/avahi_server.h"

#include "support/child_process.h"

#include <avahi-client/client.h>
#include <avahi-common/simple-watch.h>
#include <dbus/dbus.h>
#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

extern char** environ;

namespace merrowfax::testing {
namespace {

using namespace std::chrono_literals;

constexpr auto kStartTimeout = 10s;

std::string program(const std::string& name) {
    for (const char* dir : {"/usr/bin", "/usr/sbin", "/bin", "/sbin"}) {
        const auto path = std::filesystem::path(dir) / name;
        if (::access(path.c_str(), X_OK) == 0) return path.string();
    }
    return {};
}

std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::stringstream out;
    out << in.rdbuf();
    return out.str();
}

// Replaces the element starting with `open` up to the next `close`
// (inclusive) by `with`; false when it is not there.
bool replaceElement(std::string& text, const std::string& open, const std::string& close,
                    const std::string& with) {
    const auto start = text.find(open);
    if (start == std::string::npos) return false;
    const auto end = text.find(close, start);
    if (end == std::string::npos) return false;
    text.replace(start, end + close.size() - start, with);
    return true;
}

void replaceAll(std::string& text, const std::string& from, const std::string& to) {
    for (auto at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
}

// Without reaping it: endChild() still may signal the pid.
bool exited(pid_t pid) {
    siginfo_t info{};
    return ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
           info.si_pid == pid;
}

void fail(const char* what) {
    const char* reason = std::strerror(errno);
    [[maybe_unused]] auto n = ::write(STDERR_FILENO, what, std::strlen(what));
    n = ::write(STDERR_FILENO, ": ", 2);
    n = ::write(STDERR_FILENO, reason, std::strlen(reason));
    n = ::write(STDERR_FILENO, "\n", 1);
    ::_exit(126);
}

// In the child of fork(): only system calls until execve.
void bringUpLoopback() {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) fail("socket");
    ifreq request{};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    if (::ioctl(fd, SIOCGIFFLAGS, &request) < 0) fail("SIOCGIFFLAGS lo");
    request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP);
    if (::ioctl(fd, SIOCSIFFLAGS, &request) < 0) fail("SIOCSIFFLAGS lo");
    ::close(fd);
}

// Starts `args` (args[0] a full path) with this environment, stdout and
// stderr to `logPath`; `isolate` first moves the child into a network
// namespace of its own (loopback up) and a mount namespace with a private /run.
pid_t spawn(std::vector<std::string> args, const std::string& logPath, bool isolate) {
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const int log = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (log < 0) throw std::runtime_error("cannot write " + logPath);
    const pid_t pid = ::fork();
    if (pid < 0) {
        ::close(log);
        throw std::runtime_error("fork failed");
    }
    if (pid == 0) {
        // A test that dies takes its daemons along; they keep root for this
        // (the signal is cleared when a process changes its user).
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        ::dup2(log, STDOUT_FILENO);
        ::dup2(log, STDERR_FILENO);
        if (isolate) {
            if (::unshare(CLONE_NEWNET | CLONE_NEWNS) != 0) fail("unshare(NET|NS)");
            if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
                fail("making / private");
            if (::mount("tmpfs", "/run", "tmpfs", MS_NOSUID | MS_NODEV, "mode=0755") != 0)
                fail("mounting a tmpfs on /run");
            bringUpLoopback();
        }
        ::execve(argv[0], argv.data(), environ);
        fail(argv[0]);
    }
    ::close(log);
    return pid;
}

// Until a client of the daemon on this process's system bus runs.
bool avahiServes(pid_t daemon, std::chrono::steady_clock::time_point deadline) {
    AvahiSimplePoll* poll = avahi_simple_poll_new();
    int error = 0;
    AvahiClient* client = avahi_client_new(
        avahi_simple_poll_get(poll), AVAHI_CLIENT_NO_FAIL,
        [](AvahiClient*, AvahiClientState, void*) {}, nullptr, &error);
    bool running = false;
    while (client && !(running = avahi_client_get_state(client) == AVAHI_CLIENT_S_RUNNING)) {
        if (avahi_client_get_state(client) == AVAHI_CLIENT_FAILURE) break;
        if (exited(daemon) || std::chrono::steady_clock::now() >= deadline) break;
        avahi_simple_poll_iterate(poll, 20);
    }
    if (client) avahi_client_free(client);
    avahi_simple_poll_free(poll);
    return running;
}

}  // namespace

SystemBusAddress::SystemBusAddress(const std::string& address) {
    if (const char* old = std::getenv("DBUS_SYSTEM_BUS_ADDRESS")) previous_ = old;
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", address.c_str(), 1);
    dbus_shutdown();
}

SystemBusAddress::~SystemBusAddress() {
    if (previous_) {
        ::setenv("DBUS_SYSTEM_BUS_ADDRESS", previous_->c_str(), 1);
    } else {
        ::unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
    }
    dbus_shutdown();
}

bool AvahiServer::available() {
    return !program("dbus-daemon").empty() && !program("avahi-daemon").empty();
}

AvahiServer::AvahiServer() {
    root_ = makeTempFolder("merrowfax-avahi-");
    try {
        startBus();
        address_.emplace(busAddress());
        startAvahi();
    } catch (...) {
        endChild(avahi_, 3s);
        endChild(bus_, 3s);
        address_.reset();
        std::error_code ignored;
        std::filesystem::remove_all(root_, ignored);
        throw;
    }
}

AvahiServer::~AvahiServer() {
    endChild(avahi_, 3s);
    endChild(bus_, 3s);
    address_.reset();
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
}

std::string AvahiServer::busAddress() const {
    return "unix:path=" + (root_ / "bus").string();
}

std::string AvahiServer::log() const {
    return "dbus-daemon:\n" + readFile(root_ / "dbus.log") + "avahi-daemon:\n" +
           readFile(root_ / "avahi.log");
}

void AvahiServer::restartAvahi() {
    endChild(avahi_, 3s);
    startAvahi();
}

void AvahiServer::startBus() {
    // The system bus's own configuration, so that Avahi's policy from
    // system.d applies; listening in the folder, as this user, and with no
    // service activation (which could start daemons outside this harness).
    std::string config = readFile("/usr/share/dbus-1/system.conf");
    if (!replaceElement(config, "<listen>", "</listen>", "<listen>" + busAddress() + "</listen>")) {
        throw std::runtime_error("/usr/share/dbus-1/system.conf has no <listen>");
    }
    replaceElement(config, "<user>", "</user>", "");
    replaceElement(config, "<servicehelper>", "</servicehelper>", "");
    replaceAll(config, "<standard_system_servicedirs/>", "");
    // Relative to the configuration file, which is no longer beside it.
    replaceAll(config, "<includedir>system.d</includedir>",
               "<includedir>/usr/share/dbus-1/system.d</includedir>");
    std::ofstream(root_ / "system.conf") << config;

    bus_ = spawn({program("dbus-daemon"), "--config-file=" + (root_ / "system.conf").string(),
                  "--nofork", "--nopidfile", "--nosyslog"},
                 (root_ / "dbus.log").string(), false);
    const auto deadline = std::chrono::steady_clock::now() + kStartTimeout;
    while (!socketAnswers(root_ / "bus")) {
        if (exited(bus_)) {
            throw std::runtime_error("dbus-daemon exited: " + log());
        }
        if (std::chrono::steady_clock::now() >= deadline)
            throw std::runtime_error("dbus-daemon did not start: " + log());
        std::this_thread::sleep_for(10ms);
    }
}

void AvahiServer::startAvahi() {
    std::ofstream(root_ / "avahi-daemon.conf") << "[server]\n"
                                                  "allow-interfaces=lo\n"
                                                  "use-ipv4=yes\n"
                                                  "use-ipv6=no\n"
                                                  "enable-dbus=yes\n"
                                                  "[wide-area]\n"
                                                  "enable-wide-area=no\n"
                                                  "[publish]\n"
                                                  "[reflector]\n"
                                                  "enable-reflector=no\n"
                                                  "[rlimits]\n";
    avahi_ = spawn({program("avahi-daemon"), "--no-drop-root", "--no-chroot", "--no-rlimits",
                    "--no-proc-title", "-f", (root_ / "avahi-daemon.conf").string()},
                   (root_ / "avahi.log").string(), true);
    if (!avahiServes(avahi_, std::chrono::steady_clock::now() + kStartTimeout)) {
        const bool gone = exited(avahi_);
        endChild(avahi_, 3s);
        throw std::runtime_error(std::string("avahi-daemon ") +
                                 (gone ? "exited: " : "did not start: ") + log());
    }
}

}  // namespace merrowfax::testing
