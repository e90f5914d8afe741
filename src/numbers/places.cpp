#include "numbers/places.h"

#include "numbers/country.h"
#include "numbers/unicode_text.h"

namespace merrowfax {

std::vector<PlaceRow> countryRows(std::string_view query) {
    const std::string_view wanted = unicode::trimmed(query);
    unicode::ContainsMatcher matcher(wanted);
    std::vector<PlaceRow> rows;
    for (const Country& country : Country::all()) {
        std::string title = country.displayName();
        if (wanted.empty() || country.code == wanted || matcher.matches(title)) {
            rows.push_back(PlaceRow{country.code, std::move(title), country.code});
        }
    }
    return rows;
}

std::vector<PlaceRow> cityRows(std::string_view countryCode, std::string_view query) {
    const std::string_view wanted = unicode::trimmed(query);
    unicode::ContainsMatcher matcher(wanted);
    std::vector<PlaceRow> rows;
    for (const City& city : cities(countryCode)) {
        std::string code = std::to_string(city.code);
        if (wanted.empty() || code == wanted || matcher.matches(city.name) ||
            matcher.matches(city.region)) {
            std::string detail = code + " \u00B7 " + city.region;
            rows.push_back(PlaceRow{code, city.name, std::move(detail)});
        }
    }
    return rows;
}

}  // namespace merrowfax
