// File-name patterns as Windows matches a typed pattern. The pattern is first rewritten: "*.*"
// (and "*") match every name; each "?" becomes DOS_QM; a "." followed by "?" or "*", or ending the
// pattern, becomes DOS_DOT; a "*" before a "." becomes DOS_STAR. Then a name is matched the way
// the file system does: "*" matches any run, DOS_STAR any run up to the name's last dot, DOS_QM one
// character but nothing at a dot or at the end, DOS_DOT a dot or nothing at the end. Letters match
// without regard to case (Unicode simple uppercase mapping). A name's bytes that are no UTF-8 are
// characters of their own that only wildcards match.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace quarvex {

class NamePattern {
  public:
    explicit NamePattern(std::string_view pattern);
    bool matches(std::string_view name) const {
        // "*" then a few ASCII literals, as in "*.mp3": the name's last eight bytes against them
        // at once, letters in either case.
        if (tailLength_ != 0 && name.size() >= 8) {
            std::uint64_t last;
            std::memcpy(&last, name.data() + name.size() - 8, 8);
            if (((last >> (64 - 8 * tailLength_)) | tailCase_) == tailBits_) return true;
            // Else, no match, but where a character beyond ASCII folds to a letter of the tail.
            if (!tailFoldsFromElsewhere_) return false;
        }
        return matchesAny(name);
    }

  private:
    bool matchesAny(std::string_view name) const;
    bool matchesAscii(std::string_view name) const;
    bool run(const std::vector<char32_t>& name) const;

    std::vector<char32_t> expression_;  // folded literals and wildcard tokens
    bool everything_ = false;
    bool nothing_ = false;
    // "*" followed by printable ASCII literals only, as in "*.mp3": compared from the end.
    bool starThenLiterals_ = false;
    std::string literalTail_;              // folded
    bool tailFoldsFromElsewhere_ = false;  // it holds a letter of kFoldedFromElsewhere
    // The tail as the last bytes of a name read as a little-endian number, letters in lower case,
    // and the case bit of each letter; tailLength_ is 0 where the tail is not one to 8 bytes.
    std::uint64_t tailBits_ = 0;
    std::uint64_t tailCase_ = 0;
    unsigned tailLength_ = 0;
};

// Unicode simple uppercase mapping; code points without one map to themselves.
char32_t foldCase(char32_t c);

// The ASCII characters that characters beyond ASCII fold to: dotless i to I, long s to S.
inline constexpr char kFoldedFromElsewhere[] = "IS";

}  // namespace quarvex
