// Drives a running Quarvex.exe for the screenshot: searches the sample tree on drive T:, answers
// the message boxes, then signals the shell script and waits until it has taken the picture.
// windows.h comes first.
// clang-format off
#include <windows.h>
// clang-format on

#include <string>

#include "tests/win32/process_window.h"

namespace {

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
    using namespace quarvex::win32::testing;
    PROCESS_INFORMATION pi{};
    HWND window = startWindowProgram(argv[1], L"QuarvexForm1", 20000, pi);
    if (window == nullptr) return 1;

    const HWND start = prepareSearch(window, L"T:\\", L"*.txt");
    if (start == nullptr) {
        closeProgram(window, pi);
        return 1;
    }
    PostMessageW(start, BM_CLICK, 0, 0);
    answerBox(pi.dwProcessId, IDOK, 20000, 300);  // the count and size
    answerBox(pi.dwProcessId, IDOK, 5000, 300);   // the double-click hint
    Sleep(500);

    // Tell the script the window is ready, and wait for it to take the picture.
    const std::wstring ready = argc > 2 ? argv[2] : L"Z:\\tmp\\quarvex-screenshot.ready";
    HANDLE f = CreateFileW(ready.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (f != INVALID_HANDLE_VALUE) CloseHandle(f);
    const std::wstring done = ready.substr(0, ready.rfind(L'.')) + L".done";
    for (int i = 0; i < 600 && !exists(done); ++i) Sleep(100);

    closeProgram(window, pi);
    return 0;
}
