#include "support/nats_server.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

#include "support/child_process.h"

namespace merrowfax::testing {
namespace {

constexpr auto kStartTimeout = std::chrono::seconds(10);
constexpr std::string_view kListening = "Listening for client connections on ";
constexpr std::string_view kMonitor = "Starting http monitor on ";

// The port of "... on 127.0.0.1:PORT" after `at`.
unsigned short portAfter(const std::string& text, std::size_t at) {
    const auto colon = text.find(':', text.find("127.0.0.1", at));
    return static_cast<unsigned short>(std::atoi(text.c_str() + colon + 1));
}

}  // namespace

std::filesystem::path NatsServer::binary() {
    for (const char* path : {"/usr/sbin/nats-server", "/usr/local/bin/nats-server"})
        if (::access(path, X_OK) == 0) return path;
    return "/usr/sbin/nats-server";  // Debian's
}

NatsServer::NatsServer() : root_(makeTempFolder("merrowfax-nats-")) {
    try {
        launch(-1);  // the server picks a free port; later starts reuse it
    } catch (...) {
        std::error_code ignored;
        std::filesystem::remove_all(root_, ignored);
        throw;
    }
}

NatsServer::~NatsServer() {
    stop();
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
}

std::string NatsServer::url() const {
    return "nats://127.0.0.1:" + std::to_string(port_);
}

std::string NatsServer::log() const {
    std::ifstream in(root_ / "nats.log");
    std::stringstream out;
    out << in.rdbuf();
    return out.str();
}

void NatsServer::start() {
    if (!running()) launch(port_);
}

void NatsServer::stop() {
    if (!running()) return;
    ::kill(pid_, SIGKILL);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
}

// Loopback only; payloads as large as the relay's largest record (2 MB)
// with room for the envelope between nodes.
void NatsServer::launch(int port) {
    const auto bin = binary();
    if (::access(bin.c_str(), X_OK) != 0)
        throw std::runtime_error("nats-server not found (" + bin.string() +
                                 "): scripts/install-deps installs it");
    const auto conf = root_ / "nats.conf";
    {
        std::ofstream out(conf);
        out << "host: 127.0.0.1\nport: " << port << "\nhttp: \"127.0.0.1:-1\"\n"
            << "max_payload: 4MB\n";
    }
    const auto logPath = root_ / "nats.log";
    const std::size_t logged = log().size();  // what earlier runs left
    std::vector<std::string> args = {bin.string(), "-c", conf.string()};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        const int fd = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        if (fd >= 0) {
            ::dup2(fd, STDOUT_FILENO);
            ::dup2(fd, STDERR_FILENO);
        }
        // A server started again mid-test must not hold the test's client
        // sockets open: the relays would never see those clients leave.
        ::close_range(3, ~0U, 0);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    pid_ = pid;
    const auto deadline = std::chrono::steady_clock::now() + kStartTimeout;
    while (std::chrono::steady_clock::now() < deadline) {
        const std::string text = log().substr(std::min(logged, log().size()));
        const auto at = text.find(kListening);
        const auto monitor = text.find(kMonitor);
        if (at != std::string::npos && monitor != std::string::npos &&
            text.find("Server is ready", at) != std::string::npos) {
            port_ = portAfter(text, at);
            monitorPort_ = portAfter(text, monitor);
            return;
        }
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    stop();
    throw std::runtime_error("nats-server did not start: " + log().substr(logged));
}

}  // namespace merrowfax::testing
