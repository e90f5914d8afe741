#include "model_fixture.h"

using namespace merrowfax;
using namespace merrowfax::testing;

namespace {

class Contacts : public ModelTest {
protected:
    void SetUp() override { start(); }

    std::vector<std::string> names() const {
        std::vector<std::string> out;
        for (const auto& c : model->people().contacts()) out.push_back(c.name);
        return out;
    }
    Uuid idOf(const std::string& number) const {
        for (const auto& c : model->people().contacts()) {
            if (c.number == number) return c.id;
        }
        return {};
    }
};

TEST_F(Contacts, AddStoresTheCanonicalNumberOnceAndKeepsNameOrder) {
    model->people().addContact("  bob  ", "+1 (1) 222 2222");
    model->people().addContact("Alice", "44-1-555-0001");
    model->people().addContact("Émile", "0-10-111-1111");
    model->people().addContact("zed", "0-1-000-0042");
    EXPECT_EQ(names(), (std::vector<std::string>{"Alice", "bob", "Émile", "zed"}));
    EXPECT_EQ(model->people().contacts()[1].number, kBob);

    model->people().addContact("Robert", "1-1-222-2222");  // same number: renamed, not added
    EXPECT_EQ(model->people().contacts().size(), 4u);
    EXPECT_EQ(model->people().displayName(kBob), "Robert");
    EXPECT_EQ(stored().contacts, model->people().contacts());

    model->people().addContact(std::string(60, 'x'), "0-1-000-0043");
    EXPECT_EQ(model->people().displayName("0-1-000-0043"), std::string(40, 'x'));
}

TEST_F(Contacts, AddAndUpdateRefuseBadInput) {
    struct Case {
        const char* name;
        const char* number;
        std::optional<std::string> alert;
    };
    const Case cases[] = {
        {"Alice", "12345", "Enter a Merrowfax number such as 0-1-234-5678."},
        {"Me", "0 1 234 5678", "That is your number."},
        {"   ", kAlice, std::nullopt},  // empty name: nothing at all
    };
    for (const Case& c : cases) {
        model->dismissAlert();
        model->people().addContact(c.name, c.number);
        EXPECT_EQ(model->alertMessage(), c.alert) << c.number;
        EXPECT_TRUE(model->people().contacts().empty());
    }

    model->people().addContact("Alice", kAlice);
    model->people().addContact("Bob", kBob);
    model->people().updateContact(idOf(kBob), "Bob", kAlice);
    EXPECT_EQ(model->alertMessage(), "That number is already a contact.");
    EXPECT_EQ(model->people().displayName(kBob), "Bob");
}

TEST_F(Contacts, ChangingANumberMergesTheConversationsInTimeOrder) {
    model->people().addContact("Alice", kAlice);
    fromLine(text(kAlice, "a1"));
    fromLine(text(kBob, "b1", Uuid::random(), "Bob"));
    fromLine(text(kAlice, "a2"));
    fromLine(text(kBob, "b2", Uuid::random(), "Bob"));

    model->people().deleteContact(idOf(kBob));  // Bob was added on his first text
    model->people().updateContact(idOf(kAlice), "Alice", kBob);
    EXPECT_EQ(threadOf(kAlice), nullptr);
    const ChatThread* merged = threadOf(kBob);
    ASSERT_NE(merged, nullptr);
    std::vector<std::string> bodies;
    for (const auto& m : merged->messages) bodies.push_back(m.text);
    EXPECT_EQ(bodies, (std::vector<std::string>{"a1", "b1", "a2", "b2"}));
    EXPECT_EQ(merged->updatedAt, merged->messages.back().sentAt);

    // A thread moves whole when the new number has none.
    model->people().updateContact(idOf(kBob), "Alice", "0-1-000-0001");
    ASSERT_NE(threadOf("0-1-000-0001"), nullptr);
    EXPECT_EQ(threadOf("0-1-000-0001")->messages.size(), 4u);
}

TEST_F(Contacts, ImportingTheBookKeepsWhatIsAlreadyHere) {
    model->people().addContact("Alice (mine)", kAlice);
    model->people().importBook({
        BookEntry{"Alice (book)", kAlice, true},           // exists: untouched
        BookEntry{"Bob", kBob, true},                      // added, blocked
        BookEntry{"Carol", "0-1-000-0042", std::nullopt},  // blocked missing: false
        BookEntry{std::nullopt, "0-1-000-0043", false},    // name not text: skipped
        BookEntry{"Dan", std::nullopt, false},             // number not text: skipped
        BookEntry{"Eve", "garbage", false},
    });
    EXPECT_EQ(names(), (std::vector<std::string>{"Alice (mine)", "Bob", "Carol"}));
    EXPECT_FALSE(model->people().isBlocked(kAlice));
    EXPECT_TRUE(model->people().isBlocked(kBob));
    EXPECT_FALSE(model->people().isBlocked("0-1-000-0042"));
    EXPECT_EQ(stored().contacts, model->people().contacts());
}

// "Alice" made to end, on screen, in someone else's number: a right-to-left
// override, the number reversed, and invisible padding.
const std::string kPosing =
    "\xE2\x80\x8B Alice\xE2\x80\xAE"
    "8765-432-1-0\xE2\x81\xA9\xEF\xBB\xBF";
const std::string kPosingCleaned = "Alice8765-432-1-0";

TEST_F(Contacts, NamesCannotHideOrReorderTextWhereverTheyComeFrom) {
    model->people().addContact(kPosing, kAlice);
    EXPECT_EQ(model->people().displayName(kAlice), kPosingCleaned);
    model->people().updateContact(idOf(kAlice),
                                  "\xE2\x80\xAE"
                                  "Ally\x07",
                                  kAlice);
    EXPECT_EQ(model->people().displayName(kAlice), "Ally");
    model->people().addContact("\xE2\x80\x8F\xE2\x80\x8B ", kBob);  // nothing visible: no contact
    EXPECT_EQ(model->people().contacts().size(), 1u);

    model->people().importBook({BookEntry{kPosing, kBob, false}});
    EXPECT_EQ(model->people().displayName(kBob), kPosingCleaned);

    // Names strangers and callers give themselves.
    fromLine(text("0-1-000-0042", "hi", Uuid::random(), kPosing.c_str()));
    EXPECT_EQ(model->people().displayName("0-1-000-0042"), kPosingCleaned);
    EXPECT_EQ(threadOf("0-1-000-0042")->title, kPosingCleaned);
    EXPECT_EQ(model->people().directory().at("0-1-000-0042"), kPosingCleaned);
    wire::events::Call invite{"invite", Uuid::random(), "0-1-000-0043", "", kPosing, false, ""};
    fromLine(invite);
    EXPECT_EQ(model->people().directory().at("0-1-000-0043"), kPosingCleaned);
    EXPECT_EQ(model->calls().incoming()->name, kPosingCleaned);
    EXPECT_EQ(stored().contacts, model->people().contacts());
}

TEST_F(Contacts, TheLinkEncodesTheNameFully) {
    EXPECT_EQ(model->people().contactLink(), "merrowfax://add?name=Me&number=0-1-234-5678");
    model.reset();
    StoredDatabase db = stored();
    db.account->displayName = "Zoë & Co #1+";
    seed(db);
    start();
    EXPECT_EQ(model->people().contactLink(),
              "merrowfax://add?name=Zo%C3%AB%20%26%20Co%20%231%2B&number=0-1-234-5678");
}

TEST_F(Contacts, EveryChangeIsMirroredOnceABurstIsOver) {
    TimingsOverride quick([](Timings& t) { t.bookUpload = std::chrono::milliseconds(100); });
    model->people().addContact("Alice", kAlice);
    model->people().addContact("Bob", kBob);
    model->people().updateContact(idOf(kBob), "Robert", kBob);
    model->people().setBlocked(idOf(kAlice), true);
    model->people().deleteContact(idOf(kBob));
    EXPECT_EQ(*line->uploads, 0);
    ASSERT_TRUE(waitUntil([&] { return *line->uploads > 0; }));
    waitUntil([] { return false; }, 300);
    EXPECT_EQ(*line->uploads, 1);
    EXPECT_EQ(*line->books.back(), (std::vector<BookEntry>{BookEntry{"Alice", kAlice, true}}));

    model->people().setBlocked(idOf(kAlice), false);
    ASSERT_TRUE(waitUntil([&] { return *line->uploads == 2; }));
    EXPECT_EQ(*line->books.back(), (std::vector<BookEntry>{BookEntry{"Alice", kAlice, false}}));
}

TEST_F(Contacts, TheMergedBookGoesBackOnlyWhenItDiffersFromTheStoredOne) {
    model->people().addContact("Alice", kAlice);  // the line was closed meanwhile
    line->callbacks.onOpen();
    settle();
    ASSERT_FALSE(line->books.back());  // the stored book is asked for first
    line->callbacks.onBook({BookEntry{"Bob", kBob, true}});
    settle();
    ASSERT_EQ(*line->uploads, 1);  // at once, not after the gathering pause
    const std::vector<BookEntry> merged{BookEntry{"Alice", kAlice, false},
                                        BookEntry{"Bob", kBob, true}};
    EXPECT_EQ(*line->books.back(), merged);

    // The next opening finds the same book, in another order: nothing goes.
    line->callbacks.onOpen();
    settle();
    line->callbacks.onBook({merged[1], merged[0]});
    settle();
    waitUntil([] { return false; }, static_cast<int>(timings().bookUpload.count()) + 200);
    EXPECT_EQ(*line->uploads, 1);
}

TEST_F(Contacts, BlockingAStrangerKeepsThemAsABlockedContact) {
    model->people().learnName(kBob, "Bob from the directory");
    model->people().blockNumber(kBob, true);
    ASSERT_EQ(model->people().contacts().size(), 1u);
    EXPECT_EQ(model->people().contacts()[0].name, "Bob from the directory");
    EXPECT_TRUE(model->people().isBlocked(kBob));
    EXPECT_EQ(stored().contacts, model->people().contacts());
    fromLine(text(kBob, "let me in"));
    EXPECT_FALSE(threadOf(kBob));

    model->people().blockNumber(kBob, false);
    EXPECT_FALSE(model->people().isBlocked(kBob));
    EXPECT_EQ(model->people().contacts().size(), 1u);
    // Unblocking a stranger or blocking ourselves adds nobody.
    model->people().blockNumber(kAlice, false);
    model->people().blockNumber(kOwn, true);
    EXPECT_EQ(model->people().contacts().size(), 1u);
}

}  // namespace
