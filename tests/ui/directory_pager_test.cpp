// The Directory screen's paging against the real relay with two listings a
// page: cursors forward and back, letters, the search pause, and answers
// that come too late or not at all.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QGuiApplication>
#include <QSignalSpy>
#include <QTemporaryDir>

#include "app/app_model.h"

#include "platform/timings.h"
#include "support/event_wait.h"
#include "support/relay_process.h"
#include "support/ws_client.h"
#include "transport/directory_client.h"
#include "transport/service_address.h"
#include "ui/bridge/directory_pager.h"
#include "ui_fixture.h"

using namespace merrowfax;
using namespace merrowfax::testing;
using merrowfax::ui::DirectoryPager;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

bool waitFor(const std::function<bool()>& done, int ms = 5000) {
    return spinUntil(done, ms);
}
void idle(int ms) {
    spinUntil([] { return false; }, ms);
}

RelayProcess::Options twoPerPage() {
    RelayProcess::Options options;
    options.args = {"--page-size", "2"};
    return options;
}

class DirectoryPaging : public ::testing::Test {
protected:
    RelayProcess relay{twoPerPage()};
    std::unique_ptr<DirectoryClient> client;
    std::unique_ptr<DirectoryPager> pager;
    int listed = 0;

    void SetUp() override {
        for (const char* name : {"Ada", "Alf", "Amy", "Ann", "Ava", "Bea"}) list(name);
        list("Lon Taxis", "44-1-555-0001", "business");
        client = std::make_unique<DirectoryClient>(service());
        pager = makePager();
    }

    std::optional<QUrl> service() const {
        return acceptedServiceAddress(QString::fromStdString(relay.wsUrl("")));
    }
    std::unique_ptr<DirectoryPager> makePager() {
        return std::make_unique<DirectoryPager>(client.get(), nullptr);
    }

    // Registers a number with the service; the listing outlives the connection.
    void list(const std::string& name, std::string number = {}, const std::string& kind = {}) {
        if (number.empty()) number = "0-1-555-" + std::to_string(1000 + listed);
        std::vector<std::pair<std::string, std::string>> items = {
            {"number", number},
            {"name", name},
            {"device", "Mac"},
            {"computer", "mac-" + std::to_string(listed)}};
        if (!kind.empty()) items.emplace_back("kind", kind);
        ++listed;
        WsClient client(relay.port(), liveTarget(items));
        ASSERT_TRUE(client.waitFor("pin")) << name;
    }

    static std::vector<std::string> names(const DirectoryPager& p) {
        std::vector<std::string> out;
        for (const auto& e : p.entries()) out.push_back(e.name);
        return out;
    }

    // Waits for the answer to the request just sent.
    static void settle(const DirectoryPager& p) {
        ASSERT_TRUE(waitFor([&] { return !p.loading(); }));
    }
};

TEST_F(DirectoryPaging, NextAndPreviousWalkTheLetterAndStopAtItsEnds) {
    pager->firstPage();
    EXPECT_TRUE(pager->loading());
    settle(*pager);
    EXPECT_THAT(names(*pager), ElementsAre("Ada", "Alf"));
    EXPECT_TRUE(pager->more());
    EXPECT_EQ(pager->statusText(), QStringLiteral("This page"));
    EXPECT_FALSE(pager->hasEarlier());

    pager->next();
    settle(*pager);
    EXPECT_THAT(names(*pager), ElementsAre("Amy", "Ann"));
    pager->next();
    settle(*pager);
    EXPECT_THAT(names(*pager), ElementsAre("Ava"));
    EXPECT_FALSE(pager->more());
    EXPECT_EQ(pager->statusText(), QStringLiteral("End of this letter"));

    const int sent = pager->requestCount();
    pager->next();  // no further page
    EXPECT_EQ(pager->requestCount(), sent);

    pager->previous();
    settle(*pager);
    EXPECT_THAT(names(*pager), ElementsAre("Amy", "Ann"));
    EXPECT_TRUE(pager->more());
    pager->previous();
    settle(*pager);
    EXPECT_THAT(names(*pager), ElementsAre("Ada", "Alf"));
    EXPECT_EQ(pager->pageAfter(), "");
    EXPECT_FALSE(pager->hasEarlier());
    pager->previous();  // already at the start
    EXPECT_EQ(pager->requestCount(), sent + 2);
    EXPECT_FALSE(pager->loading());

    // Refreshing stays on the page it is on.
    pager->next();
    settle(*pager);
    pager->refresh();
    settle(*pager);
    EXPECT_THAT(names(*pager), ElementsAre("Amy", "Ann"));
    EXPECT_TRUE(pager->hasEarlier());
}

TEST_F(DirectoryPaging, ALetterStartsAtItsFirstPageAndTheLastChoiceWins) {
    pager->firstPage();
    settle(*pager);
    pager->next();
    settle(*pager);

    pager->chooseLetter(QStringLiteral("B"));
    EXPECT_EQ(pager->pageAfter(), "");
    EXPECT_FALSE(pager->hasEarlier());
    settle(*pager);
    EXPECT_THAT(names(*pager), ElementsAre("Bea"));
    EXPECT_FALSE(pager->more());

    pager->chooseLetter(QStringLiteral("L"));
    settle(*pager);
    ASSERT_EQ(pager->people().size(), 1);
    const QVariantMap taxis = pager->people().front().toMap();
    EXPECT_EQ(taxis[QStringLiteral("number")], QStringLiteral("44-1-555-0001"));
    EXPECT_EQ(taxis[QStringLiteral("place")], QStringLiteral("London, England"));
    EXPECT_TRUE(taxis[QStringLiteral("business")].toBool());

    pager->chooseLetter(QStringLiteral("Q"));
    settle(*pager);
    EXPECT_THAT(names(*pager), IsEmpty());
    EXPECT_EQ(pager->note(), QString());
    EXPECT_EQ(pager->emptyText(), QStringLiteral("No listings under Q."));

    // Two quick choices: whichever answer comes first, only the second applies.
    QSignalSpy applied(pager.get(), &DirectoryPager::pageChanged);
    pager->chooseLetter(QStringLiteral("A"));
    pager->chooseLetter(QStringLiteral("B"));
    settle(*pager);
    idle(300);
    EXPECT_EQ(applied.count(), 1);
    EXPECT_EQ(pager->letter(), QStringLiteral("B"));
    EXPECT_THAT(names(*pager), ElementsAre("Bea"));
    EXPECT_FALSE(pager->loading());

    const int sent = pager->requestCount();
    pager->chooseLetter(QStringLiteral("AB"));  // not an index letter
    EXPECT_EQ(pager->requestCount(), sent);
    EXPECT_EQ(pager->letter(), QStringLiteral("B"));
}

TEST_F(DirectoryPaging, SearchWaitsForTypingToPauseAndClearingGoesBackToTheLetter) {
    pager->firstPage();
    settle(*pager);
    const int sent = pager->requestCount();

    for (const char* typed : {"a", "an", "ann"}) pager->setQuery(QString::fromLatin1(typed));
    EXPECT_EQ(pager->requestCount(), sent);  // still waiting
    EXPECT_TRUE(pager->searching());
    ASSERT_TRUE(waitFor([&] { return pager->requestCount() > sent; }));
    settle(*pager);
    idle(250);
    EXPECT_EQ(pager->requestCount(), sent + 1);
    EXPECT_THAT(names(*pager), ElementsAre("Ann"));

    pager->setQuery(QStringLiteral("zz"));
    ASSERT_TRUE(waitFor([&] { return pager->requestCount() == sent + 2 && !pager->loading(); }));
    EXPECT_THAT(names(*pager), IsEmpty());
    EXPECT_EQ(pager->emptyText(), QStringLiteral("No listing starts with that."));

    // Blank is no search: the letter's first page again.
    pager->setQuery(QStringLiteral("  "));
    EXPECT_FALSE(pager->searching());
    ASSERT_TRUE(waitFor([&] { return pager->requestCount() == sent + 3 && !pager->loading(); }));
    EXPECT_THAT(names(*pager), ElementsAre("Ada", "Alf"));

    // A letter chosen during the pause cancels the search.
    pager->setQuery(QStringLiteral("ann"));
    pager->chooseLetter(QStringLiteral("B"));
    EXPECT_EQ(pager->query(), QString());
    settle(*pager);
    idle(250);
    EXPECT_EQ(pager->requestCount(), sent + 4);
    EXPECT_THAT(names(*pager), ElementsAre("Bea"));
}

TEST_F(DirectoryPaging, NoAnswerKeepsAShownPageAndOnlyAnEmptyScreenSaysSo) {
    pager->firstPage();
    settle(*pager);
    auto empty = makePager();
    empty->chooseLetter(QStringLiteral("Q"));
    settle(*empty);

    relay.kill();
    pager->next();
    settle(*pager);
    EXPECT_THAT(names(*pager), ElementsAre("Ada", "Alf"));
    EXPECT_EQ(pager->note(), QString());
    EXPECT_TRUE(pager->more());

    empty->refresh();
    settle(*empty);
    EXPECT_EQ(empty->note(), QStringLiteral("The directory did not answer."));

    DirectoryPager nowhere(nullptr, nullptr);
    nowhere.firstPage();
    settle(nowhere);
    EXPECT_EQ(nowhere.note(), QStringLiteral("The directory did not answer."));
}

// The screen's pager has no client of its own: it reads through the one the
// composition gave the model, and an answer that comes after the pager is
// gone is dropped.
TEST_F(DirectoryPaging, ThePagerReadsThroughTheModelsClient) {
    QTemporaryDir dir;
    AppComponents parts = ui::testParts().components;
    parts.directory = std::make_unique<DirectoryClient>(service());
    AppModel model(dir.path().toStdString(), std::move(parts));

    DirectoryPager screen;
    screen.setModel(&model);
    screen.firstPage();
    settle(screen);
    EXPECT_THAT(names(screen), ElementsAre("Ada", "Alf"));

    auto gone = std::make_unique<DirectoryPager>();
    gone->setModel(&model);
    gone->firstPage();
    gone.reset();
    screen.next();
    settle(screen);
    EXPECT_THAT(names(screen), ElementsAre("Amy", "Ann"));
}

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    Timings quick;
    quick.directorySearch = std::chrono::milliseconds(100);
    setTimings(quick);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
