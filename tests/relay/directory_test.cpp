// The public directory over HTTP: letters, "#", search by name or number,
// and cursors that hold when listings are added between pages.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "relay_fixture.h"

namespace merrowfax::testing {
namespace {

using ::testing::ElementsAre;

struct Page {
    std::vector<std::string> names;
    std::vector<std::string> numbers;
    bool more = false;
    std::string after;
};

class DirectoryTest : public ::testing::Test {
protected:
    RelayProcess relay{flags({"--page-size", "3"})};
    int next = 0;

    void list(const std::string& name, const std::string& kind = "") {
        Device d = makeDevice(number(next), name, "mac-" + std::to_string(next));
        d.kind = kind;
        ++next;
        join(relay, d);
    }
    Page get(const std::string& query) {
        auto answer = httpGet(relay.port(), "/merrowfax/directory?" + query);
        EXPECT_EQ(answer.status, 200) << query;
        Page page;
        auto doc = parseJson(answer.body);
        if (!doc.IsObject()) return page;
        for (const auto& row : doc["people"].GetArray()) {
            page.names.emplace_back(row["name"].GetString());
            page.numbers.emplace_back(row["number"].GetString());
            EXPECT_EQ(row.MemberCount(), 3u);  // number, name, business: nothing else
        }
        page.more = doc["more"].GetBool();
        page.after = doc["after"].GetString();
        return page;
    }
};

// Folding and cleaning on their own: FoldTest and CleanName; here that the
// directory lists by them.
TEST_F(DirectoryTest, LettersFoldAccentsHashTakesTheRestAndNamesLoseInvisibleFormatting) {
    for (const char* name : {"Émile", "eve", "Zed", "42 Club", "Ann"}) list(name);
    list("");                                   // registered without a name: not listed
    list("\u200F\u2060\u2064");                 // nothing visible: the same
    list("\u202E1001-555-1-0\u202C B\u200Bo");  // an override would pose as a number
    EXPECT_THAT(get("letter=E").names, ElementsAre("Émile", "eve"));
    EXPECT_THAT(get("letter=%23").names, ElementsAre("1001-555-1-0 Bo", "42 Club"));
    EXPECT_THAT(get("letter=Q").names, ElementsAre());
    EXPECT_THAT(get("letter=a").names, ElementsAre("Ann"));
    EXPECT_THAT(get("q=1001").numbers, ElementsAre(number(7)));
}

TEST_F(DirectoryTest, SearchMatchesTheStartOfNamesOrNumbers) {
    list("Anna Bell", "business");  // number(0)
    list("Ånnie");                  // number(1)
    list("Banan");                  // number(2)
    EXPECT_THAT(get("q=ann").names, ElementsAre("Anna Bell", "Ånnie"));
    EXPECT_THAT(get("q=%C3%85NN").names, ElementsAre("Anna Bell", "Ånnie"));
    EXPECT_THAT(get("q=nan").names, ElementsAre());  // not the middle of a name
    EXPECT_THAT(get("q=0-1-555-1002").names, ElementsAre("Banan"));
    EXPECT_THAT(get("q=015551002").names, ElementsAre("Banan"));
    EXPECT_THAT(get("q=0-1-555-100").numbers.size(), 3u);
    auto business = parseJson(httpGet(relay.port(), "/merrowfax/directory?q=anna").body);
    EXPECT_TRUE(business["people"][0]["business"].GetBool());
}

TEST_F(DirectoryTest, CursorsWalkPagesAndHoldAcrossInserts) {
    for (const char* name : {"Ada", "Alf", "Amy", "Ann", "Ava"}) list(name);
    auto first = get("letter=A&after=");
    EXPECT_THAT(first.names, ElementsAre("Ada", "Alf", "Amy"));
    EXPECT_TRUE(first.more);
    list("Abe");  // sorts before the cursor: must not shift the next page
    list("Amz");  // sorts after it: shows up in order
    auto second = get("letter=A&after=" + urlEncode(first.after));
    EXPECT_THAT(second.names, ElementsAre("Amz", "Ann", "Ava"));
    EXPECT_FALSE(second.more);
    // The same cursor gives the same page again.
    EXPECT_EQ(get("letter=A&after=" + urlEncode(first.after)).names, second.names);
}

TEST_F(DirectoryTest, BadQueriesAre400) {
    for (const char* query : {"", "letter=AB", "letter=%C3%89", "after=zzz&letter=A",
                              "letter=A&after=%FF", "q=%ZZ", "q=a%00b"})
        EXPECT_EQ(httpGet(relay.port(), std::string("/merrowfax/directory?") + query).status, 400)
            << query;
    EXPECT_EQ(httpGet(relay.port(), "/merrowfax/nothing").status, 404);
}

}  // namespace
}  // namespace merrowfax::testing
