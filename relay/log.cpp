#include "relay/log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <stdexcept>

namespace merrowfax::relay {
namespace {

// systemd connects stderr to the journal and names that stream in
// JOURNAL_STREAM ("device:inode"); a redirected stderr keeps the variable but
// is another file, so the two are compared.
bool stderrIsJournal() {
    const char* stream = std::getenv("JOURNAL_STREAM");
    struct stat st {};
    unsigned long long device = 0;
    unsigned long long inode = 0;
    if (!stream || ::fstat(STDERR_FILENO, &st) != 0 ||
        std::sscanf(stream, "%llu:%llu", &device, &inode) != 2)
        return false;
    return device == st.st_dev && inode == st.st_ino;
}

struct Sink {
    std::mutex lock;
    int fd = STDERR_FILENO;
    std::string path;
    bool journal = stderrIsJournal();
};

Sink& sink() {
    static Sink instance;
    return instance;
}

int openAppend(const std::string& path) {
    return ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0640);
}

bool needsQuotes(std::string_view value) {
    if (value.empty()) return true;
    for (const unsigned char c : value)
        if (c <= ' ' || c == '"' || c == '=' || c == '\\' || c == 0x7f) return true;
    return false;
}

void appendValue(std::string& out, std::string_view value) {
    if (!needsQuotes(value)) {
        out.append(value);
        return;
    }
    out.push_back('"');
    for (const unsigned char c : value) {
        switch (c) {
            case '"':
                out.append("\\\"");
                break;
            case '\\':
                out.append("\\\\");
                break;
            case '\n':
                out.append("\\n");
                break;
            case '\r':
                out.append("\\r");
                break;
            case '\t':
                out.append("\\t");
                break;
            default:
                if (c < ' ' || c == 0x7f) {
                    char escaped[8];
                    std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
                    out.append(escaped);
                } else {
                    out.push_back(static_cast<char>(c));
                }
        }
    }
    out.push_back('"');
}

std::string utcNow() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto millis =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
        1000;
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char stamp[40];
    const std::size_t n = std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S", &utc);
    std::snprintf(stamp + n, sizeof stamp - n, ".%03dZ", static_cast<int>(millis));
    return stamp;
}

void writeAll(int fd, const std::string& line) {
    std::size_t done = 0;
    while (done < line.size()) {
        const ssize_t n = ::write(fd, line.data() + done, line.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;  // nowhere left to say it
        done += static_cast<std::size_t>(n);
    }
}

}  // namespace

std::string formatEvent(Level level, std::string_view event, std::initializer_list<LogField> fields,
                        bool journal, std::string_view time) {
    const char* name = level == Level::info ? "info" : level == Level::warning ? "warn" : "error";
    std::string out;
    out.reserve(96);
    if (journal) {
        // sd-daemon priorities: 6 info, 4 warning, 3 error.
        out.append(level == Level::info ? "<6>" : level == Level::warning ? "<4>" : "<3>");
    } else {
        out.append("time=").append(time).push_back(' ');
    }
    out.append("level=").append(name).append(" event=");
    appendValue(out, event);
    for (const auto& field : fields) {
        out.push_back(' ');
        out.append(field.key).push_back('=');
        appendValue(out, field.value);
    }
    out.push_back('\n');
    return out;
}

void logEvent(Level level, std::string_view event, std::initializer_list<LogField> fields) {
    Sink& s = sink();
    const std::string line =
        formatEvent(level, event, fields, s.journal, s.journal ? "" : utcNow());
    std::lock_guard guard(s.lock);
    writeAll(s.fd, line);
}

void openLog(const std::string& path) {
    Sink& s = sink();
    std::lock_guard guard(s.lock);
    if (path.empty()) return;
    const int fd = openAppend(path);
    if (fd < 0)
        throw std::runtime_error("cannot open log file " + path + ": " + std::strerror(errno));
    if (s.fd != STDERR_FILENO) ::close(s.fd);
    s.fd = fd;
    s.path = path;
    s.journal = false;
}

bool reopenLog(std::string& error) {
    Sink& s = sink();
    std::lock_guard guard(s.lock);
    if (s.path.empty()) return true;
    const int fd = openAppend(s.path);
    if (fd < 0) {
        error = std::strerror(errno);
        return false;
    }
    ::close(s.fd);
    s.fd = fd;
    return true;
}

}  // namespace merrowfax::relay
