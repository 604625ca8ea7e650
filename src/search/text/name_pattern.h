// File-name patterns as Windows matches a typed pattern. The pattern is first rewritten: "*.*"
// (and "*") match every name; each "?" becomes DOS_QM; a "." followed by "?" or "*", or ending the
// pattern, becomes DOS_DOT; a "*" before a "." becomes DOS_STAR. Then a name is matched the way
// the file system does: "*" matches any run, DOS_STAR any run up to the name's last dot, DOS_QM one
// character but nothing at a dot or at the end, DOS_DOT a dot or nothing at the end. Letters match
// without regard to case (Unicode simple uppercase mapping). A name's bytes that are no UTF-8 are
// characters of their own that only wildcards match.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace quarvex {

class NamePattern {
  public:
    explicit NamePattern(std::string_view pattern);
    bool matches(std::string_view name) const;

  private:
    bool matchesAscii(std::string_view name) const;
    bool run(const std::vector<char32_t>& name) const;

    std::vector<char32_t> expression_;  // folded literals and wildcard tokens
    bool everything_ = false;
    bool nothing_ = false;
    // "*" followed by printable ASCII literals only, as in "*.mp3": compared from the end.
    bool starThenLiterals_ = false;
    std::string literalTail_;              // folded
    bool tailFoldsFromElsewhere_ = false;  // it holds a letter of kFoldedFromElsewhere
};

// Unicode simple uppercase mapping; code points without one map to themselves.
char32_t foldCase(char32_t c);

// The ASCII characters that characters beyond ASCII fold to: dotless i to I, long s to S.
inline constexpr char kFoldedFromElsewhere[] = "IS";

}  // namespace quarvex
