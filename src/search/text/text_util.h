// Small string helpers shared by the search and the window logic.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace quarvex {

// Removes leading and trailing U+0020 only; tabs and other blanks stay.
std::string_view trimSpaces(std::string_view text);

// A sum of file sizes that cannot wrap: 128 bits, kept as two halves so that every compiler,
// the 32-bit ones included, has it.
class ByteTotal {
  public:
    ByteTotal() = default;
    ByteTotal(std::uint64_t high, std::uint64_t low) : high_(high), low_(low) {}
    void add(std::uint64_t bytes) {
        low_ += bytes;
        if (low_ < bytes) ++high_;
    }
    std::uint64_t high() const { return high_; }
    std::uint64_t low() const { return low_; }
    bool operator==(const ByteTotal&) const = default;

  private:
    std::uint64_t high_ = 0;
    std::uint64_t low_ = 0;
};

// Appends "#,###" to `out`: digits grouped in threes with ",", and nothing for zero.
void appendThousands(std::string& out, std::uint64_t value);
// The same written backwards from `end` (up to kThousandsRoom characters); where it begins.
inline constexpr std::size_t kThousandsRoom = 26;
char* writeThousands(char* end, std::uint64_t value);
void appendThousands(std::string& out, const ByteTotal& value);

// memcpy for the short runs a line is built of (names, sizes), with no call: two moves of the
// widest width that fits, overlapping where they meet.
[[gnu::always_inline]] inline void copyShort(char* to, const char* from, std::size_t n) {
    const auto both = [&]<std::size_t kWidth>() {
        char first[kWidth];
        char last[kWidth];
        std::memcpy(first, from, kWidth);
        std::memcpy(last, from + n - kWidth, kWidth);
        std::memcpy(to, first, kWidth);
        std::memcpy(to + n - kWidth, last, kWidth);
    };
    if (n > 32)
        std::memcpy(to, from, n);
    else if (n >= 16)
        both.template operator()<16>();
    else if (n >= 8)
        both.template operator()<8>();
    else if (n >= 4)
        both.template operator()<4>();
    else if (n > 0) {
        to[0] = from[0];
        to[n / 2] = from[n / 2];
        to[n - 1] = from[n - 1];
    }
}

// Compares with ASCII letters folded, as drive names and mount points are matched.
bool equalsIgnoringAsciiCase(std::string_view a, std::string_view b);

}  // namespace quarvex
