// Directory pages straight from the store at 300 000 listings: letter pages
// (first and deep), name searches that hit or miss, number searches with many,
// some or no matches.
#include <unistd.h>

#include <filesystem>
#include <memory>

#include <benchmark/benchmark.h>

#include "listings.h"
#include "relay/directory.h"
#include "relay/query.h"

namespace {

using merrowfax::relay::Directory;
using merrowfax::relay::SqliteStore;

constexpr std::size_t kListings = 300'000;

// One seeded store for every case, removed when the program ends.
struct Seeded {
    std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("bench-directory-" + std::to_string(::getpid()));
    std::unique_ptr<SqliteStore> store;
    std::unique_ptr<Directory> directory;
    Seeded() {
        std::filesystem::create_directories(dir);
        merrowfax::testing::seedListings(dir / "relay.sqlite", kListings);
        store = std::make_unique<SqliteStore>(dir / "relay.sqlite");
        directory = std::make_unique<Directory>(*store, 50);
    }
    ~Seeded() {
        directory.reset();
        store.reset();
        std::filesystem::remove_all(dir);
    }
};

Seeded& seeded() {
    static Seeded instance;
    return instance;
}

void page(benchmark::State& state, std::string query) {
    auto& directory = *seeded().directory;
    const auto target = merrowfax::relay::parseTarget("/merrowfax/directory?" + query);
    if (!target || !directory.page(*target)) {
        state.SkipWithError("bad query");
        return;
    }
    for (auto _ : state) benchmark::DoNotOptimize(directory.page(*target));
}

// A cursor 40 pages into the letter M.
std::string deepLetterPage() {
    auto& directory = *seeded().directory;
    std::string after;
    for (int i = 0; i < 40; ++i) {
        const auto body =
            directory.page(*merrowfax::relay::parseTarget("/d?letter=M&after=" + after));
        const auto at = body->rfind("\"after\":\"") + 9;
        after = body->substr(at, body->find('"', at) - at);
    }
    return "letter=M&after=" + after;
}

}  // namespace

BENCHMARK_CAPTURE(page, letter_first, std::string("letter=M"))->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(page, letter_deep, deepLetterPage())->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(page, name_hit, std::string("q=Mobo"))->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(page, name_miss, std::string("q=zzz"))->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(page, digits_all_us, std::string("q=1"))->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(page, digits_some, std::string("q=01210"))->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(page, digits_none, std::string("q=9"))->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(page, dashed_city, std::string("q=1-66"))->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(page, dashed_some, std::string("q=1-339-201"))->Unit(benchmark::kMicrosecond);
