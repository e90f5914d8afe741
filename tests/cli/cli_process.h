#pragma once

#include <QProcess>
#include <QTemporaryDir>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <rapidjson/document.h>

#include "support/event_wait.h"
#include "support/relay_process.h"

namespace merrowfax::testing {

// One `merrowfax-cli run` with a data folder of its own, talking to `relay`.
class CliProcess {
public:
    using Match = std::function<bool(const rapidjson::Value& line)>;

    // Timers shortened (MERROWFAX_TIME_SCALE=0.05), or as the program has
    // them, for measurements that must not be scaled.
    enum class Pace { Shortened, Real };

    // `options` go before the command, e.g. {"--audio-input", "file:a.wav"}.
    explicit CliProcess(const RelayProcess& relay, const QStringList& options = {},
                        Pace pace = Pace::Shortened);
    ~CliProcess();

    // Writes `json` (a command object) with a fresh tag and returns its
    // reply line; a null document when none came.
    rapidjson::Document command(const std::string& json, int ms = 5000);
    // Writes a raw input line.
    void write(const std::string& line);

    // Lines from now on are what waitFor looks at.
    void mark() { mark_ = lines_.size(); }
    // The first line since the mark that matches, waiting up to `ms`.
    std::optional<rapidjson::Document> waitFor(const Match& match, int ms = 5000);
    // A change event of `property` whose value matches.
    std::optional<rapidjson::Document> waitForChange(const std::string& property,
                                                     const Match& value, int ms = 5000);
    // Closes the input and waits for the exit status.
    int closeAndWait(int ms = 10000);
    // SIGKILL and wait: the crash case.
    void kill();

    const std::vector<std::string>& lines() const { return lines_; }
    const QString& folder() const { return folderPath_; }
    qint64 pid() const { return process_.processId(); }

private:
    void readLines();

    QTemporaryDir dir_;
    QString folderPath_;
    QProcess process_;
    std::string partial_;
    std::vector<std::string> lines_;
    std::size_t mark_ = 0;
    int nextTag_ = 1;
};

}  // namespace merrowfax::testing
