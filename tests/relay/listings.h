#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "relay/fold.h"
#include "relay/sqlite_store.h"

// Made-up directory listings for load tests and benchmarks: names built from
// syllables (every index letter gets some), numbers spread over four cities.
namespace merrowfax::testing {

inline std::vector<relay::Profile> fakeListings(std::size_t count) {
    static const char* const kSyllables[] = {"an", "bo", "ca", "di", "el", "fa", "gu", "ha", "il",
                                             "jo", "ka", "lu", "ma", "ne", "ol", "pi", "qu", "ro",
                                             "sa", "ti", "ur", "ve", "wi", "xa", "yo", "ze"};
    static const char* const kCities[] = {"0-1", "1-1", "1-66", "1-339"};
    std::uint64_t state = 0x9E3779B97F4A7C15ull;
    auto next = [&state](std::size_t range) {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        return static_cast<std::size_t>((state >> 33) % range);
    };
    std::vector<relay::Profile> out;
    out.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        std::string name;
        for (int s = 0; s < 3; ++s) name += kSyllables[next(std::size(kSyllables))];
        name += ' ';
        for (int s = 0; s < 2; ++s) name += kSyllables[next(std::size(kSyllables))];
        name[0] = static_cast<char>(name[0] - 32);
        char number[32];
        const auto local = 2'000'000 + i;
        std::snprintf(number, sizeof number, "%s-%03zu-%04zu", kCities[i % std::size(kCities)],
                      local / 10'000, local % 10'000);
        const std::string key = relay::foldName(name);
        out.push_back({number, name, key, relay::indexLetter(key), "Mac",
                       i % 7 == 0 ? "business" : "personal"});
    }
    return out;
}

// Writes `count` listings into the store file of a relay data folder.
inline void seedListings(const std::filesystem::path& file, std::size_t count) {
    relay::SqliteStore store(file);
    store.saveProfiles(fakeListings(count), 1'700'000'000);
}

}  // namespace merrowfax::testing
