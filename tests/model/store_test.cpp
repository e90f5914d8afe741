#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <set>

#include "model/record_json.h"
#include "model/store.h"
#include "sample_records.h"

using namespace merrowfax;
using fixture::fileText;
namespace fs = std::filesystem;

namespace {

void writeText(const fs::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

std::vector<std::string> namesIn(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder))
        names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace

TEST(Store, FirstLaunchSavesANewChannelAtOnce) {
    fixture::TempFolder home;
    const fs::path folder = home.path() / "data" / "Merrowfax";
    Store store(folder);
    const StoredDatabase db = store.loadAtStartup();
    EXPECT_FALSE(db.deviceId.isNil());
    EXPECT_FALSE(db.account);
    ASSERT_TRUE(db.channelId);
    EXPECT_EQ(db.lockScreenTalk, true);
    EXPECT_EQ(db.walkieContactsOnly, true) << "a new installation hears contacts only";
    // On disk before onboarding, and the next start keeps the same identity.
    EXPECT_EQ(Store(folder).loadAtStartup(), db);
}

TEST(Store, OldDocumentGainsChannelAndKeepsData) {
    fixture::TempFolder home;
    StoredDatabase old = fixture::sampleDatabase();
    old.channelId.reset();
    old.lockScreenTalk.reset();
    writeText(home.path() / "db.json", encodeDatabase(old));

    Store store(home.path());
    const StoredDatabase db = store.loadAtStartup();
    EXPECT_EQ(db.threads, old.threads);
    EXPECT_EQ(db.lockScreenTalk, true);
    // Strangers' walkie stays as its user knew it until they switch it off.
    EXPECT_EQ(db.walkieContactsOnly, false);
    ASSERT_TRUE(db.channelId);
    const auto written = decodeDatabase(fileText(store.databasePath()));
    EXPECT_EQ(written->channelId, db.channelId);
    EXPECT_EQ(written->walkieContactsOnly, false);
}

TEST(Store, UndecodableFileGivesFreshStartAndIsSetAsideNotDestroyed) {
    fixture::TempFolder home;
    StoredDatabase db = fixture::sampleDatabase();
    std::string broken = encodeDatabase(db);
    const auto at = broken.find(R"(,"updatedAt")");
    broken.erase(at, broken.find('}', at) - at);  // a thread without updatedAt
    writeText(home.path() / "db.json", broken);

    Store store(home.path());
    const StoredDatabase loaded = store.load();
    EXPECT_FALSE(loaded.account);
    EXPECT_NE(loaded.deviceId, db.deviceId);
    EXPECT_EQ(fileText(store.databasePath()), broken);  // untouched until a save

    ASSERT_TRUE(store.save(loaded));
    EXPECT_EQ(store.load(), loaded);
    auto names = namesIn(home.path());
    ASSERT_EQ(names.size(), 2u);
    EXPECT_EQ(names[0], "db.json");
    EXPECT_EQ(names[1].rfind("db.json.unreadable-", 0), 0u);
    EXPECT_EQ(fileText(home.path() / names[1]), broken);
}

// Every step of a save failing, or the process dying just before it: the
// old document stays whole, and failures leave no temporary file behind.
TEST(Store, SaveInterruptedAtEachStep) {
    for (auto fault : {StepFault::fail, StepFault::crash}) {
        for (int step = 0; step <= static_cast<int>(WriteStep::syncFolder); ++step) {
            SCOPED_TRACE("step " + std::to_string(step) +
                         (fault == StepFault::crash ? " crash" : " fail"));
            fixture::TempFolder home;
            Store store(home.path());
            const StoredDatabase before = fixture::sampleDatabase();
            ASSERT_TRUE(store.save(before));
            StoredDatabase after = before;
            after.threads[0].messages.pop_back();

            store.setFaultHook(
                [&](WriteStep s) { return static_cast<int>(s) == step ? fault : StepFault::none; });
            EXPECT_FALSE(store.save(after));
            store.setFaultHook({});

            const bool renamed = step > static_cast<int>(WriteStep::rename);
            EXPECT_EQ(store.load(), renamed ? after : before);
            const auto leftovers = namesIn(home.path()).size() - 1;
            const bool created = step > static_cast<int>(WriteStep::create);
            EXPECT_EQ(leftovers, fault == StepFault::crash && created && !renamed ? 1u : 0u);

            // The next save works whatever was left behind.
            ASSERT_TRUE(store.save(after));
            EXPECT_EQ(store.load(), after);
        }
    }
}

TEST(Store, AttachmentNamesAndLookup) {
    fixture::TempFolder home;
    Store store(home.path());
    const std::byte bytes[] = {std::byte{1}, std::byte{2}, std::byte{3}};
    struct Case {
        const char* picked;
        const char* suffix;
    };
    // The last three: an extension that cannot end a name is left off, not the file.
    const Case cases[] = {
        {"IMG_1.JPG", ".JPG"},
        {"archive.tar.gz", ".gz"},
        {"README", ""},
        {"trailing.", ""},
        {".hidden", ""},
        {"../../x.sh", ".sh"},
        {"dir.d/file", ""},
        {"", ""},
        {"a.abcdefghijklmnopqrstuvwxyz012345", ".abcdefghijklmnopqrstuvwxyz012345"},
        {"a.abcdefghijklmnopqrstuvwxyz0123456", ""},
        {"a.t\nt", ""}};
    std::set<std::string> names;
    for (const auto& c : cases) {
        auto name = store.storeFile(bytes, c.picked);
        ASSERT_TRUE(name) << c.picked;
        EXPECT_EQ(name->size(), 36 + std::strlen(c.suffix)) << *name;
        EXPECT_EQ(name->substr(36), c.suffix);
        EXPECT_EQ(Uuid::parse(name->substr(0, 36))->text(), name->substr(0, 36));
        auto path = store.attachmentFile(*name);
        ASSERT_TRUE(path);
        EXPECT_EQ(path->parent_path(), home.path() / "Files");
        EXPECT_EQ(fileText(*path), "\x01\x02\x03");
        names.insert(*name);
    }
    // The same picked name twice gives two files.
    EXPECT_NE(store.storeFile(bytes, "IMG_1.JPG"), store.storeFile(bytes, "IMG_1.JPG"));
    EXPECT_EQ(names.size(), std::size(cases));

    for (const char* hostile : {"", ".", "..", "../db.json", "a/b", "/etc/passwd"}) {
        EXPECT_FALSE(store.attachmentFile(hostile)) << hostile;
    }
    EXPECT_FALSE(store.attachmentFile(std::string("x\0/y", 4)));
}

TEST(Store, AttachmentWriteFailureGivesNothing) {
    fixture::TempFolder home;
    Store store(home.path());
    store.setFaultHook(
        [](WriteStep s) { return s == WriteStep::write ? StepFault::fail : StepFault::none; });
    const std::byte bytes[] = {std::byte{1}};
    EXPECT_FALSE(store.storeFile(bytes, "a.txt"));
    EXPECT_TRUE(fs::is_empty(store.filesFolder()));
}

// Leftovers of crashed saves go once they are old; everything else stays.
TEST(Store, LoadRemovesOnlyStaleTemporaryFiles) {
    fixture::TempFolder home;
    Store store(home.path());
    const fs::path files = store.filesFolder();
    const auto old = fs::file_time_type::clock::now() - std::chrono::hours(2);
    struct Entry {
        fs::path path;
        bool aged;
        bool kept;
    };
    const Entry entries[] = {
        {home.path() / ".db.json.tmp-a1b2c3", true, false},
        {home.path() / ".db.json.tmp-d4e5f6", false, true},  // maybe another save under way
        {home.path() / "notes.txt", true, true},
        {files / ".0C9A8B7E-1111-4222-8333-444455556666.JPG.tmp-a1b2c3", true, false},
        {files / "0C9A8B7E-1111-4222-8333-444455556666.JPG", true, true},
    };
    for (const auto& e : entries) {
        writeText(e.path, "x");
        if (e.aged) fs::last_write_time(e.path, old);
    }
    store.load();
    for (const auto& e : entries) EXPECT_EQ(fs::exists(e.path), e.kept) << e.path;
}
