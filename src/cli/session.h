#pragma once

#include <QObject>
#include <QSocketNotifier>

#include <filesystem>
#include <memory>
#include <string>

#include "app/app_model.h"
#include "cli/session_commands.h"
#include "platform/quit_signals.h"
#include "transport/internet_line.h"
#include "transport/peer_link.h"

namespace merrowfax::cli {

class Reply;

// One AppModel without a window, driven by JSON command lines. Every change
// of a published property is printed as an event line, every alert too.
class Session : public QObject {
    Q_OBJECT

public:
    explicit Session(const Installation& installation);
    ~Session() override;

    AppModel& model() { return *model_; }
    InternetLine& line() { return *line_; }
    const PeerLink* lan() const { return lan_; }
    PeerLink* lan() { return lan_; }
    DirectoryLookup& directory() { return model_->directoryLookup(); }

    // Prints change events from now on.
    void reportChanges();
    // Reads command lines from standard input until its end or "quit".
    void readCommands();
    // Handles one command line; its reply may come later.
    void handleLine(std::string_view line);
    // No more commands: finishes once every reply is out.
    void endInput();
    // Hangs up a call under way, saves and leaves the event loop with
    // `status`.
    void finish(int status = 0);

private:
    void readInput();

    InternetLine* line_ = nullptr;
    PeerLink* lan_ = nullptr;  // null with --no-lan
    std::unique_ptr<AppModel> model_;
    std::unique_ptr<QSocketNotifier> input_;
    std::unique_ptr<QuitSignals> quitSignals_;
    std::string pending_;        // input not yet ended by a newline
    bool skippingLong_ = false;  // inside a line too long to take
    int unanswered_ = 0;         // commands whose reply is still to come
    bool inputEnded_ = false;
    bool finished_ = false;
};

}  // namespace merrowfax::cli
