#include <gtest/gtest.h>

#include <QUrlQuery>

#include "transport/internet_line.h"
#include "transport/service_address.h"

using namespace merrowfax;

TEST(ServiceAddress, PlainSocketsOnlyToThisMachine) {
    EXPECT_TRUE(acceptedServiceAddress(QStringLiteral("wss://relay.example.net")));
    EXPECT_TRUE(acceptedServiceAddress(QStringLiteral("ws://127.0.0.1:8088")));
    EXPECT_TRUE(acceptedServiceAddress(QStringLiteral("ws://127.8.9.10:1")));
    EXPECT_TRUE(acceptedServiceAddress(QStringLiteral("ws://localhost:8088")));
    EXPECT_TRUE(acceptedServiceAddress(QStringLiteral("ws://[::1]:8088")));
    EXPECT_FALSE(acceptedServiceAddress(QStringLiteral("ws://relay.example.net")));
    EXPECT_FALSE(acceptedServiceAddress(QStringLiteral("ws://10.0.0.1:8088")));
    EXPECT_FALSE(acceptedServiceAddress(QStringLiteral("http://127.0.0.1:8088")));
    EXPECT_FALSE(acceptedServiceAddress(QStringLiteral("not a url")));

    const QUrl base(QStringLiteral("wss://relay.example.net:444"));
    EXPECT_EQ(liveSocketUrl(base).toString(),
              QStringLiteral("wss://relay.example.net:444/merrowfax/live"));
    EXPECT_EQ(liveHttpUrl(base).toString(),
              QStringLiteral("https://relay.example.net:444/merrowfax/live"));
    EXPECT_EQ(directoryUrl(QUrl(QStringLiteral("ws://127.0.0.1:9"))).toString(),
              QStringLiteral("http://127.0.0.1:9/merrowfax/directory"));
    EXPECT_EQ(privacyUrl(QUrl(QStringLiteral("wss://relay.example.net/x?y=1"))).toString(),
              QStringLiteral("https://relay.example.net/merrowfax/privacy"));
}

TEST(RegistrationUrl, SendsPinsAndKindOnlyWhenWellFormed) {
    const QUrl base(QStringLiteral("ws://127.0.0.1:8088"));
    auto query = [&](LineIdentity id) {
        return QUrlQuery(registrationUrl(base, id).query(QUrl::FullyEncoded));
    };
    LineIdentity id{"0-1-234-5678", "Zoë & Co+", "Mac",      "mac-X",
                    "12a4",         "123",       "Personal", std::string(64, 'A')};
    QUrlQuery q = query(id);
    EXPECT_EQ(q.queryItemValue(QStringLiteral("number")), QStringLiteral("0-1-234-5678"));
    EXPECT_EQ(q.queryItemValue(QStringLiteral("name"), QUrl::FullyDecoded),
              QStringLiteral("Zoë & Co+"));
    EXPECT_FALSE(q.hasQueryItem(QStringLiteral("pin")));
    EXPECT_FALSE(q.hasQueryItem(QStringLiteral("newpin")));
    EXPECT_FALSE(q.hasQueryItem(QStringLiteral("kind")));
    EXPECT_FALSE(q.hasQueryItem(QStringLiteral("lancert")));

    id.pin = "1234";
    id.lanCert = std::string(64, 'a');
    id.newPin = "5678";
    id.accountKind = "business";
    q = query(id);
    EXPECT_EQ(q.queryItemValue(QStringLiteral("pin")), QStringLiteral("1234"));
    EXPECT_EQ(q.queryItemValue(QStringLiteral("newpin")), QStringLiteral("5678"));
    EXPECT_EQ(q.queryItemValue(QStringLiteral("kind")), QStringLiteral("business"));
    EXPECT_EQ(q.queryItemValue(QStringLiteral("lancert")), QString(64, QLatin1Char('a')));
    // The order the service reads them in.
    EXPECT_TRUE(
        registrationUrl(base, id).query().startsWith(QStringLiteral("number=0-1-234-5678&name=")));
}
