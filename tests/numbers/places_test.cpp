#include <gtest/gtest.h>

#include <algorithm>

#include "numbers/country.h"
#include "numbers/places.h"

using namespace merrowfax;

namespace {

std::vector<std::string> titles(const std::vector<PlaceRow>& rows) {
    std::vector<std::string> out;
    for (const auto& r : rows) out.push_back(r.title);
    return out;
}

bool has(const std::vector<std::string>& list, const std::string& item) {
    return std::find(list.begin(), list.end(), item) != list.end();
}

}  // namespace

TEST(CountryRows, BlankQueryListsEveryCountryInPickerOrder) {
    for (const char* blank : {"", "   ", "\n\t ", "\xE2\x80\x83"}) {  // incl. em space
        auto rows = countryRows(blank);
        ASSERT_EQ(rows.size(), 215u) << '"' << blank << '"';
        EXPECT_EQ(rows[0], (PlaceRow{"0", "Canada", "0"}));
        EXPECT_EQ(rows[1], (PlaceRow{"1", "United States", "1"}));
    }
}

// Codes match exactly; names by containment in any case, accents included.
TEST(CountryRows, CodeMatchesExactlyAndNamesByContainment) {
    EXPECT_EQ(titles(countryRows("1")), std::vector<std::string>{"United States"});
    EXPECT_EQ(countryRows(" 44 ").size(), 1u);
    auto land = titles(countryRows("land"));
    for (const char* name : {"Finland", "Iceland", "Netherlands", "New Zealand", "Thailand"})
        EXPECT_TRUE(has(land, name)) << name;
    EXPECT_EQ(titles(countryRows("LAND")), land);
    EXPECT_FALSE(has(land, "Canada"));
    EXPECT_EQ(titles(countryRows("SÃO TOMÉ")), std::vector<std::string>{"São Tomé and Príncipe"});
    EXPECT_TRUE(has(titles(countryRows("côte")), "Côte d'Ivoire"));
    EXPECT_TRUE(countryRows("zzz").empty());
}

TEST(CityRows, NameRegionAndCodeMatches) {
    EXPECT_EQ(cityRows("0", "7"),
              (std::vector<PlaceRow>{{"7", "Richmond", "7 · British Columbia"}}));
    auto alberta = cityRows("0", "alberta");
    ASSERT_GE(alberta.size(), 2u);
    EXPECT_EQ(alberta[0], (PlaceRow{"1", "Calgary", "1 · Alberta"}));
    EXPECT_EQ(titles(cityRows("0", "TROIS-RIVIÈRES")), std::vector<std::string>{"Trois-Rivières"});
    EXPECT_EQ(cityRows("0", "").size(), 209u);
    EXPECT_TRUE(cityRows("999", "").empty());
}
