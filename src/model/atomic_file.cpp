#include "model/atomic_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace merrowfax {
namespace {

StepFault ask(const WriteFaultHook& hook, WriteStep step) {
    return hook ? hook(step) : StepFault::none;
}

bool writeAll(int fd, std::string_view bytes) {
    const char* p = bytes.data();
    std::size_t left = bytes.size();
    while (left > 0) {
        // Linux writes at most about 2 GiB per call; loop on short writes.
        const ssize_t n = ::write(fd, p, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

bool syncFolder(const std::filesystem::path& folder) {
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool synced = ::fsync(fd) == 0;
    ::close(fd);
    return synced;
}

std::string temporaryPrefix(const std::filesystem::path& target) {
    return "." + target.filename().string() + ".tmp-";
}

bool replaceFileDurably(const std::filesystem::path& target, std::string_view bytes,
                        const WriteFaultHook& hook) {
    std::filesystem::path folder = target.parent_path();
    if (folder.empty()) folder = ".";
    // A unique name per save: two processes saving at once each rename a
    // complete file of their own, never one the other is still writing.
    std::string temp = (folder / (temporaryPrefix(target) + "XXXXXX")).string();

    StepFault fault = ask(hook, WriteStep::create);
    if (fault == StepFault::crash) return false;
    const int fd = fault == StepFault::fail ? -1 : ::mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0) return false;

    // A crash leaves the temporary file behind (the kernel closes it).
    auto crashed = [&] {
        ::close(fd);
        return false;
    };
    auto abandon = [&] {
        ::close(fd);
        ::unlink(temp.c_str());
        return false;
    };

    fault = ask(hook, WriteStep::write);
    if (fault == StepFault::crash) {
        // Dying mid-write leaves part of the bytes behind.
        (void)writeAll(fd, bytes.substr(0, bytes.size() / 2));
        return crashed();
    }
    if (fault == StepFault::fail || !writeAll(fd, bytes)) return abandon();

    fault = ask(hook, WriteStep::sync);
    if (fault == StepFault::crash) return crashed();
    if (fault == StepFault::fail || ::fsync(fd) != 0) return abandon();

    fault = ask(hook, WriteStep::close);
    if (fault == StepFault::crash) return crashed();
    // close can report a deferred write error (NFS); the file is then suspect.
    if (::close(fd) != 0 || fault == StepFault::fail) {
        ::unlink(temp.c_str());
        return false;
    }

    fault = ask(hook, WriteStep::rename);
    if (fault == StepFault::crash) return false;
    if (fault == StepFault::fail || std::rename(temp.c_str(), target.c_str()) != 0) {
        ::unlink(temp.c_str());
        return false;
    }

    // The new content is in place; without the folder fsync the rename may
    // not survive a power loss, so this is not reported as success.
    fault = ask(hook, WriteStep::syncFolder);
    if (fault == StepFault::crash) return false;
    return fault == StepFault::none && syncFolder(folder);
}

}  // namespace merrowfax
