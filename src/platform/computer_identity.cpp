#include "platform/computer_identity.h"

#include "platform/paths.h"

#include <QStandardPaths>
#include <QString>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>

#include "base/uuid.h"

namespace merrowfax {
namespace {

constexpr const char* kPrefix = "mac-";

std::optional<std::string> readIdentity(const std::filesystem::path& file) {
    std::ifstream in(file);
    std::string text;
    if (!in || !std::getline(in, text)) return std::nullopt;
    if (text.rfind(kPrefix, 0) != 0 || !Uuid::parse(text.substr(4))) return std::nullopt;
    return text;
}

// Writes the identity with mode 0600 from the start; O_EXCL makes two first
// starts at once agree on the file that won.
bool writeIdentity(const std::filesystem::path& file, const std::string& identity) {
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    const std::string line = identity + "\n";
    const bool ok = ::write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size()) &&
                    ::fsync(fd) == 0;
    ::close(fd);
    if (!ok) std::filesystem::remove(file);
    return ok;
}

}  // namespace

std::string computerIdentityIn(const std::filesystem::path& folder) {
    const auto file = folder / "computer-id";
    if (auto existing = readIdentity(file)) return *existing;
    std::error_code ignored;
    std::filesystem::create_directories(folder, ignored);
    const std::string fresh = kPrefix + Uuid::random().text();
    if (std::filesystem::exists(file, ignored)) {
        // Unreadable or damaged: replace it rather than register with nothing.
        std::filesystem::remove(file, ignored);
    }
    if (writeIdentity(file, fresh)) return fresh;
    if (auto raced = readIdentity(file)) return *raced;
    return fresh;  // not kept: the next start makes another
}

std::string computerIdentity() {
    return computerIdentityIn(configFolder());
}

}  // namespace merrowfax
