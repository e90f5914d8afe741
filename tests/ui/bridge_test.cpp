// The bridge's rules and the list models' row updates.
#include <gtest/gtest.h>

#include <QGuiApplication>
#include <QIcon>
#include <QSignalSpy>
#include <QTemporaryDir>

#include "ui/bridge/app_bridge.h"
#include "ui/bridge/icons.h"
#include "ui/bridge/message_list_model.h"
#include "ui/bridge/text_rules.h"
#include "ui/bridge/thread_list_model.h"
#include "ui/desk/desk_geometry.h"
#include "ui_fixture.h"

using namespace merrowfax;
using namespace merrowfax::ui;

namespace {

TEST(TextRules, ExpiryLinesCountDownInMinutesThenHours) {
    EXPECT_EQ(expiryText(59.9), QStringLiteral("Deletes in 0:59"));
    EXPECT_EQ(expiryText(245), QStringLiteral("Deletes in 4:05"));
    EXPECT_EQ(expiryText(3599), QStringLiteral("Deletes in 59:59"));
    EXPECT_EQ(expiryText(3600), QStringLiteral("Deletes in 1h 0m"));
    EXPECT_EQ(expiryText(7200), QStringLiteral("Deletes in 2h 0m"));
    EXPECT_EQ(expiryText(0.99), QStringLiteral("Deletes now"));
    EXPECT_EQ(expiryText(-30), QStringLiteral("Deletes now"));
}

TEST(TextRules, RecordingsAreAudioByExtensionInAnyCase) {
    EXPECT_EQ(fileKindFor(QStringLiteral("Song.MP3")), QStringLiteral("audio"));
    EXPECT_EQ(fileKindFor(QStringLiteral("take.aif")), QStringLiteral("audio"));
    EXPECT_EQ(fileKindFor(QStringLiteral("notes.txt")), QStringLiteral("file"));
    EXPECT_EQ(fileKindFor(QStringLiteral("m4a")), QStringLiteral("file"));  // no extension
    EXPECT_EQ(onlineStatus(0), QStringLiteral("Internet"));
    EXPECT_EQ(onlineStatus(2), QStringLiteral("2 online"));
}

TEST(Icons, EverySymbolOfTheScreensHasAnIconOfTheTheme) {
    useIconTheme();
    for (const char* symbol :
         {"bubble.left.and.bubble.right", "bubble.left", "phone", "phone.down", "video", "display",
          "ellipsis.circle", "person.2", "book.closed", "gearshape", "photo", "paperclip",
          "mic.fill", "stop.circle.fill", "paperplane.fill", "doc", "speaker.wave.2.fill"}) {
        const QString name = themeIcon(QString::fromLatin1(symbol));
        EXPECT_FALSE(name.isEmpty()) << symbol;
        EXPECT_TRUE(QIcon::hasThemeIcon(name)) << symbol << " -> " << name.toStdString();
    }
    EXPECT_TRUE(themeIcon(QStringLiteral("no.such.symbol")).isEmpty());
}

// A model on seeded data, as the window has it.
class Bridge : public ::testing::Test {
protected:
    QTemporaryDir dir;
    std::unique_ptr<AppModel> model;
    merrowfax::testing::FakeLine* line = nullptr;

    void SetUp() override {
        const std::filesystem::path folder = dir.path().toStdString();
        Store store(folder);
        store.save(seededDatabase(store, true));
        UiParts parts = testParts();
        line = parts.line;
        model = std::make_unique<AppModel>(folder, std::move(parts.components));
    }
};

TEST_F(Bridge, TheChatFilterLooksAtTitleNumberAndLastMessage) {
    ThreadListModel threads;
    threads.setModel(model.get());
    EXPECT_EQ(threads.rowCount(), 2);
    auto shown = [&](const char* query) {
        threads.setQuery(QString::fromUtf8(query));
        QStringList numbers;
        for (int i = 0; i < threads.rowCount(); ++i) {
            numbers << threads.data(threads.index(i), ThreadListModel::NumberRole).toString();
        }
        return numbers.join(QLatin1Char(','));
    };
    EXPECT_EQ(shown("555"), QString::fromLatin1(kAlice));    // by number
    EXPECT_EQ(shown("ALICE"), QString::fromLatin1(kAlice));  // by title, any case
    EXPECT_EQ(shown(" order "), QString::fromLatin1(kBob));  // last message, trimmed
    EXPECT_EQ(shown("lemonade"), QString());                 // not the last message
    EXPECT_EQ(shown("\n"),
              QString::fromLatin1(kAlice) + QLatin1Char(',') + QString::fromLatin1(kBob));
    EXPECT_EQ(threads.totalCount(), 2);
}

TEST_F(Bridge, ANewMessageMovesOneRowAndAddsOneRow) {
    ThreadListModel threads;
    threads.setModel(model.get());
    MessageListModel messages;
    messages.setModel(model.get());
    messages.setNumber(QString::fromLatin1(kBob));
    ASSERT_EQ(messages.rowCount(), 1);

    QSignalSpy moved(&threads, &QAbstractItemModel::rowsMoved);
    QSignalSpy threadsReset(&threads, &QAbstractItemModel::modelReset);
    QSignalSpy inserted(&messages, &QAbstractItemModel::rowsInserted);
    QSignalSpy removed(&messages, &QAbstractItemModel::rowsRemoved);
    QSignalSpy changed(&messages, &QAbstractItemModel::dataChanged);

    const auto id = model->messaging().sendText("Two loaves, please", kBob);
    ASSERT_TRUE(id);
    // Bob's chat went to the top: one move, no reset.
    EXPECT_EQ(moved.size(), 1);
    EXPECT_EQ(threadsReset.size(), 0);
    EXPECT_EQ(threads.data(threads.index(0), ThreadListModel::NumberRole).toString(),
              QString::fromLatin1(kBob));
    // One row added at the end of Bob's messages, the first one untouched.
    ASSERT_EQ(inserted.size(), 1);
    EXPECT_EQ(inserted[0][1].toInt(), 1);
    EXPECT_EQ(removed.size(), 0);
    EXPECT_EQ(messages.data(messages.index(1), MessageListModel::StatusRole).toString(),
              QStringLiteral("Waiting"));

    // Delivery changes that one row only.
    changed.clear();
    model->messaging().setStatus(MessageStatus::delivered, *id);
    ASSERT_EQ(changed.size(), 1);
    EXPECT_EQ(changed[0][0].value<QModelIndex>().row(), 1);
    EXPECT_EQ(changed[0][1].value<QModelIndex>().row(), 1);
    EXPECT_EQ(messages.data(messages.index(1), MessageListModel::StatusRole).toString(),
              QStringLiteral("Delivered"));

    // Deleting one message removes exactly its row.
    model->messaging().deleteMessageForMe(*id, kBob);
    ASSERT_EQ(removed.size(), 1);
    EXPECT_EQ(removed[0][1].toInt(), 1);
    EXPECT_EQ(messages.rowCount(), 1);
}

TEST_F(Bridge, MessagesShowWhatTheyAre) {
    MessageListModel messages;
    messages.setModel(model.get());
    messages.setNumber(QString::fromLatin1(kAlice));
    auto role = [&](int row, int r) {
        return messages.data(messages.index(row), r);
    };
    ASSERT_EQ(messages.rowCount(), 8);
    EXPECT_FALSE(role(0, MessageListModel::MineRole).toBool());
    EXPECT_TRUE(role(0, MessageListModel::StatusRole).toString().isEmpty());  // theirs
    EXPECT_EQ(role(1, MessageListModel::StatusRole).toString(), QStringLiteral("Delivered"));
    EXPECT_TRUE(role(2, MessageListModel::ImageRole).toUrl().isLocalFile());
    EXPECT_EQ(role(3, MessageListModel::FileNameRole).toString(), QStringLiteral("menu.pdf"));
    EXPECT_EQ(role(3, MessageListModel::StatusRole).toString(), QStringLiteral("Sent"));
    EXPECT_GT(role(4, MessageListModel::ExpiresAtRole).toDouble(), 0);
    EXPECT_TRUE(role(6, MessageListModel::DeletedRole).toBool());
    EXPECT_EQ(role(7, MessageListModel::StatusRole).toString(), QStringLiteral("Waiting"));
    EXPECT_EQ(role(0, MessageListModel::ExpiresAtRole).toDouble(), -1);
}

TEST_F(Bridge, SettingsChecksTheNewPinBeforeAskingTheService) {
    AppBridge bridge(*model);
    EXPECT_FALSE(bridge.account()->submitPin({}, QStringLiteral("12a"), QStringLiteral("12a")));
    EXPECT_EQ(bridge.alertMessage(), QStringLiteral("Use a 4-digit PIN."));
    EXPECT_FALSE(bridge.account()->submitPin({}, QStringLiteral("1234"), QStringLiteral("1243")));
    EXPECT_EQ(bridge.alertMessage(), QStringLiteral("The two PINs do not match."));
    const auto before = line->starts.size();
    EXPECT_TRUE(bridge.account()->submitPin({}, QStringLiteral("1 2 3 4"), QStringLiteral("1234")));
    ASSERT_EQ(line->starts.size(), before + 1);
    EXPECT_EQ(line->starts.back().pin, "1234");  // no PIN yet: this one is set
    EXPECT_EQ(line->starts.back().newPin, "");

    line->callbacks.onPin(true, {}, false);
    QCoreApplication::processEvents();
    EXPECT_TRUE(bridge.account()->submitPin(QStringLiteral("1234"), QStringLiteral("9876"),
                                            QStringLiteral("9876")));
    EXPECT_EQ(line->starts.back().pin, "1234");  // with a PIN: changed from the current
    EXPECT_EQ(line->starts.back().newPin, "9876");
}

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

namespace merrowfax::ui {
namespace {

TEST(DeskGeometry, APointCountsOnlyInsideTheLetterboxedPicture) {
    // 1 000 x 500 in a 400 x 400 view: drawn 400 x 200 from y = 100.
    EXPECT_EQ(fittedRect({1000, 500}, {400, 400}), QRectF(0, 100, 400, 200));
    EXPECT_EQ(normalisedPoint({1000, 500}, {400, 400}, {200, 100}), QPointF(0.5, 0));
    EXPECT_EQ(normalisedPoint({1000, 500}, {400, 400}, {100, 250}), QPointF(0.25, 0.75));
    EXPECT_FALSE(normalisedPoint({1000, 500}, {400, 400}, {200, 50}));
    EXPECT_FALSE(normalisedPoint({0, 0}, {400, 400}, {200, 200})) << "no picture yet";
}

}  // namespace
}  // namespace merrowfax::ui
