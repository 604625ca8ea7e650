#include "platform/win32/utf16.h"

#include "search/text/name_pattern.h"
#include "search/text/utf8.h"

namespace quarvex::win32 {

std::wstring toWide(std::string_view utf8) {
    std::wstring out;
    out.reserve(utf8.size());
    for (std::size_t i = 0; i < utf8.size();) {
        char32_t c = decodeUtf8(utf8, i);
        // A byte that starts no character has no UTF-16 form; a surrogate stays one unit.
        if (c >= kRawByte) c = 0xFFFD;
        if (c >= 0x10000) {
            c -= 0x10000;
            out.push_back(static_cast<wchar_t>(0xD800 + (c >> 10)));
            out.push_back(static_cast<wchar_t>(0xDC00 + (c & 0x3FF)));
        } else {
            out.push_back(static_cast<wchar_t>(c));
        }
    }
    return out;
}

void appendUtf8(std::string& out, std::wstring_view wide) {
    for (std::size_t i = 0; i < wide.size(); ++i) {
        char32_t c = static_cast<char16_t>(wide[i]);
        // Only a high surrogate followed by a low one is a pair; any other surrogate is kept alone.
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < wide.size()) {
            const char32_t low = static_cast<char16_t>(wide[i + 1]);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
                ++i;
            }
        }
        quarvex::appendUtf8(out, c);
    }
}

std::string toUtf8(std::wstring_view wide) {
    std::string out;
    out.reserve(wide.size() * 3);
    appendUtf8(out, wide);
    return out;
}

void appendFolded(std::string& out, std::string_view utf8) {
    for (std::size_t i = 0; i < utf8.size();) {
        char32_t c = decodeUtf8(utf8, i);
        if (c < kRawByte) c = foldCase(c);
        quarvex::appendUtf8(out, c);
    }
}

}  // namespace quarvex::win32
