#pragma once

#include <optional>
#include <string>

#include "relay/query.h"
#include "relay/store.h"

namespace merrowfax::relay {

// The public listing: pages of one index letter or of a search, walked with
// opaque cursors. A cursor names the last row shown (its folded name and its
// number), so a page never repeats or skips a row when others are added.
class Directory {
public:
    Directory(Store& store, std::size_t pageSize) : store_(store), pageSize_(pageSize) {}

    // The page's JSON, or absent when the query items are bad (HTTP 400).
    std::optional<std::string> page(const Target& target);

    static std::string encodeCursor(const DirectoryCursor& cursor);
    static std::optional<DirectoryCursor> decodeCursor(std::string_view text);

private:
    Store& store_;
    std::size_t pageSize_;
};

}  // namespace merrowfax::relay
