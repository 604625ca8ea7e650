// Finds a top-level window of another process, for the tools that drive the window from outside.
#pragma once

// windows.h comes first.
// clang-format off
#include <windows.h>
// clang-format on

#include <string>

namespace quarvex::win32::testing {

struct ProcessWindowSearch {
    DWORD process;
    const wchar_t* className;
    HWND found;
};

inline BOOL CALLBACK matchProcessWindow(HWND h, LPARAM param) {
    auto* search = reinterpret_cast<ProcessWindowSearch*>(param);
    DWORD pid = 0;
    GetWindowThreadProcessId(h, &pid);
    wchar_t name[64] = {};
    GetClassNameW(h, name, 64);
    if (pid != search->process || !IsWindowVisible(h) || std::wstring(name) != search->className)
        return TRUE;
    search->found = h;
    return FALSE;
}

// The first visible top-level window of `process` whose class is `className`, or nullptr.
inline HWND findProcessWindow(DWORD process, const wchar_t* className) {
    ProcessWindowSearch search{process, className, nullptr};
    EnumWindows(matchProcessWindow, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

}  // namespace quarvex::win32::testing
