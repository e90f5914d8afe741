#include "model/journal.h"

#include <algorithm>
#include <charconv>
#include <cstring>

#include "model/record_json.h"

namespace merrowfax {
namespace {

constexpr std::string_view kMarker = "fold ";
constexpr std::size_t kHashDigits = 16;

std::string hex(std::uint64_t value) {
    std::string out(kHashDigits, '0');
    for (std::size_t i = kHashDigits; i-- > 0; value >>= 4) out[i] = "0123456789abcdef"[value & 15];
    return out;
}

std::optional<std::uint64_t> parseHex(std::string_view text) {
    if (text.size() != kHashDigits) return std::nullopt;
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, 16);
    if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

std::string line(std::string_view payload) {
    std::string out = hex(contentHash(payload));
    out.reserve(kHashDigits + payload.size() + 2);
    out += ' ';
    out += payload;
    out += '\n';
    return out;
}

std::uint64_t mix(std::uint64_t h) {
    h ^= h >> 33;
    h *= 0xff51afd7ed558ccdULL;
    h ^= h >> 33;
    h *= 0xc4ceb9fe1a85ec53ULL;
    return h ^ (h >> 33);
}

}  // namespace

std::uint64_t contentHash(std::string_view bytes) {
    std::uint64_t h = 0x9e3779b97f4a7c15ULL ^ bytes.size();
    std::size_t i = 0;
    for (; i + 8 <= bytes.size(); i += 8) {
        std::uint64_t word;
        std::memcpy(&word, bytes.data() + i, 8);
        h = (h ^ mix(word)) * 0x100000001b3ULL;
        h ^= h >> 29;
    }
    std::uint64_t last = 0;
    if (i < bytes.size()) std::memcpy(&last, bytes.data() + i, bytes.size() - i);
    return mix(h ^ mix(last ^ 0x5bd1e995ULL));
}

std::string journalChangeLine(const SyncSnapshot& change) {
    return line(encodeSnapshot(change));
}

std::string journalMarkerLine(std::uint64_t foldHash) {
    return line(std::string(kMarker) + hex(foldHash));
}

JournalContents parseJournal(std::string_view bytes) {
    JournalContents contents;
    std::size_t at = 0;
    while (at < bytes.size()) {
        const auto end = bytes.find('\n', at);
        if (end == std::string_view::npos) break;
        const std::string_view text = bytes.substr(at, end - at);
        if (text.size() < kHashDigits + 1 || text[kHashDigits] != ' ') break;
        const std::string_view payload = text.substr(kHashDigits + 1);
        const auto hash = parseHex(text.substr(0, kHashDigits));
        if (!hash || *hash != contentHash(payload)) break;

        JournalEntry entry;
        if (payload.starts_with(kMarker)) {
            const auto folded = parseHex(payload.substr(kMarker.size()));
            if (!folded) break;
            entry.marker = true;
            entry.foldHash = *folded;
        } else {
            // Intact but unreadable: written by another version; stop there
            // rather than apply later changes without it.
            auto change = decodeSnapshot(payload);
            if (!change) break;
            entry.change = std::move(*change);
        }
        contents.entries.push_back(std::move(entry));
        at = end + 1;
    }
    contents.validBytes = at;
    return contents;
}

std::vector<const SyncSnapshot*> changesToReplay(const JournalContents& journal,
                                                 std::uint64_t databaseHash) {
    std::size_t from = 0;
    for (std::size_t i = journal.entries.size(); i-- > 0;) {
        const JournalEntry& e = journal.entries[i];
        if (e.marker && e.foldHash == databaseHash) {
            from = i + 1;
            break;
        }
    }
    std::vector<const SyncSnapshot*> changes;
    for (std::size_t i = from; i < journal.entries.size(); ++i) {
        if (!journal.entries[i].marker) changes.push_back(&journal.entries[i].change);
    }
    return changes;
}

void applyChange(StoredDatabase& database, const SyncSnapshot& change) {
    auto& threads = database.threads;
    for (const ChatThread& patch : change.threads) {
        auto it = std::find_if(threads.begin(), threads.end(),
                               [&](const ChatThread& t) { return t.id == patch.id; });
        bool resort = true;
        if (it == threads.end()) {
            threads.push_back(patch);
        } else {
            it->title = patch.title;
            it->unread = patch.unread;
            resort = it->updatedAt != patch.updatedAt;
            it->updatedAt = patch.updatedAt;
            for (const Message& m : patch.messages) {
                // Recent messages change most: search from the end.
                auto found = std::find_if(it->messages.rbegin(), it->messages.rend(),
                                          [&](const Message& x) { return x.id == m.id; });
                if (found != it->messages.rend()) {
                    *found = m;
                } else {
                    it->messages.push_back(m);
                    resort = true;
                }
            }
        }
        if (resort) {
            std::stable_sort(
                threads.begin(), threads.end(),
                [](const ChatThread& a, const ChatThread& b) { return a.updatedAt > b.updatedAt; });
        }
    }
    for (const auto& [number, name] : change.directory) database.directory[number] = name;
}

}  // namespace merrowfax
