// The Windows wildcard rules as the Linux platform applies them.
#include "platform/posix/wildcard.h"

#include <gtest/gtest.h>

namespace quarvex::posix {
namespace {

struct Case {
    const char* pattern;
    const char* name;
    bool matches;
};

TEST(Wildcard, FollowsTheWindowsRules) {
    const Case cases[] = {
        // "*" and "*.*" match every name, with or without a dot.
        {"*", "a", true},
        {"*", ".profile", true},
        {"*.*", "noext", true},
        {"*.*", "a.b.c", true},
        // Letters match without regard to case, beyond ASCII too.
        {"*.mp3", "SONG.MP3", true},
        {"*.MP3", "song.mp3", true},
        {"*.mp3", "song.mp3x", false},
        {"*.mp3", "mp3", false},
        {"straße.txt", "STRASSE.TXT", false},
        {"ÄRGER.*", "ärger.txt", true},
        {"*.ΣΑΣ", "x.σας", true},
        {"é*", "É", true},
        {"文件*.doc", "文件一.DOC", true},
        {"文件*.doc", "文档.doc", false},
        // "?" is exactly one character, a multibyte one too.
        {"a?c", "abc", true},
        {"a?c", "ac", false},
        {"a?c", "abbc", false},
        {"??.txt", "文件.txt", true},
        {"?.txt", "文件.txt", false},
        // A trailing ".*" may also stand for nothing.
        {"report*.*", "reportx", true},
        {"abc.*", "abc", true},
        {"abc.*", "abcd", false},
        {"abc.*", "abc.", true},
        {"a.*", "a.b", true},
        {"*.txt.*", "x.txt", true},
        // Otherwise the dot is literal.
        {"*.", "abc", false},
        {"abc.", "abc.", true},
        {"a.b", "a.b", true},
        {"a.b", "axb", false},
        // Stars anywhere, runs of stars, backtracking.
        {"*a*b*", "xxaxxbxx", true},
        {"*a*b*", "xxbxxaxx", false},
        {"**x", "abx", true},
        {"*aab", "aaaab", true},
        {"a*a*a*a*b", "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaac", false},
        // Other characters are literal.
        {"[ab].txt", "[ab].txt", true},
        {"[ab].txt", "a.txt", false},
        {"a b", "a b", true},
        {"~$*", "~$doc", true},
    };
    for (const Case& c : cases)
        EXPECT_EQ(WildcardPattern(c.pattern).matches(c.name), c.matches)
            << "pattern «" << c.pattern << "» name «" << c.name << "»";
}

TEST(Wildcard, MatchesNamesThatAreNotValidUtf8) {
    const std::string latin1 = "caf\xE9.txt";  // é in Latin-1: no valid UTF-8
    EXPECT_TRUE(WildcardPattern("*.txt").matches(latin1));
    EXPECT_TRUE(WildcardPattern("caf?.TXT").matches(latin1));
    EXPECT_FALSE(WildcardPattern("café.txt").matches(latin1));
    EXPECT_TRUE(WildcardPattern("?").matches("\xFF"));
    // A cut-off sequence: each stray byte is one character of its own.
    EXPECT_FALSE(
        WildcardPattern("a?b").matches("a\xE6\x96"
                                       "b"));
    EXPECT_TRUE(
        WildcardPattern("a??b").matches("a\xE6\x96"
                                        "b"));
}

TEST(Wildcard, KnowsWhenEveryNameMatches) {
    EXPECT_TRUE(WildcardPattern("*").matchesEverything());
    EXPECT_TRUE(WildcardPattern("*.*").matchesEverything());
    EXPECT_TRUE(WildcardPattern("**.*").matchesEverything());
    EXPECT_FALSE(WildcardPattern("*.*.*").matchesEverything());
    EXPECT_FALSE(WildcardPattern("*.txt").matchesEverything());
}

}  // namespace
}  // namespace quarvex::posix
