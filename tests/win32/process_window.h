// Finds and drives the window of another process, for the tools that drive Quarvex.exe from
// outside: the screenshot driver, the text reader and the benchmark's driver.
#pragma once

// windows.h comes first.
// clang-format off
#include <windows.h>
// clang-format on

#include <string>
#include <utility>

#include "ui/win32/main_window.h"

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

// The same, waiting up to `ms` for it.
inline HWND waitForProcessWindow(DWORD process, const wchar_t* className, int ms) {
    for (int waited = 0;; waited += 20) {
        if (HWND found = findProcessWindow(process, className)) return found;
        if (waited >= ms) return nullptr;
        Sleep(20);
    }
}

inline BOOL CALLBACK matchControl(HWND h, LPARAM param) {
    auto* found = reinterpret_cast<std::pair<int, HWND>*>(param);
    if (GetDlgCtrlID(h) != found->first) return TRUE;
    found->second = h;
    return FALSE;
}

// The control `id` at any depth below `window` (frames hold controls), or nullptr.
inline HWND findControl(HWND window, int id) {
    std::pair<int, HWND> found{id, nullptr};
    EnumChildWindows(window, matchControl, reinterpret_cast<LPARAM>(&found));
    return found.second;
}

// Presses `button` of a message box and waits up to five seconds for the box to go.
inline void pressBoxButton(HWND box, int button) {
    PostMessageW(box, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED), 0);
    for (int gone = 0; gone < 5000 && IsWindow(box); gone += 20) Sleep(20);
}

// Answers the next message box of `process` with `button`, once it has had `paintMs` to paint;
// false if none came within `ms`.
inline bool answerBox(DWORD process, int button, int ms, int paintMs = 0) {
    const HWND box = waitForProcessWindow(process, L"#32770", ms);
    if (box == nullptr) return false;
    Sleep(static_cast<DWORD>(paintMs));
    pressBoxButton(box, button);
    return true;
}

// Picks `drive` in the drive selector of Quarvex's window and types `pattern`, as a user does
// before pressing Start. Returns the Start button, or nullptr when the selector lacks `drive`.
inline HWND prepareSearch(HWND window, const wchar_t* drive, const wchar_t* pattern) {
    const HWND combo = findControl(window, controlId(layout::Id::Combo1));
    const LRESULT at =
        SendMessageW(combo, CB_FINDSTRINGEXACT, WPARAM(-1), reinterpret_cast<LPARAM>(drive));
    if (at < 0) return nullptr;
    SendMessageW(combo, CB_SETCURSEL, static_cast<WPARAM>(at), 0);
    SendMessageW(findControl(window, controlId(layout::Id::Text1)), WM_SETTEXT, 0,
                 reinterpret_cast<LPARAM>(pattern));
    return findControl(window, controlId(layout::Id::Command1));
}

// Starts `program` and waits up to `ms` for its visible top-level window of class `className`
// to answer messages. The caller closes `started`'s handles, as closeProgram() does.
inline HWND startWindowProgram(const std::wstring& program, const wchar_t* className, int ms,
                               PROCESS_INFORMATION& started) {
    std::wstring command = L"\"" + program + L"\"";
    STARTUPINFOW si{};
    si.cb = sizeof si;
    started = {};
    if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si,
                        &started))
        return nullptr;
    WaitForInputIdle(started.hProcess, static_cast<DWORD>(ms));
    const HWND window = waitForProcessWindow(started.dwProcessId, className, ms);
    DWORD_PTR ignored = 0;
    if (window != nullptr)
        SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_NORMAL, static_cast<UINT>(ms), &ignored);
    return window;
}

// Closes `window` as the user would, confirming the question its program asks, and waits up to
// ten seconds for the program to end. Returns whether it ended.
inline bool closeProgram(HWND window, PROCESS_INFORMATION& started) {
    if (window != nullptr) {
        PostMessageW(window, WM_CLOSE, 0, 0);
        answerBox(started.dwProcessId, IDYES, 5000);
    }
    const bool ended = WaitForSingleObject(started.hProcess, 10000) == WAIT_OBJECT_0;
    CloseHandle(started.hThread);
    CloseHandle(started.hProcess);
    return ended;
}

}  // namespace quarvex::win32::testing
