#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "model/atomic_file.h"
#include "model/records.h"

namespace merrowfax {

// The user's data on disk: `db.json` and the attachments folder `Files`, both
// in one folder (the application passes $XDG_DATA_HOME/Merrowfax). Used from
// one thread. Errors are not reported beyond a result: the caller keeps its
// state in memory and the next save tries again.
class Store {
public:
    // Creates the folder and its parents when missing (a failure shows later
    // as failed saves).
    explicit Store(std::filesystem::path folder);

    const std::filesystem::path& folder() const { return folder_; }
    std::filesystem::path databasePath() const { return folder_ / "db.json"; }

    // The stored database, or StoredDatabase::fresh() when db.json is missing
    // or cannot be read or decoded. Such a file is left where it is; the next
    // save moves it aside to "db.json.unreadable-<UUID>" rather than
    // destroying what may be the user's only copy of their data. Temporary
    // files that crashed saves left behind over an hour ago are removed.
    StoredDatabase load();

    // load() as the application starts: `channelId` and `lockScreenTalk` are
    // always set in the result (a new random channel, true). When the file had
    // no `channelId` the result is saved at once, so the new id persists.
    StoredDatabase loadAtStartup();

    // Rewrites db.json whole, atomically and durably: a crash at any moment
    // leaves the old or the new document. True when it is on disk.
    bool save(const StoredDatabase& database);

    // Folder/Files, created on each call when missing (failure ignored).
    std::filesystem::path filesFolder() const;

    // Stores attachment bytes under a new name: a random upper-case UUID,
    // plus "." and the picked name's extension when it has one ("IMG_1.JPG"
    // becomes "<UUID>.JPG"). The stored name, or nothing when the write fails.
    std::optional<std::string> storeFile(std::span<const std::byte> bytes, std::string_view named);

    // Full path of a stored attachment (Message::attachmentPath). Nothing for
    // a name that is not a plain file name ("", "..", "a/b"): records from
    // other devices must not point outside the attachments folder.
    std::optional<std::filesystem::path> attachmentFile(std::string_view storedName) const;

    // Tests only: asked before each step of every write.
    void setFaultHook(WriteFaultHook hook) { hook_ = std::move(hook); }

private:
    void removeStaleTemporaries() const;

    std::filesystem::path folder_;
    std::string buffer_;          // encoded document, kept to reuse its capacity
    bool setAsideFirst_ = false;  // db.json exists but did not load
    WriteFaultHook hook_;
};

// The extension of a picked file name as storeFile uses it: after the last
// "." of the last path component; none for "name", "name." and ".hidden".
std::string_view fileExtension(std::string_view name);

}  // namespace merrowfax
