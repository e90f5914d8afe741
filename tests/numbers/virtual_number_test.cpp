#include <gtest/gtest.h>

#include <set>
#include <string>

#include "numbers/virtual_number.h"

using namespace merrowfax;

namespace {

struct ParseCase {
    std::string input;
    std::optional<std::string> text;  // canonical form, absent when it must fail
};

void PrintTo(const ParseCase& c, std::ostream* os) {
    *os << '"' << c.input.substr(0, 40) << (c.input.size() > 40 ? "...\"" : "\"");
}

class Parse : public testing::TestWithParam<ParseCase> {};

TEST_P(Parse, GivesTheCanonicalFormOrNothing) {
    auto number = VirtualNumber::parse(GetParam().input);
    if (!GetParam().text) {
        EXPECT_FALSE(number) << number->text();
        return;
    }
    ASSERT_TRUE(number);
    EXPECT_EQ(number->text(), *GetParam().text);
    // The canonical form reads back to the same number.
    EXPECT_EQ(VirtualNumber::parse(number->text()), number);
}

INSTANTIATE_TEST_SUITE_P(Accepted, Parse,
                         testing::Values(ParseCase{"0-1-234-5678", "0-1-234-5678"},
                                         ParseCase{"01 234 5678", "0-1-234-5678"},
                                         ParseCase{"+0 1 2345678", "0-1-234-5678"},
                                         ParseCase{"0-10-234-5678", "0-10-234-5678"},
                                         ParseCase{"+44 (1) 234 5678", "44-1-234-5678"},
                                         ParseCase{"tel: 44 one 1-234-5678", "44-1-234-5678"},
                                         ParseCase{"0-1-000-0007", "0-1-000-0007"},
                                         ParseCase{"0-1-999-9999", "0-1-999-9999"},
                                         ParseCase{"101-234-5678",
                                                   "1-1-234-5678"},  // leading zero in the city
                                         ParseCase{"0-0001-234-5678", "0-1-234-5678"}));

INSTANTIATE_TEST_SUITE_P(
    LongestCodeFirst, Parse,
    testing::Values(ParseCase{"1242-1-123-4567", "1242-1-123-4567"},  // Bahamas, Nassau
                    ParseCase{"1-242-123-4567", "1-242-123-4567"},    // United States, city 242
                    ParseCase{"761-123-4567", "76-1-123-4567"},       // Kazakhstan, city 1
                    ParseCase{"76-123-4567", "7-6-123-4567"},         // Russia, city 6
                    // A winning code whose city does not exist is final.
                    ParseCase{"1242-9-123-4567", std::nullopt}));

INSTANTIATE_TEST_SUITE_P(
    Rejected, Parse,
    testing::Values(ParseCase{"", std::nullopt}, ParseCase{"- -( )+", std::nullopt},
                    ParseCase{"1-501-234-5678", std::nullopt},  // 500 US cities
                    ParseCase{"0-210-234-5678", std::nullopt},  // 209 in Canada
                    ParseCase{"0-1-000-0000", std::nullopt},    // subscriber 0
                    ParseCase{"0-234-5678", std::nullopt},      // no city digit
                    ParseCase{"1234567", std::nullopt},         // local part only
                    ParseCase{"0-0-234-5678", std::nullopt},    // city 0
                    ParseCase{"999-1-234-5678", std::nullopt},  // 99 is no country; 9 none
                    ParseCase{"0-99999999999999999999-234-5678", std::nullopt},
                    ParseCase{std::string(10000, '1'), std::nullopt},
                    ParseCase{std::string("0-1-234\0-5678", 13), std::nullopt},
                    ParseCase{"0-1-234-567\xD9\xA8", std::nullopt},      // Arabic-Indic 8
                    ParseCase{"\xEF\xBC\x90-1-234-5678", std::nullopt},  // full-width 0
                    ParseCase{"0-1-234-5678\xFF", "0-1-234-5678"}));     // stray byte ignored

TEST(VirtualNumber, IssuedNumbersStayInTheCityAndSpreadOverTheWholeRange) {
    const City freeport = *city("1242", 2);
    std::set<std::int64_t> seen;
    int buckets[10] = {};  // coarse uniformity: each tenth of the range gets its share
    for (int i = 0; i < 5000; ++i) {
        VirtualNumber n = VirtualNumber::issue(freeport);
        ASSERT_EQ(n.country.code, "1242");
        ASSERT_EQ(n.cityCode, 2);
        ASSERT_GE(n.subscriber, 1);
        ASSERT_LE(n.subscriber, 9'999'999);
        ASSERT_EQ(VirtualNumber::parse(n.text()), n);
        seen.insert(n.subscriber);
        ++buckets[n.subscriber / 1'000'000];
    }
    EXPECT_GT(seen.size(), 4950u);  // collisions among 5000 draws of 10^7 are rare
    for (int count : buckets) {
        EXPECT_GT(count, 380);
        EXPECT_LT(count, 620);
    }
}

TEST(KeypadText, GroupsLikeTheTextFormAndNeverSplitsACharacter) {
    const std::pair<const char*, const char*> cases[] = {
        {"", "0-1-"},
        {"234", "0-1-234"},
        {"2345", "0-1-234-5"},
        {"23456789", "0-1-234-5678"},
        // Seven characters, the last one two bytes long: kept whole.
        {"123456\xC3\xA9zz", "0-1-123-456\xC3\xA9"},
    };
    for (const auto& [digits, text] : cases) EXPECT_EQ(keypadText("0", 1, digits), text) << digits;
    EXPECT_EQ(keypadText("1242", 2, "1234567"), (VirtualNumber{{"1242"}, 2, 1234567}.text()));
}

}  // namespace
