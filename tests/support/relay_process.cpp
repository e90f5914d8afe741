#include "support/relay_process.h"

#include "support/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace merrowfax::testing {
namespace {

constexpr auto kStartTimeout = std::chrono::seconds(10);

// Waits for the child to exit; true with its status when it did in time.
bool waitExit(pid_t pid, std::chrono::milliseconds timeout, int& status) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const pid_t r = ::waitpid(pid, &status, WNOHANG);
        if (r == pid) return true;
        if (r < 0) return false;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

}  // namespace

std::filesystem::path RelayProcess::defaultBinary() {
#ifdef MERROWFAX_RELAY_BINARY
    return MERROWFAX_RELAY_BINARY;
#else
    const char* env = std::getenv("MERROWFAX_RELAY_BINARY");
    return env ? env : "merrowfax-relay";
#endif
}

RelayProcess::RelayProcess() : RelayProcess(Options{}) {}

RelayProcess::RelayProcess(Options options) : options_(std::move(options)) {
    root_ = makeTempFolder("merrowfax-relay-");
    dataDir_ = root_ / "data";
    logFile_ = root_ / "relay.log";
    start();
}

RelayProcess::~RelayProcess() {
    if (running()) stop(std::chrono::seconds(5));
    if (running()) kill();
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
}

std::string RelayProcess::wsUrl(const std::string& target) const {
    return "ws://127.0.0.1:" + std::to_string(port_) + target;
}

std::string RelayProcess::log() const {
    std::ifstream in(logFile_);
    std::stringstream out;
    out << in.rdbuf();
    return out.str();
}

void RelayProcess::start(unsigned short port) {
    if (!std::filesystem::exists(options_.binary))
        throw std::runtime_error("relay binary not found: " + options_.binary.string());
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    std::vector<std::string> args = {options_.binary.string(), "--listen",
                                     "127.0.0.1:" + std::to_string(port), "--data",
                                     dataDir_.string()};
    if (options_.fastHash) args.push_back("--fast-hash");
    if (!options_.limitNewNumbers) {
        args.push_back("--new-numbers-per-hour");
        args.push_back("0");
    }
    args.insert(args.end(), options_.args.begin(), options_.args.end());
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const std::string logPath = logFile_.string();

    const pid_t pid = ::fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        ::dup2(out[1], STDOUT_FILENO);
        const int log = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        if (log >= 0) ::dup2(log, STDERR_FILENO);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(out[1]);
    pid_ = pid;

    // The first line on stdout is "listening on 127.0.0.1:PORT".
    std::string line;
    const auto deadline = std::chrono::steady_clock::now() + kStartTimeout;
    while (line.find('\n') == std::string::npos) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd p{out[0], POLLIN, 0};
        if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
        char buffer[256];
        const ssize_t n = ::read(out[0], buffer, sizeof buffer);
        if (n <= 0) break;
        line.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(out[0]);
    const auto colon = line.rfind(':');
    if (line.rfind("listening on ", 0) != 0 || colon == std::string::npos) {
        kill();
        throw std::runtime_error("merrowfax-relay did not start: " + log());
    }
    port_ = static_cast<unsigned short>(std::stoi(line.substr(colon + 1)));
}

bool RelayProcess::stop(std::chrono::milliseconds grace) {
    if (!running()) return true;
    ::kill(pid_, SIGTERM);
    int status = 0;
    if (!waitExit(pid_, grace, status)) return false;
    pid_ = -1;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void RelayProcess::kill() {
    if (!running()) return;
    ::kill(pid_, SIGKILL);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
}

void RelayProcess::restart(bool samePort) {
    const unsigned short previous = port_;
    if (running()) stop();
    start(samePort ? previous : 0);
}

}  // namespace merrowfax::testing
