// Loading and saving a large db.json against the plain file operations they
// are built on, measured in the same run:
//   load / (read + the same bytes at 1 GB/s, a fast parser's pace)   target <= 3
//   save / (write + fsync of the same bytes)                         target <= 3
// and one received message stored durably into it, as the model stores it
// (the journal, folded every 3 s), against rewriting db.json whole for it:
//   messages per second with the journal                             target >= 1000
// The folder is $MERROWFAX_BENCH_DIR or the temporary directory; it should be
// on the disk the data lives on, since fsync dominates saving.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <random>
#include <vector>

#include "model/record_json.h"
#include "model/store.h"

using namespace merrowfax;
namespace fs = std::filesystem;

namespace {

const char* const kTexts[] = {
    "On my way, see you in ten minutes",
    "Ça marche, à demain ! 😊",
    "Ich komme später, der Zug hat Verspätung.",
    "Привет! Как дела? Давно не виделись.",
    "今日は雨が降っています。傘を持ってきてね。",
    "你好，明天下午三点在咖啡馆见面好吗？",
    "مرحبا، هل أنت متاح للاتصال الآن؟",
    "👍🎉🔥 great news, congratulations to both of you!",
    "Can you send me the photos from Saturday? The ones by the lake, with the boats.",
    "ok",
};

StoredDatabase largeDatabase() {
    std::mt19937 random(42);
    StoredDatabase db = StoredDatabase::fresh();
    db.channelId = Uuid::random();
    db.lockScreenTalk = true;
    Account account;
    account.id = Uuid::random();
    account.deviceId = db.deviceId;
    account.displayName = "Benchmark Owner";
    account.number = VirtualNumber{Country{"44"}, 1, 2345678};
    account.createdAt = 786297600.25;
    db.account = account;
    Date clock = 786297600.0;
    for (int t = 0; t < 650; ++t) {
        char number[32];
        std::snprintf(number, sizeof number, "1-%d-%03d-%04d", 1 + t % 500, t % 1000,
                      (t * 37) % 10000);
        ChatThread thread{number, "Contact " + std::to_string(t), {}, 0};
        const int count = 60 + static_cast<int>(random() % 190);
        for (int m = 0; m < count; ++m) {
            Message message;
            message.id = Uuid::random();
            message.sender = random() % 2 ? "me" : "them";
            clock += static_cast<double>(random() % 100'000) / 997.0;
            message.sentAt = clock;
            message.text = kTexts[random() % std::size(kTexts)];
            if (random() % 3 == 0)
                message.text += std::string(" ") + kTexts[random() % std::size(kTexts)];
            message.status = MessageStatus::delivered;
            if (random() % 20 == 0) {
                message.attachmentName = "IMG_" + std::to_string(m) + ".JPG";
                message.attachmentKind = "image";
                message.attachmentPath = Uuid::random().text() + ".JPG";
            } else if (random() % 30 == 0) {
                message.attachmentKind = "audio";
                message.attachmentPath = Uuid::random().text() + ".m4a";
                message.expiresAt = clock + 7200;
            }
            thread.messages.push_back(std::move(message));
        }
        thread.updatedAt = clock;
        db.contacts.push_back({Uuid::random(), thread.title, number, t % 50 == 0});
        db.directory[number] = thread.title;
        db.threads.push_back(std::move(thread));
    }
    for (int c = 0; c < 200; ++c) {
        db.calls.push_back({Uuid::random(), db.contacts[c].number, db.contacts[c].name, c % 3 == 0,
                            CallDirection::outgoing, clock - c * 60.5, 12.25 * c});
    }
    return db;
}

struct Fixture {
    fs::path folder;
    StoredDatabase db;
    std::string json;

    Fixture() {
        const char* dir = std::getenv("MERROWFAX_BENCH_DIR");
        folder = fs::path(dir ? dir : fs::temp_directory_path().string()) / "merrowfax-bench";
        fs::create_directories(folder);
        db = largeDatabase();
        json = encodeDatabase(db);
        Store(folder).save(db);
    }
    ~Fixture() {
        std::error_code ignored;
        fs::remove_all(folder, ignored);
    }
};

Fixture& fixture() {
    static Fixture f;
    return f;
}

// Mean seconds per iteration of each measured operation, for the ratios.
std::map<std::string, double>& means() {
    static std::map<std::string, double> m;
    return m;
}

template <typename F>
void timed(benchmark::State& state, const char* name, F&& operation) {
    double total = 0;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        operation();
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        total += took.count();
        state.SetIterationTime(took.count());
    }
    means()[name] = total / static_cast<double>(state.iterations());
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * fixture().json.size()));
}

void BM_PlainRead(benchmark::State& state) {
    const fs::path path = fixture().folder / "db.json";
    timed(state, "read", [&] {
        // A fresh buffer each time, as any load of the file needs.
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        std::string bytes(fs::file_size(path), '\0');
        std::size_t used = 0;
        while (used < bytes.size()) {
            const ssize_t n = ::read(fd, bytes.data() + used, bytes.size() - used);
            if (n <= 0) break;
            used += static_cast<std::size_t>(n);
        }
        ::close(fd);
        benchmark::DoNotOptimize(bytes.data());
    });
}

void BM_Load(benchmark::State& state) {
    Store store(fixture().folder);
    timed(state, "load", [&] {
        StoredDatabase db = store.load();
        if (!db.account) state.SkipWithError("db.json did not load");
        benchmark::DoNotOptimize(db);
    });
}

void BM_Decode(benchmark::State& state) {
    timed(state, "decode", [&] { benchmark::DoNotOptimize(decodeDatabase(fixture().json)); });
}

void BM_Encode(benchmark::State& state) {
    std::string out;
    timed(state, "encode", [&] {
        encodeDatabase(fixture().db, out);
        benchmark::DoNotOptimize(out.data());
    });
}

void BM_PlainWriteFsync(benchmark::State& state) {
    const fs::path path = fixture().folder / "plain.bin";
    const std::string& bytes = fixture().json;
    timed(state, "write", [&] {
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
            if (n <= 0) break;
            done += static_cast<std::size_t>(n);
        }
        ::fsync(fd);
        ::close(fd);
    });
    fs::remove(path);
}

void BM_Save(benchmark::State& state) {
    Store store(fixture().folder);
    timed(state, "save", [&] {
        if (!store.save(fixture().db)) state.SkipWithError("save failed");
    });
}

struct MessageFigures {
    std::vector<double> latencies;  // seconds per durable save
    double seconds = 0;             // the whole run, folds started included
};

std::map<std::string, MessageFigures>& messageFigures() {
    static std::map<std::string, MessageFigures> m;
    return m;
}

// Messages arrive in the newest thread, so it stays first and nothing sorts.
// `perSync` 0: db.json rewritten whole per message; else journal lines with
// one sync for that many (the model syncs once per event-loop turn, so a
// backlog of queued texts shares one).
void storeMessages(benchmark::State& state, const std::string& name, int perSync) {
    const bool journal = perSync > 0;
    const fs::path folder = fixture().folder / name;
    StoredDatabase db = fixture().db;
    std::sort(db.threads.begin(), db.threads.end(),
              [](const auto& a, const auto& b) { return a.updatedAt > b.updatedAt; });
    MessageFigures& figures = messageFigures()[name];
    {
        Store store(folder);
        if (!store.save(db)) state.SkipWithError("save failed");
        ChatThread& thread = db.threads.front();
        Date clock = thread.updatedAt;
        const auto begin = std::chrono::steady_clock::now();
        auto lastFold = begin;
        for (auto _ : state) {
            Message message;
            message.id = Uuid::random();
            message.sender = "them";
            message.sentAt = clock += 0.01;
            message.text = kTexts[figures.latencies.size() % std::size(kTexts)];
            message.status = MessageStatus::delivered;
            thread.messages.push_back(std::move(message));
            thread.updatedAt = clock;

            const auto start = std::chrono::steady_clock::now();
            bool stored;
            if (!journal) {
                stored = store.save(db);
            } else {
                stored = store.appendMessage(thread, thread.messages.back(),
                                             {{thread.id, thread.title}});
                if (figures.latencies.size() % perSync == static_cast<std::size_t>(perSync - 1))
                    stored = store.syncJournal() && stored;
            }
            const auto end = std::chrono::steady_clock::now();
            if (!stored) state.SkipWithError("message not stored");
            const std::chrono::duration<double> took = end - start;
            figures.latencies.push_back(took.count());
            state.SetIterationTime(took.count());
            // The model's fold timer: encoding runs on this thread, the write
            // on the store's worker.
            if (journal && end - lastFold > std::chrono::seconds(3)) {
                store.foldInBackground(db);
                lastFold = end;
            }
        }
        const std::chrono::duration<double> all = std::chrono::steady_clock::now() - begin;
        figures.seconds = all.count();
    }
    std::error_code ignored;
    fs::remove_all(folder, ignored);
}

void BM_MessageWholeRewrite(benchmark::State& state) {
    storeMessages(state, "whole rewrite", 0);
}

void BM_MessageJournal(benchmark::State& state) {
    const int perSync = static_cast<int>(state.range(0));
    storeMessages(state, "journal, " + std::to_string(perSync) + " per sync", perSync);
}

void BM_MessageFigures(benchmark::State& state) {
    for (auto _ : state) {
    }
    for (auto& [name, f] : messageFigures()) {
        if (f.latencies.empty()) continue;
        std::vector<double> sorted = f.latencies;
        std::sort(sorted.begin(), sorted.end());
        auto at = [&](double q) {
            return sorted[std::min(sorted.size() - 1, static_cast<std::size_t>(q * sorted.size()))];
        };
        const double rate = static_cast<double>(sorted.size()) / f.seconds;
        state.counters[name + " msg/s"] = rate;
        std::printf(
            "%s: %zu messages, %.0f messages/s, save p50 %.3f ms, p99 %.3f ms, max %.3f ms\n",
            name.c_str(), sorted.size(), rate, at(0.5) * 1e3, at(0.99) * 1e3, sorted.back() * 1e3);
    }
}

void BM_Ratios(benchmark::State& state) {
    for (auto _ : state) {
    }
    auto& m = means();
    const double size = static_cast<double>(fixture().json.size());
    const double loadBudget = m["read"] + size / 1e9;
    state.counters["MB"] = size / 1e6;
    state.counters["load/(read+1GB/s)"] = m["load"] / loadBudget;
    state.counters["save/(write+fsync)"] = m["save"] / m["write"];
    std::printf(
        "\n%.1f MB: read %.1f ms, load %.1f ms (decode %.1f ms), encode %.1f ms, "
        "write+fsync %.1f ms, save %.1f ms\n"
        "load / (read + %.1f ms parse) = %.2f (target <= 3); "
        "save / (write+fsync) = %.2f (target <= 3)\n\n",
        size / 1e6, m["read"] * 1e3, m["load"] * 1e3, m["decode"] * 1e3, m["encode"] * 1e3,
        m["write"] * 1e3, m["save"] * 1e3, size / 1e6, m["load"] / loadBudget,
        m["save"] / m["write"]);
}

}  // namespace

BENCHMARK(BM_PlainRead)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(BM_Load)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(BM_Decode)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(BM_Encode)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(BM_PlainWriteFsync)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_Save)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_Ratios)->Iterations(1);
BENCHMARK(BM_MessageWholeRewrite)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(40);
// Long enough for folds to start (every 3 s) while messages are stored.
BENCHMARK(BM_MessageJournal)
    ->Arg(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(8000);
BENCHMARK(BM_MessageJournal)
    ->Arg(8)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(100000);
BENCHMARK(BM_MessageFigures)->Iterations(1);
