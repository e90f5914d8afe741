// The store's journal: messages stored one line at a time, replayed on load
// and folded into db.json, through crashes at every step.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <sstream>
#include <thread>

#include "model/journal.h"
#include "model/record_json.h"
#include "model/store.h"
#include "sample_records.h"

using namespace merrowfax;
using fixture::fileText;
namespace fs = std::filesystem;

namespace {

// The live state as the model changes it, and the store told about it.
struct Live {
    Store& store;
    StoredDatabase db;

    Message& add(const std::string& number, Date sentAt, const std::string& text) {
        Message m = fixture::message("them", sentAt, text, MessageStatus::delivered);
        auto it = std::find_if(db.threads.begin(), db.threads.end(),
                               [&](const ChatThread& t) { return t.id == number; });
        if (it == db.threads.end()) it = db.threads.insert(it, {number, number, {}, sentAt});
        it->updatedAt = sentAt;
        it->messages.push_back(m);
        db.directory[number] = "Name of " + number;
        EXPECT_TRUE(store.saveMessage(*it, m, {{number, db.directory[number]}}));
        std::stable_sort(db.threads.begin(), db.threads.end(),
                         [](const auto& a, const auto& b) { return a.updatedAt > b.updatedAt; });
        return *find(m.id);
    }
    void setStatus(const Uuid& id, MessageStatus status) {
        for (ChatThread& t : db.threads)
            for (Message& m : t.messages)
                if (m.id == id) {
                    m.status = status;
                    EXPECT_TRUE(store.saveMessage(t, m));
                }
    }
    Message* find(const Uuid& id) {
        for (ChatThread& t : db.threads)
            for (Message& m : t.messages)
                if (m.id == id) return &m;
        return nullptr;
    }
};

}  // namespace

TEST(Journal, MessagesReplayOnLoadAndAFoldWritesWhatAWholeSaveWrites) {
    fixture::TempFolder home;
    Store store(home.path());
    Live live{store, fixture::sampleDatabase()};
    ASSERT_TRUE(store.save(live.db));
    const std::string before = fileText(store.databasePath());

    // Into an existing thread, a new thread that sorts between others, a
    // status change and a second message in one thread.
    live.add("0-1-234-5678", 1e9 + 5, "more");
    const Uuid mid = live.add("3-3-333-3333", 5e8, "new thread in the middle").id;
    live.setStatus(mid, MessageStatus::deleted);
    live.add("1-2-000-0001", 1e9 + 9, "a \"quoted\" line\nwith a newline");
    live.add("1-2-000-0001", 1e9 + 10, "😀");

    EXPECT_EQ(fileText(store.databasePath()), before);  // nothing rewritten
    EXPECT_TRUE(store.hasUnfoldedChanges());
    EXPECT_EQ(Store(home.path()).load(), live.db);

    store.foldInBackground(live.db);
    store.waitForFold();
    EXPECT_EQ(fileText(store.databasePath()), encodeDatabase(live.db));
    EXPECT_EQ(fs::file_size(store.journalPath()), 0u);
    EXPECT_FALSE(store.hasUnfoldedChanges());
    EXPECT_EQ(Store(home.path()).load(), live.db);

    // Nothing to fold: db.json is left alone.
    const auto written = fs::last_write_time(store.databasePath());
    store.foldInBackground(live.db);
    store.waitForFold();
    EXPECT_EQ(fs::last_write_time(store.databasePath()), written);
}

TEST(Journal, DamagedLinesAndWhatFollowsAreDroppedAndCutOff) {
    fixture::TempFolder home;
    Store store(home.path());
    Live live{store, fixture::sampleDatabase()};
    ASSERT_TRUE(store.save(live.db));
    const StoredDatabase base = live.db;
    live.add("0-1-234-5678", 1e9 + 1, "one");
    const StoredDatabase afterOne = live.db;
    live.add("0-1-234-5678", 1e9 + 2, "two");
    const std::string intact = fileText(store.journalPath());
    const std::size_t firstLine = intact.find('\n') + 1;

    // A torn end: the second line lacks its last bytes.
    fs::resize_file(store.journalPath(), intact.size() - 5);
    {
        Store reopened(home.path());
        EXPECT_EQ(reopened.load(), afterOne);
        EXPECT_EQ(fs::file_size(store.journalPath()), firstLine);
        // What is written next is read back: it does not follow garbage.
        Live again{reopened, afterOne};
        again.add("0-1-234-5678", 1e9 + 3, "three");
        EXPECT_EQ(Store(home.path()).load(), again.db);
    }

    // A changed byte inside the first line drops both lines.
    std::string flipped = intact;
    flipped[firstLine / 2] ^= 0x20;
    std::ofstream(store.journalPath(), std::ios::binary) << flipped;
    EXPECT_EQ(Store(home.path()).load(), base);
}

// A crash at each step of a fold or of a whole save (db.json's replacement,
// then the journal's), with a message stored while the fold runs: the next
// load gives exactly the live state, and the store goes on working.
TEST(Journal, CrashAtEachFoldStepLosesNothingAndAppliesNothingTwice) {
    constexpr int kSteps = 2 * (static_cast<int>(WriteStep::syncFolder) + 1);
    for (bool background : {true, false}) {
        for (int crashAt = 0; crashAt < kSteps; ++crashAt) {
            SCOPED_TRACE((background ? "fold, step " : "whole save, step ") +
                         std::to_string(crashAt));
            fixture::TempFolder home;
            auto store = std::make_unique<Store>(home.path());
            Live live{*store, fixture::sampleDatabase()};
            ASSERT_TRUE(store->save(live.db));
            const Uuid first = live.add("0-1-234-5678", 1e9 + 1, "one").id;
            live.add("5-1-555-0000", 1e9 + 2, "two");
            live.setStatus(first, MessageStatus::deleted);

            std::atomic<int> calls{0};
            std::atomic<bool> released{!background};
            store->setFaultHook([&](WriteStep step) {
                if (step > WriteStep::syncFolder) return StepFault::none;  // the journal's own
                const int call = calls++;
                while (!released) std::this_thread::yield();
                return call == crashAt ? StepFault::crash : StepFault::none;
            });
            if (background) {
                store->foldInBackground(live.db);
                // Stored while db.json is being written: kept for after.
                live.add("0-1-234-5678", 1e9 + 3, "during the fold");
                released = true;
                store->waitForFold();
            } else {
                // A contact is saved whole; it is on disk once the rename is.
                StoredDatabase withContact = live.db;
                withContact.contacts.push_back({Uuid::random(), "Zed", "5-1-555-0000", false});
                const int journalSteps = static_cast<int>(WriteStep::syncFolder) + 1;
                EXPECT_EQ(store->save(withContact), crashAt >= journalSteps);
                if (crashAt > static_cast<int>(WriteStep::rename)) live.db = withContact;
            }
            store.reset();  // the crash: nothing more is written

            // What the next load replays: everything while the old db.json
            // stands, after its replacement only what it lacks.
            const bool replaced = crashAt > static_cast<int>(WriteStep::rename);
            const auto journal = parseJournal(fileText(home.path() / "db.journal"));
            const auto replayed =
                changesToReplay(journal, contentHash(fileText(home.path() / "db.json")));
            EXPECT_EQ(replayed.size(), replaced ? (background ? 1u : 0u) : (background ? 4u : 3u));

            Store after(home.path());
            ASSERT_EQ(after.load(), live.db);
            // Whatever the crash left, the journal takes more, and folds.
            Live next{after, live.db};
            next.add("0-1-234-5678", 1e9 + 4, "after the crash");
            EXPECT_EQ(Store(home.path()).load(), next.db);
            after.foldInBackground(next.db);
            after.waitForFold();
            EXPECT_EQ(fileText(after.databasePath()), encodeDatabase(next.db));
            EXPECT_EQ(Store(home.path()).load(), next.db);
        }
    }
}

TEST(Journal, ReplayStartsAfterTheLastMarkerNamingTheDocument) {
    SyncSnapshot a, b, c;
    a.directory = {{"1-1-111-1111", "A"}};
    b.directory = {{"1-1-111-1111", "B"}};
    c.directory = {{"1-1-111-1111", "C"}};
    const std::string text = journalChangeLine(a) + journalMarkerLine(7) + journalChangeLine(b) +
                             journalMarkerLine(9) + journalMarkerLine(7) + journalChangeLine(c);
    const JournalContents journal = parseJournal(text);
    EXPECT_EQ(journal.validBytes, text.size());
    auto names = [&](std::uint64_t hash) {
        std::string out;
        for (const SyncSnapshot* s : changesToReplay(journal, hash))
            out += s->directory.begin()->second;
        return out;
    };
    EXPECT_EQ(names(7), "C");
    EXPECT_EQ(names(9), "C");
    EXPECT_EQ(names(8), "ABC");  // an older document than every fold
}

TEST(Journal, WholeSaveEmptiesTheJournalAndAnUnreadableDocumentIgnoresIt) {
    fixture::TempFolder home;
    Store store(home.path());
    Live live{store, fixture::sampleDatabase()};
    ASSERT_TRUE(store.save(live.db));
    live.add("0-1-234-5678", 1e9 + 1, "one");
    live.db.threads.pop_back();  // a deletion: saved whole
    ASSERT_TRUE(store.save(live.db));
    EXPECT_EQ(fs::file_size(store.journalPath()), 0u);
    EXPECT_EQ(Store(home.path()).load(), live.db);

    // A journal over a document that no longer loads means nothing.
    live.add("0-1-234-5678", 1e9 + 2, "two");
    std::ofstream(store.databasePath(), std::ios::binary) << "{not json";
    Store fresh(home.path());
    const StoredDatabase loaded = fresh.load();
    EXPECT_TRUE(loaded.threads.empty());
    Message orphan = fixture::message("me", 1, "x", MessageStatus::sent);
    EXPECT_FALSE(fresh.saveMessage({"0-1-234-5678", "Ana", {}, 1}, orphan));
    ASSERT_TRUE(fresh.save(loaded));
    EXPECT_EQ(fs::file_size(store.journalPath()), 0u);
    EXPECT_EQ(Store(home.path()).load(), loaded);
}
