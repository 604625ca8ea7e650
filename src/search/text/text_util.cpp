#include "search/text/text_util.h"

#include <array>
#include <cstring>
#include <iterator>

namespace quarvex {

std::string_view trimSpaces(std::string_view text) {
    const auto first = text.find_first_not_of(' ');
    if (first == std::string_view::npos) return {};
    const auto last = text.find_last_not_of(' ');
    return text.substr(first, last - first + 1);
}

namespace {

// ",ddd" for each group of three digits: a line per file writes its size a group at a time.
constexpr auto kGroups = [] {
    std::array<std::array<char, 4>, 1000> groups{};
    for (unsigned g = 0; g < 1000; ++g)
        groups[g] = {',', static_cast<char>('0' + g / 100), static_cast<char>('0' + g / 10 % 10),
                     static_cast<char>('0' + g % 10)};
    return groups;
}();

}  // namespace

char* writeThousands(char* end, std::uint64_t value) {
    char* at = end;
    for (; value >= 1000; value /= 1000) {
        at -= 4;
        std::memcpy(at, kGroups[static_cast<std::size_t>(value % 1000)].data(), 4);
    }
    // The leading group without its zeros; nothing at all for 0.
    const std::size_t digits = value >= 100 ? 3 : value >= 10 ? 2 : value != 0 ? 1 : 0;
    at -= digits;
    std::memcpy(at, kGroups[static_cast<std::size_t>(value)].data() + 4 - digits, digits);
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
