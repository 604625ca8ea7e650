// windows.h comes first.
// clang-format off
#include <windows.h>
#include <shellapi.h>
// clang-format on

#include <string>

#include "platform/win32/utf16.h"
#include "platform/win32/win32_platform.h"
#include "ui/console/console_io.h"

namespace quarvex::console {

namespace {

volatile LONG interrupted = 0;

BOOL WINAPI onCtrl(DWORD type) {
    if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT) return FALSE;
    // The first press stops the search; a second one falls through to the default: the end.
    return InterlockedExchange(&interrupted, 1) == 0 ? TRUE : FALSE;
}

bool isConsole(HANDLE h) {
    DWORD mode = 0;
    return h != nullptr && h != INVALID_HANDLE_VALUE && GetConsoleMode(h, &mode) != 0;
}

// Length of the longest prefix of `text` that does not end inside a UTF-8 sequence.
std::size_t wholeSequences(std::string_view text) {
    const std::size_t n = text.size();
    for (std::size_t back = 1; back <= 4 && back <= n; ++back) {
        const auto c = static_cast<unsigned char>(text[n - back]);
        if ((c & 0xC0) == 0x80) continue;  // a continuation byte: look for its lead
        const std::size_t need = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
        return need > back ? n - back : n;
    }
    return n;
}

// A console gets Unicode text; a pipe or a file gets the UTF-8 bytes as they are.
void writeHandle(HANDLE h, std::string_view text) {
    if (isConsole(h)) {
        const std::wstring wide = win32::toWide(text);
        DWORD written = 0;
        WriteConsoleW(h, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
        return;
    }
    while (!text.empty()) {
        DWORD written = 0;
        if (!WriteFile(h, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) ||
            written == 0)
            return;
        text.remove_prefix(written);
    }
}

std::string& outBuffer() {
    static std::string buffer;
    return buffer;
}

constexpr std::size_t kOutBufferBytes = 1 << 16;

}  // namespace

std::vector<std::string> arguments(int, char**) {
    // The command line as the system holds it, so names outside the ANSI code page survive.
    std::vector<std::string> args;
    int count = 0;
    LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &count);
    if (argv == nullptr) return args;
    for (int i = 1; i < count; ++i) args.push_back(win32::toUtf8(argv[i]));
    LocalFree(argv);
    return args;
}

void writeOut(std::string_view text) {
    std::string& buffer = outBuffer();
    buffer += text;
    if (buffer.size() >= kOutBufferBytes) {
        // A character split across writes would turn into two replacement marks on a console.
        const std::size_t whole = wholeSequences(buffer);
        writeHandle(GetStdHandle(STD_OUTPUT_HANDLE), std::string_view(buffer).substr(0, whole));
        buffer.erase(0, whole);
    }
}

void flushOut() {
    std::string& buffer = outBuffer();
    writeHandle(GetStdHandle(STD_OUTPUT_HANDLE), buffer);
    buffer.clear();
}

void writeErr(std::string_view text) {
    writeHandle(GetStdHandle(STD_ERROR_HANDLE), text);
}

bool errIsTerminal() {
    return isConsole(GetStdHandle(STD_ERROR_HANDLE));
}

bool outIsTerminal() {
    return isConsole(GetStdHandle(STD_OUTPUT_HANDLE));
}

int terminalColumns() {
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (!GetConsoleScreenBufferInfo(GetStdHandle(STD_ERROR_HANDLE), &info)) return 0;
    return info.srWindow.Right - info.srWindow.Left + 1;
}

void prepare() {
    outBuffer().reserve(kOutBufferBytes * 2);
    SetConsoleCtrlHandler(onCtrl, TRUE);
}

bool interruptPending() {
    return interrupted != 0;
}

std::string currentFolder() {
    const DWORD n = GetCurrentDirectoryW(0, nullptr);
    std::wstring path(n, L'\0');
    const DWORD got = GetCurrentDirectoryW(n, path.data());
    if (got == 0 || got >= n) return ".";
    path.resize(got);
    return win32::toUtf8(path);
}

std::unique_ptr<Platform> makePlatform() {
    return std::make_unique<win32::Win32Platform>();
}

}  // namespace quarvex::console
