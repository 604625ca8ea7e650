// Drives a running Quarvex.exe for the screenshot: searches the sample tree on drive T:, answers
// the message boxes, then signals the shell script and waits until it has taken the picture.
// windows.h comes first.
// clang-format off
#include <windows.h>
// clang-format on

#include <string>

#include "tests/win32/process_window.h"

namespace {

HWND findChild(HWND parent, int id) {
    HWND found = GetDlgItem(parent, id);
    if (found != nullptr) return found;
    for (HWND child = GetWindow(parent, GW_CHILD); child != nullptr;
         child = GetWindow(child, GW_HWNDNEXT))
        if ((found = GetDlgItem(child, id)) != nullptr) return found;
    return nullptr;
}

// Answers the next message box of the process with `button`; false if none came within `ms`.
bool answerBox(DWORD process, int button, int ms) {
    for (int waited = 0; waited < ms; waited += 20) {
        const HWND box = quarvex::win32::testing::findProcessWindow(process, L"#32770");
        if (box != nullptr) {
            Sleep(300);  // let it paint
            PostMessageW(box, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED), 0);
            for (int gone = 0; gone < 5000 && IsWindow(box); gone += 20) Sleep(20);
            return true;
        }
        Sleep(20);
    }
    return false;
}

bool exists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

void createTree() {
    CreateDirectoryW(L"T:\\照片", nullptr);
    CreateDirectoryW(L"T:\\文档", nullptr);
    CreateDirectoryW(L"T:\\文档\\2010", nullptr);
    const wchar_t* files[] = {L"T:\\readme.txt",
                              L"T:\\照片\\旅行 笔记.txt",
                              L"T:\\文档\\报告.txt",
                              L"T:\\文档\\2010\\年度总结.txt",
                              L"T:\\文档\\2010\\notes, draft.txt",
                              L"T:\\文档\\image.png"};
    int n = 0;
    for (const wchar_t* name : files) {
        HANDLE f = CreateFileW(name, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        if (f == INVALID_HANDLE_VALUE) continue;
        std::string data(static_cast<std::size_t>(1000 * ++n + 37), 'x');
        DWORD written = 0;
        WriteFile(f, data.data(), static_cast<DWORD>(data.size()), &written, nullptr);
        CloseHandle(f);
    }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) return 2;
    createTree();
    std::wstring command = L"\"" + std::wstring(argv[1]) + L"\"";
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si,
                        &pi))
        return 1;
    WaitForInputIdle(pi.hProcess, 20000);
    HWND window = nullptr;
    for (int i = 0; i < 500 && window == nullptr; ++i, Sleep(20))
        window = FindWindowW(L"QuarvexForm1", nullptr);
    if (window == nullptr) return 1;

    HWND combo = findChild(window, 1001);  // Combo1
    HWND text1 = findChild(window, 1003);
    HWND command1 = findChild(window, 1005);
    const LRESULT t =
        SendMessageW(combo, CB_FINDSTRINGEXACT, WPARAM(-1), reinterpret_cast<LPARAM>(L"T:\\"));
    if (t >= 0) SendMessageW(combo, CB_SETCURSEL, static_cast<WPARAM>(t), 0);
    SendMessageW(text1, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L"*.txt"));
    PostMessageW(command1, BM_CLICK, 0, 0);
    answerBox(pi.dwProcessId, IDOK, 20000);  // the count and size
    answerBox(pi.dwProcessId, IDOK, 5000);   // the double-click hint
    Sleep(500);

    // Tell the script the window is ready, and wait for it to take the picture.
    const std::wstring ready = argc > 2 ? argv[2] : L"Z:\\tmp\\quarvex-screenshot.ready";
    HANDLE f = CreateFileW(ready.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (f != INVALID_HANDLE_VALUE) CloseHandle(f);
    const std::wstring done = ready.substr(0, ready.rfind(L'.')) + L".done";
    for (int i = 0; i < 600 && !exists(done); ++i) Sleep(100);

    PostMessageW(window, WM_CLOSE, 0, 0);
    answerBox(pi.dwProcessId, IDYES, 5000);
    WaitForSingleObject(pi.hProcess, 10000);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return 0;
}
