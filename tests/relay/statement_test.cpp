// Number statements: what the relay signs for a connection that proved its
// number and showed a LAN certificate, and the key that checks them.
#include <sys/stat.h>

#include <ctime>
#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "relay_fixture.h"
#include "wire/number_statement.h"

namespace merrowfax::testing {
namespace {

constexpr const char* kWrong = "Wrong PIN.";

std::string cert(char digit) {
    return "5f2c" + std::string(60, digit);
}

Device withCert(Device device, std::string lanCert) {
    device.lanCert = std::move(lanCert);
    return device;
}

wire::VerifyKey relayKey(const RelayProcess& relay) {
    const auto answer = httpGet(relay.port(), "/merrowfax/key");
    EXPECT_EQ(answer.status, 200);
    EXPECT_EQ(answer.contentType, "application/json");
    const auto doc = parseJson(answer.body);
    if (doc.IsObject() && doc.MemberCount() == 2 && doc.HasMember("alg") &&
        doc["alg"] == "ed25519" && doc.HasMember("key") && doc["key"].IsString())
        if (const auto key = wire::decodeVerifyKey(doc["key"].GetString())) return *key;
    ADD_FAILURE() << "no key in " << answer.body;
    return {};
}

// The statements among the text records of a connection (until the pong for
// a ping, or its end).
std::vector<std::string> statementsIn(const std::vector<std::string>& records) {
    std::vector<std::string> out;
    for (const auto& text : records) {
        const auto doc = parseJson(text);
        if (doc.IsObject() && doc.HasMember("op") && doc["op"] == "cert")
            out.emplace_back(doc["cert"].GetString());
    }
    return out;
}

TEST(StatementTest, EveryProofOfTheNumberEarnsOneStatementForItAndItsCertificate) {
    RelayProcess relay(flags({"--statement-validity", "600"}));
    const auto key = relayKey(relay);
    const Device proofs[] = {
        withCert(on(number(1), "mac-a"), cert('1')),               // a new number
        withCert(on(number(2), "mac-owner", "4821"), cert('2')),   // with its first PIN
        withCert(on(number(2), "ipad-owner", "4821"), cert('3')),  // the right PIN
        withCert(on(number(2), "mac-owner"), cert('4')),           // a trusted computer
        withCert(on(number(1), "mac-walk-in"), cert('5')),         // a number without a PIN
    };
    for (const auto& device : proofs) {
        const std::int64_t before = std::time(nullptr);
        auto joined = join(relay, device);
        const auto statements = statementsIn(drain(*joined.client));
        const std::int64_t after = std::time(nullptr);
        ASSERT_EQ(statements.size(), 1u) << device.computer;
        const auto s = wire::verifyStatement(statements[0], key, after);
        ASSERT_TRUE(s) << statements[0];
        EXPECT_EQ(s->number, device.number);
        EXPECT_EQ(s->lanCert, device.lanCert);
        EXPECT_GE(s->issued, before);
        EXPECT_LE(s->issued, after);
        EXPECT_EQ(s->expires - s->issued, 600);
    }
}

TEST(StatementTest, NoStatementWithoutAWellFormedCertificateOrWithoutProof) {
    RelayProcess relay;
    // Which certificates are well-formed: QueryTest; here only that a bad one earns nothing.
    for (const std::string& bad : {std::string(), cert('0').substr(1)}) {
        auto joined = join(relay, withCert(on(number(static_cast<int>(bad.size())), "mac-x"), bad));
        ASSERT_TRUE(joined.client);  // registered as usual, only without a statement
        EXPECT_TRUE(statementsIn(drain(*joined.client)).empty()) << bad;
    }
    const std::string n = number(30);
    join(relay, on(n, "mac-owner", "1234"));
    for (const auto& attempt : {on(n, "mac-thief", "1111"), on(n, "mac-thief")}) {
        const Device device = withCert(attempt, cert('9'));
        WsClient client(relay.port(), device.target());
        std::vector<std::string> records;
        while (auto m = client.receive())
            if (!m->binary) records.push_back(m->data);
        EXPECT_EQ(client.closeCode(), 1008);
        EXPECT_TRUE(statementsIn(records).empty());
        ASSERT_FALSE(records.empty());
        EXPECT_TRUE(parseJson(records.back())["op"] == "denied") << records.back();
    }
}

TEST(StatementTest, TheKeyOutlivesARestartAndJoinsAServerKeyFromBefore) {
    RelayProcess relay;
    const auto key = relayKey(relay);
    auto joined = join(relay, withCert(on(number(1), "mac-owner", "4821"), cert('1')));
    const auto statements = statementsIn(drain(*joined.client));
    ASSERT_EQ(statements.size(), 1u);
    joined.client->close();
    relay.restart();
    EXPECT_EQ(relayKey(relay), key);
    EXPECT_TRUE(wire::verifyStatement(statements[0], relayKey(relay), std::time(nullptr)));

    const auto signFile = relay.dataDir() / "server.key.sign";
    struct stat st {};
    ASSERT_EQ(::stat(signFile.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(st.st_size, 64);

    // A relay from before statements had only server.key: it keeps that key
    // (the PIN still matches) and gains a statement key.
    relay.stop();
    std::filesystem::remove(signFile);
    relay.restart();
    EXPECT_NE(relayKey(relay), key);
    EXPECT_TRUE(join(relay, on(number(1), "ipad-owner", "4821")).hasPin);
    EXPECT_EQ(refused(relay, on(number(1), "mac-thief", "1111")).reason, kWrong);

    // A damaged statement key is never replaced behind the operator's back.
    relay.stop();
    std::filesystem::resize_file(signFile, 10);
    EXPECT_THROW(relay.restart(), std::runtime_error);
    relay.stop();
    { std::ofstream(signFile, std::ios::binary | std::ios::trunc) << std::string(64, 'x'); }
    EXPECT_THROW(relay.restart(), std::runtime_error);
}

}  // namespace
}  // namespace merrowfax::testing
