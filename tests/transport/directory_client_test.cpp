// Directory pages from the real relay service.
#include <gtest/gtest.h>

#include <QUrlQuery>

#include "support/event_wait.h"
#include "support/relay_process.h"
#include "support/ws_client.h"
#include "transport/directory_client.h"
#include "transport/service_address.h"

using namespace merrowfax;
using namespace merrowfax::testing;

namespace {

const QUrl kService(QStringLiteral("wss://relay.example"));

TEST(DirectoryRequest, SearchesAreTrimmedAndCutLettersAreEncoded) {
    DirectoryQuery search;
    search.search = "  " + std::string(60, 'a') + "\n";
    search.after = "x1";
    const QUrl url = directoryRequestUrl(kService, search);
    EXPECT_EQ(url.scheme(), QStringLiteral("https"));
    EXPECT_EQ(url.path(), QStringLiteral("/merrowfax/directory"));
    EXPECT_EQ(url.query(QUrl::FullyEncoded).toStdString(),
              "q=" + std::string(40, 'a') + "&after=x1");

    DirectoryQuery letter;
    letter.search = " ";
    letter.letter = "#";
    EXPECT_EQ(directoryRequestUrl(kService, letter).query(QUrl::FullyEncoded),
              QStringLiteral("letter=%23&after="));

    // Characters, not bytes: an accented name is cut whole.
    DirectoryQuery accents;
    accents.search = std::string(39, 'e') + "\xC3\xA9\xC3\xA9";
    const QUrlQuery items(directoryRequestUrl(kService, accents));
    EXPECT_EQ(items.queryItemValue(QStringLiteral("q"), QUrl::FullyDecoded).toStdString(),
              std::string(39, 'e') + "\xC3\xA9");
}

// Pages, letters and a service that does not answer: the Directory
// screen's tests, through this client. Here what only the client decides.
TEST(DirectoryClientTest, NamesAreShownPlainlyAndARefusedQueryIsNoPage) {
    RelayProcess relay;
    {
        // A name that would end, on screen, in another number.
        WsClient posing(relay.port(), liveTarget({{"number", "0-1-234-5679"},
                                                  {"name",
                                                   "Anna\xE2\x80\xAE"
                                                   "8765\xE2\x80\x8B"},
                                                  {"device", "Mac"},
                                                  {"computer", "mac-POSING"}}));
        ASSERT_TRUE(posing.waitFor("pin"));
    }
    DirectoryClient client(acceptedServiceAddress(QString::fromStdString(relay.wsUrl(""))));
    auto fetch = [&](DirectoryQuery query) {
        std::optional<DirectoryAnswer> answer;
        client.fetch(query, [&](DirectoryAnswer a) { answer = std::move(a); });
        EXPECT_TRUE(spinUntil([&] { return answer.has_value(); }, 5000));
        return answer.value_or(DirectoryAnswer{});
    };
    DirectoryQuery byName;
    byName.search = "anna";
    const DirectoryAnswer found = fetch(byName);
    ASSERT_EQ(found.outcome, DirectoryAnswer::Outcome::page);
    EXPECT_EQ(found.page.people,
              std::vector<DirectoryEntry>{(DirectoryEntry{"0-1-234-5679", "Anna8765", false})});

    DirectoryQuery badCursor;
    badCursor.after = "not a cursor";
    EXPECT_EQ(fetch(badCursor).outcome, DirectoryAnswer::Outcome::badStatus);
}

}  // namespace
