#include "model/store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <system_error>

#include "model/journal.h"
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

// Whether a picked name's extension can end a stored name. A real one is a
// few letters; a long one could push the name past what the file system
// takes (255 bytes, fewer on some), and a control character has no place in
// a name (a NUL would even cut it short on its way to the system).
bool usableExtension(std::string_view extension) {
    constexpr std::size_t kLongest = 32;
    if (extension.empty() || extension.size() > kLongest) return false;
    for (const char c : extension) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return false;
    }
    return true;
}

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

Store::~Store() {
    waitForFold();
    if (journalFd_ >= 0) ::close(journalFd_);
}

StoredDatabase Store::load() {
    waitForFold();
    removeStaleTemporaries();
    const auto path = databasePath();
    std::optional<StoredDatabase> decoded;
    std::uint64_t hash = 0;
    if (auto bytes = readWholeFile(path)) {
        hash = contentHash(*bytes);
        decoded = decodeDatabaseInPlace(*bytes);
    }
    if (decoded) {
        setAsideFirst_ = false;
        baseOnDisk_ = true;
        replayJournal(*decoded, hash);
        return std::move(*decoded);
    }
    struct stat info {};
    setAsideFirst_ = ::lstat(path.c_str(), &info) == 0;
    baseOnDisk_ = false;
    // Changes to a document that is gone mean nothing now; the next save
    // empties the journal.
    std::lock_guard lock(mutex_);
    std::error_code error;
    const auto size = std::filesystem::file_size(journalPath(), error);
    journalBytes_ = error ? 0 : static_cast<std::size_t>(size);
    unfolded_ = 0;
    return StoredDatabase::fresh();
}

void Store::replayJournal(StoredDatabase& database, std::uint64_t databaseHash) {
    std::lock_guard lock(mutex_);
    if (journalFd_ >= 0) ::close(journalFd_);
    journalFd_ = -1;
    journalBroken_ = false;
    journalBytes_ = 0;
    unfolded_ = 0;
    const auto bytes = readWholeFile(journalPath());
    if (!bytes) return;
    const JournalContents journal = parseJournal(*bytes);
    for (const SyncSnapshot* change : changesToReplay(journal, databaseHash)) {
        applyChange(database, *change);
        ++unfolded_;
    }
    journalBytes_ = journal.validBytes;
    if (journal.validBytes < bytes->size()) {
        // Cut the torn end off, or lines appended after it would be lost too.
        if (!openJournalLocked() ||
            ::ftruncate(journalFd_, static_cast<off_t>(journal.validBytes)) != 0 ||
            ::fdatasync(journalFd_) != 0) {
            journalBroken_ = true;
        }
    }
}

StoredDatabase Store::loadAtStartup() {
    StoredDatabase db = load();
    if (!db.lockScreenTalk) db.lockScreenTalk = true;
    // A new installation hears walkie talks from its contacts only; a file
    // from before the switch keeps hearing everyone, as its user knew it.
    if (!db.walkieContactsOnly) db.walkieContactsOnly = !baseOnDisk_;
    if (!db.channelId) {
        db.channelId = Uuid::random();
        save(db);
    }
    return db;
}

bool Store::save(const StoredDatabase& database) {
    waitForFold();
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
    std::lock_guard lock(mutex_);
    // The marker tells a load after a crash that the new document supersedes
    // the journal. Without it (a broken journal) a replay could apply changes
    // twice, which leaves the same messages (see applyChange).
    if (journalBytes_ > 0 && !journalBroken_)
        (void)appendLocked(journalMarkerLine(contentHash(buffer_)));
    if (!replaceFileDurably(path, buffer_, hook_)) {
        wholeSaveFailed_ = true;
        return false;
    }
    wholeSaveFailed_ = false;
    baseOnDisk_ = true;
    if (journalBytes_ > 0 || journalBroken_) resetJournalLocked({}, 0);
    return true;
}

bool Store::saveMessage(const ChatThread& thread, const Message& message,
                        const Directory& learned) {
    return appendMessage(thread, message, learned) && syncJournal();
}

bool Store::appendMessage(const ChatThread& thread, const Message& message,
                          const Directory& learned) {
    SyncSnapshot change;
    change.threads.push_back(
        ChatThread{thread.id, thread.title, {message}, thread.updatedAt, thread.unread});
    change.directory = learned;
    const std::string line = journalChangeLine(change);
    std::lock_guard lock(mutex_);
    if (!baseOnDisk_ || journalBroken_) return false;
    if (!appendLocked(line, false)) return false;
    ++unfolded_;
    if (folding_) {
        sinceMarker_ += line;
        ++changesSinceMarker_;
    }
    return true;
}

bool Store::syncJournal() {
    std::lock_guard lock(mutex_);
    return syncLocked();
}

void Store::foldInBackground(const StoredDatabase& database) {
    if (worker_.joinable()) {
        if (!workerDone_) return;
        worker_.join();
    }
    {
        std::lock_guard lock(mutex_);
        if (unfolded_ == 0 && !wholeSaveFailed_ && !journalBroken_) return;
    }
    if (setAsideFirst_ || !baseOnDisk_ || journalBroken_) {
        save(database);
        return;
    }
    std::string bytes;
    bytes.reserve(buffer_.capacity());
    encodeDatabase(database, bytes);
    {
        std::lock_guard lock(mutex_);
        if (!appendLocked(journalMarkerLine(contentHash(bytes)))) return;
        folding_ = true;
        sinceMarker_.clear();
        changesSinceMarker_ = 0;
    }
    workerDone_ = false;
    worker_ = std::thread([this, bytes = std::move(bytes), hook = hook_] {
        const bool written = replaceFileDurably(databasePath(), bytes, hook);
        std::lock_guard lock(mutex_);
        if (written) {
            wholeSaveFailed_ = false;
            resetJournalLocked(sinceMarker_, changesSinceMarker_);
        }
        folding_ = false;
        sinceMarker_.clear();
        changesSinceMarker_ = 0;
        workerDone_ = true;
    });
}

void Store::waitForFold() {
    if (worker_.joinable()) worker_.join();
}

bool Store::hasUnfoldedChanges() const {
    std::lock_guard lock(mutex_);
    return unfolded_ > 0;
}

bool Store::openJournalLocked() {
    if (journalFd_ >= 0) return true;
    const auto path = journalPath();
    journalFd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    // The file's name must survive a power loss as well as its lines.
    if (journalFd_ >= 0 && syncFolder(folder_)) return true;
    if (journalFd_ >= 0) ::close(journalFd_);
    journalFd_ = -1;
    return false;
}

bool Store::appendLocked(std::string_view line, bool sync) {
    if (journalBroken_) return false;
    if (!openJournalLocked()) return false;
    std::size_t done = 0;
    const bool refused = hook_ && hook_(WriteStep::journalAppend) != StepFault::none;
    while (!refused && done < line.size()) {
        const ssize_t n = ::write(journalFd_, line.data() + done, line.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    if (done == line.size()) {
        journalBytes_ += line.size();
        unsynced_ = true;
        return !sync || syncLocked();
    }
    // Whatever part reached the file is a torn line: later lines after it
    // would not be read back. Only a whole save clears this.
    journalBroken_ = true;
    return false;
}

bool Store::syncLocked() {
    if (journalBroken_) return false;
    if (!unsynced_) return true;
    // A descriptor reopened after a failed journal replacement syncs the
    // same file: the sync is of the file, not of the descriptor.
    const bool refused = hook_ && hook_(WriteStep::journalSync) != StepFault::none;
    if (refused || !openJournalLocked() || ::fdatasync(journalFd_) != 0) {
        // What the kernel failed to write back is lost to the file for good.
        journalBroken_ = true;
        return false;
    }
    unsynced_ = false;
    return true;
}

void Store::resetJournalLocked(std::string_view keep, std::size_t keptChanges) {
    const bool replaced = replaceFileDurably(journalPath(), keep, hook_);
    // Reopen in any case: after a rename that landed, the old descriptor
    // points at a file nobody reads any more.
    if (journalFd_ >= 0) ::close(journalFd_);
    journalFd_ = -1;
    if (replaced) {
        // The new file holds only synced bytes.
        unsynced_ = false;
        journalBroken_ = false;
        journalBytes_ = keep.size();
        unfolded_ = keptChanges;
    }
    // When the replacement failed the old journal, marker included, still
    // says what db.json lacks; unfolded_ stays set, so the next fold retries.
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
    // An unusable extension is dropped rather than losing the file.
    if (usableExtension(extension)) {
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
    const std::string journalPrefix = temporaryPrefix(journalPath());
    stale(folder_, [&](const std::string& name) {
        return name.starts_with(prefix) || name.starts_with(journalPrefix);
    });
    stale(folder_ / "Files", [](const std::string& name) {
        return name.starts_with('.') && name.find(".tmp-") != std::string::npos;
    });
}

}  // namespace merrowfax
