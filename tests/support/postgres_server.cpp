#include "support/postgres_server.h"

#include "support/child_process.h"

#include <fcntl.h>
#include <grp.h>
#include <libpq-fe.h>
#include <pwd.h>
#include <sys/prctl.h>

#include <algorithm>
#include <fstream>
#include <memory>
#include <sstream>
#include <vector>

namespace merrowfax::testing {
namespace {

using namespace std::chrono_literals;

constexpr auto kStartTimeout = 30s;

// The newest installed server's programs (Debian keeps them per version).
std::filesystem::path binaries() {
    std::vector<std::filesystem::path> found;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator("/usr/lib/postgresql", ec))
        if (std::filesystem::exists(entry.path() / "bin" / "postgres")) found.push_back(entry);
    if (found.empty())
        throw std::runtime_error(
            "no PostgreSQL server in /usr/lib/postgresql: run scripts/install-deps");
    std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) {
        return std::stoi(a.filename()) < std::stoi(b.filename());
    });
    return found.back() / "bin";
}

// The account the server runs as: `postgres` under root, else ourselves.
const passwd* serverUser() {
    if (::geteuid() != 0) return nullptr;
    const passwd* user = ::getpwnam("postgres");
    if (!user) throw std::runtime_error("running as root, but there is no postgres user");
    return user;
}

// Starts `args` as the server's user, output appended to `logPath`. The
// user changes here rather than through runuser, so the server is our own
// child and dies with this process however it ends (the death signal is
// set after the change, which would clear it).
pid_t spawn(std::vector<std::string> args, const std::filesystem::path& logPath) {
    const passwd* user = serverUser();
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const int log = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (log < 0) throw std::runtime_error("cannot write " + logPath.string());
    const pid_t pid = ::fork();
    if (pid < 0) {
        ::close(log);
        throw std::runtime_error("fork failed");
    }
    if (pid == 0) {
        ::dup2(log, STDOUT_FILENO);
        ::dup2(log, STDERR_FILENO);
        if (user && (::setgroups(0, nullptr) != 0 || ::setgid(user->pw_gid) != 0 ||
                     ::setuid(user->pw_uid) != 0))
            ::_exit(126);
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(log);
    return pid;
}

std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::stringstream out;
    out << in.rdbuf();
    return out.str();
}

}  // namespace

PostgresServer::PostgresServer() {
    root_ = makeTempFolder("merrowfax-pg-");
    try {
        const passwd* user = serverUser();
        if (user && ::chown(root_.c_str(), user->pw_uid, user->pw_gid) != 0)
            throw std::runtime_error("cannot give " + root_.string() + " to postgres");
        const auto bin = binaries();
        const pid_t init =
            spawn({(bin / "initdb").string(), "-D", (root_ / "data").string(), "-U", "postgres",
                   "-A", "trust", "-E", "UTF8", "--locale=C", "--no-sync", "--no-instructions"},
                  root_ / "initdb.log");
        int status = 0;
        if (::waitpid(init, &status, 0) != init || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
            throw std::runtime_error("initdb failed: " + readFile(root_ / "initdb.log"));
        start();
    } catch (...) {
        std::error_code ignored;
        std::filesystem::remove_all(root_, ignored);
        throw;
    }
}

PostgresServer::~PostgresServer() {
    stop();
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
}

PostgresServer& PostgresServer::shared() {
    static PostgresServer server;
    return server;
}

std::string PostgresServer::conninfo(const std::string& database) const {
    return "host=" + root_.string() + " dbname=" + database + " user=postgres";
}

std::string PostgresServer::createDatabase() {
    const std::string name = "t" + std::to_string(++databases_);
    query(conninfo(), "CREATE DATABASE " + name);
    return conninfo(name);
}

std::string PostgresServer::query(const std::string& conninfo, const std::string& sql) {
    std::unique_ptr<PGconn, decltype(&PQfinish)> c(PQconnectdb(conninfo.c_str()), PQfinish);
    if (PQstatus(c.get()) != CONNECTION_OK)
        throw std::runtime_error("cannot connect to the test cluster: " +
                                 std::string(PQerrorMessage(c.get())));
    std::unique_ptr<PGresult, decltype(&PQclear)> r(PQexec(c.get(), sql.c_str()), PQclear);
    const auto status = PQresultStatus(r.get());
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK)
        throw std::runtime_error(sql + ": " + PQresultErrorMessage(r.get()));
    return PQntuples(r.get()) > 0 ? PQgetvalue(r.get(), 0, 0) : "";
}

void PostgresServer::start() {
    pid_ = spawn(
        {(binaries() / "postgres").string(), "-D", (root_ / "data").string(), "-k", root_.string(),
         "-c", "listen_addresses=", "-c", "fsync=off", "-c", "synchronous_commit=off", "-c",
         "full_page_writes=off", "-c", "shared_buffers=16MB", "-c", "max_connections=60"},
        root_ / "server.log");
    const auto deadline = std::chrono::steady_clock::now() + kStartTimeout;
    while (PQping(conninfo().c_str()) != PQPING_OK) {
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            throw std::runtime_error("postgres exited: " + log());
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            stop();
            throw std::runtime_error("postgres did not start: " + log());
        }
        std::this_thread::sleep_for(20ms);
    }
}

void PostgresServer::stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGINT);  // fast shutdown: sessions are ended, not waited for
    if (!waitExit(pid_, 30s)) {
        ::kill(pid_, SIGKILL);
        waitExit(pid_, 5s);
    }
    pid_ = -1;
}

std::string PostgresServer::log() const {
    return readFile(root_ / "server.log");
}

}  // namespace merrowfax::testing
