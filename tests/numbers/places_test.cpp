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

TEST(CountryRows, CodeMatchesExactlyAndNamesByContainment) {
    auto one = countryRows("1");
    ASSERT_EQ(one.size(), 1u);
    EXPECT_EQ(one[0].title, "United States");

    EXPECT_EQ(countryRows(" 44 ").size(), 1u);
    auto land = titles(countryRows("land"));
    for (const char* name : {"Finland", "Iceland", "Netherlands", "Poland", "Switzerland",
                             "New Zealand", "Thailand"}) {
        EXPECT_TRUE(has(land, name)) << name;
    }
    EXPECT_EQ(titles(countryRows("LAND")), land);
    EXPECT_FALSE(has(land, "Canada"));
}

TEST(CountryRows, AccentedNamesMatchTheirOwnLettersInAnyCase) {
    auto sao = titles(countryRows("SÃO TOMÉ"));
    ASSERT_EQ(sao.size(), 1u);
    EXPECT_EQ(sao[0], "São Tomé and Príncipe");
    EXPECT_TRUE(has(titles(countryRows("côte")), "Côte d'Ivoire"));
    EXPECT_TRUE(countryRows("zzz").empty());
}

TEST(CityRows, NameRegionAndCodeMatches) {
    auto seven = cityRows("0", "7");
    ASSERT_EQ(seven.size(), 1u);
    EXPECT_EQ(seven[0], (PlaceRow{"7", "Richmond", "7 · British Columbia"}));

    auto alberta = cityRows("0", "alberta");
    ASSERT_GE(alberta.size(), 2u);
    EXPECT_EQ(alberta[0], (PlaceRow{"1", "Calgary", "1 · Alberta"}));

    auto trois = titles(cityRows("0", "TROIS-RIVIÈRES"));
    EXPECT_EQ(trois, std::vector<std::string>{"Trois-Rivières"});
    EXPECT_EQ(cityRows("0", "").size(), 209u);
    EXPECT_TRUE(cityRows("999", "").empty());
}
