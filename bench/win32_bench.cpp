// quarvex-win32-bench QUARVEX_EXE DRIVE PATTERN [TIMEOUT_S]: one search through the real Win32
// window, driven from outside its process as a user drives it. Starts QUARVEX_EXE, picks DRIVE
// (e.g. "B:\") in the drive selector, types PATTERN, presses Start and times from the press to
// the moment the report box is up. Prints one line:
//   seconds=S startup=S files=N list_lines=N
// (startup: from starting the program to its window answering; files: the report's count;
// list_lines: what List1 holds then), then answers the boxes and closes the window.
// Exit status: 0 with a report, 1 without one, 2 usage.
// windows.h comes first.
// clang-format off
#include <windows.h>
// clang-format on

#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/win32/utf16.h"
#include "search/text/texts.h"
#include "tests/win32/process_window.h"

namespace {

using namespace quarvex::win32::testing;

double secondsBetween(const LARGE_INTEGER& from, const LARGE_INTEGER& to) {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(to.QuadPart - from.QuadPart) /
           static_cast<double>(frequency.QuadPart);
}

LARGE_INTEGER now() {
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return t;
}

// The count of files a report box gives ("...共查找到 N 个文件..."), or -1 for any other box.
long long reportedFiles(const std::string& text) {
    const std::string prefix = std::string(quarvex::texts::kFoundPrefix) + " ";
    if (text.compare(0, prefix.size(), prefix) != 0) return -1;
    return std::strtoll(text.c_str() + prefix.size(), nullptr, 10);
}

// The text of a message box, read without a message to its busy thread.
std::string boxText(HWND box) {
    std::wstring text(8192, L'\0');
    text.resize(static_cast<std::size_t>(
        InternalGetWindowText(GetDlgItem(box, 0xFFFF), text.data(), 8192)));
    return quarvex::win32::toUtf8(text);
}

// The report box of `window`'s process, once it is up; nullptr after `ms`. A modal box disables
// its owner, and that takes one look, where listing the windows takes many requests of the same
// server the search uses: the list is read only once the window is disabled.
HWND waitForReport(HWND window, DWORD process, int ms) {
    for (int waited = 0; waited < ms; waited += 5) {
        if (!IsWindowEnabled(window))
            if (const HWND box = findProcessWindow(process, L"#32770")) return box;
        Sleep(5);
    }
    return nullptr;
}

int fail(PROCESS_INFORMATION& started, HWND window, const char* why) {
    std::fprintf(stderr, "quarvex-win32-bench: %s\n", why);
    closeProgram(window, started);
    return 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 4 || argc > 5) {
        std::fprintf(stderr, "Usage: quarvex-win32-bench QUARVEX_EXE DRIVE PATTERN [TIMEOUT_S]\n");
        return 2;
    }
    const int timeoutMs = (argc > 4 ? _wtoi(argv[4]) : 600) * 1000;

    const LARGE_INTEGER launched = now();
    PROCESS_INFORMATION started{};
    const HWND window = startWindowProgram(argv[1], L"QuarvexForm1", 30000, started);
    if (window == nullptr) {
        if (started.hProcess != nullptr) TerminateProcess(started.hProcess, 1);
        return fail(started, nullptr, "no window");
    }
    const LARGE_INTEGER ready = now();
    const HWND start = prepareSearch(window, argv[2], argv[3]);
    if (start == nullptr) return fail(started, window, "the drive selector lacks that drive");

    const LARGE_INTEGER pressed = now();
    PostMessageW(start, BM_CLICK, 0, 0);
    const HWND box = waitForReport(window, started.dwProcessId, timeoutMs);
    const LARGE_INTEGER reported = now();
    if (box == nullptr) {
        TerminateProcess(started.hProcess, 1);
        return fail(started, nullptr, "no report box in time");
    }

    const std::string text = boxText(box);
    DWORD_PTR lines = 0;
    SendMessageTimeoutW(findControl(window, quarvex::win32::controlId(quarvex::layout::Id::List1)),
                        LB_GETCOUNT, 0, 0, SMTO_ABORTIFHUNG, 10000, &lines);
    const long long files = reportedFiles(text);
    pressBoxButton(box, IDOK);
    if (files < 0) {
        std::fprintf(stderr, "quarvex-win32-bench: the first box was no report: %s\n",
                     text.c_str());
        return fail(started, window, "no report");
    }
    answerBox(started.dwProcessId, IDOK, 5000);  // the double-click hint
    std::printf("seconds=%.3f startup=%.3f files=%lld list_lines=%lld\n",
                secondsBetween(pressed, reported), secondsBetween(launched, ready), files,
                static_cast<long long>(lines));
    std::fflush(stdout);
    return closeProgram(window, started) ? 0 : 1;
}
