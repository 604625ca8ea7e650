// Lists, for each pattern read from a file (UTF-8, one a line), the names of FOLDER that match
// it: "pattern<TAB>name<TAB>link<TAB>alias" lines, sorted. Built for Windows, where Wine's
// FindFirstFileW does the matching (the Windows rules as Wine implements them), and with the host
// compiler, where the core's NamePattern matches the names of a plain directory read; a script
// compares the two on the same folder.
//
// Lines with an empty pattern list the folder itself: on Windows as the Win32 platform lists it,
// on Linux as readdir does. "link" is "link" for a link to a folder, else "-". "alias" is "alias"
// when, on Windows, the name has an 8.3 alias that the pattern matches by itself (Windows also
// matches aliases; the core does not), else "-".
#include <algorithm>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#ifdef _WIN32
// windows.h comes first.
// clang-format off
#include <windows.h>
#include <shellapi.h>
// clang-format on
#include "platform/win32/utf16.h"
#include "platform/win32/win32_platform.h"
#else
#include <dirent.h>
#include <sys/stat.h>

#include "search/text/name_pattern.h"
#endif

namespace {

std::string line(const std::string& pattern, const std::string& name, bool link, bool alias) {
    return pattern + '\t' + name + '\t' + (link ? "link" : "-") + '\t' + (alias ? "alias" : "-");
}

#ifdef _WIN32
using quarvex::win32::toUtf8;

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

void enumerate(const std::wstring& folder, const std::wstring& scratch,
               const std::vector<std::string>& patterns, std::vector<std::string>& out) {
    for (const std::string& pattern : patterns) {
        const std::wstring widePattern = quarvex::win32::toWide(pattern);
        WIN32_FIND_DATAW record;
        HANDLE find = FindFirstFileW((folder + L"\\" + widePattern).c_str(), &record);
        if (find == INVALID_HANDLE_VALUE) continue;
        do {
            const std::wstring name = record.cFileName;
            if (name == L"." || name == L"..") continue;
            const bool link = (record.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
                              (record.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
            const std::wstring alias = aliasOf(folder + L"\\" + name);
            const bool aliasMatches =
                !alias.empty() && patternMatchesName(scratch, alias, widePattern);
            out.push_back(line(pattern, toUtf8(name), link, aliasMatches));
        } while (FindNextFileW(find, &record));
        FindClose(find);
    }

    quarvex::win32::Win32Platform platform;
    const quarvex::OpenResult opened = platform.openRoot(toUtf8(folder));
    if (opened.status != quarvex::OpenStatus::Opened) {
        std::cerr << "the platform cannot open the folder\n";
        return;
    }
    quarvex::Listing listing;
    quarvex::ListStatus status;
    do {
        status = platform.listFolder(opened.handle, listing);
        for (std::size_t i = 0; i < listing.size(); ++i) {
            const quarvex::ListedEntry& e = listing[i];
            const bool link = quarvex::isLink(e) && (e.attributes & quarvex::kAttrDirectory) != 0;
            out.push_back(line("", std::string(listing.name(e)), link, false));
        }
    } while (status == quarvex::ListStatus::More);
    platform.closeFolder(opened.handle);
}
#else
void enumerate(const std::string& folder, const std::vector<std::string>& patterns,
               std::vector<std::string>& out) {
    std::vector<std::pair<std::string, bool> > names;
    DIR* dir = opendir(folder.c_str());
    if (dir == nullptr) return;
    while (const dirent* d = readdir(dir)) {
        const std::string name = d->d_name;
        if (name == "." || name == "..") continue;
        const std::string path = folder + "/" + name;
        struct stat link, target;
        const bool isLink = lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode) &&
                            stat(path.c_str(), &target) == 0 && S_ISDIR(target.st_mode);
        names.emplace_back(name, isLink);
    }
    closedir(dir);
    for (const auto& [name, isLink] : names) out.push_back(line("", name, isLink, false));
    for (const std::string& pattern : patterns) {
        const quarvex::NamePattern matcher(pattern);
        for (const auto& [name, isLink] : names)
            if (matcher.matches(name)) out.push_back(line(pattern, name, isLink, false));
    }
}
#endif

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::cerr << "usage: enumerate FOLDER PATTERN-FILE SCRATCH-FOLDER\n";
        return 2;
    }
    std::ifstream file(argv[2], std::ios::binary);
    std::vector<std::string> patterns;
    for (std::string pattern; std::getline(file, pattern);)
        if (!pattern.empty()) patterns.push_back(pattern);
    std::vector<std::string> out;
#ifdef _WIN32
    // The folders arrive in the ANSI code page only by accident; read them as the system holds
    // them.
    int count = 0;
    LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
    enumerate(wide[1], wide[3], patterns, out);
#else
    enumerate(argv[1], patterns, out);
#endif
    std::sort(out.begin(), out.end());
    for (const std::string& l : out) std::cout << l << '\n';
    return 0;
}
