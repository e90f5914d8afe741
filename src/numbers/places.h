#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace merrowfax {

// One row of the searchable country or city picker.
struct PlaceRow {
    std::string id;
    std::string title;
    std::string detail;

    bool operator==(const PlaceRow&) const = default;
};

// Countries in Country::all order whose name contains the trimmed query
// (locale-aware, case-insensitive) or whose code equals it; all for a blank query.
std::vector<PlaceRow> countryRows(std::string_view query);

// Cities of a country in table order whose name or region contains the query,
// or whose code equals it; detail reads "1 · Alberta".
std::vector<PlaceRow> cityRows(std::string_view countryCode, std::string_view query);

}  // namespace merrowfax
