#include "search/text/name_pattern.h"

#include <algorithm>
#include <bit>
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

// A character beyond ASCII that only itself matches: its own simple uppercase, and no other's.
// Its bytes stand as they are in every name it matches (CJK, kana, most symbols).
bool caseless(char32_t c) {
    if (c < 0x80 || c >= kRawByte || foldCase(c) != c) return false;
    return std::none_of(std::begin(kUpper), std::end(kUpper), [c](const CaseRange& r) {
        const std::int64_t from = c - static_cast<std::int64_t>(r.offset);
        return r.offset != 0 && from >= r.first && from <= r.last;
    });
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

    // "*.*" at the end (DOS_STAR, DOS_DOT, "*") matches any rest, as "*" does: DOS_STAR takes
    // the rest up to its last dot, if any, DOS_DOT that dot or the end, "*" what follows. So
    // "report" (searched as "report*.*") is "report*": its run alone decides.
    const std::size_t n = expression_.size();
    if (n >= 3 && expression_[n - 3] == kDosStar && expression_[n - 2] == kDosDot &&
        expression_[n - 1] == kStar) {
        expression_.resize(n - 2);
        expression_.back() = kStar;
    }
    // A star takes the rest of the name, and wildcards after it that all match nothing at the
    // end add nothing: so "*" as typed (searched as "**.*") matches every name, as "*.*" does,
    // and "IMG*" (searched as "IMG**.*") is "IMG*".
    const auto nothingAtTheEnd = [](char32_t c) {
        return c == kStar || c == kDosStar || c == kDosDot;
    };
    for (std::size_t s = 0; s < expression_.size(); ++s)
        if (expression_[s] == kStar &&
            std::all_of(expression_.begin() + s + 1, expression_.end(), nothingAtTheEnd)) {
            expression_.resize(s + 1);
            break;
        }
    everything_ = expression_.size() == 1 && expression_[0] == kStar;
    findLiterals();
    makeBits();
    const bool starThenTail =
        literalsExact_ && head_.empty() && middle_.empty() && !tail_.empty() && tail_.size() <= 8;
    if constexpr (std::endian::native != std::endian::little) return;
    // A run read as the bytes of a little-endian number, letters in lower case, and the case
    // bit of each letter.
    const auto asBits = [](std::string_view run, std::uint64_t& bits, std::uint64_t& caseBits) {
        for (std::size_t i = 0; i < run.size(); ++i) {
            const char c = run[i];
            const bool letter = c >= 'A' && c <= 'Z';
            bits |= std::uint64_t{static_cast<unsigned char>(letter ? c | 0x20 : c)} << (8 * i);
            if (letter) caseBits |= std::uint64_t{0x20} << (8 * i);
        }
    };
    if (starThenTail) {
        tailTest_.length = static_cast<unsigned>(tail_.size());
        tailTest_.foldsFromElsewhere = literalsFoldFromElsewhere_;
        asBits(tail_, tailTest_.bits, tailTest_.caseBits);
    }
    if (!head_.empty()) {
        const std::size_t length = std::min<std::size_t>(head_.size(), 8);
        asBits(std::string_view(head_).substr(0, length), headBits_, headCase_);
        headMask_ = length == 8 ? ~std::uint64_t{0} : (std::uint64_t{1} << (8 * length)) - 1;
    }
}

void NamePattern::findLiterals() {
    if (everything_ || nothing_) return;
    const auto literal = [](char32_t c) { return (c >= 0x20 && c < 0x7F) || caseless(c); };
    const std::size_t m = expression_.size();
    literalsExact_ = true;
    struct Run {
        std::size_t begin, end;  // its tokens
        std::string text;
    };
    std::vector<Run> runs;
    for (std::size_t i = 0; i < m;) {
        if (!literal(expression_[i])) {
            literalsExact_ = literalsExact_ && expression_[i] == kStar;
            // A letter beyond ASCII with case: only characters beyond ASCII fold to it.
            beyondAscii_ = beyondAscii_ || (expression_[i] >= 0x80 && expression_[i] < kStar);
            ++i;
            continue;
        }
        std::string text;
        const std::size_t begin = i;
        for (; i < m && literal(expression_[i]); ++i) appendUtf8(text, expression_[i]);
        literalBytes_ += text.size();
        runs.push_back({begin, i, std::move(text)});
    }
    for (auto& [begin, end, text] : runs) {
        const bool folds = text.find_first_of(kFoldedFromElsewhere) != std::string::npos;
        literalsFoldFromElsewhere_ = literalsFoldFromElsewhere_ || folds;
        if (begin == 0) {
            head_ = std::move(text);
            foldsInHead_ = folds;
        } else if (end == m) {
            tail_ = std::move(text);
            foldsInTail_ = folds;
        } else {
            middle_.push_back(std::move(text));
            foldsInMiddle_ = foldsInMiddle_ || folds;
        }
    }
    wholeLiteral_ = runs.size() == 1 && runs[0].begin == 0 && runs[0].end == m;
}

namespace {

// Whether `name` begins with `upper` (printable ASCII in upper case), letters in either case.
bool beginsWithFolded(std::string_view name, std::string_view upper) {
    if (name.size() < upper.size()) return false;
    for (std::size_t i = 0; i < upper.size(); ++i)
        if (asciiUpper(name[i]) != upper[i]) return false;
    return true;
}

// Where `upper` first lies in `name`, letters in either case; npos when nowhere. Bytes that
// cannot begin it are passed by eight at once.
std::size_t findFolded(std::string_view name, std::string_view upper) {
    if (upper.empty()) return 0;
    if (upper.size() > name.size()) return std::string_view::npos;
    const auto first = static_cast<unsigned char>(upper[0]);
    const unsigned char anyCase = first >= 'A' && first <= 'Z' ? 0x20 : 0;
    const unsigned char wanted = first | anyCase;
    const std::string_view rest = upper.substr(1);
    const std::size_t last = name.size() - upper.size();
    for (std::size_t at = 0; at <= last; ++at) {
        if (std::endian::native == std::endian::little && at + 8 <= name.size()) {
            std::uint64_t word;
            std::memcpy(&word, name.data() + at, 8);
            const std::uint64_t found =
                zeroBytes((word | kByteOnes * anyCase) ^ kByteOnes * wanted);
            if (found == 0) {
                at += 7;
                continue;
            }
            at += static_cast<std::size_t>(std::countr_zero(found)) / 8;
            if (at > last) break;
        }
        if ((static_cast<unsigned char>(name[at]) | anyCase) == wanted &&
            beginsWithFolded(name.substr(at + 1), rest))
            return at;
    }
    return std::string_view::npos;
}

// Whether the name holds a character beyond ASCII that folds to an ASCII letter: dotless i
// (C4 B1) or long s (C5 BF). Eight bytes are passed at once while none of them is C4 or C5.
bool foldsToAscii(std::string_view name) {
    std::size_t i = 0;
    for (; i + 8 <= name.size(); i += 8) {
        std::uint64_t word;
        std::memcpy(&word, name.data() + i, 8);
        if (zeroBytes((word & kByteOnes * 0xFE) ^ kByteOnes * 0xC4) != 0) break;  // a C4 or C5
    }
    for (; i + 1 < name.size(); ++i) {
        const auto c = static_cast<unsigned char>(name[i]);
        const auto next = static_cast<unsigned char>(name[i + 1]);
        if ((c == 0xC4 && next == 0xB1) || (c == 0xC5 && next == 0xBF)) return true;
    }
    return false;
}

// Whether the name holds a byte beyond ASCII; eight bytes are looked at at once.
bool holdsBeyondAscii(std::string_view name) {
    std::size_t i = 0;
    for (; i + 8 <= name.size(); i += 8) {
        std::uint64_t word;
        std::memcpy(&word, name.data() + i, 8);
        if ((word & kByteOnes * 0x80) != 0) return true;
    }
    for (; i < name.size(); ++i)
        if (static_cast<unsigned char>(name[i]) >= 0x80) return true;
    return false;
}

}  // namespace

// The literal runs, each where it must lie: the head first, the tail last, the others in order
// between them, leftmost first (which, with "*" alone between them, decides the whole rule).
bool NamePattern::literalsFit(std::string_view name) const {
    if (name.size() < literalBytes_ || (wholeLiteral_ && name.size() != head_.size())) return false;
    if (!beginsWithFolded(name, head_) ||
        !beginsWithFolded(name.substr(name.size() - tail_.size()), tail_))
        return false;
    std::string_view between = name.substr(head_.size(), name.size() - head_.size() - tail_.size());
    for (const std::string& run : middle_) {
        const std::size_t at = findFolded(between, run);
        if (at == std::string_view::npos) return false;
        between.remove_prefix(at + run.size());
    }
    return true;
}

// Whether a character beyond ASCII that folds to a letter of a run stands where that run may
// lie: the head's characters lie in the name's first two bytes a character (such a character
// takes two), the tail's in its last, a run between them anywhere.
bool NamePattern::foldsWhereRunsLie(std::string_view name) const {
    if (foldsInMiddle_) return foldsToAscii(name);
    const std::size_t headSpan = std::min(name.size(), 2 * head_.size());
    const std::size_t tailSpan = std::min(name.size(), 2 * tail_.size());
    return (foldsInHead_ && foldsToAscii(name.substr(0, headSpan))) ||
           (foldsInTail_ && foldsToAscii(name.substr(name.size() - tailSpan)));
}

bool NamePattern::matchesFromHead(std::string_view name) const {
    // A run it begins with, as in "IMG*": the name's first eight bytes against its first eight
    // at once, which most names fail. A miss is no match, but where those bytes may hold a
    // character that folds to a letter of the run.
    if (headMask_ != 0 && name.size() >= 8) {
        std::uint64_t first;
        std::memcpy(&first, name.data(), 8);
        if (((first | headCase_) & headMask_) != headBits_ &&
            (!literalsFoldFromElsewhere_ || !mayFoldToAscii(first)))
            return false;
    }
    return matchesAny(name);
}

bool NamePattern::matchesAny(std::string_view name) const {
    if (everything_) return true;
    if (nothing_) return false;
    if (beyondAscii_ && !holdsBeyondAscii(name)) return false;
    // Runs found are a match where nothing else stands between them. Runs not found may still
    // stand where a character beyond ASCII folds to one of their letters: such a name goes to
    // the rule.
    if (literalsFit(name)) {
        if (literalsExact_) return true;
    } else if (!literalsFoldFromElsewhere_ || !foldsWhereRunsLie(name)) {
        return false;
    }
    return bitwise_ ? runBits(name) : matchesByRule(name);
}

bool NamePattern::matchesByRule(std::string_view name) const {
    if (everything_) return true;
    if (nothing_) return false;
    thread_local std::vector<char32_t> folded;
    decodeFolded(name, folded);
    return run(folded);
}

void NamePattern::makeBits() {
    const std::size_t m = expression_.size();
    if (everything_ || nothing_ || m >= 64) return;
    bitwise_ = true;
    for (std::size_t s = 0; s < m; ++s) {
        const char32_t e = expression_[s];
        const std::uint64_t bit = std::uint64_t{1} << s;
        if (e == kStar) {
            bits_.star |= bit;
        } else if (e == kDosStar) {
            bits_.dosStar |= bit;
        } else if (e == kDosQm) {
            bits_.dosQm |= bit;
        } else if (e == kDosDot) {
            bits_.dosDot |= bit;
        } else if (e < 0x80) {
            bits_.ascii[e] |= bit;
        } else {
            auto it = std::find_if(bits_.other.begin(), bits_.other.end(),
                                   [&](const auto& o) { return o.first == e; });
            if (it == bits_.other.end()) it = bits_.other.insert(it, {e, 0});
            it->second |= bit;
        }
    }
}

// The rule of run(), all states at once as the bits of a word, reading the name as it stands.
bool NamePattern::runBits(std::string_view name) const {
    const Bits& b = bits_;
    // The states reachable from `states` without taking a character, through `open` wildcards.
    const auto close = [](std::uint64_t states, std::uint64_t open) {
        for (std::uint64_t more = states | ((states & open) << 1); more != states;
             more = states | ((states & open) << 1))
            states = more;
        return states;
    };
    // Comparing places in bytes is comparing them in characters: a dot is one byte.
    const std::size_t lastDot = name.rfind('.');
    std::uint64_t states = 1;
    for (std::size_t i = 0; i < name.size();) {
        const std::size_t at = i;
        const auto byte = static_cast<unsigned char>(name[i]);
        char32_t c;
        if (byte < 0x80) {
            c = static_cast<unsigned char>(asciiUpper(static_cast<char>(byte)));
            ++i;
        } else {
            c = foldCase(decodeUtf8(name, i));
        }
        const bool dot = c == '.';
        states = close(states, b.star | b.dosStar | (dot ? b.dosQm : 0));
        std::uint64_t takes = dot ? b.dosDot : b.dosQm;
        if (c < 0x80) {
            takes |= b.ascii[c];
        } else {
            for (const auto& [literal, bits] : b.other)
                if (literal == c) takes |= bits;
        }
        const std::uint64_t stays = b.star | (!dot || at < lastDot ? b.dosStar : 0);
        states = (states & stays) | ((states & takes) << 1);
        if (states == 0) return false;
    }
    states = close(states, b.star | b.dosStar | b.dosQm | b.dosDot);
    return (states >> expression_.size() & 1) != 0;
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
