#pragma once

#include <filesystem>
#include <functional>
#include <string_view>

// Whole-file replacement that survives a crash or power loss at any moment:
// afterwards the file holds either its old or its new content, never a mix.
namespace merrowfax {

// The steps of a replacement, in order.
enum class WriteStep {
    create,  // a temporary file beside the target
    write,   // all the bytes
    sync,    // fsync of the temporary file
    close,
    rename,      // over the target
    syncFolder,  // fsync of the folder, which makes the rename durable
    // The store's journal, which is not an atomic file: an append, a sync.
    journalAppend,
    journalSync,
};

// What a test hook makes of a step.
enum class StepFault {
    none,   // the step runs
    fail,   // the step reports an error, as the system call would
    crash,  // the process "dies" just before the step: nothing is cleaned up
};

using WriteFaultHook = std::function<StepFault(WriteStep)>;

// Writes `bytes` to a new temporary file in the target's folder (mode 0600),
// flushes it to disk, renames it over `target` and flushes the folder. On an
// error before the rename the temporary file is removed and `target` is
// untouched. True only when every step succeeded. `hook`, when set, is asked
// before each step (tests only).
bool replaceFileDurably(const std::filesystem::path& target, std::string_view bytes,
                        const WriteFaultHook& hook = {});

// fsync of a folder, which makes a rename or a new file in it durable.
bool syncFolder(const std::filesystem::path& folder);

// Names of temporary files replaceFileDurably leaves behind after a crash
// for `target` all start with this.
std::string temporaryPrefix(const std::filesystem::path& target);

}  // namespace merrowfax
