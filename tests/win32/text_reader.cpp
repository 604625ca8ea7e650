// Reads a running Quarvex window from another process, as a screen reader does: every line of
// List1 (LB_GETTEXTLEN, LB_GETTEXT) and the status bar's text (SB_GETTEXTLENGTH, SB_GETTEXT, into
// memory of the window's process, since the system carries no pointer of those messages across).
//
//   quarvex-text-reader PID OUT
//
// Writes OUT in UTF-8, one record a line, the numbers being what the window answered:
//   line INDEX LENGTH RESULT TEXT     for each line LB_GETCOUNT reports
//   beyond LENGTH                     LB_GETTEXTLEN of the index after the last line
//   status LENGTH RESULT TEXT         the low words of SB_GETTEXTLENGTH and SB_GETTEXT
// Exit status: 0 when it read, 1 when it found no window of that process.
// windows.h comes first.
// clang-format off
#include <windows.h>
#include <commctrl.h>
// clang-format on

#include <algorithm>
#include <cwchar>
#include <string>
#include <vector>

#include "platform/win32/utf16.h"
#include "tests/win32/process_window.h"
#include "ui/win32/main_window.h"

namespace {

using quarvex::layout::Id;
using quarvex::win32::controlId;

HWND controlOf(HWND window, Id id) {
    return quarvex::win32::testing::findControl(window, controlId(id));
}

// A message that gives up rather than wait for a window that does not answer.
LRESULT send(HWND h, UINT message, WPARAM wParam, LPARAM lParam) {
    DWORD_PTR result = 0;
    if (!SendMessageTimeoutW(h, message, wParam, lParam, SMTO_ABORTIFHUNG, 10000, &result))
        return LB_ERR;
    return static_cast<LRESULT>(result);
}

std::string number(LRESULT n) {
    return std::to_string(static_cast<long long>(n));
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) return 2;
    const DWORD pid = static_cast<DWORD>(std::wcstoul(argv[1], nullptr, 10));
    const HWND window = quarvex::win32::testing::findProcessWindow(pid, L"QuarvexForm1");
    if (window == nullptr) return 1;
    std::string out;

    HWND list = controlOf(window, Id::List1);
    const LRESULT count = send(list, LB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < count; ++i) {
        const LRESULT length = send(list, LB_GETTEXTLEN, static_cast<WPARAM>(i), 0);
        // Room for what the window says, and then some, so that a wrong length shows as such.
        std::vector<wchar_t> text(static_cast<std::size_t>(std::max<LRESULT>(length, 0)) + 64,
                                  L'\0');
        const LRESULT got =
            send(list, LB_GETTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(text.data()));
        out += "line " + number(i) + " " + number(length) + " " + number(got) + " " +
               quarvex::win32::toUtf8(text.data()) + "\n";
    }
    out += "beyond " + number(send(list, LB_GETTEXTLEN, static_cast<WPARAM>(count), 0)) + "\n";

    HWND status = controlOf(window, Id::StatusBar1);
    HANDLE process =
        OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, pid);
    constexpr std::size_t kChars = 4096;
    void* remote = process != nullptr ? VirtualAllocEx(process, nullptr, kChars * sizeof(wchar_t),
                                                       MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE)
                                      : nullptr;
    std::vector<wchar_t> text(kChars, L'\0');
    LRESULT length = -1, got = -1;
    if (remote != nullptr) {
        length = send(status, SB_GETTEXTLENGTHW, 0, 0);
        got = send(status, SB_GETTEXTW, 0, reinterpret_cast<LPARAM>(remote));
        SIZE_T read = 0;
        ReadProcessMemory(process, remote, text.data(), (kChars - 1) * sizeof(wchar_t), &read);
        VirtualFreeEx(process, remote, 0, MEM_RELEASE);
    }
    if (process != nullptr) CloseHandle(process);
    out += "status " + number(LOWORD(length)) + " " + number(LOWORD(got)) + " " +
           quarvex::win32::toUtf8(text.data()) + "\n";

    HANDLE file = CreateFileW(argv[2], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 2;
    DWORD written = 0;
    WriteFile(file, out.data(), static_cast<DWORD>(out.size()), &written, nullptr);
    CloseHandle(file);
    return 0;
}
