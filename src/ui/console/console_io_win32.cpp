// windows.h comes first.
// clang-format off
#include <windows.h>
#include <shellapi.h>
// clang-format on

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

#include "platform/win32/utf16.h"
#include "platform/win32/win32_platform.h"
#include "ui/console/console_io.h"

namespace quarvex::console {

namespace {

// The exit status of the first stop request, as on POSIX: Ctrl+C and Ctrl+Break 130, the console
// closing (or the session ending) 129, a hang-up.
volatile LONG stopStatus = 0;

// Standard input as readLine() waits for it: lines read by a thread of their own, and a stop
// request, each of which wakes the wait.
struct InputQueue {
    std::mutex mutex;
    std::condition_variable ready;
    std::string pending;  // read but not yet handed out
    bool ended = false;
};
// Never destroyed: the reading thread, blocked in a read, outlives main().
InputQueue& input = *new InputQueue;

void wakeInputWait() {
    { std::lock_guard lock(input.mutex); }  // a waiter between its check and its wait is asleep now
    input.ready.notify_all();
}

BOOL WINAPI onCtrl(DWORD type) {
    switch (type) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
            // The first press stops the search; a second one falls through to the default: the end.
            if (InterlockedCompareExchange(&stopStatus, 130, 0) != 0) return FALSE;
            wakeInputWait();
            return TRUE;
        case CTRL_CLOSE_EVENT:
        case CTRL_LOGOFF_EVENT:
        case CTRL_SHUTDOWN_EVENT:
            // The system ends the process as soon as this returns. Waiting here lets the search
            // stop, write its last whole lines and exit with its status; the system's own timeout
            // ends a wait that takes too long.
            InterlockedCompareExchange(&stopStatus, 129, 0);
            wakeInputWait();
            Sleep(INFINITE);
            return TRUE;
        default:
            return FALSE;
    }
}

bool isConsole(HANDLE h) {
    DWORD mode = 0;
    return h != nullptr && h != INVALID_HANDLE_VALUE && GetConsoleMode(h, &mode) != 0;
}

// The system's words for the last error, in the user's language, without the final period.
std::string lastErrorText() {
    DWORD code = GetLastError();
    if (code == ERROR_SUCCESS) code = ERROR_WRITE_FAULT;  // a write that wrote nothing
    wchar_t* text = nullptr;
    const DWORD n = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, 0, reinterpret_cast<LPWSTR>(&text), 0, nullptr);
    std::wstring words = n > 0 && text != nullptr ? std::wstring(text, n) : std::wstring();
    LocalFree(text);
    while (!words.empty() && (words.back() == L'\r' || words.back() == L'\n' ||
                              words.back() == L' ' || words.back() == L'.'))
        words.pop_back();
    if (words.empty()) return "error " + std::to_string(code);
    return win32::toUtf8(words);
}

// A console gets Unicode text; a pipe or a file gets the UTF-8 bytes as they are. Callers hand
// over whole lines, so no character is split between two writes.
bool writeHandle(HANDLE h, std::string_view text, std::string* error) {
    if (text.empty()) return true;
    if (isConsole(h)) {
        const std::wstring wide = win32::toWide(text);
        // Older consoles refuse large writes; pieces end outside a surrogate pair.
        constexpr std::size_t kPiece = 8192;
        for (std::size_t at = 0; at < wide.size();) {
            std::size_t n = std::min(kPiece, wide.size() - at);
            if (at + n < wide.size() && wide[at + n - 1] >= 0xD800 && wide[at + n - 1] <= 0xDBFF)
                --n;
            DWORD written = 0;
            if (!WriteConsoleW(h, wide.data() + at, static_cast<DWORD>(n), &written, nullptr) ||
                written == 0) {
                if (error != nullptr) *error = lastErrorText();
                return false;
            }
            at += written;
        }
        return true;
    }
    while (!text.empty()) {
        DWORD written = 0;
        if (!WriteFile(h, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) ||
            written == 0) {
            if (error != nullptr) *error = lastErrorText();
            return false;
        }
        text.remove_prefix(written);
    }
    return true;
}

class Win32Terminal final : public Terminal {
  public:
    bool writeOut(std::string_view text, std::string& error) override {
        return writeHandle(GetStdHandle(STD_OUTPUT_HANDLE), text, &error);
    }

    void writeErr(std::string_view text) override {
        writeHandle(GetStdHandle(STD_ERROR_HANDLE), text, nullptr);
    }

    int columns() override {
        CONSOLE_SCREEN_BUFFER_INFO info{};
        if (!GetConsoleScreenBufferInfo(GetStdHandle(STD_ERROR_HANDLE), &info)) return 0;
        return info.srWindow.Right - info.srWindow.Left + 1;
    }

    int stopRequest() override { return static_cast<int>(stopStatus); }
};

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

void prepare() {
    SetConsoleCtrlHandler(onCtrl, TRUE);
}

Terminal& systemTerminal() {
    static Win32Terminal terminal;
    return terminal;
}

bool errIsTerminal() {
    return isConsole(GetStdHandle(STD_ERROR_HANDLE));
}

bool outIsTerminal() {
    return isConsole(GetStdHandle(STD_OUTPUT_HANDLE));
}

namespace {

// Reads what standard input has next into `input`: a console as Unicode, anything else as
// bytes. False at its end.
bool readSome() {
    static const HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    static const bool console = isConsole(in);
    static std::wstring carried;  // a surrogate whose pair comes with the next read
    std::string text;
    if (console) {
        wchar_t buffer[1024];
        DWORD got = 0;
        if (!ReadConsoleW(in, buffer, 1024, &got, nullptr) || got == 0) return false;
        std::wstring wide = carried + std::wstring(buffer, got);
        if (wide.front() == L'\x1a') return false;  // Ctrl+Z ends what is typed
        carried.clear();
        if (wide.back() >= 0xD800 && wide.back() <= 0xDBFF) {
            carried = wide.back();
            wide.pop_back();
        }
        text = win32::toUtf8(wide);
    } else {
        char buffer[4096];
        DWORD got = 0;
        if (!ReadFile(in, buffer, sizeof buffer, &got, nullptr) || got == 0) return false;
        text.assign(buffer, got);
    }
    std::lock_guard lock(input.mutex);
    input.pending += text;
    input.ready.notify_all();
    return true;
}

void endInput() {
    std::lock_guard lock(input.mutex);
    input.ended = true;
    input.ready.notify_all();
}

// Reads standard input to its end, on a thread of its own.
void readInput() {
    while (readSome()) {
    }
    endInput();
}

}  // namespace

Input readLine(std::string& line) {
    // Blocked in a read that nothing can end, the reader ends with the program. Without room for
    // its thread, each line is read here, where a stop is seen only once it has come.
    static const bool reader = [] {
        try {
            std::thread(readInput).detach();
            return true;
        } catch (const std::system_error&) {
            return false;
        }
    }();
    std::unique_lock lock(input.mutex);
    for (;;) {
        if (stopStatus != 0) return Input::Stopped;
        const std::size_t end = input.pending.find('\n');
        if (end != std::string::npos || (input.ended && !input.pending.empty())) {
            line.assign(input.pending, 0, end);
            input.pending.erase(0, end == std::string::npos ? end : end + 1);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            return Input::Line;
        }
        if (input.ended) return Input::End;
        if (reader) {
            input.ready.wait(lock);
        } else {
            lock.unlock();
            if (!readSome()) endInput();
            lock.lock();
        }
    }
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
