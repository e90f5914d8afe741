#include <gtest/gtest.h>

#include <string>

#include "wire/contact_link.h"

namespace merrowfax::wire {
namespace {

TEST(ContactLink, ReadsTheAppsOwnLinkAndRefusesAnythingElse) {
    EXPECT_EQ(parseContactLink("merrowfax://add?name=Zo%C3%AB%20%26%20Co&number=0-1-234-5678"),
              (ContactLink{"Zoë & Co", "0-1-234-5678"}));
    EXPECT_EQ(parseContactLink("MerrowFax://ADD?number=44-1-555-0001&name=A+B#x"),
              (ContactLink{"A+B", "44-1-555-0001"}));
    EXPECT_EQ(parseContactLink("merrowfax://add?number=1&number=2&other=%41")->number, "1");
    for (const std::string& bad : std::initializer_list<std::string>{
             "merrowfax://add?name=Ann", "merrowfax://add?number=", "merrowfax://call?number=1",
             "https://add?number=1", "merrowfax://add?number=%zz", "merrowfax://add?number=1%4",
             "merrowfax://add?name=%ff&number=1", "merrowfax://add",
             "merrowfax://add?number=1&name=" + std::string(kMaxContactLink, 'a')}) {
        EXPECT_FALSE(parseContactLink(bad)) << bad;
    }
}

}  // namespace
}  // namespace merrowfax::wire
