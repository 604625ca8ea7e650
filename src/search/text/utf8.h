// The one UTF-8 decoder and encoder of the program. Names on Linux may hold any bytes, and names on
// Windows unpaired surrogates: both must survive a round trip, so the decoder tells a byte that
// starts no character apart from every code point, and encoded surrogates (generalized UTF-8, the
// form Windows names with unpaired surrogates take here) decode to their code points.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace quarvex {

// decodeUtf8 returns kRawByte + b for a byte b that does not start a well-formed sequence.
inline constexpr char32_t kRawByte = 0x110000;

// Decodes the character at `i` and moves `i` past it; `i` must be below text.size().
char32_t decodeUtf8(std::string_view text, std::size_t& i);

// Appends `c` in UTF-8; a surrogate gets its three-byte form, a raw byte is appended as itself.
void appendUtf8(std::string& out, char32_t c);

// The longest head of `text` of at most `bytes` bytes that does not split a character.
std::string_view utf8Head(std::string_view text, std::size_t bytes);

}  // namespace quarvex
