// The calls and contacts screens' rules: the keypad, call lengths, the
// contact filter and the QR code, read back by a real decoder.
#include <gtest/gtest.h>

#include <QGuiApplication>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

#include "ui/bridge/app_bridge.h"
#include "ui/bridge/call_list_model.h"
#include "ui/bridge/contact_list_model.h"
#include "ui/bridge/keypad.h"
#include "ui/bridge/qr_code.h"
#include "ui/bridge/text_rules.h"
#include "ui_fixture.h"

using namespace merrowfax;
using namespace merrowfax::ui;

namespace {

TEST(KeypadRules, SevenDigitsAtMostAndBackspace) {
    Keypad keypad;
    keypad.press(QStringLiteral("⌫"));  // nothing to remove
    EXPECT_EQ(keypad.digits(), QString());
    for (const char* key : {"2", "3", "4", "5", "6", "7", "8", "9"}) {
        keypad.press(QString::fromLatin1(key));
    }
    EXPECT_EQ(keypad.digits(), QStringLiteral("2345678"));
    EXPECT_EQ(keypad.numberLine(), QStringLiteral("0-1-234-5678"));
    EXPECT_EQ(keypad.placeLine(), QStringLiteral("Calgary, Alberta"));
    keypad.press(QStringLiteral("⌫"));
    EXPECT_EQ(keypad.digits(), QStringLiteral("234567"));
    keypad.press(QStringLiteral("x"));
    EXPECT_EQ(keypad.digits(), QStringLiteral("234567"));
}

TEST(KeypadRules, ACountryKeepsItsCityOnlyWhenItHasOne) {
    Keypad keypad;
    keypad.setCountry(QStringLiteral("1"));
    keypad.setCityCode(300);
    keypad.setCountry(QStringLiteral("0"));
    EXPECT_EQ(keypad.cityCode(), 1);  // Canada has no city 300
    keypad.setCityCode(5);
    keypad.setCountry(QStringLiteral("1"));
    EXPECT_EQ(keypad.cityCode(), 5);
    keypad.setCountry(QStringLiteral("not a code"));
    EXPECT_EQ(keypad.country(), QStringLiteral("1"));
}

TEST(KeypadRules, OnlyACompleteNumberDials) {
    Keypad keypad;
    for (int i = 0; i < 6; ++i) keypad.press(QStringLiteral("1"));
    EXPECT_EQ(keypad.completeNumber(), QString());  // six digits
    keypad.press(QStringLiteral("1"));
    EXPECT_EQ(keypad.completeNumber(), QStringLiteral("0-1-111-1111"));

    Keypad zeros;
    for (int i = 0; i < 7; ++i) zeros.press(QStringLiteral("0"));
    EXPECT_EQ(zeros.completeNumber(), QString());  // local digits start at 1

    Keypad nowhere;
    nowhere.setCityCode(999);
    for (int i = 0; i < 7; ++i) nowhere.press(QStringLiteral("2"));
    EXPECT_EQ(nowhere.completeNumber(), QString());  // no such city
}

TEST(CallLengths, MinutesAndSeconds) {
    EXPECT_EQ(durationText(65), QStringLiteral("1:05"));
    EXPECT_EQ(durationText(125.9), QStringLiteral("2:05"));
    EXPECT_EQ(durationText(3600), QStringLiteral("60:00"));
    EXPECT_EQ(durationText(75 * 60 + 3), QStringLiteral("75:03"));
    EXPECT_EQ(durationText(-40), QStringLiteral("0:00"));  // clock set back
}

class Lists : public ::testing::Test {
protected:
    QTemporaryDir dir;
    std::unique_ptr<AppModel> model;

    void SetUp() override {
        const std::filesystem::path folder = dir.path().toStdString();
        Store store(folder);
        StoredDatabase db = seededDatabase(store, true);
        db.contacts.push_back({Uuid::random(), "Joanne", "1-1-222-2222", false});
        db.contacts.push_back({Uuid::random(), "Zed", "44-2-345-6789", true});
        store.save(db);
        model = std::make_unique<AppModel>(folder, std::move(testParts().components));
    }
};

TEST_F(Lists, TheContactFilterMatchesNamesAndNumbers) {
    ContactListModel contacts;
    contacts.setModelObject(model.get());
    auto names = [&](const char* query) {
        contacts.setQuery(QString::fromUtf8(query));
        QStringList out;
        for (int i = 0; i < contacts.rowCount(); ++i) {
            out << contacts.data(contacts.index(i), ContactListModel::NameRole).toString();
        }
        return out.join(QLatin1Char(','));
    };
    EXPECT_EQ(names(""), QStringLiteral("Alice Liddell,Joanne,Zed"));
    EXPECT_EQ(names("ann"), QStringLiteral("Joanne"));
    EXPECT_EQ(names(" ALI "), QStringLiteral("Alice Liddell"));
    EXPECT_EQ(names("1-1-2"), QStringLiteral("Joanne"));  // by number, as typed
    EXPECT_EQ(names("44-"), QStringLiteral("Alice Liddell,Zed"));
    contacts.setQuery({});
    EXPECT_EQ(contacts.data(contacts.index(0), ContactListModel::DetailRole).toString(),
              QStringLiteral("44-1-555-0001, London, England"));
    EXPECT_TRUE(contacts.data(contacts.index(2), ContactListModel::BlockedRole).toBool());
}

TEST_F(Lists, RecentsShowLengthsOnlyForConnectedCalls) {
    CallListModel calls;
    calls.setModelObject(model.get());
    ASSERT_EQ(calls.rowCount(), 3);
    EXPECT_EQ(calls.data(calls.index(0), CallListModel::DurationRole).toString(),
              QStringLiteral("2:05"));
    EXPECT_TRUE(calls.data(calls.index(1), CallListModel::MissedRole).toBool());
    EXPECT_TRUE(calls.data(calls.index(1), CallListModel::VideoRole).toBool());
    EXPECT_EQ(calls.data(calls.index(1), CallListModel::DurationRole).toString(), QString());
    EXPECT_EQ(calls.data(calls.index(2), CallListModel::DurationRole).toString(),
              QStringLiteral("75:03"));
}

// The filtering is the place tables'; the sheet hands them its query.
TEST_F(Lists, ThePlaceSheetAsksThePlaceTablesWithItsQuery) {
    AppBridge bridge(*model);
    const QVariantList uk = bridge.people()->countryRows(QStringLiteral(" 44 "));
    ASSERT_EQ(uk.size(), 1);
    EXPECT_EQ(uk[0].toMap().value(QStringLiteral("title")), QStringLiteral("United Kingdom"));
    const QVariantList city = bridge.people()->cityRows(QStringLiteral("0"), QStringLiteral("7"));
    ASSERT_EQ(city.size(), 1);
    EXPECT_EQ(city[0].toMap().value(QStringLiteral("detail")),
              QString::fromUtf8("7 \u00B7 British Columbia"));
}

TEST(QrCode, TheOwnLinkReadsBackExactly) {
    if (QStandardPaths::findExecutable(QStringLiteral("zbarimg")).isEmpty()) {
        FAIL() << "zbarimg is missing (scripts/install-deps installs zbar-tools)";
    }
    QTemporaryDir dir;
    for (const QString& link :
         {QStringLiteral("merrowfax://add?name=Rosa%20%26%20Sons&number=44-1-234-5678"),
          QStringLiteral("merrowfax://add?name=Zo%C3%AB&number=0-1-234-5678")}) {
        const QImage image = qrImage(link);
        ASSERT_FALSE(image.isNull());
        EXPECT_EQ(image.width() % 12, 0);  // whole modules of 12 pixels
        const QString file = dir.filePath(QStringLiteral("code.png"));
        ASSERT_TRUE(image.save(file));
        QProcess zbar;
        zbar.start(QStringLiteral("zbarimg"),
                   {QStringLiteral("--raw"), QStringLiteral("-q"), file});
        ASSERT_TRUE(zbar.waitForFinished(20000));
        EXPECT_EQ(QString::fromUtf8(zbar.readAllStandardOutput()).trimmed(), link);
    }
    EXPECT_TRUE(qrImage(QString()).isNull());
}

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
