// The service's web pages: what it is, and the privacy text the window shows.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "base/privacy_text.h"
#include "relay/web_pages.h"
#include "relay_fixture.h"

namespace merrowfax::testing {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;

TEST(WebPagesTest, TextIsEscapedWhole) {
    EXPECT_EQ(relay::escapeHtml(R"(<a href="x">Ann & 'Ben'</a>)"),
              "&lt;a href=&quot;x&quot;&gt;Ann &amp; &#39;Ben&#39;&lt;/a&gt;");
    EXPECT_EQ(relay::escapeHtml("Zoë"), "Zoë");
}

TEST(WebPagesTest, ThePrivacyPageAndTheAboutPageAreServed) {
    RelayProcess relay;
    const auto privacyPage = httpGet(relay.port(), "/merrowfax/privacy");
    const auto about = httpGet(relay.port(), "/merrowfax/");
    for (const auto* page : {&privacyPage, &about}) {
        EXPECT_EQ(page->status, 200);
        EXPECT_EQ(page->contentType, "text/html; charset=utf-8");
        EXPECT_THAT(page->body, StartsWith("<!DOCTYPE html>"));
        EXPECT_THAT(page->body, HasSubstr("<meta charset=\"utf-8\">"));
        EXPECT_THAT(page->body, Not(HasSubstr("<script")));
    }
    // Every section of the text the window shows, escaped.
    EXPECT_THAT(privacyPage.body, HasSubstr(std::string(privacy::kDate)));
    EXPECT_THAT(privacyPage.body, HasSubstr(std::string(privacy::kOpening)));
    ASSERT_GE(privacy::sections().size(), 11u);
    for (const auto& section : privacy::sections()) {
        EXPECT_THAT(privacyPage.body, HasSubstr("<h2>" + relay::escapeHtml(section.heading)));
        EXPECT_THAT(privacyPage.body, HasSubstr(relay::escapeHtml(section.text)));
    }
    EXPECT_THAT(about.body, HasSubstr("href=\"/merrowfax/privacy\""));

    // Other paths stay unknown; a query on a page changes nothing.
    EXPECT_EQ(httpGet(relay.port(), "/merrowfax/privacy/x").status, 404);
    EXPECT_EQ(httpGet(relay.port(), "/merrowfax/privacy?lang=fr").body, privacyPage.body);
}

}  // namespace
}  // namespace merrowfax::testing
