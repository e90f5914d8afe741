// What an operator meets: /healthz, /metrics after a scripted exchange, the
// log's shape and what it never holds, and the drain on SIGTERM.
#include <signal.h>

#include <array>
#include <map>
#include <regex>
#include <sstream>
#include <thread>
#include <tuple>

#include <gtest/gtest.h>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/write.hpp>

#include "relay/log.h"
#include "relay/metrics.h"
#include "relay_fixture.h"

namespace merrowfax::testing {
namespace {

using relay::Level;

// Every sample of /metrics by `name{labels}`, after checking every line is a
// comment or a sample of this service, and every counter ends in _total.
std::map<std::string, double> scrape(const RelayProcess& relay) {
    const auto answer = httpGet(relay.port(), "/metrics");
    EXPECT_EQ(answer.status, 200);
    EXPECT_EQ(answer.contentType, "text/plain; version=0.0.4; charset=utf-8");
    static const std::regex type(R"(# TYPE (\w+) (counter|gauge|histogram))");
    static const std::regex sample(R"((merrowfax_relay_\w+(\{\w+="[^"]*"\})?) (\S+))");
    std::map<std::string, double> out;
    std::istringstream lines(answer.body);
    std::smatch m;
    for (std::string line; std::getline(lines, line);) {
        if (std::regex_match(line, m, type)) {
            EXPECT_TRUE(m[2] != "counter" || m[1].str().ends_with("_total")) << line;
        } else if (std::regex_match(line, m, sample)) {
            out[m[1]] = std::stod(m[3]);
        } else {
            EXPECT_TRUE(line.starts_with("# HELP merrowfax_relay_")) << line;
        }
    }
    return out;
}

TEST(OperationsTest, HealthzAndAScriptedExchangeSeenInMetricsAndNotInTheLog) {
    RelayProcess relay;
    const auto health = httpGet(relay.port(), "/healthz");
    EXPECT_EQ(std::tie(health.status, health.body, health.contentType),
              std::make_tuple(200, "ok\n", "text/plain; charset=utf-8"));

    const std::string computer = "mac-4F1C-operator-secret";
    auto a = join(relay, on(number(1), computer, "7395"));
    auto b = join(relay, makeDevice(number(2), "Bo", "mac-bo"));
    const std::string text = textRecord(number(2), "hello");
    a.client->sendText(text);
    ASSERT_TRUE(b.client->waitFor("text"));
    EXPECT_EQ(refused(relay, on(number(1), "mac-thief", "0000")).code, 1008);
    EXPECT_EQ(httpGet(relay.port(), "/merrowfax/directory?q=Zanzibarian").status, 200);

    auto metrics = scrape(relay);  // a fresh relay: each count is this exchange's
    auto delta = [&](const std::string& name) {
        return metrics["merrowfax_relay_" + name];
    };
    EXPECT_EQ(delta(R"(registrations_total{result="ok"})"), 2);
    EXPECT_EQ(delta(R"(registrations_total{result="denied"})"), 1);
    EXPECT_EQ(delta(R"(pin_decisions_total{result="set"})"), 1);
    EXPECT_EQ(delta(R"(pin_decisions_total{result="rejected"})"), 1);
    EXPECT_EQ(delta(R"(received_messages_total{type="text"})"), 1);
    EXPECT_EQ(delta(R"(received_bytes_total{type="text"})"), text.size());
    EXPECT_GE(delta(R"(sent_messages_total{type="text"})"), 4);  // pin twice, text, denied
    EXPECT_EQ(delta("directory_requests_total"), 1);
    EXPECT_GT(delta("store_job_duration_seconds_count"), 0);
    EXPECT_EQ(delta("live_connections"), 2);
    EXPECT_EQ(delta(R"(store_job_duration_seconds_bucket{le="+Inf"})"),
              delta("store_job_duration_seconds_count"));

    a.client->close();
    b.client->close();
    ASSERT_TRUE(relay.stop());
    const std::string log = relay.log();
    EXPECT_EQ(log.find(computer), std::string::npos);
    EXPECT_EQ(log.find("Zanzibarian"), std::string::npos);
    // One logfmt event a line, and no value anywhere is a PIN that was used.
    static const std::regex event(
        R"(time=\S+ level=(info|warn|error) event=\w+( \w+=("[^"]*"|\S+))*)");
    std::istringstream lines(log);
    for (std::string line; std::getline(lines, line);) {
        EXPECT_TRUE(std::regex_match(line, event)) << line;
        for (const char* pin : {"=7395", "=0000"}) EXPECT_EQ(line.find(pin), std::string::npos);
    }
}

// SIGTERM: no new connections, /healthz 503 on a kept-alive connection,
// every live connection closed with 1001, exit 0; a book stored and a PIN
// change still hashing when the signal came are both there after a restart.
TEST(OperationsTest, SigtermDrainsAndKeepsWhatWasUnderWay) {
    RelayProcess::Options real;  // real Argon2id: a decision takes a while
    real.fastHash = false;
    RelayProcess relay(real);
    auto a = join(relay, on(number(1), "mac-a", "2580"));
    a.client->sendText(R"({"op":"book","contacts":[{"name":"Bo","number":")" + number(2) +
                       R"(","blocked":false}]})");
    ASSERT_TRUE(pongs(*a.client));
    auto b = join(relay, makeDevice(number(2), "Bo", "mac-bo"));  // does not read: holds the drain

    boost::asio::io_context io;  // a kept-alive connection, as a load balancer's check
    boost::asio::ip::tcp::socket kept(io);
    kept.connect({boost::asio::ip::make_address("127.0.0.1"), relay.port()});
    auto healthz = [&] {
        boost::asio::write(kept,
                           boost::asio::buffer(std::string_view("GET /healthz HTTP/1.1\r\n\r\n")));
        std::array<char, 512> reply{};
        return std::string(reply.data(), kept.read_some(boost::asio::buffer(reply))).substr(0, 12);
    };
    EXPECT_EQ(healthz(), "HTTP/1.1 200");

    WsClient change(relay.port(), on(number(1), "mac-a", "2580", "3691").target());
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // submitted, still hashing
    ASSERT_EQ(::kill(relay.pid(), SIGTERM), 0);
    EXPECT_EQ(a.client->waitClosed(), 1001);
    EXPECT_EQ(healthz(), "HTTP/1.1 503");
    int status = 200;
    for (int i = 0; i < 100 && (status = httpGet(relay.port(), "/healthz").status) != 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(status, 0);  // the door is shut
    EXPECT_EQ(b.client->waitClosed(), 1001);
    EXPECT_EQ(change.waitClosed(), 1001);
    EXPECT_TRUE(relay.stop());

    relay.restart();
    EXPECT_EQ(refused(relay, on(number(1), "mac-c", "2580")).reason, "Wrong PIN.");
    EXPECT_TRUE(join(relay, on(number(1), "mac-d", "3691")).hasPin);
    auto again = join(relay, on(number(1), "mac-a"));
    again.client->sendText(R"({"op":"book"})");
    const auto book = again.client->waitFor("book");
    ASSERT_TRUE(book);
    EXPECT_STREQ((*book)["contacts"][0]["number"].GetString(), number(2).c_str());
}

TEST(OperationsTest, LogLinesAreLogfmtAndTheJournalGetsPrioritiesInsteadOfTimes) {
    EXPECT_EQ(relay::formatEvent(Level::info, "listening", {{"addr", "127.0.0.1:8088"}}, false,
                                 "2030-01-02T03:04:05.006Z"),
              "time=2030-01-02T03:04:05.006Z level=info event=listening addr=127.0.0.1:8088\n");
    EXPECT_EQ(relay::formatEvent(Level::warning, "closed",
                                 {{"why", "slow reader"}, {"error", "a\"b\\\n\x01"}, {"x", ""}},
                                 true, ""),
              "<4>level=warn event=closed why=\"slow reader\" error=\"a\\\"b\\\\\\n\\u0001\" "
              "x=\"\"\n");
    // /metrics is for loopback peers unless the operator says otherwise.
    for (const char* address : {"127.0.0.1", "127.9.8.7", "::1", "::ffff:127.0.0.2"})
        EXPECT_TRUE(relay::isLoopback(address)) << address;
    for (const char* address : {"10.0.0.1", "::ffff:10.0.0.1", "fe80::1", "unknown"})
        EXPECT_FALSE(relay::isLoopback(address)) << address;
}

}  // namespace
}  // namespace merrowfax::testing
