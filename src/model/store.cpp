#include "model/store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <system_error>

#include "model/json_tape.h"
#include "model/record_json.h"

namespace merrowfax {
namespace {

// The whole file, or nothing when it cannot be opened or read.
std::optional<std::string> readWholeFile(const std::filesystem::path& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    std::string bytes;
    struct stat info {};
    if (::fstat(fd, &info) == 0 && info.st_size > 0) {
        // Room for the decoder's padding, so it need not copy the document.
        bytes.reserve(static_cast<std::size_t>(info.st_size) + json::kTapePadding);
        bytes.resize(static_cast<std::size_t>(info.st_size));
    }
    std::size_t used = 0;
    for (;;) {
        ssize_t n;
        if (used < bytes.size()) {
            n = ::read(fd, bytes.data() + used, bytes.size() - used);
        } else {
            // Past the size fstat gave: the file grew, or has no size (a pipe).
            char more[16384];
            n = ::read(fd, more, sizeof more);
            if (n > 0) bytes.append(more, static_cast<std::size_t>(n));
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            ::close(fd);
            return std::nullopt;
        }
        if (n == 0) break;
        used += static_cast<std::size_t>(n);
    }
    ::close(fd);
    bytes.resize(used);
    return bytes;
}

// Temporary files older than this are leftovers of a crash, not another
// process's save in progress.
constexpr auto kStaleAfter = std::chrono::hours(1);

}  // namespace

StoredDatabase StoredDatabase::fresh() {
    StoredDatabase db;
    db.deviceId = Uuid::random();
    return db;
}

std::string_view fileExtension(std::string_view name) {
    while (!name.empty() && name.back() == '/') name.remove_suffix(1);
    if (auto slash = name.rfind('/'); slash != std::string_view::npos)
        name.remove_prefix(slash + 1);
    const auto dot = name.rfind('.');
    if (dot == std::string_view::npos || dot == 0) return {};
    return name.substr(dot + 1);
}

Store::Store(std::filesystem::path folder) : folder_(std::move(folder)) {
    std::error_code ignored;
    std::filesystem::create_directories(folder_, ignored);
}

StoredDatabase Store::load() {
    removeStaleTemporaries();
    const auto path = databasePath();
    std::optional<StoredDatabase> decoded;
    if (auto bytes = readWholeFile(path)) decoded = decodeDatabaseInPlace(*bytes);
    if (decoded) {
        setAsideFirst_ = false;
        return std::move(*decoded);
    }
    struct stat info {};
    setAsideFirst_ = ::lstat(path.c_str(), &info) == 0;
    return StoredDatabase::fresh();
}

StoredDatabase Store::loadAtStartup() {
    StoredDatabase db = load();
    if (!db.lockScreenTalk) db.lockScreenTalk = true;
    if (!db.channelId) {
        db.channelId = Uuid::random();
        save(db);
    }
    return db;
}

bool Store::save(const StoredDatabase& database) {
    encodeDatabase(database, buffer_);
    const auto path = databasePath();
    if (setAsideFirst_) {
        // Keep the file that did not load; a crash before the new one lands
        // gives a fresh start, exactly what that file gave.
        const auto aside = folder_ / ("db.json.unreadable-" + Uuid::random().text());
        if (std::rename(path.c_str(), aside.c_str()) == 0 || errno == ENOENT) {
            setAsideFirst_ = false;
        }
    }
    return replaceFileDurably(path, buffer_, hook_);
}

std::filesystem::path Store::filesFolder() const {
    auto files = folder_ / "Files";
    std::error_code ignored;
    std::filesystem::create_directories(files, ignored);
    return files;
}

std::optional<std::string> Store::storeFile(std::span<const std::byte> bytes,
                                            std::string_view named) {
    std::string name = Uuid::random().text();
    const std::string_view extension = fileExtension(named);
    // A NUL would cut the name short on its way to the system; such an
    // extension is dropped rather than losing the file.
    if (!extension.empty() && extension.find('\0') == std::string_view::npos) {
        name += '.';
        name += extension;
    }
    const std::string_view content(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    if (!replaceFileDurably(filesFolder() / name, content, hook_)) return std::nullopt;
    return name;
}

std::optional<std::filesystem::path> Store::attachmentFile(std::string_view storedName) const {
    if (storedName.empty() || storedName == "." || storedName == ".." ||
        storedName.find_first_of(std::string_view("/\0", 2)) != std::string_view::npos) {
        return std::nullopt;
    }
    return filesFolder() / storedName;
}

void Store::removeStaleTemporaries() const {
    // Temporary files of db.json, and of attachments: stored names never
    // start with ".", temporary ones always do.
    const std::string prefix = temporaryPrefix(databasePath());
    auto stale = [&](const std::filesystem::path& folder, auto isTemporary) {
        const auto now = std::filesystem::file_time_type::clock::now();
        std::error_code error;
        for (auto it = std::filesystem::directory_iterator(folder, error);
             !error && it != std::filesystem::directory_iterator(); it.increment(error)) {
            if (!isTemporary(it->path().filename().string())) continue;
            std::error_code ignored;
            const auto written = std::filesystem::last_write_time(it->path(), ignored);
            if (!ignored && now - written > kStaleAfter)
                std::filesystem::remove(it->path(), ignored);
        }
    };
    stale(folder_, [&](const std::string& name) { return name.rfind(prefix, 0) == 0; });
    stale(folder_ / "Files", [](const std::string& name) {
        return name.starts_with('.') && name.find(".tmp-") != std::string::npos;
    });
}

}  // namespace merrowfax
