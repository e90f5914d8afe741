#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>

#include "numbers/country.h"
#include "numbers/plan_tables.h"

using namespace merrowfax;

// Properties of the whole table rather than copies of its rows: sizes, one
// block of contiguous city codes per country in table order, and lookups
// that agree with the list.
TEST(NumberPlan, EveryCountryHasContiguousCitiesInTableOrderAndLookupsAgree) {
    EXPECT_EQ(Country::all().size(), 215u);
    ASSERT_EQ(City::all().size(), 1669u);
    std::size_t at = 0;
    std::set<std::string> codes;
    for (const auto& row : numbers::tables::kCountries) {
        EXPECT_TRUE(codes.insert(row.code).second) << "duplicate code " << row.code;
        auto list = cities(row.code);
        ASSERT_FALSE(list.empty()) << row.code;
        for (std::size_t i = 0; i < list.size(); ++i, ++at) {
            EXPECT_EQ(list[i], City::all()[at]) << row.code;
            EXPECT_EQ(list[i].code, static_cast<std::int64_t>(i + 1)) << row.code;
            EXPECT_EQ(city(row.code, list[i].code), list[i]);
        }
        EXPECT_FALSE(city(row.code, static_cast<std::int64_t>(list.size()) + 1)) << row.code;
        EXPECT_FALSE(city(row.code, 0)) << row.code;
    }
    EXPECT_EQ(at, 1669u);
    // Spot checks of the data: accents, a four-digit code, the last city.
    EXPECT_EQ(placeLine(*city("0", 45)), "Trois-Rivières, Quebec");
    EXPECT_EQ(placeLine(*city("1242", 2)), "Freeport, Grand Bahama");
    EXPECT_EQ(placeLine(*city("1", 500)), "Jackson, Wyoming");
    EXPECT_EQ(city("0", 1)->id(), "0-1");
    // Cities that share a name stay apart.
    std::map<std::string, int> canada;
    for (const City& c : cities("0")) ++canada[c.name];
    EXPECT_EQ(canada["Cornwall"], 2);
}

TEST(NumberPlan, CountryNamesAndUnknownCodes) {
    EXPECT_EQ(Country{"239"}.name(), "São Tomé and Príncipe");
    EXPECT_FALSE(Country{"999"}.name());
    EXPECT_EQ(Country{"999"}.displayName(), "999");
    EXPECT_TRUE(cities("999").empty());
    EXPECT_FALSE(city("999", 1));
    EXPECT_FALSE(city("0", INT64_MIN));
}

TEST(NumberPlan, PickerOrderPutsCanadaAndTheUnitedStatesFirst) {
    const auto& all = Country::all();
    EXPECT_EQ(all[0].code, "0");
    EXPECT_EQ(all[1].code, "1");
    EXPECT_EQ(all[2].displayName(), "Afghanistan");
    // Accented names sort with their base letters, not after "Z".
    auto at = [&](const char* code) {
        return std::find(all.begin(), all.end(), Country{code}) - all.begin();
    };
    EXPECT_LT(at("225"), at("385"));  // Côte d'Ivoire before Croatia
    EXPECT_LT(at("239"), at("966"));  // São Tomé before Saudi Arabia
}
