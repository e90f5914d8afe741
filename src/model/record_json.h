#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "model/records.h"

// The JSON coding of the stored records: the one place that knows their keys.
//
// Writing: keys are the field names; dates are numbers of seconds since the
// reference date in the shortest text that reads back to the same double;
// UUIDs are upper-case text; absent optionals are left out, never null. Text
// that is not valid UTF-8 is written with U+FFFD in place of the broken bytes,
// so a document we write always reads back.
//
// Reading is strict about the document and lenient about absence: a missing
// required key, a value of the wrong type or malformed JSON anywhere fails the
// whole document (no partial result). A missing key or null reads as absent
// for optionals; `accountKind` defaults to "personal", `blocked` to false.
// Unknown keys are skipped. A key that appears twice in one record fails the
// document (which value was meant is unknowable); in `directory` too.
// `cityCode` must be a positive integer and `subscriber` an integer from 1 to
// 9 999 999, so that the number's text form is well formed. Input may be any
// bytes: nesting is bounded, memory stays proportional to the input.
namespace merrowfax {

std::string encodeDatabase(const StoredDatabase& database);
// Encodes into `out`, reusing its capacity (the store saves often).
void encodeDatabase(const StoredDatabase& database, std::string& out);
std::optional<StoredDatabase> decodeDatabase(std::string_view json);
// Decodes in place: `json` is used as scratch space and left unspecified.
std::optional<StoredDatabase> decodeDatabaseInPlace(std::string& json);

std::string encodeSnapshot(const SyncSnapshot& snapshot);
std::optional<SyncSnapshot> decodeSnapshot(std::string_view json);

// Single records, for callers that move one record at a time.
std::string encodeMessage(const Message& message);
std::optional<Message> decodeMessage(std::string_view json);
// Parts of the database, as they stand in it (to show them elsewhere).
std::string encodeAccount(const Account& account);
std::string encodeContacts(const std::vector<Contact>& contacts);
std::string encodeThreads(const std::vector<ChatThread>& threads);
std::string encodeCalls(const std::vector<CallRecord>& calls);
std::string encodeDirectory(const Directory& directory);

// The stored words of the records' enums (the command-line client shows the
// same). `other` has no word: an unknown word read is kept by its StoredWord.
std::string_view wordOf(MessageStatus status);
std::string_view wordOf(CallDirection direction);
std::string_view wordOf(CallPhase phase);
template <typename E>
std::string_view wordOf(const StoredWord<E>& word) {
    return word == E::other ? std::string_view(word.unknownWord()) : wordOf(word.value());
}
// A stored word read back; one this version does not know reads as `other`.
StoredWord<MessageStatus> messageStatusOf(std::string word);
StoredWord<CallDirection> callDirectionOf(std::string word);

}  // namespace merrowfax
