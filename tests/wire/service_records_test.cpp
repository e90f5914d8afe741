#include <gtest/gtest.h>

#include <string>

#include "wire/service_records.h"

using namespace merrowfax::wire;

TEST(ServiceRecords, ReadLenientlyWithTheLinesDefaults) {
    const std::vector<std::pair<std::string, ServiceRecord>> cases = {
        {R"({"op":"presence","numbers":["1","2","1"]})", events::Online{{"1", "2"}}},
        {R"({"op":"presence"})", events::Online{}},
        {R"({"op":"presence","numbers":["1",2]})", events::Online{}},
        {R"({"op":"presence","numbers":"1"})", events::Online{}},
        {R"({"op":"miss","to":"0-1-234-5678"})", service::Miss{"0-1-234-5678"}},
        {R"({"op":"miss","to":5})", service::Miss{""}},
        {R"({"op":"pong","extra":[{}]})", service::Pong{}},
        {R"({"op":"pin","hasPin":true,"business":true,"error":"Taken"})",
         service::Pin{true, true, "Taken"}},
        {R"({"op":"pin","hasPin":"yes"})", service::Pin{false, false, ""}},
        {R"({"op":"denied"})", service::Denied{"Wrong PIN."}},
        {R"({"op":"denied","reason":"Locked"})", service::Denied{"Locked"}},
        {R"({"op":"cert","cert":"v1.a.b"})", service::Statement{"v1.a.b"}},
        {R"({"op":"cert","cert":7})", service::Statement{""}},
        {R"({"op":"book"})", service::Book{}},
        {R"({"op":"book","contacts":[{"name":"Bo","number":"1","blocked":true},{"name":3}]})",
         service::Book{{{"Bo", "1", true}, {std::nullopt, std::nullopt, std::nullopt}}}},
        {R"({"op":"book","contacts":[{"name":"Bo"},7]})", service::Book{}},
    };
    for (const auto& [json, expected] : cases) {
        auto record = decodeServiceRecord(json);
        ASSERT_TRUE(record) << json;
        EXPECT_EQ(*record, expected) << json;
    }
}

TEST(ServiceRecords, AnythingElseIsLeftForTheEnvelopeDecoder) {
    for (const std::string& json : std::vector<std::string>{
             R"({"op":"text","id":"x"})", R"({"op":1})", R"({"numbers":[]})", R"(["presence"])",
             R"({"op":"presence"} x)", std::string(R"({"op":"pong"})") + '\0',
             "{\"op\":\"miss\",\"to\":\"\xff\"}",
             R"({"op":"book","contacts":[{"name":"a\ude00","number":"44-564-6789"}]})",
             R"({"op":"pong","\ud800":1})",
             R"({"op":"pong","x":)" + std::string(100000, '[') + std::string(100000, ']') + "}"}) {
        EXPECT_FALSE(decodeServiceRecord(json)) << json.substr(0, 60);
    }
}

TEST(ServiceRecords, BookStoreRoundTrips) {
    const std::vector<BookEntry> contacts = {{"Bo \"B\"", "1-2-345-6789", false},
                                             {"Zoë", "0-1-234-5678", true}};
    auto json = encodeBookStore(contacts);
    ASSERT_TRUE(json);
    EXPECT_EQ(encodeBookStore({}), R"({"op":"book","contacts":[]})");
    EXPECT_EQ(decodeServiceRecord(*json), ServiceRecord(service::Book{contacts}));
    const std::vector<BookEntry> invalid = {{"\xff", "1", false}};
    EXPECT_FALSE(encodeBookStore(invalid));
}

TEST(ServiceRecords, DirectoryPagesNeedEveryKeyOfItsType) {
    auto page = decodeDirectoryPage(
        R"({"people":[{"number":"0-1-234-5678","name":"Ann","business":false},)"
        R"({"number":"1-1-222-2222","name":"Bakery","business":true,"extra":1}],)"
        R"("more":true,"after":"x1"})");
    ASSERT_TRUE(page);
    EXPECT_TRUE(page->more);
    EXPECT_EQ(page->after, "x1");
    ASSERT_EQ(page->people.size(), 2u);
    EXPECT_EQ(page->people[1], (DirectoryEntry{"1-1-222-2222", "Bakery", true}));
    EXPECT_EQ(decodeDirectoryPage(R"({"people":[],"more":false,"after":""})"), DirectoryPage{});

    for (const char* json : {
             R"({"people":[],"after":""})",               // no "more"
             R"({"people":[],"more":"no","after":""})",   // wrong type
             R"({"people":{},"more":false,"after":""})",  // not a list
             R"({"people":[{"number":"1","name":"A"}],"more":false,"after":""})",
             R"({"people":[7],"more":false,"after":""})",
             R"([])",
         }) {
        EXPECT_FALSE(decodeDirectoryPage(json)) << json;
    }
}

TEST(LineRecords, OneParseIsReadAsServiceRecordOrEnvelope) {
    auto text = decodeLineRecord(
        R"({"op":"text","id":"6F9619FF-8B86-D011-B42D-00CF4FC964FF","to":"1","text":"hi"})");
    ASSERT_TRUE(text);
    const auto* envelope = std::get_if<Envelope>(&*text);
    ASSERT_TRUE(envelope);
    EXPECT_EQ(envelope->text, "hi");

    // Each reader goes on when the other gives up: a repeated or mistyped
    // envelope key does not hide a service record.
    const std::vector<std::pair<std::string, ServiceRecord>> services = {
        {R"({"op":"miss","to":"a","to":"b"})", service::Miss{"a"}},
        {R"({"to":5,"op":"presence","numbers":["1"]})", events::Online{{"1"}}},
        {R"({"op":"pin","hasPin":true,"video":"yes"})", service::Pin{true, false, ""}},
    };
    for (const auto& [json, expected] : services) {
        auto record = decodeLineRecord(json);
        ASSERT_TRUE(record) << json;
        EXPECT_EQ(*record, LineRecord(expected)) << json;
    }

    for (const std::string& json : std::vector<std::string>{
             R"({"op":"text","id":5})", R"({"op":"text","text":"a","text":"b"})", "[]",
             R"({"op":"text"} {})",
             R"({"op":"pong","x":)" + std::string(40, '[') + std::string(40, ']') + "}"}) {
        EXPECT_FALSE(decodeLineRecord(json)) << json;
    }
}
