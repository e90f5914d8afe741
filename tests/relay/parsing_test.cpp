// Tables through the parsers that see outside input before anything else.
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <tuple>

#include <gtest/gtest.h>

#include "relay/config.h"
#include "relay/directory.h"
#include "relay/fold.h"
#include "relay/query.h"

namespace merrowfax::relay {
namespace {

TEST(QueryTest, TargetsDecodeOrRefuseWhole) {
    struct Case {
        const char* target;
        bool ok;
        const char* path;
        const char* name;  // value of "name", when ok
    };
    const Case cases[] = {
        {"/merrowfax/live?name=Ann%20Lee", true, "/merrowfax/live", "Ann Lee"},
        {"/merrowfax/live?name=A+B", true, "/merrowfax/live", "A+B"},  // plus stays a plus
        {"/merrowfax/live?name=%C3%89mile&name=second", true, "/merrowfax/live", "Émile"},
        {"/merrowfax/live?&&name=x&", true, "/merrowfax/live", "x"},
        {"/merrowfax/live?name", true, "/merrowfax/live", ""},
        {"/merrowfax/live?name=%", false, "", ""},
        {"/merrowfax/live?name=%4", false, "", ""},
        {"/merrowfax/live?name=%zz", false, "", ""},
        {"/merrowfax/live?name=%00", false, "", ""},
        {"/merrowfax/live?name=%FF%FE", false, "", ""},
        {"/merrowfax/live?name=%C3", false, "", ""},
    };
    for (const auto& c : cases) {
        const auto t = parseTarget(c.target);
        ASSERT_EQ(t.has_value(), c.ok) << c.target;
        if (!t) continue;
        EXPECT_EQ(t->path, c.path);
        ASSERT_NE(t->find("name"), nullptr) << c.target;
        EXPECT_EQ(*t->find("name"), c.name) << c.target;
    }
    // At most 32 items and 8 KiB.
    std::string many = "/x?a=1";
    for (int i = 1; i < 32; ++i) many += "&a=1";
    EXPECT_TRUE(parseTarget(many));
    EXPECT_FALSE(parseTarget(many + "&a=1"));
    EXPECT_TRUE(parseTarget("/x?a=" + std::string(8192 - 5, 'a')));
    EXPECT_FALSE(parseTarget("/x?a=" + std::string(8192 - 4, 'a')));
}

TEST(QueryTest, Registration) {
    auto reg = [](const std::string& query) {
        return parseRegistration(*parseTarget("/merrowfax/live?" + query));
    };
    auto r =
        reg("number=0-1-234-5678&name=%20%20Ann%20&device=Mac&computer=mac-1&pin=1234"
            "&newpin=12a4&kind=Personal");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->number, "0-1-234-5678");
    EXPECT_EQ(r->name, "Ann");
    EXPECT_EQ(r->pin, "1234");
    EXPECT_EQ(r->newPin, "");  // not four digits: as if absent
    EXPECT_EQ(r->kind, "");    // only exactly "personal" or "business"
    EXPECT_EQ(reg("number=0-1-234-5678&computer=c&name=" + std::string(60, 'n'))->name.size(), 40u);

    // Each refusal says why, in words the client shows.
    const std::pair<std::string, const char*> refused[] = {
        {"number=0-1-234-5678&name=A", kBadComputerReason},
        {"number=0-1-234-5678&computer=", kBadComputerReason},
        {"number=0-1-234-5678&computer=" + std::string(201, 'c'), kBadComputerReason},
        {"computer=c", kBadNumberReason},
        {"number=01-555-1001&computer=c", kBadNumberReason},
        {"number=0-1-5551001&computer=c", kBadNumberReason},
        {"number=0-1-000-0000&computer=c", kBadNumberReason},
        {"number=%2B0-1-234-5678&computer=c", kBadNumberReason},
        {"number=0-1-234-56789&computer=c", kBadNumberReason},
        {"number=0-1-234-5678&computer=c&name=a%09b", kBadNameReason},
        {"number=0-1-234-5678&computer=c&name=Ann%01", kBadNameReason},
        {"number=0-1-234-5678&computer=c&name=A&device=Mac%7F", kBadDeviceReason},
    };
    for (const auto& [query, reason] : refused) {
        std::string why;
        EXPECT_FALSE(parseRegistration(*parseTarget("/merrowfax/live?" + query), why)) << query;
        EXPECT_EQ(why, reason) << query;
    }
    EXPECT_TRUE(reg("number=0-1-234-5678&computer=" + std::string(200, 'c')));

    // A LAN certificate's fingerprint is taken only in its one form.
    const std::string cert = "0123456789abcdef" + std::string(48, 'e');
    EXPECT_EQ(reg("number=0-1-234-5678&computer=c&lancert=" + cert)->lanCert, cert);
    for (const std::string& bad :
         {std::string(64, 'E'), cert.substr(1), cert + "0", std::string(64, 'g')})
        EXPECT_EQ(reg("number=0-1-234-5678&computer=c&lancert=" + bad)->lanCert, "") << bad;
}

TEST(FoldTest, NamesFoldToTheirBaseLatinLetter) {
    struct Case {
        const char* name;
        const char* key;
        const char* letter;
    };
    const Case cases[] = {
        {"Émile", "emile", "E"},     {"ÅSA", "asa", "A"}, {"Ørsted", "orsted", "O"},
        {"straße", "strasse", "S"},  {"Zoë", "zoe", "Z"}, {"Иван", "иван", "#"},
        {"42 Club", "42 club", "#"}, {"", "", "#"},       {"😀 Smile", "😀 smile", "#"},
    };
    for (const auto& c : cases) {
        const auto key = foldName(c.name);
        EXPECT_EQ(key, c.key) << c.name;
        EXPECT_EQ(indexLetter(key), c.letter) << c.name;
    }
}

TEST(DirectoryCursorTest, RoundTripsAndRefusesForgeries) {
    const DirectoryCursor cursor{"émile", "0-1-234-5678"};
    const auto text = Directory::encodeCursor(cursor);
    EXPECT_EQ(text.find_first_of("+/=&"), std::string::npos);  // safe in a query as is
    const auto back = Directory::decodeCursor(text);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->nameKey, cursor.nameKey);
    EXPECT_EQ(back->number, cursor.number);
    EXPECT_FALSE(Directory::decodeCursor("not base64!"));
    EXPECT_FALSE(Directory::decodeCursor(Directory::encodeCursor({"x", "12345"})));
    EXPECT_FALSE(Directory::decodeCursor(std::string(2000, 'A')));
}

TEST(ConfigTest, FlagsAndTestKnobs) {
    std::string error;
    auto c = parseArgs({"--listen", "127.0.0.1:0", "--idle-ms", "250", "--threads", "4"}, error);
    ASSERT_TRUE(c) << error;
    EXPECT_EQ(c->port, 0);
    EXPECT_EQ(c->idle.count(), 250);
    EXPECT_EQ(c->threads, 4);
    EXPECT_FALSE(parseArgs({"--listen", "nowhere"}, error));
    EXPECT_FALSE(parseArgs({"--idle-ms"}, error));
    EXPECT_FALSE(parseArgs({"--tls-cert", "a.pem"}, error));  // needs its key
    EXPECT_FALSE(parseArgs({"--bogus", "1"}, error));

    EXPECT_EQ(c->statementValidity.count(), 14 * 24 * 3600);
    EXPECT_EQ(parseArgs({"--statement-validity", "60"}, error)->statementValidity.count(), 60);
    for (const char* bad : {"0", "-5", "31536001", "1.5", "ten"})
        EXPECT_FALSE(parseArgs({"--statement-validity", bad}, error)) << bad;
    ::setenv("MERROWFAX_RELAY_STATEMENT_VALIDITY", "120", 1);
    EXPECT_EQ(parseArgs({}, error)->statementValidity.count(), 120);
    EXPECT_EQ(parseArgs({"--statement-validity", "60"}, error)->statementValidity.count(), 60);
    ::setenv("MERROWFAX_RELAY_STATEMENT_VALIDITY", "0", 1);
    EXPECT_FALSE(parseArgs({}, error));
    ::unsetenv("MERROWFAX_RELAY_STATEMENT_VALIDITY");

    // A node of a cluster: routing and the shared store go together; a lease
    // no longer than a heartbeat would lose live nodes.
    auto node = parseArgs({"--nats", "nats://127.0.0.1:4222", "--postgres", "dbname=relay",
                           "--nats-lease-ms", "3000"},
                          error);
    ASSERT_TRUE(node) << error;
    EXPECT_EQ(node->natsUrl, "nats://127.0.0.1:4222");
    EXPECT_EQ(node->postgres, "dbname=relay");
    EXPECT_EQ(node->natsLease.count(), 3000);
    EXPECT_FALSE(parseArgs({"--nats", "nats://127.0.0.1:4222"}, error));
    EXPECT_EQ(error, "--nats needs --postgres: the nodes of a cluster share one store");
    EXPECT_FALSE(parseArgs({"--postgres", "dbname=relay"}, error));
    EXPECT_EQ(error, "--postgres needs --nats: a shared store is for a cluster");
    EXPECT_FALSE(parseArgs({"--nats", "nats://127.0.0.1:4222", "--postgres", "dbname=relay",
                            "--nats-heartbeat-ms", "900", "--nats-lease-ms", "900"},
                           error));
    EXPECT_FALSE(parseArgs({"--nats-answer-ms", "0"}, error));
}

TEST(ConfigTest, AFileOfSettingsYieldsToTheCommandLineAndABadLineIsNamed) {
    const std::string file =
        (std::filesystem::temp_directory_path() / ("relay-conf-" + std::to_string(::getpid())))
            .string();
    auto write = [&](const std::string& text) {
        std::ofstream(file) << text;
    };
    write(
        "# relay\n\nlisten = 0.0.0.0:443\n  threads=4 \r\nlog = /var/log/r.log\n"
        "metrics-public = true\nstatement-validity = 60\nnats = nats://127.0.0.9:4222\n"
        "postgres = host=/run/pg dbname=relay\n");
    std::string error;
    // The command line wins wherever --config stands; the file beats the environment.
    ::setenv("MERROWFAX_RELAY_STATEMENT_VALIDITY", "120", 1);
    auto c = parseArgs({"--threads", "3", "--config", file, "--metrics-public"}, error);
    ::unsetenv("MERROWFAX_RELAY_STATEMENT_VALIDITY");
    ASSERT_TRUE(c) << error;
    EXPECT_EQ(std::tie(c->host, c->port, c->threads, c->logFile, c->metricsPublic),
              std::make_tuple("0.0.0.0", 443, 3, "/var/log/r.log", true));
    EXPECT_EQ(c->statementValidity.count(), 60);
    EXPECT_EQ(c->natsUrl, "nats://127.0.0.9:4222");
    EXPECT_EQ(c->postgres, "host=/run/pg dbname=relay");
    EXPECT_FALSE(parseArgs({}, error)->metricsPublic);

    const std::pair<const char*, const char*> refusals[] = {
        {"listen = 127.0.0.1:1\nbogus = 1\n", ":2: unknown setting bogus"},
        {"threads = many\n", ":1: bad value for threads"},
        {"\n# note\nthreads\n", ":3: expected name = value"},
        {"threads = 2\nthreads = 3\n", ":2: threads is already set on line 1"},
        {"metrics-public = yes\n", ":1: bad value for metrics-public"},
        {"config = /etc/other.conf\n", ":1: unknown setting config"},
        {"threads = 2 # two\n", ":1: bad value for threads"},  // comments are whole lines
        {"tls-cert = a.pem\n", "--tls-cert and --tls-key go together"},
    };
    for (const auto& [text, message] : refusals) {
        write(text);
        EXPECT_FALSE(parseArgs({"--config", file}, error)) << text;
        EXPECT_NE(error.find(message), std::string::npos) << error;
    }
    EXPECT_FALSE(parseArgs({"--config", file + ".missing"}, error));
    std::filesystem::remove(file);
}

}  // namespace
}  // namespace merrowfax::relay
