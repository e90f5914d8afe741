#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace merrowfax {

// A country of the number plan. The code is its whole identity.
struct Country {
    std::string code;

    // English name from the country table; absent for a code not in it.
    std::optional<std::string> name() const;
    // What every screen shows: the name, else the bare code.
    std::string displayName() const;

    // Canada, the United States, then the rest by name (locale-aware,
    // case-insensitive). Built on first use.
    static const std::vector<Country>& all();

    bool operator==(const Country&) const = default;
};

struct City {
    Country country;
    std::int64_t code = 0;
    std::string name;
    std::string region;

    // "0-1" for Canada, Calgary.
    std::string id() const;

    // The 1669 cities in table order.
    static const std::vector<City>& all();

    bool operator==(const City&) const = default;
};

// Cities of a country in table order; empty for a code not in the table.
std::span<const City> cities(std::string_view countryCode);
// The first city of that country with that code.
std::optional<City> city(std::string_view countryCode, std::int64_t cityCode);
// "Calgary, Alberta".
std::string placeLine(const City& city);

// The 215 codes, longest first.
const std::vector<std::string>& codesLongestFirst();
// True when the code is a country of the table (a hash lookup).
bool isCountryCode(std::string_view code);

// When a screen changes its country, the city it held stays if the new country
// has it; otherwise the first city of the new country (1 when it has none).
std::int64_t cityCodeKeptValid(std::string_view newCountryCode, std::int64_t cityCode);

}  // namespace merrowfax

template <>
struct std::hash<merrowfax::Country> {
    std::size_t operator()(const merrowfax::Country& c) const noexcept {
        return std::hash<std::string>{}(c.code);
    }
};
