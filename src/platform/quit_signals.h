#pragma once

#include <QObject>
#include <QSocketNotifier>

#include <functional>
#include <memory>

namespace merrowfax {

// SIGTERM, SIGINT and SIGHUP close the program as the user would: each
// becomes a call of `onQuit` on the thread that made this object (its event
// loop must run). One at a time per process; while it lives the signals no
// longer end the process by themselves.
class QuitSignals final : public QObject {
public:
    explicit QuitSignals(std::function<void()> onQuit, QObject* parent = nullptr);
    ~QuitSignals() override;
    QuitSignals(const QuitSignals&) = delete;
    QuitSignals& operator=(const QuitSignals&) = delete;

private:
    std::function<void()> onQuit_;
    int pipe_[2] = {-1, -1};
    std::unique_ptr<QSocketNotifier> notifier_;
};

}  // namespace merrowfax
