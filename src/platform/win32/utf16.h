// UTF-8 inside, UTF-16 at the Win32 edge. Windows names may hold unpaired surrogates; they are
// carried through as their three-byte generalised UTF-8 form, so every name found can be opened.
#pragma once

#include <string>
#include <string_view>

namespace quarvex::win32 {

std::wstring toWide(std::string_view utf8);
std::string toUtf8(std::wstring_view wide);
// Appends `wide` to `out` as UTF-8, without a string of its own (listings convert every name).
void appendUtf8(std::string& out, std::wstring_view wide);
// Appends `utf8` with its letters folded as Windows compares names; anything else as it is.
void appendFolded(std::string& out, std::string_view utf8);

}  // namespace quarvex::win32
