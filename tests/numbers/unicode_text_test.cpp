#include <gtest/gtest.h>

#include "numbers/unicode_text.h"

using namespace merrowfax::unicode;

TEST(PrefixCharacters, CountsWhatAReaderSeesAsOneCharacter) {
    EXPECT_EQ(prefixCharacters("abc", 5), "abc");
    EXPECT_EQ(prefixCharacters("abcdef", 3), "abc");
    EXPECT_EQ(prefixCharacters("", 3), "");
    // e + combining acute is one character; so is a flag (two code points).
    EXPECT_EQ(prefixCharacters("e\xCC\x81" "abc", 2), "e\xCC\x81" "a");
    EXPECT_EQ(prefixCharacters("\xF0\x9F\x87\xA8\xF0\x9F\x87\xA6" "xyz", 1),
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
