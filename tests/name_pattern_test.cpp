// File-name patterns with the rules Windows applies to a typed pattern, identical on every
// platform.
#include "search/text/name_pattern.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace quarvex {
namespace {

struct Case {
    const char* pattern;
    const char* name;
    bool matches;
};

void expectAll(std::initializer_list<Case> cases) {
    for (const Case& c : cases)
        EXPECT_EQ(NamePattern(c.pattern).matches(c.name), c.matches)
            << "pattern «" << c.pattern << "» name «" << c.name << "»";
}

TEST(NamePattern, StarsAndLiterals) {
    expectAll({
        // "*" and "*.*" match every name, with or without a dot.
        {"*", "a", true},
        {"*.*", "noext", true},
        {"*.*", "a.b.c", true},
        {"*.mp3", "song.mp3", true},
        {"*.mp3", "song.mp3x", false},
        {"*.mp3", "mp3", false},
        {"*.mp3", ".mp3", true},
        {"*a*b*", "xxaxxbxx", true},
        {"*a*b*", "xxbxxaxx", false},
        {"**x", "abx", true},
        {"*aab", "aaaab", true},
        {"a*a*a*a*b", "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaac", false},
        {"a.b", "a.b", true},
        {"a.b", "axb", false},
        {"[ab].txt", "[ab].txt", true},
        {"[ab].txt", "a.txt", false},
        {"a b", "a b", true},
        {"~$*", "~$doc", true},
        // "*" typed is searched as "**.*", which also matches every name.
        {"**.*", "noext", true},
        {"**.*", ".a.", true},
        {"**.**", "a", true},
        {"**.*x", "a", false},
        // A pattern without a dot is searched with "*.*" after it: the run, then any rest.
        {"report*.*", "Report Final_003.png", true},
        {"report*.*", "report", true},
        {"report*.*", "report.", true},
        {"report*.*", "reports.a.b", true},
        {"report*.*", "my report.txt", false},
        {"a?*.*", "ab..c", true},
        {"a?*.*", "ba", false},
        // The empty pattern (a background walk's) matches no name.
        {"", "a", false},
        {"", ".", false},
    });
}

TEST(NamePattern, QuestionMarksMatchNothingAtADotOrTheEnd) {
    expectAll({
        {"a?c", "abc", true},
        {"a?c", "ac", false},
        {"a?c", "abbc", false},
        {"a?c", "a.c", false},  // a dot is not "one character" for "?"
        {"abc?", "abc", true},  // a trailing "?" may match nothing
        {"abc?", "abcd", true},
        {"abc?", "abcde", false},
        {"a??", "a", true},
        {"a??", "abc", true},
        {"??.txt", "a.txt", true},  // so do the ones right after it
        {"??.txt", "ab.txt", true},
        {"??.txt", "abc.txt", false},
        {"?.?", "a", true},
        {"?.?", "a.", true},
        {"?.?", "a.b", true},
        {"?.?", "ab", false},
        {"?.?", "a.bc", false},
        {"??.??.??", "ab.ba", true},
        {"??.??.??", "ab.ba.ab", true},
        {"??.??.??", "abc.ba", false},
        {"??.txt", "文件.txt", true},  // "?" is one character, a multibyte one too
        {"?.txt", "文件.txt", false},
        {"*1?345", "1234567890.12345", true},
    });
}

TEST(NamePattern, DotsBeforeWildcardsMayStandForNothingAtTheEnd) {
    expectAll({
        {"abc.*", "abc", true},
        {"abc.*", "abc.", true},
        {"abc.*", "abc.def", true},
        {"abc.*", "abcd", false},
        {"report*.*", "reportx", true},
        {"*.txt.*", "x.txt", true},
        {"*.*.*", "abc", true},
        {"*.*.*", "a.b", true},
        {"a.?", "a", true},
        {"a.?", "ab", false},
        {"*.t?t", "a.txt", true},
        {"*.t?t", "a.tt", false},
        {"a.b", "ab", false},  // a dot before neither a wildcard nor the end stays a dot
    });
}

TEST(NamePattern, AFinalDotIsADotOrTheEndOfTheName) {
    expectAll({
        {"readme.", "readme", true},
        {"readme.", "README.", true},  // a name Linux may hold
        {"readme.", "readme.txt", false},
        {"readme.", "readmex", false},
        {"*.txt.", "a.txt", true},
        {"*.txt.", "a.txt.", true},
        {"*.txt.", "a.txt.gz", false},
        {"*.", "a.", true},
        {"foo*.", "foo.", true},
        {"foo*.", "foo", true},
        {"foo*.", "foo.x", false},
    });
}

TEST(NamePattern, StarDotAtTheEndFindsNamesWithoutAnExtension) {
    expectAll({
        {"*.", "abc", true},
        {"*.", "noext", true},
        {"*.", "a.b", false},
        {"*.", "x.tar.gz", false},
        {"x*.", "xyz", true},
        {"x*.", "xyz.txt", false},
        {"x*.", "yz", false},
    });
}

TEST(NamePattern, AStarBeforeADotStopsAtTheLastDot) {
    expectAll({
        {"*.?", "a", true},
        {"*.?", "x.tar.g", true},
        {"*.?", "a.bc",
         false},  // the star may not take the last dot for the DOS_DOT to match nothing
        {"*.?", ".hidden", false},
        {"*.??", "a.b.cd", true},
        {"*.??", "ab.cde", false},
        {"a*.?", "ab.c.d", true},
        {"a*.?", "ab.c.de", false},
    });
}

TEST(NamePattern, LettersMatchInAnyCaseByUnicodeSimpleMapping) {
    expectAll({
        {"*.MP3", "song.mp3", true},
        {"*.mp3", "SONG.MP3", true},
        {"ÄRGER.*", "ärger.txt", true},
        {"*.ΣΑΣ", "x.σας", true},
        {"é*", "É", true},
        {"Ω*", "ωmega.txt", true},
        {"ѐ*", "Ѐлка.txt", true},
        {"文件*.doc", "文件一.DOC", true},
        {"文件*.doc", "文档.doc", false},
        {"straße.txt", "STRASSE.TXT", false},  // no simple mapping turns one letter into two
        {"I*", "ı.txt", true},                 // dotless i maps to I
        {"i*", "İ.txt", false},                // dotted capital I has no simple mapping to i
        {"ǆ*", "ǅemo", true},                  // a title-case digraph maps to its capital
        {"*s", "longſ", true},                 // long s maps to S, beyond the ASCII shortcut
        {"*ſ", "bus", true},
    });
}

// "*" then up to eight ASCII bytes compares a name's last eight bytes at once; a run the pattern
// begins with, its first eight.
TEST(NamePattern, RunsComparedAtOnceKeepTheRules) {
    expectAll({
        {"*.mp3", "abcd.mp3", true},
        {"*.mP3", "a long song.MP3", true},
        {"*.mp3", "a long song.mp4", false},
        {"*.mp3", "a long song.mp3 ", false},
        {"*.ABCDEFG", "some.abcdefg", true},  // a tail of eight bytes
        {"*.ABCDEFG", "some.abcdefh", false},
        {"*@x", "long name`x", false},  // only letters match in either case
        {"*`x", "long name@x", false},
        {"*.txt", "名前のファイル.TXT", true},
        {"*.txt", "long name.t\xC3\xA9t", false},
        {"*.iso", "long name.\xC4\xB1so", true},     // dotless i still maps to I
        {"*s", "very long\xC5\xBF", true},           // and long s to S
        {"*sturgeon", "big \xC5\xBFturgeon", true},  // half of it among the bytes read
        {"IMG*", "img_0001.jpg", true},
        {"IMG*", "DSC_0001.jpg", false},
        {"ab@*", "AB` long name", false},
        {"longname*", "LONGNAMX and more", false},
        {"longnamex*", "LONGNAMEY and more", false},  // its ninth byte is left to the rule
        {"is*", "\xC4\xB1\xC5\xBF long name", true},
        {"is*", "\xC4\xB1x long name", false},
    });
}

// The shortcuts before the rule (literal runs, the tail read at once) decide as the rule does, for
// patterns and names made of what trips them: letters in both cases, the letters that fold to
// ASCII from beyond it, dots, wildcards, bytes that are no UTF-8.
TEST(NamePattern, ShortcutsAgreeWithTheRule) {
    const std::vector<std::string> patternParts = {"a", "B", "i", "s",  ".",
                                                   "*", "?", "é", "ab", "文"};
    const std::vector<std::string> nameParts = {"a",        "A",    "b",        "B",  "i",
                                                "\xC4\xB1", "s",    "\xC5\xBF", ".",  "\xC3\xA9",
                                                "\xC3\x89", "\xFF", "abcdefgh", "文", "\xE6\x96"};
    std::uint32_t seed = 20261208;
    const auto next = [&](std::size_t n) {
        seed = seed * 1664525u + 1013904223u;
        return static_cast<std::size_t>(seed >> 8) % n;
    };
    std::size_t matched = 0;
    for (int p = 0; p < 3000; ++p) {
        std::string text;
        for (std::size_t k = next(7); k > 0; --k) text += patternParts[next(patternParts.size())];
        const NamePattern pattern(text);
        for (int n = 0; n < 60; ++n) {
            std::string name;
            for (std::size_t k = next(9); k > 0; --k) name += nameParts[next(nameParts.size())];
            const bool byRule = pattern.matchesByRule(name);
            matched += byRule;
            ASSERT_EQ(pattern.matches(name), byRule)
                << "pattern «" << text << "» name «" << name << "»";
        }
    }
    EXPECT_GT(matched, 5000u);  // the mix finds matches, not only misses
}

TEST(NamePattern, NamesThatAreNotUtf8AreStillMatched) {
    const std::string latin1 = "caf\xE9.txt";  // é in Latin-1: no valid UTF-8
    EXPECT_TRUE(NamePattern("*.txt").matches(latin1));
    EXPECT_TRUE(NamePattern("caf?.TXT").matches(latin1));
    EXPECT_FALSE(NamePattern("café.txt").matches(latin1));
    EXPECT_TRUE(NamePattern("?").matches("\xFF"));
    // A cut-off sequence: each stray byte is one character of its own.
    EXPECT_FALSE(
        NamePattern("a?b").matches("a\xE6\x96"
                                   "b"));
    EXPECT_TRUE(
        NamePattern("a??b").matches("a\xE6\x96"
                                    "b"));
}

// The matcher's shortcut for "*" and ASCII letters leans on this: no character beyond ASCII
// folds to an ASCII one but those it names.
TEST(FoldCase, OnlyTheNamedLettersFoldToAsciiFromBeyondIt) {
    std::string folded;
    for (char32_t c = 0x80; c <= 0x10FFFF; ++c)
        if (foldCase(c) < 0x80) folded.push_back(static_cast<char>(foldCase(c)));
    EXPECT_EQ(folded, kFoldedFromElsewhere);
}

}  // namespace

}  // namespace quarvex
