#include "platform/posix/wildcard.h"

#include <locale.h>
#include <stdint.h>
#include <wctype.h>

namespace quarvex::posix {

namespace {

constexpr char32_t kRawByteBase = 0x110000;  // beyond Unicode: stands for one undecodable byte
constexpr char32_t kStar = 0x7FFFFFFE;       // pattern tokens, also beyond Unicode
constexpr char32_t kQuestion = 0x7FFFFFFD;

locale_t utf8Locale() {
    static const locale_t locale = [] {
        locale_t l = newlocale(LC_CTYPE_MASK, "C.UTF-8", nullptr);
        return l != nullptr ? l : newlocale(LC_CTYPE_MASK, "C", nullptr);
    }();
    return locale;
}

char32_t fold(char32_t c) {
    if (c < 0x80) return (c >= 'a' && c <= 'z') ? c - 32 : c;
    if (c >= kRawByteBase) return c;
    return static_cast<char32_t>(towupper_l(static_cast<wint_t>(c), utf8Locale()));
}

// Decodes one UTF-8 sequence at `i`, advancing it; an invalid byte decodes as a raw byte.
char32_t decode(std::string_view s, std::size_t& i) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char b0 = byte(i);
    if (b0 < 0x80) {
        ++i;
        return b0;
    }
    int length;
    char32_t c;
    char32_t minimum;
    if ((b0 & 0xE0) == 0xC0)
        length = 2, c = b0 & 0x1F, minimum = 0x80;
    else if ((b0 & 0xF0) == 0xE0)
        length = 3, c = b0 & 0x0F, minimum = 0x800;
    else if ((b0 & 0xF8) == 0xF0)
        length = 4, c = b0 & 0x07, minimum = 0x10000;
    else
        length = 0, c = 0, minimum = 0;
    if (length == 0 || i + static_cast<std::size_t>(length) > s.size()) {
        ++i;
        return kRawByteBase + b0;
    }
    for (int k = 1; k < length; ++k) {
        const unsigned char b = byte(i + static_cast<std::size_t>(k));
        if ((b & 0xC0) != 0x80) {
            ++i;
            return kRawByteBase + b0;
        }
        c = (c << 6) | (b & 0x3F);
    }
    if (c < minimum || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
        ++i;
        return kRawByteBase + b0;
    }
    i += static_cast<std::size_t>(length);
    return c;
}

}  // namespace

void foldName(std::string_view text, std::vector<char32_t>& out) {
    out.clear();
    for (std::size_t i = 0; i < text.size();) out.push_back(fold(decode(text, i)));
}

WildcardPattern::WildcardPattern(std::string_view pattern) {
    for (std::size_t i = 0; i < pattern.size();) {
        const char32_t c = decode(pattern, i);
        if (c == '*') {
            if (pattern_.empty() || pattern_.back() != kStar) pattern_.push_back(kStar);
        } else if (c == '?') {
            pattern_.push_back(kQuestion);
        } else {
            pattern_.push_back(fold(c));
        }
    }
    const std::size_t n = pattern_.size();
    if (n >= 2 && pattern_[n - 2] == '.' && pattern_[n - 1] == kStar) {
        hasDotStarForm_ = true;
        withoutDotStar_.assign(pattern_.begin(), pattern_.end() - 2);
    }
    matchesEverything_ =
        (n == 1 && pattern_[0] == kStar) ||
        (hasDotStarForm_ && withoutDotStar_.size() == 1 && withoutDotStar_[0] == kStar);
}

bool WildcardPattern::matches(std::string_view name) const {
    if (matchesEverything_) return true;
    thread_local std::vector<char32_t> folded;
    foldName(name, folded);
    return matchesFolded(folded, pattern_) ||
           (hasDotStarForm_ && matchesFolded(folded, withoutDotStar_));
}

// Greedy matching with one backtrack point for the last "*": linear for the patterns people type.
bool WildcardPattern::matchesFolded(const std::vector<char32_t>& name,
                                    const std::vector<char32_t>& pattern) const {
    std::size_t n = 0, p = 0;
    std::size_t starP = SIZE_MAX, starN = 0;
    while (n < name.size()) {
        if (p < pattern.size() && pattern[p] == kStar) {
            starP = p++;
            starN = n;
        } else if (p < pattern.size() && (pattern[p] == kQuestion || pattern[p] == name[n])) {
            ++p;
            ++n;
        } else if (starP != SIZE_MAX) {
            p = starP + 1;
            n = ++starN;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == kStar) ++p;
    return p == pattern.size();
}

}  // namespace quarvex::posix
