// Lists, for each pattern read from a file (UTF-8, one a line), the names that the platform's
// enumeration returns for FOLDER + pattern: "pattern<TAB>name<TAB>link<TAB>alias" lines, sorted.
// Built for Windows over FindFirstFileW, and with the host compiler over the Linux platform, so
// that a script can compare the two on the same folder.
//
// "link" is "link" for a reparse point, else "-". "alias" is "alias" when, on Windows, the name
// has an 8.3 alias that the pattern matches by itself (Windows also matches aliases; the Linux
// rules do not), else "-".
#include <algorithm>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "search/platform.h"

#ifdef _WIN32
// windows.h comes first.
// clang-format off
#include <windows.h>
#include <shellapi.h>
// clang-format on
#include "platform/win32/utf16.h"
#include "platform/win32/win32_platform.h"
#else
#include "platform/posix/posix_platform.h"
#endif

namespace {

#ifdef _WIN32
using quarvex::win32::toUtf8;
using quarvex::win32::toWide;

std::wstring aliasOf(const std::wstring& path) {
    WIN32_FIND_DATAW record;
    HANDLE find = FindFirstFileW(path.c_str(), &record);
    if (find == INVALID_HANDLE_VALUE) return {};
    FindClose(find);
    return record.cAlternateFileName;
}

// Whether `pattern` matches `alias` by name: a file of that name alone in a scratch folder.
bool patternMatchesName(const std::wstring& scratch, const std::wstring& alias,
                        const std::wstring& pattern) {
    const std::wstring file = scratch + L"\\" + alias;
    HANDLE f = CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (f == INVALID_HANDLE_VALUE) return false;
    CloseHandle(f);
    WIN32_FIND_DATAW record;
    HANDLE find = FindFirstFileW((scratch + L"\\" + pattern).c_str(), &record);
    bool found = false;
    if (find != INVALID_HANDLE_VALUE) {
        do {
            found = found || alias == record.cFileName;
        } while (FindNextFileW(find, &record));
        FindClose(find);
    }
    DeleteFileW(file.c_str());
    return found;
}
#endif

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::cerr << "usage: enumerate FOLDER PATTERN-FILE SCRATCH-FOLDER\n";
        return 2;
    }
#ifdef _WIN32
    // The folder arrives in the ANSI code page only by accident; read it as the system holds it.
    int count = 0;
    LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
    const std::string folder = toUtf8(wide[1]);
    const std::wstring scratch = wide[3];
    quarvex::win32::Win32Platform platform;
    const char separator = '\\';
#else
    const std::string folder = argv[1];
    quarvex::posix::PosixPlatform platform;
    const char separator = '/';
#endif
    std::ifstream patterns(argv[2], std::ios::binary);
    std::vector<std::string> out;
    for (std::string pattern; std::getline(patterns, pattern);) {
        if (pattern.empty()) continue;
        quarvex::FindRecord record;
        const quarvex::FindHandle h = platform.findFirst(folder + separator + pattern, record);
        if (h == quarvex::kInvalidFindHandle) continue;
        do {
            const bool link = (record.dwFileAttributes & quarvex::kAttrReparsePoint) != 0;
            bool aliasMatches = false;
#ifdef _WIN32
            const std::wstring alias = aliasOf(toWide(folder + separator + record.cFileName));
            aliasMatches = !alias.empty() && patternMatchesName(scratch, alias, toWide(pattern));
#endif
            out.push_back(pattern + '\t' + record.cFileName + '\t' + (link ? "link" : "-") + '\t' +
                          (aliasMatches ? "alias" : "-"));
        } while (platform.findNext(h, record));
        platform.findClose(h);
    }
    std::sort(out.begin(), out.end());
    for (const std::string& line : out) std::cout << line << '\n';
    return 0;
}
