#include "search/text/name_pattern.h"

#include <algorithm>
#include <cstdint>
#include <iterator>

#include "search/text/utf8.h"

namespace quarvex {

namespace {

// Tokens of the rewritten pattern, beyond every code point and raw byte.
constexpr char32_t kStar = 0x7FFFFF01;
constexpr char32_t kDosStar = 0x7FFFFF02;
constexpr char32_t kDosQm = 0x7FFFFF03;
constexpr char32_t kDosDot = 0x7FFFFF04;

struct CaseRange {
    char32_t first, last;
    std::int32_t offset;
};

constexpr CaseRange kUpper[] = {
#include "search/text/case_table.inc"
};

char asciiUpper(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c;
}

void decodeFolded(std::string_view text, std::vector<char32_t>& out) {
    out.clear();
    for (std::size_t i = 0; i < text.size();) out.push_back(foldCase(decodeUtf8(text, i)));
}

}  // namespace

char32_t foldCase(char32_t c) {
    if (c < 0x80) return (c >= 'a' && c <= 'z') ? c - 32 : c;
    const auto* end = std::end(kUpper);
    const auto* it = std::upper_bound(std::begin(kUpper), end, c,
                                      [](char32_t v, const CaseRange& r) { return v < r.first; });
    if (it == std::begin(kUpper)) return c;
    --it;
    return c <= it->last ? static_cast<char32_t>(static_cast<std::int64_t>(c) + it->offset) : c;
}

NamePattern::NamePattern(std::string_view pattern) {
    if (pattern == "*.*" || pattern == "*") {
        everything_ = true;
        return;
    }
    // Matches no name (a name is never empty): a background walk's pattern, asked of every entry.
    nothing_ = pattern.empty();
    std::vector<char32_t> chars;
    for (std::size_t i = 0; i < pattern.size();) chars.push_back(decodeUtf8(pattern, i));
    // A dot is DOS_DOT before a wildcard or at the end.
    const auto dosDotAt = [&](std::size_t i) {
        return i < chars.size() && chars[i] == '.' &&
               (i + 1 == chars.size() || chars[i + 1] == '?' || chars[i + 1] == '*');
    };
    for (std::size_t i = 0; i < chars.size(); ++i) {
        const char32_t c = chars[i];
        if (c == '*') {
            // Before a dot that stays a dot, DOS_STAR and "*" match alike: "*" keeps the fast
            // path of "*.mp3".
            expression_.push_back(dosDotAt(i + 1) ? kDosStar : kStar);
        } else if (c == '?') {
            expression_.push_back(kDosQm);
        } else if (dosDotAt(i)) {
            expression_.push_back(kDosDot);
        } else {
            expression_.push_back(foldCase(c));
        }
    }

    // A star first takes the whole name, and what follows matches nothing at its end: so "*" as
    // typed (searched as "**.*") matches every name, as "*.*" does.
    everything_ = !expression_.empty() && expression_[0] == kStar &&
                  std::all_of(expression_.begin(), expression_.end(), [](char32_t c) {
                      return c == kStar || c == kDosStar || c == kDosDot;
                  });
    starThenLiterals_ = expression_.size() > 1 && expression_[0] == kStar &&
                        std::all_of(expression_.begin() + 1, expression_.end(),
                                    [](char32_t c) { return c >= 0x20 && c < 0x7F; });
    if (starThenLiterals_)
        for (auto it = expression_.begin() + 1; it != expression_.end(); ++it)
            literalTail_.push_back(static_cast<char>(*it));
    tailFoldsFromElsewhere_ = literalTail_.find_first_of(kFoldedFromElsewhere) != std::string::npos;
    if (std::endian::native == std::endian::little && starThenLiterals_ &&
        literalTail_.size() <= 8) {
        tailLength_ = static_cast<unsigned>(literalTail_.size());
        for (unsigned i = 0; i < tailLength_; ++i) {
            const char c = literalTail_[i];
            const bool letter = c >= 'A' && c <= 'Z';
            tailBits_ |= std::uint64_t{static_cast<unsigned char>(letter ? c | 0x20 : c)}
                         << (8 * i);
            if (letter) tailCase_ |= std::uint64_t{0x20} << (8 * i);
        }
    }
}

bool NamePattern::matchesAny(std::string_view name) const {
    if (everything_) return true;
    if (nothing_) return false;
    // "*" then ASCII literals: when the name ends in as many ASCII bytes, those are its last
    // characters whatever comes before (UTF-8 puts no ASCII byte inside a sequence), and the
    // "*" takes the rest. And for a tail without a letter that a character beyond ASCII folds
    // to, a byte beyond ASCII there simply differs.
    if (starThenLiterals_) {
        if (name.size() < literalTail_.size()) return false;  // a character is a byte at least
        const std::string_view tail = name.substr(name.size() - literalTail_.size());
        if (!tailFoldsFromElsewhere_ || std::all_of(tail.begin(), tail.end(), [](char c) {
                return static_cast<unsigned char>(c) < 0x80;
            }))
            return matchesAscii(name);
    }
    if (std::all_of(name.begin(), name.end(),
                    [](char c) { return static_cast<unsigned char>(c) < 0x80; }))
        return matchesAscii(name);
    thread_local std::vector<char32_t> folded;
    decodeFolded(name, folded);
    return run(folded);
}

bool NamePattern::matchesAscii(std::string_view name) const {
    if (starThenLiterals_) {
        if (name.size() < literalTail_.size()) return false;
        const std::string_view tail = name.substr(name.size() - literalTail_.size());
        for (std::size_t i = 0; i < tail.size(); ++i)
            if (asciiUpper(tail[i]) != literalTail_[i]) return false;
        return true;
    }
    thread_local std::vector<char32_t> folded;
    folded.clear();
    for (const char c : name) folded.push_back(static_cast<unsigned char>(asciiUpper(c)));
    return run(folded);
}

// The pattern as a set of states, one per position, advanced one name character at a time.
bool NamePattern::run(const std::vector<char32_t>& name) const {
    const std::size_t m = expression_.size();
    thread_local std::vector<unsigned char> current, next;
    current.assign(m + 1, 0);
    next.assign(m + 1, 0);

    std::size_t lastDot = name.size();
    for (std::size_t i = name.size(); i-- > 0;)
        if (name[i] == '.') {
            lastDot = i;
            break;
        }

    // Adds the states reachable from the marked ones without consuming a character; `c` is the
    // character at hand, or 0 at the end of the name.
    const auto close = [&](std::vector<unsigned char>& states, bool atEnd, char32_t c) {
        for (std::size_t s = 0; s < m; ++s) {
            if (!states[s]) continue;
            const char32_t e = expression_[s];
            if (e == kStar || e == kDosStar || (e == kDosQm && (atEnd || c == '.')) ||
                (e == kDosDot && atEnd))
                states[s + 1] = 1;
        }
    };

    current[0] = 1;
    for (std::size_t n = 0; n < name.size(); ++n) {
        const char32_t c = name[n];
        close(current, false, c);
        std::fill(next.begin(), next.end(), 0);
        bool any = false;
        for (std::size_t s = 0; s < m; ++s) {
            if (!current[s]) continue;
            const char32_t e = expression_[s];
            if (e == kStar || (e == kDosStar && (c != '.' || n < lastDot))) {
                next[s] = 1;
            } else if ((e == kDosQm && c != '.') || (e == kDosDot && c == '.') || e == c) {
                next[s + 1] = 1;
            } else {
                continue;
            }
            any = true;
        }
        if (!any) return false;
        current.swap(next);
    }
    close(current, true, 0);
    return current[m] != 0;
}

}  // namespace quarvex
