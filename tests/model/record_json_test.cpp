#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <random>
#include <string>

#include "model/record_json.h"
#include "sample_records.h"

using namespace merrowfax;

namespace {

// The smallest valid database, with one field left to fill in by each case.
std::string databaseWith(const std::string& threads, const std::string& extra = "") {
    return R"({"deviceId":"E621E1F8-C36C-495A-93FC-0C247A3E6E5F","contacts":[],"threads":)" +
           threads + R"(,"calls":[],"directory":{})" + extra + "}";
}

const std::string kMessage =
    R"({"id":"0C9A8B7E-1111-4222-8333-444455556666","sender":"me","sentAt":60,"text":"hi","status":"sent"})";

std::string threadWith(const std::string& messages,
                       const std::string& updatedAt = R"(,"updatedAt":60)") {
    return R"([{"id":"0-1-234-5678","title":"Ana","messages":[)" + messages + "]" + updatedAt +
           "}]";
}

// kMessage with `from` replaced by `to`.
std::string messageWith(const std::string& from, const std::string& to) {
    std::string m = kMessage;
    return m.replace(m.find(from), from.size(), to);
}

// The "account" key of a database, its number made of these JSON values.
std::string accountWith(const std::string& city = "1", const std::string& subscriber = "2345678") {
    return R"(,"account":{"id":"E621E1F8-C36C-495A-93FC-0C247A3E6E5F","deviceId":"E621E1F8-C36C-495A-93FC-0C247A3E6E5F",)"
           R"("displayName":"A","number":{"country":"0","cityCode":)" +
           city + R"(,"subscriber":)" + subscriber +
           R"(},"createdAt":1,"isCompanion":false,"linkedDevices":[]})";
}

}  // namespace

TEST(RecordJson, EveryRecordRoundTrips) {
    const StoredDatabase db = fixture::sampleDatabase();
    const std::string json = encodeDatabase(db);
    auto back = decodeDatabase(json);
    ASSERT_TRUE(back);
    EXPECT_EQ(*back, db);
    EXPECT_EQ(encodeDatabase(*back), json);

    SyncSnapshot snapshot{db.contacts, db.threads, db.calls, db.directory,
                          db.account->linkedDevices};
    auto snapBack = decodeSnapshot(encodeSnapshot(snapshot));
    ASSERT_TRUE(snapBack);
    EXPECT_EQ(*snapBack, snapshot);

    // A fresh database: no account, no optional keys at all.
    const StoredDatabase fresh = StoredDatabase::fresh();
    const std::string freshJson = encodeDatabase(fresh);
    EXPECT_EQ(freshJson, R"({"deviceId":")" + fresh.deviceId.text() +
                             R"(","contacts":[],"threads":[],"calls":[],"directory":{}})");
    EXPECT_EQ(decodeDatabase(freshJson), fresh);
}

TEST(RecordJson, WritesReferenceDatesUpperCaseIdsAndOmitsAbsentOptionals) {
    Message m;
    m.id = *Uuid::parse("0c9a8b7e-1111-4222-8333-444455556666");
    m.sender = "me";
    m.sentAt = dateFromSystemClock(std::chrono::system_clock::from_time_t(978307260));
    m.text = "Photo";
    m.status = MessageStatus::waiting;
    m.attachmentKind = "image";
    EXPECT_EQ(encodeMessage(m),
              R"({"id":"0C9A8B7E-1111-4222-8333-444455556666","sender":"me","sentAt":60,)"
              R"("text":"Photo","status":"waiting","attachmentKind":"image"})");
    auto back = decodeMessage(encodeMessage(m));
    ASSERT_TRUE(back);
    EXPECT_EQ(*back, m);
    EXPECT_FALSE(back->expiresAt);

    // Numbers the way other writers may put them.
    const std::pair<std::string, double> dates[] = {
        {"60", 60},
        {"6e1", 60},
        {"60.000", 60},
        {"-0.5", -0.5},
        {"1e-400", 0},
        {"786297600.123456", 786297600.123456},
        {"1.7976931348623157e308", 1.7976931348623157e308},
    };
    for (const auto& [text, value] : dates) {
        auto read = decodeMessage(messageWith(R"("sentAt":60)", R"("sentAt":)" + text));
        ASSERT_TRUE(read) << text;
        EXPECT_EQ(read->sentAt, value) << text;
    }
}

TEST(RecordJson, DatesSurviveExactly) {
    std::mt19937_64 random(7);
    Message m = fixture::message("me", 0, "", MessageStatus::sent);
    for (int i = 0; i < 2000; ++i) {
        // Any finite bit pattern, plus typical instants with microseconds.
        double d = std::bit_cast<double>(random());
        if (!std::isfinite(d)) continue;
        for (double date : {d, 786297600.0 + static_cast<double>(random() % 1'000'000'000) / 1e6}) {
            m.sentAt = date;
            auto back = decodeMessage(encodeMessage(m));
            ASSERT_TRUE(back) << date;
            EXPECT_EQ(std::bit_cast<std::uint64_t>(back->sentAt),
                      std::bit_cast<std::uint64_t>(date));
        }
    }
}

TEST(RecordJson, ToleratedAbsences) {
    auto db = decodeDatabase(databaseWith("[]", accountWith()));
    ASSERT_TRUE(db);
    ASSERT_TRUE(db->account);
    EXPECT_EQ(db->account->accountKind, "personal");
    EXPECT_FALSE(db->channelId);
    EXPECT_FALSE(db->lockScreenTalk);
    std::string contact = databaseWith("[]", R"(,"channelId":null,"lockScreenTalk":null)");
    contact.replace(
        contact.find("[]"), 2,
        R"([{"id":"E621E1F8-C36C-495A-93FC-0C247A3E6E5F","name":"B","number":"0-1-234-5678"}])");
    db = decodeDatabase(contact);
    ASSERT_TRUE(db);
    ASSERT_EQ(db->contacts.size(), 1u);
    EXPECT_FALSE(db->contacts[0].blocked);
    EXPECT_FALSE(db->channelId);

    // Optional message keys given as null read as absent; unknown keys are skipped.
    db = decodeDatabase(databaseWith(threadWith(messageWith(
        "}", R"(,"expiresAt":null,"attachmentName":null,"later":{"a":[1,{"b":null}]}})"))));
    ASSERT_TRUE(db);
    EXPECT_FALSE(db->threads[0].messages[0].expiresAt);
    EXPECT_FALSE(db->threads[0].messages[0].attachmentName);

    // Escapes decode, and Hangul (led by ED, like an encoded surrogate) stays valid.
    db = decodeDatabase(databaseWith(
        threadWith(messageWith(R"("hi")", "\"\xED\x95\x9C\\u00e9\\ud83d\\ude00\\n\\u0000\""))));
    ASSERT_TRUE(db);
    EXPECT_EQ(db->threads[0].messages[0].text,
              std::string("\xED\x95\x9C\xC3\xA9\xF0\x9F\x98\x80\n\0", 11));
}

TEST(RecordJson, UnreadCountsAreOptionalAndOlderFilesWriteBackUnchanged) {
    const std::string older = databaseWith(threadWith(kMessage));
    auto db = decodeDatabase(older);
    ASSERT_TRUE(db);
    EXPECT_EQ(db->threads[0].unread, 0);
    EXPECT_FALSE(db->keepInTray);
    EXPECT_EQ(encodeDatabase(*db), older);

    const std::string counted = databaseWith(threadWith(kMessage, R"(,"updatedAt":60,"unread":2)"));
    db = decodeDatabase(counted);
    ASSERT_TRUE(db);
    EXPECT_EQ(db->threads[0].unread, 2);
    EXPECT_EQ(encodeDatabase(*db), counted);
    for (const char* odd : {"-1", "1e12", "2.5"}) {
        db = decodeDatabase(
            databaseWith(threadWith(kMessage, std::string(R"(,"updatedAt":60,"unread":)") + odd)));
        ASSERT_TRUE(db) << odd;
        EXPECT_EQ(db->threads[0].unread, std::string(odd) == "2.5" ? 2 : 0) << odd;
    }
}

// Each input must fail the whole document, never give part of it.
TEST(RecordJson, StrictFailures) {
    ASSERT_TRUE(decodeDatabase(databaseWith(threadWith(kMessage))));
    auto lower = decodeDatabase(databaseWith(threadWith(messageWith(
        "0C9A8B7E-1111-4222-8333-444455556666", "0c9a8b7e-1111-4222-8333-44445555666f"))));
    ASSERT_TRUE(lower);
    EXPECT_EQ(lower->threads[0].messages[0].id.text(), "0C9A8B7E-1111-4222-8333-44445555666F");
    auto withMessage = [](const std::string& from, const std::string& to) {
        return databaseWith(threadWith(messageWith(from, to)));
    };
    auto numberWith = [](const std::string& city, const std::string& subscriber) {
        return databaseWith("[]", accountWith(city, subscriber));
    };
    ASSERT_TRUE(decodeDatabase(numberWith("1", "2345678")));
    ASSERT_TRUE(decodeDatabase(numberWith("1.0", "2e6")));  // integral, however written
    const std::string id = R"("id":"0C9A8B7E-1111-4222-8333-444455556666")";
    const std::string emptyDirectory = databaseWith("[]");
    auto directoryWith = [&](const std::string& object) {
        return std::string(emptyDirectory).replace(emptyDirectory.find("{}"), 2, object);
    };

    const std::string cases[] = {
        databaseWith(threadWith(kMessage, "")),                      // thread without updatedAt
        databaseWith(threadWith(kMessage, R"(,"updatedAt":"60")")),  // date as text
        databaseWith(threadWith(kMessage, R"(,"updatedAt":null)")),  // null for required
        withMessage(R"("sender":"me",)", ""),                        // missing required key
        withMessage(id, R"("id":"not-a-uuid")"),
        withMessage(id, R"("id":"0C9A8B7E-1111-4222-8333-4444555566667")"),
        withMessage(id, R"("id":"0C9A8B7E-1111-4222-8333-44445555666G")"),
        withMessage(id, R"("id":"0C9A8B7E11111-4222-8333-444455556666")"),
        withMessage(id, R"("id":"+C9A8B7E-1111-4222-8333-444455556666")"),
        withMessage(R"("status":"sent")", R"("status":"sent","status":"sent")"),  // duplicate key
        withMessage(R"("text":"hi")", R"("text":7)"),
        withMessage(R"("text":"hi")", R"("text":"hi","deletedForEveryone":1)"),
        withMessage(R"("text":"hi")", "\"text\":\"\xC3\x28\""),  // invalid UTF-8
        withMessage(R"("text":"hi")", R"("text":"\udc00")"),     // lone surrogate escape
        withMessage(R"("text":"hi")", R"("text":"\ud800")"),
        withMessage(R"("sentAt":60)", R"("sentAt":1e400)"),
        numberWith("1e300", "2345678"),
        numberWith("1", "-5"),
        numberWith("1", "2345678.5"),
        numberWith("1", "10000000"),
        numberWith("0", "2345678"),
        numberWith("18446744073709551615", "2345678"),
        numberWith("\"1\"", "2345678"),
        databaseWith("[]", R"(,"directory":{})"),  // duplicate directory
        directoryWith(R"({"a":"x","a":"y"})"),
        directoryWith(R"({"a":1})"),
        databaseWith("{}"),                           // object for array
        databaseWith("[]").substr(0, 60),             // truncated
        databaseWith("[]") + "{}",                    // trailing value
        databaseWith("[]") + std::string("\0{}", 3),  // after a NUL
        "[" + databaseWith("[]") + "]",
        "",
        "{\"conta7-1-765-4321\xE9",  // cut inside a sequence
        "\"\xF0",
        std::string(100'000, '[') + std::string(100'000, ']'),  // deep nesting
        databaseWith("[]", R"(,"x":)" + std::string(65, '[') + std::string(65, ']')),
    };
    for (const auto& input : cases) {
        EXPECT_FALSE(decodeDatabase(input)) << input.substr(0, 300);
    }
    // Unknown keys may nest, but only so far.
    EXPECT_TRUE(decodeDatabase(
        databaseWith("[]", R"(,"x":)" + std::string(60, '[') + std::string(60, ']'))));
}

TEST(RecordJson, BrokenUtf8InMemoryIsRepairedSoTheDocumentReadsBack) {
    StoredDatabase db = StoredDatabase::fresh();
    // "\xC3" and "\xFF" both repair to U+FFFD: the directory must not repeat a key.
    const std::string broken[] = {"\xC3",    "\xFF", "a\xFFz", "\xED\xA0\x80", "\xF4\x90\x80\x80",
                                  "\xC0\xAF"};
    for (const auto& text : broken) db.directory[text] = text + "!";
    db.contacts.push_back({Uuid::random(), std::string("nul\0inside", 10), "\x80", false});
    auto back = decodeDatabase(encodeDatabase(db));
    ASSERT_TRUE(back);
    EXPECT_EQ(back->contacts[0].name, std::string("nul\0inside", 10));
    EXPECT_EQ(back->contacts[0].number, "\xEF\xBF\xBD");
    EXPECT_TRUE(back->directory.count("a\xEF\xBF\xBDz"));
}

// Words a newer version may write read as "other" and are written back as
// they were; known words are exact.
TEST(RecordJson, StatusAndDirectionWordsReadAsEnumsAndWriteBackUnchanged) {
    auto withStatus = [](const std::string& status) {
        return databaseWith(threadWith(messageWith(R"("sent")", status)));
    };
    auto withDirection = [](const std::string& direction) {
        return databaseWith("[]").replace(
            databaseWith("[]").find(R"("calls":[])"), 10,
            R"("calls":[{"id":"0C9A8B7E-1111-4222-8333-444455556666","number":"0-1-234-5678","name":"Ana","video":false,"direction":)" +
                direction + R"(,"at":60,"duration":0}])");
    };
    const std::pair<const char*, MessageStatus> statuses[] = {
        {"waiting", MessageStatus::waiting},
        {"sent", MessageStatus::sent},
        {"delivered", MessageStatus::delivered},
        {"deleted", MessageStatus::deleted},
        {"read", MessageStatus::other},
        {"Sent", MessageStatus::other},
        {"", MessageStatus::other},
    };
    for (const auto& [word, status] : statuses) {
        const std::string json = withStatus("\"" + std::string(word) + "\"");
        const auto db = decodeDatabase(json);
        ASSERT_TRUE(db) << word;
        EXPECT_EQ(db->threads[0].messages[0].status, status) << word;
        EXPECT_EQ(wordOf(db->threads[0].messages[0].status), word);
        EXPECT_EQ(encodeDatabase(*db), json) << word;
    }
    const std::pair<const char*, CallDirection> directions[] = {
        {"outgoing", CallDirection::outgoing},
        {"incoming", CallDirection::incoming},
        {"missed", CallDirection::missed},
        {"rejected", CallDirection::other},
    };
    for (const auto& [word, direction] : directions) {
        const std::string json = withDirection("\"" + std::string(word) + "\"");
        const auto db = decodeDatabase(json);
        ASSERT_TRUE(db) << word;
        EXPECT_EQ(db->calls[0].direction, direction) << word;
        EXPECT_EQ(encodeDatabase(*db), json) << word;
    }

    // An unknown word is replaced by the next status set, and forgotten.
    auto db = decodeDatabase(withStatus(R"("read")"));
    ASSERT_TRUE(db);
    Message& m = db->threads[0].messages[0];
    m.status = MessageStatus::delivered;
    EXPECT_NE(encodeDatabase(*db).find(R"("status":"delivered")"), std::string::npos);
    EXPECT_EQ(m, *decodeMessage(encodeMessage(m)));
    // Still strict about the type.
    for (const auto& json : {withStatus("1"), withStatus("null"), withDirection("true")})
        EXPECT_FALSE(decodeDatabase(json)) << json;
    EXPECT_EQ(wordOf(CallPhase::dialing), "dialing");
    EXPECT_EQ(wordOf(CallPhase::active), "active");
}
