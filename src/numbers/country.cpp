#include "numbers/country.h"

#include <algorithm>
#include <bitset>
#include <unordered_map>

#include "numbers/plan_tables.h"
#include "numbers/unicode_text.h"

namespace merrowfax {
namespace {

struct StringHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const noexcept {
        return std::hash<std::string_view>{}(s);
    }
};

// Codes are 1 to 4 digits: "length * 10000 + value" gives each a distinct slot,
// so membership is one bit test instead of a hash.
constexpr std::size_t kCodeSlots = 5 * 10000;

std::optional<std::size_t> codeSlot(std::string_view code) {
    if (code.empty() || code.size() > 4) return std::nullopt;
    std::size_t value = 0;
    for (char c : code) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + static_cast<std::size_t>(c - '0');
    }
    return code.size() * 10000 + value;
}

struct CityRange {
    std::size_t begin = 0;
    std::size_t end = 0;
};

// Every derived lookup but Country::all, built together once.
struct Plan {
    std::unordered_map<std::string, std::string, StringHash, std::equal_to<>> countryNames;
    std::vector<City> cities;
    std::unordered_map<std::string, CityRange, StringHash, std::equal_to<>> citiesByCountry;
    std::vector<std::string> codesLongestFirst;
    std::bitset<kCodeSlots> codes;

    Plan() {
        for (const auto& row : numbers::tables::kCountries) {
            countryNames.emplace(row.code, row.name);
            codesLongestFirst.emplace_back(row.code);
            codes.set(*codeSlot(row.code));
        }
        std::stable_sort(
            codesLongestFirst.begin(), codesLongestFirst.end(),
            [](const std::string& a, const std::string& b) { return a.size() > b.size(); });
        cities.reserve(numbers::tables::kCities.size());
        for (const auto& row : numbers::tables::kCities) {
            auto& range = citiesByCountry[row.country];
            if (range.begin == range.end) range.begin = cities.size();
            cities.push_back(City{Country{row.country}, row.code, row.name, row.region});
            range.end = cities.size();
        }
    }
};

const Plan& plan() {
    static const Plan instance;  // thread-safe one-time construction
    return instance;
}

}  // namespace

std::optional<std::string> Country::name() const {
    const auto& names = plan().countryNames;
    if (auto it = names.find(code); it != names.end()) return it->second;
    return std::nullopt;
}

std::string Country::displayName() const {
    return name().value_or(code);
}

const std::vector<Country>& Country::all() {
    static const std::vector<Country> sorted = [] {
        std::vector<Country> first;
        std::vector<Country> rest;
        for (const auto& row : numbers::tables::kCountries) {
            std::string_view code = row.code;
            (code == "0" || code == "1" ? first : rest).push_back(Country{row.code});
        }
        std::sort(first.begin(), first.end(),
                  [](const Country& a, const Country& b) { return a.code < b.code; });
        std::stable_sort(rest.begin(), rest.end(), [](const Country& a, const Country& b) {
            return unicode::compareCaseInsensitive(a.displayName(), b.displayName()) < 0;
        });
        first.insert(first.end(), rest.begin(), rest.end());
        return first;
    }();
    return sorted;
}

std::string City::id() const {
    return country.code + "-" + std::to_string(code);
}

const std::vector<City>& City::all() {
    return plan().cities;
}

std::span<const City> cities(std::string_view countryCode) {
    const auto& p = plan();
    auto it = p.citiesByCountry.find(countryCode);
    if (it == p.citiesByCountry.end()) return {};
    return std::span<const City>(p.cities).subspan(it->second.begin,
                                                   it->second.end - it->second.begin);
}

std::optional<City> city(std::string_view countryCode, std::int64_t cityCode) {
    auto list = cities(countryCode);
    // Codes run 1, 2, 3 ... in row order, so the row is usually at code - 1.
    if (cityCode >= 1 && static_cast<std::uint64_t>(cityCode) <= list.size() &&
        list[static_cast<std::size_t>(cityCode - 1)].code == cityCode) {
        return list[static_cast<std::size_t>(cityCode - 1)];
    }
    for (const City& c : list) {
        if (c.code == cityCode) return c;
    }
    return std::nullopt;
}

std::string placeLine(const City& city) {
    return city.name + ", " + city.region;
}

const std::vector<std::string>& codesLongestFirst() {
    return plan().codesLongestFirst;
}

bool isCountryCode(std::string_view code) {
    auto slot = codeSlot(code);
    return slot && plan().codes.test(*slot);
}

std::int64_t cityCodeKeptValid(std::string_view newCountryCode, std::int64_t cityCode) {
    if (city(newCountryCode, cityCode)) return cityCode;
    auto list = cities(newCountryCode);
    return list.empty() ? 1 : list.front().code;
}

}  // namespace merrowfax
