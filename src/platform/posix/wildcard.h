// Windows wildcard rules for file names: letters match without regard to case (Unicode simple
// case mapping), "*" matches any run of characters, "?" exactly one, and a pattern that ends in
// ".*" also matches names with nothing where the ".*" stands.
#pragma once

#include <string_view>
#include <vector>

namespace quarvex::posix {

class WildcardPattern {
  public:
    explicit WildcardPattern(std::string_view pattern);
    bool matches(std::string_view name) const;
    bool matchesEverything() const { return matchesEverything_; }

  private:
    bool matchesFolded(const std::vector<char32_t>& name,
                       const std::vector<char32_t>& pattern) const;

    std::vector<char32_t> pattern_;
    std::vector<char32_t> withoutDotStar_;  // empty unless the pattern ends in ".*"
    bool hasDotStarForm_ = false;
    bool matchesEverything_ = false;
};

// Decodes UTF-8 and folds every character to upper case. A byte that is not valid UTF-8 becomes a
// code point of its own that only "?" and "*" match, so any Linux name can be matched.
void foldName(std::string_view text, std::vector<char32_t>& out);

}  // namespace quarvex::posix
