#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <thread>

#include "numbers/country.h"
#include "numbers/plan_tables.h"

using namespace merrowfax;

TEST(NumberPlan, TablesHaveTheirSizesAndEveryCountryHasContiguousCities) {
    EXPECT_EQ(Country::all().size(), 215u);
    EXPECT_EQ(City::all().size(), 1669u);

    std::size_t total = 0;
    std::set<std::string> codes;
    for (const auto& row : numbers::tables::kCountries) {
        EXPECT_TRUE(codes.insert(row.code).second) << "duplicate code " << row.code;
        auto list = cities(row.code);
        ASSERT_FALSE(list.empty()) << row.code;
        for (std::size_t i = 0; i < list.size(); ++i) {
            EXPECT_EQ(list[i].code, static_cast<std::int64_t>(i + 1)) << row.code;
            EXPECT_EQ(list[i].country.code, row.code);
        }
        total += list.size();
    }
    EXPECT_EQ(total, 1669u);
}

TEST(NumberPlan, CityGroupsFollowCountryOrder) {
    std::vector<std::string> order;
    for (const City& c : City::all()) {
        if (order.empty() || order.back() != c.country.code) order.push_back(c.country.code);
    }
    ASSERT_EQ(order.size(), 215u);
    for (std::size_t i = 0; i < order.size(); ++i) {
        EXPECT_EQ(order[i], numbers::tables::kCountries[i].code);
    }
}

TEST(NumberPlan, TellingRows) {
    struct Row {
        const char* country;
        std::int64_t code;
        const char* name;
        const char* region;
    };
    const Row rows[] = {
        {"0", 1, "Calgary", "Alberta"},
        {"0", 2, "Edmonton", "Alberta"},
        {"0", 3, "Vancouver", "British Columbia"},
        {"0", 10, "Ottawa", "Ontario"},
        {"0", 11, "Toronto", "Ontario"},
        {"0", 209, "Rankin Inlet", "Nunavut"},
        {"1", 1, "New York", "New York"},
        {"1", 2, "Los Angeles", "California"},
        {"1", 3, "Chicago", "Illinois"},
        {"1", 4, "Houston", "Texas"},
        {"1", 500, "Jackson", "Wyoming"},
        {"44", 1, "London", "England"},
        {"49", 1, "Berlin", "Berlin"},
        {"7", 1, "Moscow", "Moscow"},
        {"76", 1, "Astana", "Akmola"},
        {"0", 45, "Trois-Rivières", "Quebec"},
        {"1242", 2, "Freeport", "Grand Bahama"},
    };
    for (const Row& row : rows) {
        auto found = city(row.country, row.code);
        ASSERT_TRUE(found) << row.country << "/" << row.code;
        EXPECT_EQ(found->name, row.name);
        EXPECT_EQ(found->region, row.region);
    }
    EXPECT_EQ(cities("0").size(), 209u);
    EXPECT_EQ(cities("1").size(), 500u);
    EXPECT_EQ(cities("65").size(), 1u);
    EXPECT_EQ(placeLine(*city("0", 1)), "Calgary, Alberta");
    EXPECT_EQ(city("0", 1)->id(), "0-1");
}

TEST(NumberPlan, RepeatedCityNamesAreToldApartByCode) {
    std::map<std::string, std::set<std::string>> regionsByName;
    for (const City& c : cities("1")) regionsByName[c.name].insert(c.region);
    for (const char* name : {"Portland", "Springfield", "Columbus"}) {
        EXPECT_GE(regionsByName[name].size(), 2u) << name;
    }
    std::map<std::string, int> canada;
    for (const City& c : cities("0")) ++canada[c.name];
    EXPECT_EQ(canada["Cornwall"], 2);
    EXPECT_EQ(canada["Stratford"], 2);
}

TEST(NumberPlan, CountryNamesAndUnknownCodes) {
    EXPECT_EQ(Country{"0"}.name(), "Canada");
    EXPECT_EQ(Country{"76"}.name(), "Kazakhstan");
    EXPECT_EQ(Country{"239"}.name(), "São Tomé and Príncipe");
    EXPECT_FALSE(Country{"999"}.name());
    EXPECT_EQ(Country{"999"}.displayName(), "999");
    EXPECT_TRUE(cities("999").empty());
    EXPECT_FALSE(city("999", 1));
    EXPECT_FALSE(city("0", 0));
    EXPECT_FALSE(city("0", 210));
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

TEST(NumberPlan, CodesLongestFirst) {
    const auto& codes = codesLongestFirst();
    ASSERT_EQ(codes.size(), 215u);
    EXPECT_TRUE(std::is_sorted(codes.begin(), codes.end(),
                               [](const auto& a, const auto& b) { return a.size() > b.size(); }));
    EXPECT_EQ(codes.front().size(), 4u);
    EXPECT_EQ(codes.back().size(), 1u);
}

TEST(NumberPlan, KeepingACityValidWhenTheCountryChanges) {
    EXPECT_EQ(cityCodeKeptValid("1", 209), 209);  // the United States has a 209th city
    EXPECT_EQ(cityCodeKeptValid("65", 7), 1);     // Singapore has only one
    EXPECT_EQ(cityCodeKeptValid("999", 7), 1);    // no such country
}

TEST(NumberPlan, FirstUseFromTwoThreadsBuildsOneTable) {
    // Each test runs in its own process, so these threads race on first use.
    const std::vector<Country>* sortedA = nullptr;
    const std::vector<Country>* sortedB = nullptr;
    std::size_t citiesA = 0, citiesB = 0;
    std::thread a([&] {
        sortedA = &Country::all();
        citiesA = cities("1").size();
    });
    std::thread b([&] {
        citiesB = cities("1").size();
        sortedB = &Country::all();
    });
    a.join();
    b.join();
    EXPECT_EQ(sortedA, sortedB);
    EXPECT_EQ(citiesA, 500u);
    EXPECT_EQ(citiesB, 500u);
}
