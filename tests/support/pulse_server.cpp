#include "support/pulse_server.h"

#include "support/child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <numbers>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace merrowfax::testing {
namespace {

using namespace std::chrono_literals;

constexpr auto kStartTimeout = 10s;
constexpr auto kChunk = 20ms;

// The program's full path from PATH; empty when it is not there.
std::string onPath(const std::string& program) {
    const char* path = std::getenv("PATH");
    std::stringstream dirs(path ? path : "/usr/bin:/bin");
    for (std::string dir; std::getline(dirs, dir, ':');) {
        const auto candidate = std::filesystem::path(dir) / program;
        if (!dir.empty() && ::access(candidate.c_str(), X_OK) == 0) return candidate.string();
    }
    return {};
}

// This process's environment with some variables replaced or removed (an
// empty value removes), made before fork: the child only calls execve.
std::vector<std::string> environmentWith(
    const std::vector<std::pair<std::string, std::string>>& changes) {
    std::vector<std::string> out;
    for (char** e = environ; *e; ++e) {
        const std::string entry = *e;
        const bool changed = std::any_of(changes.begin(), changes.end(), [&](const auto& c) {
            return entry.rfind(c.first + "=", 0) == 0;
        });
        if (!changed) out.push_back(entry);
    }
    for (const auto& [name, value] : changes) {
        if (!value.empty()) out.push_back(name + "=" + value);
    }
    return out;
}

// Starts `args` (args[0] a full path) with `env`, stdout to `out` and stderr
// to `err` (-1: inherited).
pid_t spawn(std::vector<std::string> args, std::vector<std::string> env, int out, int err) {
    std::vector<char*> argv, envp;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);  // a test that dies takes its server along
        if (out >= 0) ::dup2(out, STDOUT_FILENO);
        if (err >= 0) ::dup2(err, STDERR_FILENO);
        ::execve(argv[0], argv.data(), envp.data());
        ::_exit(127);
    }
    return pid;
}

std::optional<std::string> swapEnv(const char* name, const std::string& value) {
    const char* old = std::getenv(name);
    std::optional<std::string> previous = old ? std::optional<std::string>(old) : std::nullopt;
    ::setenv(name, value.c_str(), 1);
    return previous;
}

void restoreEnv(const char* name, const std::optional<std::string>& previous) {
    if (previous) {
        ::setenv(name, previous->c_str(), 1);
    } else {
        ::unsetenv(name);
    }
}

}  // namespace

bool PulseServer::available() {
    return !onPath("pulseaudio").empty();
}

PulseServer::PulseServer() : PulseServer(Options{}) {}

PulseServer::PulseServer(Options options) : options_(options) {
    root_ = makeTempFolder("merrowfax-pulse-");
    std::filesystem::create_directories(root_ / "pulse");
    // The native socket comes last: once it answers, every device exists.
    std::ofstream config(root_ / "server.pa");
    for (int i = 0; i < options_.clients; ++i) {
        config << "load-module module-pipe-source source_name=" << microphoneName(i)
               << " file=" << fifo(i).string()
               << " format=s16le rate=" << options_.microphone.sampleRate
               << " channels=" << options_.microphone.channels
               << " source_properties=\"device.description='" << microphoneDescription(i)
               << "'\"\n";
        config << "load-module module-null-sink sink_name=" << speakerName(i)
               << " sink_properties=\"device.description='" << speakerDescription(i) << "'\"\n";
    }
    config << "load-module module-native-protocol-unix auth-anonymous=1 socket="
           << (root_ / "pulse" / "native").string() << "\n";
    config.close();
    ::signal(SIGPIPE, SIG_IGN);  // writes into a FIFO whose server was killed
    previousServer_ = swapEnv("PULSE_SERVER", address());
    previousCookie_ = swapEnv("PULSE_COOKIE", (root_ / "cookie").string());
    start();
}

PulseServer::~PulseServer() {
    endChild(pid_, 2s);
    restoreEnv("PULSE_SERVER", previousServer_);
    restoreEnv("PULSE_COOKIE", previousCookie_);
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
}

std::string PulseServer::address() const {
    return "unix:" + (root_ / "pulse" / "native").string();
}

std::filesystem::path PulseServer::fifo(int client) const {
    return root_ / ("mic" + std::to_string(client) + ".fifo");
}

std::string PulseServer::log() const {
    std::ifstream in(root_ / "server.log");
    std::stringstream out;
    out << in.rdbuf();
    return out.str();
}

void PulseServer::start() {
    const std::string dir = root_.string();
    const std::string logPath = (root_ / "server.log").string();
    const int logFd = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    const pid_t pid =
        spawn({onPath("pulseaudio"), "-n", "-F", (root_ / "server.pa").string(), "--daemonize=no",
               "--exit-idle-time=-1", "--disable-shm=yes", "--use-pid-file=no", "--system=no",
               "--realtime=no", "--high-priority=no", "--log-target=stderr"},
              environmentWith({{"HOME", dir},
                               {"XDG_RUNTIME_DIR", dir},
                               {"XDG_CONFIG_HOME", dir + "/config"},
                               {"PULSE_SERVER", ""}}),
              logFd, logFd);
    if (logFd >= 0) ::close(logFd);
    pid_ = pid;
    const auto deadline = std::chrono::steady_clock::now() + kStartTimeout;
    while (!socketAnswers(root_ / "pulse" / "native")) {
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            throw std::runtime_error("pulseaudio exited: " + log());
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            kill();
            throw std::runtime_error("pulseaudio did not start: " + log());
        }
        std::this_thread::sleep_for(10ms);
    }
}

void PulseServer::kill() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    waitExit(pid_, 5s);
    pid_ = -1;
}

ToneFeeder::ToneFeeder(const PulseServer& server, double hz, int client, double amplitude) {
    thread_ = std::thread([this, fifo = server.fifo(client), format = server.options().microphone,
                           hz, amplitude] { run(fifo, format, hz, amplitude); });
}

ToneFeeder::~ToneFeeder() {
    stop_ = true;
    thread_.join();
}

void ToneFeeder::run(std::filesystem::path fifo, AudioFormat format, double hz, double amplitude) {
    // The pipe source keeps its FIFO open, so this never waits for a reader.
    const int fd = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return;
    const auto frames = static_cast<std::size_t>(format.sampleRate) * kChunk.count() / 1000;
    std::vector<std::int16_t> chunk(frames * static_cast<std::size_t>(format.channels));
    const double step = 2 * std::numbers::pi * hz / format.sampleRate;
    double phase = 0;
    auto next = std::chrono::steady_clock::now();
    while (!stop_) {
        for (std::size_t f = 0; f < frames; ++f) {
            const auto value =
                static_cast<std::int16_t>(std::lround(amplitude * 32767 * std::sin(phase)));
            phase = std::fmod(phase + step, 2 * std::numbers::pi);
            for (int c = 0; c < format.channels; ++c) {
                chunk[f * static_cast<std::size_t>(format.channels) + static_cast<std::size_t>(c)] =
                    value;
            }
        }
        // A full pipe or a vanished server just loses this chunk.
        [[maybe_unused]] const ssize_t written =
            ::write(fd, chunk.data(), chunk.size() * sizeof(std::int16_t));
        next += kChunk;
        std::this_thread::sleep_until(next);
    }
    ::close(fd);
}

MonitorRecorder::MonitorRecorder(const PulseServer& server, int client) {
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    pid_t pid = -1;
    try {
        pid =
            spawn({onPath("parec"), "--server=" + server.address(),
                   "--device=" + PulseServer::speakerName(client) + ".monitor", "--format=s16le",
                   "--rate=" + std::to_string(kRate), "--channels=1", "--raw", "--latency-msec=20"},
                  environmentWith({}), out[1], -1);
    } catch (...) {
        ::close(out[0]);
        ::close(out[1]);
        throw;
    }
    ::close(out[1]);
    pid_ = pid;
    out_ = out[0];
    thread_ = std::thread([this] {
        std::int16_t buffer[1024];
        std::size_t carry = 0;  // a byte of a sample split between reads
        for (;;) {
            const ssize_t n =
                ::read(out_, reinterpret_cast<char*>(buffer) + carry, sizeof buffer - carry);
            if (n <= 0) return;
            const std::size_t bytes = carry + static_cast<std::size_t>(n);
            {
                std::lock_guard lock(mutex_);
                samples_.insert(samples_.end(), buffer, buffer + bytes / 2);
            }
            carry = bytes % 2;
            if (carry)
                reinterpret_cast<char*>(buffer)[0] = reinterpret_cast<char*>(buffer)[bytes - 1];
        }
    });
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (std::chrono::steady_clock::now() < until) {
        {
            std::lock_guard lock(mutex_);
            if (!samples_.empty()) return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

MonitorRecorder::~MonitorRecorder() {
    endChild(pid_, 2s);
    thread_.join();
    ::close(out_);
}

std::vector<std::int16_t> MonitorRecorder::samples() const {
    std::lock_guard lock(mutex_);
    return samples_;
}

}  // namespace merrowfax::testing
