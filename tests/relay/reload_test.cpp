// SIGHUP with the settings in a config file, as installed: the log opens again
// after a rotation moved it, and new TLS connections get the certificate now
// in the files unless it does not load.
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <signal.h>

#include <fstream>
#include <thread>

#include <gtest/gtest.h>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/ssl.hpp>

#include "relay_fixture.h"
#include "support/child_process.h"

namespace merrowfax::testing {
namespace {

namespace fs = std::filesystem;

void makeCertificate(const fs::path& dir, const std::string& name) {
    const std::string command =
        "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 1"
        " -subj /CN=" +
        name + " -keyout " + (dir / "key.pem").string() + " -out " + (dir / "cert.pem").string() +
        " >/dev/null 2>&1";
    ASSERT_EQ(std::system(command.c_str()), 0) << "needs the openssl command";
}

// The common name of the certificate a new TLS client is shown.
std::string servedName(unsigned short port) {
    namespace net = boost::asio;
    net::io_context io;
    net::ssl::context ctx(net::ssl::context::tls_client);
    ctx.set_verify_mode(net::ssl::verify_none);
    boost::beast::ssl_stream<boost::beast::tcp_stream> stream(io, ctx);
    boost::beast::get_lowest_layer(stream).connect({net::ip::make_address("127.0.0.1"), port});
    stream.handshake(net::ssl::stream_base::client);
    X509* cert = SSL_get1_peer_certificate(stream.native_handle());
    char name[256] = {};
    if (cert) X509_NAME_get_text_by_NID(X509_get_subject_name(cert), NID_commonName, name, 255);
    X509_free(cert);
    return name;
}

// Waits up to 5 s for `text` to appear in the file.
bool appears(const fs::path& file, const std::string& text) {
    for (int i = 0; i < 500 && fileText(file).find(text) == std::string::npos; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return fileText(file).find(text) != std::string::npos;
}

TEST(ReloadTest, SighupReopensAMovedLogAndServesTheNewCertificate) {
    const fs::path dir = makeTempFolder("relay-reload-");
    makeCertificate(dir, "relay-one");
    const fs::path log = dir / "relay.log";
    std::ofstream(dir / "relay.conf") << "# as installed\nlog = " << log.string()
                                      << "\ntls-cert = " << (dir / "cert.pem").string()
                                      << "\ntls-key = " << (dir / "key.pem").string() << "\n";
    RelayProcess relay(flags({"--config", (dir / "relay.conf").string()}));
    EXPECT_EQ(servedName(relay.port()), "relay-one");

    fs::rename(log, dir / "relay.log.1");
    makeCertificate(dir, "relay-two");
    ::kill(relay.pid(), SIGHUP);
    ASSERT_TRUE(appears(log, "event=tls_reloaded"));
    EXPECT_EQ(servedName(relay.port()), "relay-two");
    EXPECT_NE(fileText(dir / "relay.log.1").find("event=listening"), std::string::npos);

    std::ofstream(dir / "cert.pem") << "not a certificate\n";
    ::kill(relay.pid(), SIGHUP);
    ASSERT_TRUE(appears(log, "event=tls_reload_failed"));
    EXPECT_EQ(servedName(relay.port()), "relay-two");
    EXPECT_TRUE(relay.stop());
    fs::remove_all(dir);
}

}  // namespace
}  // namespace merrowfax::testing
