// quarvex-find.exe under Wine: patterns as Windows types them, a failed write ends the run with its
// own status, and Ctrl+C stops it with the report.
#include <gtest/gtest.h>

// windows.h comes first.
// clang-format off
#include <windows.h>
// clang-format on

#include <filesystem>
#include <functional>
#include <string>

#include "platform/win32/utf16.h"

namespace quarvex::test {
namespace {

namespace fs = std::filesystem;

// A folder under the temporary folder, removed with everything in it at the end.
class TempFolder {
  public:
    TempFolder() {
        root_ = fs::temp_directory_path() /
                (L"quarvex-console-" + std::to_wstring(GetCurrentProcessId()));
        fs::create_directories(root_);
    }
    ~TempFolder() {
        std::error_code ec;
        fs::remove_all(root_, ec);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    const fs::path& root() const { return root_; }
    void file(const std::wstring& relative) const {
        const fs::path path = root_ / relative;
        fs::create_directories(path.parent_path());
        HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        DWORD written = 0;
        WriteFile(h, "x", 1, &written, nullptr);
        CloseHandle(h);
    }

  private:
    fs::path root_;
};

// Enough files for far more output than a pipe and the program's buffer hold (Wine's pipes
// hold a few hundred kilobytes): about a megabyte of lines.
constexpr int kManyFiles = 3000;
void plantManyFiles(const TempFolder& folder) {
    const std::wstring longName(220, L'n');
    for (int i = 0; i < kManyFiles; ++i)
        folder.file(L"d" + std::to_wstring(i % 30) + L"\\" + longName + std::to_wstring(i) +
                    L".txt");
}

struct FindRun {
    DWORD exitCode = ~0u;
    std::string out, err;
};

std::string readAll(HANDLE h) {
    std::string text;
    char buffer[65536];
    DWORD got = 0;
    while (ReadFile(h, buffer, sizeof buffer, &got, nullptr) && got > 0) text.append(buffer, got);
    return text;
}

// Runs quarvex-find.exe beside this program with `out` as its standard output (a pipe read here
// when null) and standard error on a pipe. `whileRunning` acts on the process before its output
// is read.
FindRun runFind(const std::wstring& arguments, HANDLE out = nullptr, DWORD flags = CREATE_NO_WINDOW,
                const std::function<void(const PROCESS_INFORMATION&)>& whileRunning = nullptr) {
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring exe = self;
    exe = exe.substr(0, exe.rfind(L'\\') + 1) + L"quarvex-find.exe";
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE outRead = nullptr, outWrite = out, errRead, errWrite;
    if (out == nullptr) {
        CreatePipe(&outRead, &outWrite, &inherit, 0);
        SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);
    }
    CreatePipe(&errRead, &errWrite, &inherit, 0);
    SetHandleInformation(errRead, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    si.hStdOutput = outWrite;
    si.hStdError = errWrite;
    std::wstring command = L"\"" + exe + L"\" " + arguments;
    PROCESS_INFORMATION pi{};
    FindRun run;
    // A Wine prefix made a moment ago may refuse the first start or two: try again, briefly.
    BOOL started = FALSE;
    for (int attempt = 0; attempt < 5 && !started; ++attempt) {
        if (attempt > 0) Sleep(500);
        started = CreateProcessW(exe.c_str(), command.data(), nullptr, nullptr, TRUE, flags,
                                 nullptr, nullptr, &si, &pi);
    }
    if (out == nullptr) CloseHandle(outWrite);
    CloseHandle(errWrite);
    if (!started) return run;
    if (whileRunning) whileRunning(pi);
    if (outRead != nullptr) run.out = readAll(outRead);
    run.err = readAll(errRead);
    WaitForSingleObject(pi.hProcess, INFINITE);
    GetExitCodeProcess(pi.hProcess, &run.exitCode);
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
    if (outRead != nullptr) CloseHandle(outRead);
    CloseHandle(errRead);
    return run;
}

std::wstring quoted(const fs::path& path) {
    return L"\"" + path.wstring() + L"\"";
}

TEST(ConsoleWin32, WritesUtf8ToPipesAndReadsUnicodeArguments) {
    TempFolder folder;
    const fs::path root = folder.root() / L"uni";
    folder.file(L"uni\\中文\\报告 一.txt");
    folder.file(L"uni\\中文\\other.md");
    folder.file(L"uni\\ünïcødé.TXT");
    const std::string top = win32::toUtf8(root.wstring());

    const FindRun found = runFind(L"*.txt " + quoted(root));
    EXPECT_EQ(found.exitCode, 0u) << found.err;
    EXPECT_EQ(found.out,
              top + "\\ünïcødé.TXT ----- 1 Bytes\n" + top + "\\中文\\报告 一.txt ----- 1 Bytes\n")
        << "UTF-8 bytes, one line per file";
    // The pattern itself lies outside any ANSI code page.
    const FindRun chinese = runFind(L"报告* " + quoted(root));
    EXPECT_EQ(chinese.exitCode, 0u) << chinese.err;
    EXPECT_EQ(chinese.out, top + "\\中文\\报告 一.txt ----- 1 Bytes\n");
    const FindRun none = runFind(L"*.zip " + quoted(root));
    EXPECT_EQ(none.exitCode, 1u);
    EXPECT_TRUE(none.out.empty());
}

TEST(ConsoleWin32, AFinalDotIsADotOrTheEndOfTheName) {
    TempFolder folder;
    for (const wchar_t* name : {L"dots\\readme", L"dots\\readme.txt", L"dots\\a.txt"})
        folder.file(name);
    const fs::path root = folder.root() / L"dots";
    const std::string top = win32::toUtf8(root.wstring()) + "\\";
    const struct {
        const wchar_t* pattern;
        std::string out;
    } cases[] = {
        {L"readme.", top + "readme ----- 1 Bytes\n"},
        {L"*.txt.", top + "a.txt ----- 1 Bytes\n" + top + "readme.txt ----- 1 Bytes\n"},
        {L"*.", top + "readme ----- 1 Bytes\n"},
    };
    for (const auto& c : cases) {
        const FindRun run = runFind(std::wstring(c.pattern) + L" " + quoted(root));
        EXPECT_EQ(run.exitCode, 0u) << run.err;
        EXPECT_EQ(run.out, c.out) << win32::toUtf8(c.pattern);
    }
}

TEST(ConsoleWin32, AFailedWriteEndsTheRunWithStatusThree) {
    TempFolder folder;
    plantManyFiles(folder);
    const std::wstring search = L"*.txt " + quoted(folder.root());
    const std::string said = "quarvex-find: write error: ";

    // A pipe whose reader is gone.
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE read, write;
    ASSERT_TRUE(CreatePipe(&read, &write, &inherit, 0));
    CloseHandle(read);
    FindRun broken = runFind(search, write);
    CloseHandle(write);
    EXPECT_EQ(broken.exitCode, 3u);
    EXPECT_EQ(broken.err.rfind(said, 0), 0u) << broken.err;
    EXPECT_EQ(broken.err.find("搜索完成"), std::string::npos) << "no report after a lost line";

    // A file that may only be read.
    const fs::path readOnly = folder.root() / L"read-only.out";
    folder.file(readOnly.filename().wstring());
    HANDLE file = CreateFileW(readOnly.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              &inherit, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    FindRun refused = runFind(search, file);
    CloseHandle(file);
    EXPECT_EQ(refused.exitCode, 3u);
    EXPECT_EQ(refused.err.rfind(said, 0), 0u) << refused.err;
    EXPECT_EQ(refused.err.find("搜索完成"), std::string::npos);
}

BOOL WINAPI swallowCtrl(DWORD type) {
    return type == CTRL_C_EVENT ? TRUE : FALSE;
}

TEST(ConsoleWin32, CtrlCStopsTheWalkAndStillReports) {
    TempFolder folder;
    plantManyFiles(folder);
    // Console events reach the processes of one console: share ours with the program. Wine
    // starts a test on a console without a window, where events do not travel; and it sends
    // Ctrl+C, not Ctrl+Break, to a whole console only, so this program takes it too.
    if (GetConsoleWindow() == nullptr) {
        FreeConsole();
        ASSERT_TRUE(AllocConsole());
    }
    SetConsoleCtrlHandler(swallowCtrl, TRUE);
    // Wine now and then hands the event to the program only after it has finished; a run that
    // saw no event at all (status 0, every line) is tried again, twice at most.
    FindRun r;
    for (int attempt = 0; attempt < 3 && r.exitCode != 130u; ++attempt) {
        r = runFind(L"*.txt " + quoted(folder.root()), nullptr, 0, [](const PROCESS_INFORMATION&) {
            // The program blocks on the full pipe until the event arrives.
            Sleep(1000);
            GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0);
        });
        if (r.exitCode != 0u) break;
    }
    SetConsoleCtrlHandler(swallowCtrl, FALSE);
    EXPECT_EQ(r.exitCode, 130u);
    ASSERT_FALSE(r.out.empty());
    EXPECT_EQ(r.out.back(), '\n');
    std::size_t lines = 0;
    for (const char c : r.out) lines += c == '\n';
    EXPECT_LT(lines, static_cast<std::size_t>(kManyFiles));
    EXPECT_EQ(r.err.rfind("搜索完成,共查找到 " + std::to_string(lines) + " 个文件", 0), 0u)
        << r.err;
}

}  // namespace
}  // namespace quarvex::test
