#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>

namespace merrowfax::testing {

// A throw-away PostgreSQL cluster: initdb in a fresh temporary folder, the
// server listening only on a Unix socket in that folder (no TCP at all), its
// durability switched off for speed. When the tests run as root it runs as
// the `postgres` user (the server refuses root), which then owns the folder.
// Throws std::runtime_error, with the server's log, when it does not start.
class PostgresServer {
public:
    PostgresServer();
    ~PostgresServer();  // fast shutdown, then the folder goes
    PostgresServer(const PostgresServer&) = delete;
    PostgresServer& operator=(const PostgresServer&) = delete;

    // The cluster of this test process, started by the first caller; tests
    // sharing it each take a database of their own.
    static PostgresServer& shared();

    std::string conninfo(const std::string& database = "postgres") const;
    // A new empty database; its connection string.
    std::string createDatabase();
    // Runs `sql` on the database; the first column of its first row, if any.
    static std::string query(const std::string& conninfo, const std::string& sql);

    void stop();   // fast shutdown (SIGINT); the data stays
    void start();  // again on the same data, once it accepts connections
    std::string log() const;

private:
    std::filesystem::path root_;
    pid_t pid_ = -1;
    int databases_ = 0;
};

}  // namespace merrowfax::testing
