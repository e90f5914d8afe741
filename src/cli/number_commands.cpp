#include "cli/number_commands.h"

#include <charconv>
#include <string>

#include "cli/json_lines.h"
#include "numbers/places.h"
#include "numbers/virtual_number.h"

namespace merrowfax::cli {
namespace {

void printNumber(const VirtualNumber& number) {
    JsonLine line;
    line.field("country", number.country.code)
        .field("cityCode", number.cityCode)
        .field("subscriber", number.subscriber)
        .field("text", number.text());
    if (auto place = city(number.country.code, number.cityCode)) {
        line.field("place", placeLine(*place));
    }
    line.print();
}

void printRows(const std::vector<PlaceRow>& rows) {
    for (const PlaceRow& row : rows) {
        JsonLine()
            .field("id", row.id)
            .field("title", row.title)
            .field("detail", row.detail)
            .print();
    }
}

}  // namespace

int runNumberCommand(std::span<const std::string_view> args) {
    if (args.size() == 2 && args[0] == "parse") {
        auto number = VirtualNumber::parse(args[1]);
        if (!number) return failWith("That number is not a Merrowfax number.");
        printNumber(*number);
        return 0;
    }
    if (args.size() == 3 && args[0] == "issue") {
        std::int64_t code = 0;
        const std::string_view text = args[2];
        auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), code);
        if (ec != std::errc{} || end != text.data() + text.size()) {
            return failWith("The city must be a city code such as 1.");
        }
        auto place = city(args[1], code);
        if (!place) return failWith("There is no such city in that country.");
        printNumber(VirtualNumber::issue(*place));
        return 0;
    }
    return failWith("usage: number parse TEXT | number issue COUNTRY CITY");
}

int runPlacesCommand(std::span<const std::string_view> args) {
    if (!args.empty() && args.size() <= 2 && args[0] == "countries") {
        printRows(countryRows(args.size() == 2 ? args[1] : std::string_view{}));
        return 0;
    }
    if (args.size() >= 2 && args.size() <= 3 && args[0] == "cities") {
        if (!isCountryCode(args[1])) return failWith("There is no such country.");
        printRows(cityRows(args[1], args.size() == 3 ? args[2] : std::string_view{}));
        return 0;
    }
    return failWith("usage: places countries [QUERY] | places cities COUNTRY [QUERY]");
}

}  // namespace merrowfax::cli
