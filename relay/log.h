#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

namespace merrowfax::relay {

enum class Level { info, warning, error };

struct LogField {
    std::string_view key;
    std::string_view value;
};

// One event, one logfmt line: `level=info event=listening addr=127.0.0.1:8088`.
// Never give it a query string, a PIN or a computer id: values are written
// as they are (quoted and escaped when needed, so one event stays one line).
void logEvent(Level level, std::string_view event, std::initializer_list<LogField> fields = {});

// Events go to `path` (appended to), or to stderr when it is empty. Throws
// std::runtime_error when the file cannot be opened.
void openLog(const std::string& path);

// Opens the log file again, for a rotation that moved it away. On failure the
// old file stays in use and `error` says why; without a file, nothing to do.
bool reopenLog(std::string& error);

// The line as written, newline included. Its own time stamp first, or for
// the journal (which stamps lines itself) an sd-daemon priority prefix.
std::string formatEvent(Level level, std::string_view event, std::initializer_list<LogField> fields,
                        bool journal, std::string_view time);

}  // namespace merrowfax::relay
