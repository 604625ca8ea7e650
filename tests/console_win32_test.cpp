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
#include "platform/win32/win32_platform.h"

namespace quarvex::test {
namespace {

namespace fs = std::filesystem;

// Writes `bytes` at the end of the file at `path` (made, with the folders above it, when
// missing), or in its place with `how` CREATE_ALWAYS.
void writeFile(const fs::path& path, std::size_t bytes, DWORD how = OPEN_ALWAYS) {
    fs::create_directories(path.parent_path());
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, how, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << path;
    SetFilePointer(h, 0, nullptr, FILE_END);
    const std::string text(bytes, 'x');
    DWORD written = 0;
    WriteFile(h, text.data(), static_cast<DWORD>(bytes), &written, nullptr);
    CloseHandle(h);
}

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
    void file(const std::wstring& relative) const { writeFile(root_ / relative, 1, CREATE_ALWAYS); }

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

// quarvex-find.exe beside this program.
std::wstring findExe() {
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    const std::wstring exe = self;
    return exe.substr(0, exe.rfind(L'\\') + 1) + L"quarvex-find.exe";
}

// Starts quarvex-find.exe with these standard handles.
bool startFind(const std::wstring& arguments, HANDLE in, HANDLE out, HANDLE err, DWORD flags,
               PROCESS_INFORMATION& pi) {
    const std::wstring exe = findExe();
    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = in;
    si.hStdOutput = out;
    si.hStdError = err;
    std::wstring command = L"\"" + exe + L"\" " + arguments;
    // A Wine prefix made a moment ago may refuse the first start or two: try again, briefly.
    BOOL started = FALSE;
    for (int attempt = 0; attempt < 5 && !started; ++attempt) {
        if (attempt > 0) Sleep(500);
        started = CreateProcessW(exe.c_str(), command.data(), nullptr, nullptr, TRUE, flags,
                                 nullptr, nullptr, &si, &pi);
    }
    return started != FALSE;
}

// A pipe whose `theirs` end a started program inherits.
void makePipe(HANDLE& read, HANDLE& write, bool theyRead) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    CreatePipe(&read, &write, &inherit, 0);
    SetHandleInformation(theyRead ? write : read, HANDLE_FLAG_INHERIT, 0);
}

// Runs quarvex-find.exe with `out` as its standard output (a pipe read here when null) and
// standard error on a pipe. `whileRunning` acts on the process before its output is read.
FindRun runFind(const std::wstring& arguments, HANDLE out = nullptr, DWORD flags = CREATE_NO_WINDOW,
                const std::function<void(const PROCESS_INFORMATION&)>& whileRunning = nullptr) {
    HANDLE outRead = nullptr, outWrite = out, errRead, errWrite;
    if (out == nullptr) makePipe(outRead, outWrite, false);
    makePipe(errRead, errWrite, false);
    PROCESS_INFORMATION pi{};
    FindRun run;
    const bool started =
        startFind(arguments, GetStdHandle(STD_INPUT_HANDLE), outWrite, errWrite, flags, pi);
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

// quarvex-find.exe --queries, its standard input, output and error on pipes of the test.
class Queries {
  public:
    explicit Queries(const std::wstring& arguments) {
        HANDLE inRead, outWrite, errWrite;
        makePipe(inRead, in_, true);
        makePipe(out_, outWrite, false);
        makePipe(err_, errWrite, false);
        started_ = startFind(arguments, inRead, outWrite, errWrite, CREATE_NO_WINDOW, pi_);
        CloseHandle(inRead);
        CloseHandle(outWrite);
        CloseHandle(errWrite);
    }
    ~Queries() { finish(); }
    Queries(const Queries&) = delete;
    Queries& operator=(const Queries&) = delete;

    // Sends `line` and reads the answer up to its end, an empty record.
    std::string ask(const std::string& line, char end) {
        DWORD written = 0;
        EXPECT_TRUE(
            WriteFile(in_, line.data(), static_cast<DWORD>(line.size()), &written, nullptr));
        const std::string empty(1, end), last(2, end);
        std::string text;
        // A read takes what the pipe holds, and the program writes nothing past the answer's end
        // until it is asked again.
        char buffer[65536];
        DWORD got = 0;
        while (text != empty && !text.ends_with(last) &&
               ReadFile(out_, buffer, sizeof buffer, &got, nullptr) && got > 0)
            text.append(buffer, got);
        return text;
    }
    // What standard error holds by now: the program wrote its report before the answer's end.
    std::string errNow() {
        std::string text;
        DWORD ready = 0;
        while (PeekNamedPipe(err_, nullptr, 0, nullptr, &ready, nullptr) && ready > 0) {
            std::string chunk(ready, '\0');
            DWORD got = 0;
            if (!ReadFile(err_, chunk.data(), ready, &got, nullptr)) break;
            text.append(chunk, 0, got);
        }
        return text;
    }
    // Ends the input, reads the rest and waits for the program.
    FindRun finish() {
        FindRun run;
        if (!started_) return run;
        started_ = false;
        CloseHandle(in_);
        run.out = readAll(out_);
        run.err = readAll(err_);
        WaitForSingleObject(pi_.hProcess, INFINITE);
        GetExitCodeProcess(pi_.hProcess, &run.exitCode);
        for (HANDLE h : {pi_.hProcess, pi_.hThread, out_, err_}) CloseHandle(h);
        return run;
    }

  private:
    HANDLE in_ = nullptr, out_ = nullptr, err_ = nullptr;
    PROCESS_INFORMATION pi_{};
    bool started_ = false;
};

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

// Without a tree watch (none under Wine) every query walks afresh: each answer is the one-shot
// program's at that moment, ended by an empty line (an empty record with -0), its report on
// standard error.
TEST(ConsoleWin32, QueriesAnswerAsTheOneShotProgramAtThatMoment) {
    TempFolder folder;
    for (const char end : {'\n', '\0'}) {
        const std::wstring option = end == '\0' ? L"-0 " : L"";
        const std::wstring tree = end == '\0' ? L"records" : L"lines";
        folder.file(tree + L"\\a.txt");
        folder.file(tree + L"\\sub\\b.txt");
        const std::wstring root = quoted(folder.root() / tree);
        Queries queries(option + L"--queries " + root);
        const std::string first = queries.ask("*.txt\n", end);
        FindRun now = runFind(option + L"*.txt " + root);
        EXPECT_EQ(first, now.out + end);
        EXPECT_EQ(queries.errNow(), now.err);
        EXPECT_EQ(now.err.rfind("搜索完成,共查找到 2 个文件", 0), 0u) << now.err;

        folder.file(tree + L"\\sub\\new.txt");
        const std::string second = queries.ask("*.txt\r\n", end);  // as Windows ends a line
        now = runFind(option + L"*.txt " + root);
        EXPECT_EQ(second, now.out + end);
        EXPECT_EQ(queries.errNow(), now.err);
        EXPECT_NE(second.find("new.txt"), std::string::npos) << "the new file is found";
        EXPECT_EQ(queries.finish().exitCode, 0u);
    }
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

bool underWine() {
    return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
}

// The Windows listing store end to end. Under Wine, --queries keeps no listings (Wine's tree
// watch cannot vouch for them) but with the test hook QUARVEX_TEST_WINE_WATCH. Wine tells a change
// some time after the call that made it returned, so each change is waited for: the query is
// asked again, a bounded number of times, until its answer equals a fresh one-shot run's, report
// and all. A change that no notification tells shows where an answer came from: a file written
// through a second name in a folder outside the tree, whose new size a fresh walk reads (Wine
// lists each file's own size) and the store cannot know.
class StoreUnderWine : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!underWine())
            GTEST_SKIP() << "Windows keeps listings without the hook, and its "
                            "listings show the size a file's other name left";
        root = folder.root() / L"t";
        outside = folder.root() / L"out";
        writeFile(root / L"top.txt", 10);
        writeFile(root / L"a\\one.txt", 100);
        writeFile(root / L"a\\x\\two.txt", 2);
        writeFile(root / L"a\\x\\deep\\three.log", 3);
        writeFile(root / L"b\\four.txt", 4000);
        writeFile(root / L"b\\y\\five.txt", 5);
        writeFile(root / L"c\\six.txt", 6);
        writeFile(root / L"links\\solo.txt", 8);
        writeFile(outside / L"in\\sub\\moved.txt", 12);
        ASSERT_TRUE(CreateHardLinkW((outside / L"solo2.txt").c_str(),
                                    (root / L"links\\solo.txt").c_str(), nullptr));
    }

    FindRun fresh() { return runFind(L"--show-errors *.* " + quoted(root)); }
    std::string ask(Queries& queries) {
        queries.errNow();
        return queries.ask("*.*\n", '\n');
    }

    // Asks until the answer is a fresh run's; the change must show in it.
    void expectSeen(Queries& queries, const char* what) {
        SCOPED_TRACE(what);
        std::string answer, report;
        FindRun now;
        int asks = 0;
        do {
            if (asks++ > 0) Sleep(20);
            answer = ask(queries);
            report = queries.errNow();
            now = fresh();
        } while (answer != now.out + "\n" && asks < kMostAsks);
        EXPECT_EQ(answer, now.out + "\n") << "not seen after " << asks << " asks";
        EXPECT_EQ(report, now.err);
        EXPECT_NE(now.out, last) << "the change shows";
        last = now.out;
    }

    // The next answer comes from the store: it does not see the file grown through its name
    // outside the tree.
    void expectFromStore(Queries& queries) {
        writeFile(outside / L"solo2.txt", 5);
        EXPECT_EQ(ask(queries), last + "\n") << "a fresh walk's answer";
        EXPECT_NE(fresh().out, last) << "a fresh walk reads the new size";
        // Grown through its name in the tree, it is told and seen.
        writeFile(root / L"links\\solo.txt", 1);
        expectSeen(queries, "a file grown through its name in the tree");
    }

    static constexpr int kMostAsks = 100;
    TempFolder folder;
    fs::path root, outside;
    std::string last;  // the last fresh run's lines
};

// Sets a variable of this process's environment, which the programs it starts inherit.
class ScopedVariable {
  public:
    ScopedVariable(const wchar_t* name, const wchar_t* value) : name_(name) {
        SetEnvironmentVariableW(name, value);
    }
    ~ScopedVariable() { SetEnvironmentVariableW(name_, nullptr); }
    ScopedVariable(const ScopedVariable&) = delete;
    ScopedVariable& operator=(const ScopedVariable&) = delete;

  private:
    const wchar_t* name_;
};

TEST_F(StoreUnderWine, WithoutTheHookEachQueryWalksAfresh) {
    Queries queries(L"--queries --show-errors " + quoted(root));
    ask(queries);
    writeFile(outside / L"solo2.txt", 5);
    EXPECT_EQ(ask(queries), fresh().out + "\n");
}

TEST_F(StoreUnderWine, EachChangeIsSeenOnceToldAndAnswersComeFromTheStore) {
    const ScopedVariable hook(L"QUARVEX_TEST_WINE_WATCH", L"1");
    Queries queries(L"--queries --show-errors " + quoted(root));
    expectSeen(queries, "the first query walks");
    expectFromStore(queries);
    const auto move = [](const fs::path& from, const fs::path& to) {
        ASSERT_TRUE(MoveFileW(from.c_str(), to.c_str())) << from;
    };
    const struct {
        const char* what;
        std::function<void()> change;
    } steps[] = {
        {"a file created", [&] { writeFile(root / L"a\\new.txt", 5); }},
        {"a file grown", [&] { writeFile(root / L"a\\one.txt", 5); }},
        {"a file truncated", [&] { writeFile(root / L"b\\four.txt", 0, TRUNCATE_EXISTING); }},
        {"a file deleted", [&] { ASSERT_TRUE(DeleteFileW((root / L"c\\six.txt").c_str())); }},
        {"a file renamed", [&] { move(root / L"a\\new.txt", root / L"a\\renamed.txt"); }},
        // Not a change below it: Wine names that by the folder's old path.
        {"a folder renamed", [&] { move(root / L"a\\x", root / L"a\\x2"); }},
        {"a folder moved out", [&] { move(root / L"b\\y", outside / L"y"); }},
        {"a folder moved in, with a subtree", [&] { move(outside / L"in", root / L"c\\in"); }},
        {"a file created in it", [&] { writeFile(root / L"c\\in\\sub\\new.txt", 3); }},
        // More records than the watch's 64 KiB hold, and one more change elsewhere.
        {"1,000 files created at once",
         [&] {
             for (int i = 0; i < 1000; ++i)
                 writeFile(root / L"bulk" / (std::wstring(100, L'n') + std::to_wstring(i)), 0);
             writeFile(root / L"b\\late.txt", 2);
         }},
    };
    for (const auto& step : steps) {
        step.change();
        expectSeen(queries, step.what);
    }
    // After lost changes the tree was walked afresh; it is kept again.
    expectFromStore(queries);
    // Windows tells nothing of the root itself: each search checks it is still the folder kept.
    move(root, outside / L"t-old");
    writeFile(root / L"top.txt", 13);
    expectSeen(queries, "the searched folder replaced by another of its name");
    EXPECT_EQ(queries.finish().exitCode, 0u);
}

// The i686 program as most people run it: a 32-bit process on 64-bit Windows (WOW64), which sees
// SysWOW64 where System32 is unless it turns that off. The win32_wow64 test runs this in Wine's
// 64-bit prefix, where Wine redirects a 32-bit process as Windows does.
class Wow64 : public ::testing::Test {
  protected:
    void SetUp() override {
        BOOL wow64 = FALSE;
        if (!IsWow64Process(GetCurrentProcess(), &wow64) || !wow64)
            GTEST_SKIP() << "not a WOW64 process: the i686 build in a 64-bit prefix is one "
                            "(QUARVEX_WINEARCH=win64)";
        wchar_t folder[MAX_PATH];
        windows = std::wstring(folder, GetSystemWindowsDirectoryW(folder, MAX_PATH));
        const std::wstring own = L"quarvex-wow64-" + std::to_wstring(GetCurrentProcessId());
        system32 = windows + L"\\System32\\" + own;
        syswow64 = windows + L"\\SysWOW64\\" + own;
        // Sysnative names the real System32 to a 32-bit process.
        sysnative = windows + L"\\Sysnative\\" + own;
        writeFile(sysnative + L"\\only-real.bin", 6464);
        writeFile(syswow64 + L"\\only-wow.bin", 3232);
    }
    void TearDown() override {
        std::error_code ec;
        for (const std::wstring& folder : {sysnative, syswow64})
            if (!folder.empty()) fs::remove_all(folder, ec);
    }

    std::wstring windows, system32, syswow64, sysnative;
};

TEST_F(Wow64, System32IsListedAsItIsAndSysWow64AsItself) {
    const std::string real = win32::toUtf8(system32) + "\\only-real.bin ----- 6,464 Bytes\n";
    const std::string wow = win32::toUtf8(syswow64) + "\\only-wow.bin ----- 3,232 Bytes\n";
    EXPECT_EQ(runFind(L"*.bin " + quoted(fs::path(system32))).out, real) << "a root in System32";
    EXPECT_EQ(runFind(L"*.bin " + quoted(fs::path(syswow64))).out, wow);
    // From the Windows folder down: System32 is a subfolder opened relative to its parent. Its
    // name is as the folder lists it.
    const FindRun all = runFind(L"only-*.bin " + quoted(fs::path(windows)));
    EXPECT_EQ(all.exitCode, 0u) << all.err;
    const auto sameText = [](const std::string& a, const std::string& b) {
        return CompareStringOrdinal(win32::toWide(a).c_str(), -1, win32::toWide(b).c_str(), -1,
                                    TRUE) == CSTR_EQUAL;
    };
    EXPECT_PRED2(sameText, all.out, real + wow);
}

TEST_F(Wow64, AResultInSystem32OpensTheRealFile) {
    // A program only in the real System32: by its own name WOW64 finds nothing there.
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    const fs::path probe = fs::path(self).parent_path() / L"quarvex-launch-probe.exe";
    ASSERT_TRUE(CopyFileW(probe.c_str(), (sysnative + L"\\probe.exe").c_str(), FALSE));
    const std::wstring line = system32 + L"\\probe.exe";
    ASSERT_TRUE(win32::Win32Platform().open(win32::toUtf8(line), SW_SHOWNOACTIVATE));
    // The probe marks its own path; a 32-bit probe writing beside "System32\..." lands in
    // SysWOW64.
    const auto ran = [&] {
        return GetFileAttributesW((sysnative + L"\\probe.exe.ran").c_str()) !=
                   INVALID_FILE_ATTRIBUTES ||
               GetFileAttributesW((syswow64 + L"\\probe.exe.ran").c_str()) !=
                   INVALID_FILE_ATTRIBUTES;
    };
    for (int i = 0; i < 200 && !ran(); ++i) Sleep(50);
    EXPECT_TRUE(ran()) << "the probe in the real System32 did not run";
    for (int i = 0; i < 100 && !DeleteFileW((sysnative + L"\\probe.exe").c_str()); ++i) Sleep(50);
}

}  // namespace
}  // namespace quarvex::test
