#include "platform/win32/win32_platform.h"

// windows.h comes first.
// clang-format off
#include <windows.h>
#include <shellapi.h>
// clang-format on

#include <memory>

#include "platform/win32/utf16.h"

namespace quarvex::win32 {

namespace {

struct Enumeration {
    HANDLE find = INVALID_HANDLE_VALUE;
    WIN32_FIND_DATAW record{};  // the entry last stored, sizes included

    ~Enumeration() {
        if (find != INVALID_HANDLE_VALUE) FindClose(find);
    }
};

Enumeration* fromHandle(FindHandle handle) {
    return reinterpret_cast<Enumeration*>(handle);
}

bool isDotOrDotDot(const wchar_t* n) {
    return n[0] == L'.' && (n[1] == L'\0' || (n[1] == L'.' && n[2] == L'\0'));
}

void store(const WIN32_FIND_DATAW& record, FindRecord& data) {
    // A reparse point that is a folder (junction, link) keeps both bits: the walker never enters
    // it.
    data.dwFileAttributes = record.dwFileAttributes;
    data.cFileName = toUtf8(record.cFileName);
}

// Moves past "." and ".."; false when nothing else is left.
bool skipDots(Enumeration& e) {
    while (isDotOrDotDot(e.record.cFileName))
        if (!FindNextFileW(e.find, &e.record)) return false;
    return true;
}

}  // namespace

FindHandle Win32Platform::findFirst(const std::string& pathPattern, FindRecord& data) {
    auto e = std::make_unique<Enumeration>();
    // Basic info skips the 8.3 alias in the record; a large fetch reads each folder in fewer calls.
    e->find = FindFirstFileExW(toWide(pathPattern).c_str(), FindExInfoBasic, &e->record,
                               FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
    if (e->find == INVALID_HANDLE_VALUE) return kInvalidFindHandle;
    if (!skipDots(*e)) return kInvalidFindHandle;
    store(e->record, data);
    return reinterpret_cast<FindHandle>(e.release());
}

bool Win32Platform::findNext(FindHandle handle, FindRecord& data) {
    Enumeration& e = *fromHandle(handle);
    if (!FindNextFileW(e.find, &e.record) || !skipDots(e)) return false;
    store(e.record, data);
    return true;
}

void Win32Platform::findClose(FindHandle handle) {
    delete fromHandle(handle);
}

std::optional<std::uint64_t> Win32Platform::fileLength(FindHandle handle) {
    const WIN32_FIND_DATAW& r = fromHandle(handle)->record;
    return (static_cast<std::uint64_t>(r.nFileSizeHigh) << 32) | r.nFileSizeLow;
}

unsigned Win32Platform::driveType(const std::string& root) {
    return GetDriveTypeW(toWide(root).c_str());
}

bool Win32Platform::open(const std::string& target) {
    // The exact path goes to the shell's open action: no command line is built from it.
    const HINSTANCE result =
        ShellExecuteW(nullptr, L"open", toWide(target).c_str(), nullptr, nullptr, SW_SHOWNORMAL);
    return reinterpret_cast<INT_PTR>(result) > 32;
}

std::string Win32Platform::programFolder() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (n == 0) return {};
        if (n < path.size()) {
            path.resize(n);
            break;
        }
        path.resize(path.size() * 2);  // a long path: try again with room for it
    }
    path.resize(path.rfind(L'\\') == std::wstring::npos ? 0 : path.rfind(L'\\'));
    return toUtf8(path);
}

}  // namespace quarvex::win32
