#include "platform/quit_signals.h"

#include <fcntl.h>
#include <unistd.h>

#include <csignal>

namespace merrowfax {
namespace {

constexpr int kSignals[] = {SIGTERM, SIGINT, SIGHUP};
volatile std::sig_atomic_t writeEnd = -1;

// Only what is safe in a signal handler: one write to the pipe.
void onSignal(int) {
    const int fd = writeEnd;
    if (fd < 0) return;
    const char byte = 1;
    [[maybe_unused]] const auto written = ::write(fd, &byte, 1);
}

}  // namespace

QuitSignals::QuitSignals(std::function<void()> onQuit, QObject* parent)
    : QObject(parent), onQuit_(std::move(onQuit)) {
    if (::pipe2(pipe_, O_CLOEXEC | O_NONBLOCK) != 0) return;
    writeEnd = pipe_[1];
    notifier_ = std::make_unique<QSocketNotifier>(pipe_[0], QSocketNotifier::Read);
    connect(notifier_.get(), &QSocketNotifier::activated, this, [this] {
        char bytes[16];
        while (::read(pipe_[0], bytes, sizeof bytes) > 0) {
        }
        if (onQuit_) onQuit_();
    });
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signal : kSignals) ::sigaction(signal, &action, nullptr);
}

QuitSignals::~QuitSignals() {
    for (int signal : kSignals) std::signal(signal, SIG_DFL);
    writeEnd = -1;
    notifier_.reset();
    for (int fd : pipe_) {
        if (fd >= 0) ::close(fd);
    }
}

}  // namespace merrowfax
