#include <gtest/gtest.h>

#include "numbers/unicode_text.h"

using namespace merrowfax::unicode;

TEST(PrefixCharacters, CountsWhatAReaderSeesAsOneCharacter) {
    EXPECT_EQ(prefixCharacters("abc", 5), "abc");
    EXPECT_EQ(prefixCharacters("abcdef", 3), "abc");
    EXPECT_EQ(prefixCharacters("", 3), "");
    // e + combining acute is one character; so is a flag (two code points).
    EXPECT_EQ(prefixCharacters("e\xCC\x81"
                               "abc",
                               2),
              "e\xCC\x81"
              "a");
    EXPECT_EQ(prefixCharacters("\xF0\x9F\x87\xA8\xF0\x9F\x87\xA6"
                               "xyz",
                               1),
              "\xF0\x9F\x87\xA8\xF0\x9F\x87\xA6");
    EXPECT_EQ(prefixCharacters("Zoë Zoë", 3), "Zoë");
    EXPECT_EQ(prefixCharacters("abc", 0), "");
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

TEST(CleanName, DropsInvisibleFormattingAndControlsThenTrimsAndCuts) {
    // Right-to-left override and isolates: "Ann" followed by a reversed
    // number would read as someone else's number.
    EXPECT_EQ(cleanName("Ann\xE2\x80\xAE"
                        "8765-432-1-0\xE2\x80\xAC",
                        40),
              "Ann8765-432-1-0");
    EXPECT_EQ(cleanName("\xE2\x81\xA6"
                        "Bob\xE2\x81\xA9",
                        40),
              "Bob");  // U+2066, U+2069
    EXPECT_EQ(cleanName("B\xE2\x80\x8B"
                        "o\xEF\xBB\xBF"
                        "b\xD8\x9C",
                        40),
              "Bob");  // ZWSP, BOM, ALM
    EXPECT_EQ(cleanName("B\xE2\x80\x8F"
                        "o\xE2\x81\xA0"
                        "b\xE2\x81\xA4",
                        40),
              "Bob");  // RLM, WJ
    EXPECT_EQ(cleanName("Bo\x07"
                        "b\x1B\x7F\xC2\x85",
                        40),
              "Bob");                                                   // C0, DEL and C1 controls
    EXPECT_EQ(cleanName("\xE2\x80\x8B  Bob \xE2\x80\x8E", 40), "Bob");  // trimmed once bare
    EXPECT_EQ(cleanName("\xE2\x80\xAE\xE2\x80\x8B \t", 40), "");        // nothing visible
    EXPECT_EQ(cleanName("B\xFF"
                        "ob",
                        40),
              "Bob");  // broken bytes go
    // Visible text stays as it is: accents, other scripts, flags.
    EXPECT_EQ(
        cleanName("Zoë \xD7\xA9\xD7\x9C\xD7\x95\xD7\x9D \xF0\x9F\x87\xA8\xF0\x9F\x87\xA6", 40),
        "Zoë \xD7\xA9\xD7\x9C\xD7\x95\xD7\x9D \xF0\x9F\x87\xA8\xF0\x9F\x87\xA6");
    // Names share the rule: a joiner inside one emoji is kept.
    EXPECT_EQ(cleanName("Dev \U0001F469\u200D\U0001F4BB", 40), "Dev \U0001F469\u200D\U0001F4BB");
    // The cut counts what is left to see, not the invisible padding.
    EXPECT_EQ(cleanName(std::string(50, 'a'), 40), std::string(40, 'a'));
    std::string padded;
    for (int i = 0; i < 40; ++i)
        padded +=
            "\xE2\x80\x8B"
            "b";
    EXPECT_EQ(cleanName(padded, 40), std::string(40, 'b'));
}
