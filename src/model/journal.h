#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "model/records.h"

// The change log kept beside db.json ("db.journal"), so that one message is
// stored durably without rewriting the whole document. One line per entry:
//
//   <16 hex digits: contentHash of the payload> ' ' <payload> '\n'
//
// A payload is either a change, the JSON of a SyncSnapshot that holds only
// what changed (threads with just their new or altered messages, directory
// names), or a fold marker "fold <16 hex digits>": the contentHash of a
// db.json that holds every change written before the marker. A line whose
// hash does not match, or that has no newline, is the torn end of a write
// that a crash cut short: it and anything after it are dropped.
namespace merrowfax {

// A 64-bit fingerprint of `bytes`; not cryptographic, it only has to tell
// apart what a crash or another version could leave on disk.
std::uint64_t contentHash(std::string_view bytes);

struct JournalEntry {
    bool marker = false;
    std::uint64_t foldHash = 0;  // of a marker
    SyncSnapshot change;         // of a change
};

struct JournalContents {
    std::vector<JournalEntry> entries;
    std::size_t validBytes = 0;  // length of the intact lines at the front
};

std::string journalChangeLine(const SyncSnapshot& change);
std::string journalMarkerLine(std::uint64_t foldHash);
JournalContents parseJournal(std::string_view bytes);

// The entries a db.json with hash `databaseHash` lacks: those after the last
// marker naming it, or all of them when no marker does (the document is older
// than every fold the journal knows of).
std::vector<const SyncSnapshot*> changesToReplay(const JournalContents& journal,
                                                 std::uint64_t databaseHash);

// Applies one change as the model made it: a thread takes the change's title
// and updatedAt and is added when missing; a message replaces the one with
// its id or is appended; the threads are re-sorted (stable, newest first)
// after an append or a new updatedAt; directory names are set. Applying a
// change twice leaves what applying it once does.
void applyChange(StoredDatabase& database, const SyncSnapshot& change);

}  // namespace merrowfax
