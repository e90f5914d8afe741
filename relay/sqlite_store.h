#pragma once

#include <filesystem>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "relay/store.h"

struct sqlite3;
struct sqlite3_stmt;

namespace merrowfax::relay {

// The single-node store: one SQLite file in WAL mode with synchronous=NORMAL.
// Every statement (a quick registration decision: the whole decision) commits
// before the caller answers, so a killed process loses nothing; a power cut
// may roll back the last moments but never corrupts the file. NORMAL keeps
// fsync off the I/O threads that store books and counters. One writing
// connection behind a mutex, statements short; the directory reads on a
// second connection of its own (WAL lets it read while the writer writes).
class SqliteStore final : public Store {
public:
    explicit SqliteStore(const std::filesystem::path& file);
    ~SqliteStore() override;
    SqliteStore(const SqliteStore&) = delete;
    SqliteStore& operator=(const SqliteStore&) = delete;

    // Schema version this build migrates to, and the file's: the newest row
    // of schema_version, or PRAGMA user_version for a file older than that
    // table. A file newer than this build is refused when opened.
    static int schemaVersion();
    int storedVersion();

    void underNumberLock(const std::string& number, bool quick,
                         const std::function<void()>& decision) override;

    std::optional<NumberRecord> number(const std::string& number) override;
    void saveProfile(const Profile& profile, Seconds now) override;
    void saveProfiles(const std::vector<Profile>& profiles, Seconds now) override;
    void setPinHash(const std::string& number, const std::string& hash) override;
    void touch(const std::string& number, Seconds now) override;
    void countCall(const std::string& number, bool placed) override;

    bool isTrusted(const std::string& number, const std::string& computerTag) override;
    void trust(const std::string& number, const std::string& computerTag,
               std::int64_t now) override;
    void untrust(const std::string& number, const std::string& computerTag) override;
    bool trustBy(const std::string& number, const std::string& by, const std::string& computerTag,
                 std::size_t limit, std::int64_t now) override;
    bool untrustBy(const std::string& number, const std::string& by,
                   const std::string& computerTag) override;
    std::vector<std::string> trustedComputers(const std::string& number) override;
    std::vector<std::string> untrustAllBut(const std::string& number,
                                           const std::string& keep) override;

    void rememberComputer(const std::string& computerTag, const std::string& number) override;
    std::optional<std::string> computerNumber(const std::string& computerTag) override;
    void forgetComputer(const std::string& computerTag) override;

    std::optional<std::string> book(const std::string& number) override;
    void storeBook(const std::string& number, const std::string& json) override;

    Throttle throttle(const std::string& key) override;
    void setThrottle(const std::string& key, const Throttle& value) override;
    Throttle updateThrottle(const std::string& key,
                            const std::function<Throttle(Throttle)>& change) override;
    void pruneThrottles(std::int64_t before) override;

    std::vector<DirectoryRow> directory(const DirectoryQuery& query) override;
    // The query plan lines of every statement directory() may run for it.
    std::vector<std::string> directoryPlan(const DirectoryQuery& query);

private:
    void migrate();
    void exec(const char* sql);
    void oneStep(const std::function<void()>& body);
    sqlite3_stmt* kept(const char* sql);
    void writeThrottle(const std::string& key, const Throttle& value);

    sqlite3* db_ = nullptr;
    // Recursive: a quick decision holds it while its calls take it again.
    std::recursive_mutex lock_;
    std::unordered_map<const char*, sqlite3_stmt*> kept_;  // by the text's address
    sqlite3* reader_ = nullptr;
    std::mutex readLock_;
};

}  // namespace merrowfax::relay
