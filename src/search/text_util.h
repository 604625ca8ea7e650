// Small string helpers shared by the search and the window logic.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace quarvex {

// Removes leading and trailing U+0020 only; tabs and other blanks stay.
std::string_view trimSpaces(std::string_view text);

// "#,###": digits grouped in threes with ",", and an empty string for zero.
std::string formatThousands(std::uint64_t value);
// Appends the same to `out` without a temporary.
void appendThousands(std::string& out, std::uint64_t value);

// Compares with ASCII letters folded, as drive names and mount points are matched.
bool equalsIgnoringAsciiCase(std::string_view a, std::string_view b);

}  // namespace quarvex
