#pragma once

#include <atomic>
#include <cstddef>
#include <filesystem>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <thread>

#include "model/atomic_file.h"
#include "model/records.h"

namespace merrowfax {

// The user's data on disk: `db.json` and the attachments folder `Files`, both
// in one folder (the application passes $XDG_DATA_HOME/Merrowfax). Used from
// one thread. Errors are not reported beyond a result: the caller keeps its
// state in memory and the next save tries again.
//
// A message is stored by appending one line to the journal beside db.json
// (model/journal.h) and syncing it, in time that does not grow with the
// database. foldInBackground() rewrites db.json from time to time and empties
// the journal; db.json keeps the format other readers know, and a fold writes
// exactly what save() writes for the same state. The order of a fold makes a
// crash between any two steps lose nothing and apply nothing twice:
//   1. encode the state; append a marker with the document's hash; sync;
//   2. (worker thread) replace db.json durably;
//   3. replace the journal with the changes appended since the marker.
// Load replays the changes after the last marker that names the db.json on
// disk, or all of them when none does (the crash came before step 2 landed).
class Store {
public:
    // Creates the folder and its parents when missing (a failure shows later
    // as failed saves).
    explicit Store(std::filesystem::path folder);
    // Waits for a fold under way; does not fold (the owner calls save()).
    ~Store();
    Store(const Store&) = delete;
    Store& operator=(const Store&) = delete;

    const std::filesystem::path& folder() const { return folder_; }
    std::filesystem::path databasePath() const { return folder_ / "db.json"; }
    std::filesystem::path journalPath() const { return folder_ / "db.journal"; }

    // The stored database with the journal's changes applied, or
    // StoredDatabase::fresh() when db.json is missing or cannot be read or
    // decoded (the journal is then ignored, and emptied by the next save).
    // Such a file is left where it is; the next save moves it aside to
    // "db.json.unreadable-<UUID>" rather than destroying what may be the
    // user's only copy of their data. A torn end of the journal is cut off.
    // Temporary files that crashed saves left behind over an hour ago are
    // removed.
    StoredDatabase load();

    // load() as the application starts: `channelId`, `lockScreenTalk` and
    // `walkieContactsOnly` are always set in the result (a new random channel,
    // true, and true for a new installation but false for a file written
    // before the switch existed). When the file had no `channelId` the result
    // is saved at once, so the new id persists.
    StoredDatabase loadAtStartup();

    // Rewrites db.json whole, atomically and durably, and empties the
    // journal: a crash at any moment leaves the old or the new state. Waits
    // for a fold under way first. True when it is on disk.
    bool save(const StoredDatabase& database);

    // Stores one message of `thread` (added or changed; the thread's own
    // messages are not read) with the directory names learned with it, as
    // they now stand in memory: durable when this returns true. False when
    // the journal cannot take it (no db.json on disk yet, a write error);
    // the caller then saves whole.
    bool saveMessage(const ChatThread& thread, const Message& message,
                     const Directory& learned = {});
    // The same in two steps, so that one sync covers many messages: the
    // line is written now, and durable once syncJournal() returns true.
    bool appendMessage(const ChatThread& thread, const Message& message,
                       const Directory& learned = {});
    bool syncJournal();

    // Starts folding the journal into db.json on a worker thread when it
    // holds changes (or the last whole save failed) and no fold runs. The
    // encoding happens here, on the caller's thread, which owns `database`.
    void foldInBackground(const StoredDatabase& database);
    // Waits for the fold under way, if any.
    void waitForFold();
    // The journal holds changes db.json lacks.
    bool hasUnfoldedChanges() const;

    // Folder/Files, created on each call when missing (failure ignored).
    std::filesystem::path filesFolder() const;

    // Stores attachment bytes under a new name: a random upper-case UUID,
    // plus "." and the picked name's extension when it has one ("IMG_1.JPG"
    // becomes "<UUID>.JPG") that is usable: at most 32 bytes and without
    // control characters. The stored name, or nothing when the write fails.
    std::optional<std::string> storeFile(std::span<const std::byte> bytes, std::string_view named);

    // Full path of a stored attachment (Message::attachmentPath). Nothing for
    // a name that is not a plain file name ("", "..", "a/b"): records from
    // other devices must not point outside the attachments folder.
    std::optional<std::filesystem::path> attachmentFile(std::string_view storedName) const;

    // Tests only: asked before each step of every write, the journal's
    // appends and syncs included.
    void setFaultHook(WriteFaultHook hook) { hook_ = std::move(hook); }

private:
    void removeStaleTemporaries() const;
    void replayJournal(StoredDatabase& database, std::uint64_t databaseHash);
    // With mutex_ held.
    bool appendLocked(std::string_view line, bool sync = true);
    bool syncLocked();
    bool openJournalLocked();
    void resetJournalLocked(std::string_view keep, std::size_t keptChanges);

    std::filesystem::path folder_;
    std::string buffer_;          // encoded document, kept to reuse its capacity
    bool setAsideFirst_ = false;  // db.json exists but did not load
    bool baseOnDisk_ = false;     // db.json holds what the journal builds on
    bool wholeSaveFailed_ = false;
    WriteFaultHook hook_;

    // The journal, shared with the fold worker.
    mutable std::mutex mutex_;
    int journalFd_ = -1;
    bool journalBroken_ = false;    // a write failed part way: append no more
    bool unsynced_ = false;         // lines written but not synced yet
    std::size_t journalBytes_ = 0;  // on disk, intact
    std::size_t unfolded_ = 0;      // changes db.json lacks
    bool folding_ = false;          // a marker is written, the worker runs
    std::string sinceMarker_;       // lines appended since the fold's marker
    std::size_t changesSinceMarker_ = 0;
    std::thread worker_;
    std::atomic<bool> workerDone_{false};
};

// The extension of a picked file name as storeFile uses it: after the last
// "." of the last path component; none for "name", "name." and ".hidden".
std::string_view fileExtension(std::string_view name);

}  // namespace merrowfax
