#include "app/book_sync.h"

#include <algorithm>
#include <optional>
#include <string>
#include <tuple>
#include <utility>

#include "platform/timings.h"
#include "transport/net_transport.h"

namespace merrowfax {
namespace {

// Entries as the service keeps them, in one order; malformed ones drop out.
std::vector<std::tuple<std::string, std::string, bool>> normalized(
    const std::vector<BookEntry>& entries) {
    std::vector<std::tuple<std::string, std::string, bool>> out;
    for (const BookEntry& e : entries) {
        if (!e.number || !e.name) continue;
        out.emplace_back(*e.number, *e.name, e.blocked.value_or(false));
    }
    std::sort(out.begin(), out.end());
    return out;
}

}  // namespace

BookSync::BookSync(NetTransport& line, std::function<std::vector<BookEntry>()> entries)
    : line_(line), entries_(std::move(entries)) {
    due_.setSingleShot(true);
    due_.callOnTimeout([this] { upload(); });
}

void BookSync::changed() {
    // Not restarted by later changes: a steady stream still uploads once per
    // interval.
    if (due_.isActive()) return;
    due_.start(timings().bookUpload);
}

void BookSync::flush() {
    if (due_.isActive()) upload();
}

void BookSync::upload() {
    due_.stop();
    line_.requestBook(entries_());
}

void BookSync::lineOpened() {
    merging_ = true;
    line_.requestBook(std::nullopt);
}

void BookSync::answered(const std::vector<BookEntry>& theirs, bool added) {
    if (std::exchange(merging_, false)) {
        // The first answer after the line opened: contacts made while it was
        // closed are not in the service's copy yet. Equal books need no
        // upload.
        if (normalized(theirs) != normalized(entries_())) upload();
    } else if (added) {
        changed();
    }
}

}  // namespace merrowfax
