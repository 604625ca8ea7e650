// File-name patterns as Windows matches a typed pattern. The pattern is first rewritten: "*.*"
// (and "*") match every name; each "?" becomes DOS_QM; a "." followed by "?" or "*", or ending the
// pattern, becomes DOS_DOT; a "*" before a "." becomes DOS_STAR. Then a name is matched the way
// the file system does: "*" matches any run, DOS_STAR any run up to the name's last dot, DOS_QM one
// character but nothing at a dot or at the end, DOS_DOT a dot or nothing at the end. Letters match
// without regard to case (Unicode simple uppercase mapping). A name's bytes that are no UTF-8 are
// characters of their own that only wildcards match.
#pragma once

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quarvex {

// Eight bytes of a name read at once: a one in each byte, and the bits 0x80 of the bytes of `x`
// that are 0 (where one is, the lowest of them is right).
inline constexpr std::uint64_t kByteOnes = 0x0101010101010101;
constexpr std::uint64_t zeroBytes(std::uint64_t x) {
    return (x - kByteOnes) & ~x & (kByteOnes * 0x80);
}

class NamePattern {
  public:
    // A pattern that is "*" then a run of up to eight bytes, as "*.mp3", as a test of a name's
    // last eight bytes, read as a little-endian number: the run's bytes, letters in lower case,
    // the case bit of each letter, and the run's length (0 for other patterns). A value, for a
    // loop over many names to hold in registers.
    struct TailTest {
        std::uint64_t bits = 0;
        std::uint64_t caseBits = 0;
        unsigned length = 0;
        // The run holds a letter of kFoldedFromElsewhere: where exact() fails, a name with such
        // a character beyond ASCII (mayFold) may match all the same.
        bool foldsFromElsewhere = false;
        // The name ends with the run, ASCII letters in either case.
        bool exact(std::uint64_t last) const {
            return ((last >> (64 - 8 * length)) | caseBits) == bits;
        }
        // Whether a name's last eight bytes may hold "ı" or "ſ": where a character lies in them,
        // its last byte (B1, BF) does.
        static bool mayFold(std::uint64_t last) {
            return (zeroBytes(last ^ kByteOnes * 0xB1) | zeroBytes(last ^ kByteOnes * 0xBF)) != 0;
        }
    };

    explicit NamePattern(std::string_view pattern);
    bool matches(std::string_view name) const {
        // "*.mp3": the name's last eight bytes against the run at once.
        if (tailTest_.length != 0 && name.size() >= 8) {
            std::uint64_t last;
            std::memcpy(&last, name.data() + name.size() - 8, 8);
            if (tailTest_.exact(last)) return true;
            // Else, no match, but where a character beyond ASCII folds to a letter of the tail.
            return tailTest_.foldsFromElsewhere && TailTest::mayFold(last) && matchesAny(name);
        }
        return matchesFromHead(name);
    }
    const TailTest& tailTest() const { return tailTest_; }

    // The rule alone, without the shortcuts before it: what they must agree with.
    bool matchesByRule(std::string_view name) const;

  private:
    // Whether eight bytes of a name may hold a byte of "ı" (C4 B1) or "ſ" (C5 BF), the only
    // characters beyond ASCII that fold to an ASCII letter (at times also where none is).
    static bool mayFoldToAscii(std::uint64_t bytes) {
        return (zeroBytes((bytes & kByteOnes * 0xFE) ^ kByteOnes * 0xC4) |
                zeroBytes(bytes ^ kByteOnes * 0xB1) | zeroBytes(bytes ^ kByteOnes * 0xBF)) != 0;
    }

    // The rule's states as bits: for expressions of fewer than 64 tokens.
    struct Bits {
        std::uint64_t star = 0, dosStar = 0, dosQm = 0, dosDot = 0;
        std::array<std::uint64_t, 0x80> ascii{};  // the literals of each ASCII character
        std::vector<std::pair<char32_t, std::uint64_t>> other;  // of the others
    };

    bool matchesFromHead(std::string_view name) const;
    bool matchesAny(std::string_view name) const;
    void makeBits();
    bool runBits(std::string_view name) const;
    void findLiterals();
    bool literalsFit(std::string_view name) const;
    bool foldsWhereRunsLie(std::string_view name) const;
    bool run(const std::vector<char32_t>& name) const;

    std::vector<char32_t> expression_;  // folded literals and wildcard tokens
    Bits bits_;
    bool bitwise_ = false;  // bits_ holds the rule
    bool everything_ = false;
    bool nothing_ = false;
    // The pattern's runs of literals that stand for bytes: printable ASCII in upper case, and
    // characters beyond ASCII that only themselves match, in UTF-8. The one it begins with, the
    // one it ends with, those between: a matching name holds each, in order and apart, as bytes,
    // ASCII letters in either case. Checked before the rule, they pass by most names at once;
    // where the pattern is only such runs and "*" between them (`IMG*`, `*report*`, `*音乐*`),
    // they are the whole rule.
    std::string head_;
    std::string tail_;
    std::vector<std::string> middle_;
    std::size_t literalBytes_ = 0;
    bool wholeLiteral_ = false;   // the head is the whole pattern: the name is it, no more
    bool literalsExact_ = false;  // runs and "*" only
    // They hold a letter of kFoldedFromElsewhere: a name with such a character beyond ASCII
    // goes to the rule.
    bool literalsFoldFromElsewhere_ = false;
    bool foldsInHead_ = false;
    bool foldsInTail_ = false;
    bool foldsInMiddle_ = false;
    // It holds a literal beyond ASCII outside the runs: a name of ASCII alone cannot match.
    bool beyondAscii_ = false;
    TailTest tailTest_;
    // The first up to eight bytes of the head alike, as the first bytes of a name; headMask_
    // covers them, 0 where the pattern begins with no run.
    std::uint64_t headBits_ = 0;
    std::uint64_t headCase_ = 0;
    std::uint64_t headMask_ = 0;
};

// Unicode simple uppercase mapping; code points without one map to themselves.
char32_t foldCase(char32_t c);

// The ASCII characters that characters beyond ASCII fold to: dotless i to I, long s to S.
inline constexpr char kFoldedFromElsewhere[] = "IS";

}  // namespace quarvex
