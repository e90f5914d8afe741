#pragma once

#include <array>
#include <cstdint>

// The raw number plan. Everything else reads it through the lookups in
// country.h, which are built once from these rows.
namespace merrowfax::numbers::tables {

struct CountryRow {
    const char* code;
    const char* name;
};

struct CityRow {
    const char* country;
    std::int64_t code;
    const char* name;
    const char* region;
};

extern const std::array<CountryRow, 215> kCountries;
extern const std::array<CityRow, 1669> kCities;

}  // namespace merrowfax::numbers::tables
