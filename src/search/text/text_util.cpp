#include "search/text/text_util.h"

#include <iterator>

namespace quarvex {

std::string_view trimSpaces(std::string_view text) {
    const auto first = text.find_first_not_of(' ');
    if (first == std::string_view::npos) return {};
    const auto last = text.find_last_not_of(' ');
    return text.substr(first, last - first + 1);
}

char* writeThousands(char* end, std::uint64_t value) {
    // A group of three at a time: a line per file costs no more than this.
    char* at = end;
    for (; value >= 1000; value /= 1000) {
        const auto group = static_cast<unsigned>(value % 1000);
        *--at = static_cast<char>('0' + group % 10);
        *--at = static_cast<char>('0' + group / 10 % 10);
        *--at = static_cast<char>('0' + group / 100);
        *--at = ',';
    }
    for (; value != 0; value /= 10) *--at = static_cast<char>('0' + value % 10);
    return at;
}

void appendThousands(std::string& out, std::uint64_t value) {
    char digits[kThousandsRoom];
    out.append(writeThousands(std::end(digits), value), std::end(digits));
}

void appendThousands(std::string& out, const ByteTotal& value) {
    // Long division by ten over 32-bit limbs, most significant first.
    std::uint32_t limbs[4] = {
        static_cast<std::uint32_t>(value.high() >> 32), static_cast<std::uint32_t>(value.high()),
        static_cast<std::uint32_t>(value.low() >> 32), static_cast<std::uint32_t>(value.low())};
    char digits[64];
    int count = 0;
    for (;;) {
        bool zero = true;
        std::uint64_t remainder = 0;
        for (std::uint32_t& limb : limbs) {
            const std::uint64_t part = (remainder << 32) | limb;
            limb = static_cast<std::uint32_t>(part / 10);
            remainder = part % 10;
            zero = zero && limb == 0;
        }
        if (zero && remainder == 0 && count == 0) return;  // zero shows as nothing
        if (count % 4 == 3) digits[count++] = ',';
        digits[count++] = static_cast<char>('0' + remainder);
        if (zero) break;
    }
    while (count > 0) out.push_back(digits[--count]);
}

bool equalsIgnoringAsciiCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        auto fold = [](char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c; };
        if (fold(a[i]) != fold(b[i])) return false;
    }
    return true;
}

}  // namespace quarvex
