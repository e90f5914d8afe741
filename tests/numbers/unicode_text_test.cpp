#include <gtest/gtest.h>

#include "numbers/unicode_text.h"

using namespace merrowfax::unicode;

TEST(PrefixCharacters, CountsWhatAReaderSeesAsOneCharacter) {
    const std::tuple<std::string, std::size_t, std::string> cases[] = {
        {"abc", 5, "abc"},
        {"abcdef", 3, "abc"},
        {"", 3, ""},
        {"abc", 0, ""},
        {"Zoë Zoë", 3, "Zoë"},
        {"e\xCC\x81xyz", 2, "e\xCC\x81x"},  // e + combining acute is one character
        {"\xF0\x9F\x87\xA8\xF0\x9F\x87\xA6xyz", 1, "\xF0\x9F\x87\xA8\xF0\x9F\x87\xA6"},  // a flag
    };
    for (const auto& [text, limit, prefix] : cases)
        EXPECT_EQ(prefixCharacters(text, limit), prefix) << text << " " << limit;
}

TEST(Trimmed, RemovesUnicodeWhiteSpaceAtBothEndsOnly) {
    EXPECT_EQ(trimmed("  a b \n"), "a b");
    EXPECT_EQ(trimmed("\xE2\x80\x83x\xC2\xA0"), "x");  // em space, no-break space
    EXPECT_EQ(trimmed(" \t\r\n"), "");
    EXPECT_EQ(trimmed("\xFF x \xFF"), "\xFF x \xFF");  // broken bytes are not space
}

TEST(CompareCaseInsensitive, IgnoresCaseButNotAccents) {
    EXPECT_EQ(compareCaseInsensitive("alice", "ALICE"), 0);
    EXPECT_LT(compareCaseInsensitive("alice", "Bob"), 0);
    EXPECT_NE(compareCaseInsensitive("e", "é"), 0);
    EXPECT_LT(compareCaseInsensitive("Émile", "Fred"), 0);
}

TEST(WithoutInvisible, RemovesFormattingButKeepsEmojiJoiners) {
    const std::pair<const char*, const char*> cases[] = {
        {"\u202AA\u202BB\u202CC\u202DD\u202EE", "ABCDE"},
        {"\u2066A\u2067B\u2068C\u2069", "ABC"},
        {"\u200BA\u200CB\u200DC\u200E\u200F", "ABC"},
        {"\u2060\u2061\u2062\u2063\u2064A\uFEFF\u061C\u00AD", "A"},
        {"\U000E0041tag", "tag"},  // tag characters
        {"\U0001F468\u200D\U0001F469\u200D\U0001F467",
         "\U0001F468\u200D\U0001F469\u200D\U0001F467"},
        {"\U0001F44D\U0001F3FD\u200D\U0001F525",
         "\U0001F44D\U0001F3FD\u200D\U0001F525"},  // after a modifier
        {"\u2764\uFE0F\u200D\U0001F525",
         "\u2764\uFE0F\u200D\U0001F525"},      // after a variation selector
        {"A\u200D\U0001F525", "A\U0001F525"},  // joins no pictographs
        {"\U0001F525\u200D", "\U0001F525"},
        {"Émile 😀", "Émile 😀"},
    };
    for (const auto& [in, out] : cases) EXPECT_EQ(withoutInvisible(in), out) << in;
}

// On top of withoutInvisible: controls and broken bytes go, then the trim and
// the cut, which counts what is left to see.
TEST(CleanName, DropsInvisibleFormattingAndControlsThenTrimsAndCuts) {
    std::string padded;
    for (int i = 0; i < 40; ++i) padded += "\u200Bb";
    const std::pair<std::string, std::string> cases[] = {
        // An override would make "Ann" plus a reversed number read as someone else's number.
        {"Ann\u202E8765-432-1-0\u202C", "Ann8765-432-1-0"},
        {"Bo\x07"
         "b\x1B\x7F\xC2\x85",
         "Bob"},                        // C0, DEL and C1 controls
        {"\u200B  Bob \u200E", "Bob"},  // trimmed once bare
        {"\u202E\u200B \t", ""},        // nothing visible
        {"B\xFFob", "Bob"},             // broken bytes go
        {"Zoë שלום \U0001F1E8\U0001F1E6", "Zoë שלום \U0001F1E8\U0001F1E6"},
        {"Dev \U0001F469\u200D\U0001F4BB", "Dev \U0001F469\u200D\U0001F4BB"},
        {std::string(50, 'a'), std::string(40, 'a')},
        {padded, std::string(40, 'b')},
    };
    for (const auto& [in, out] : cases) EXPECT_EQ(cleanName(in, 40), out) << in;
}
