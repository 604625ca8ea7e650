// The Win32 platform and the console edge under Wine, on real folders.
#include <gtest/gtest.h>

// windows.h comes first.
// clang-format off
#include <windows.h>
// clang-format on

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "platform/win32/utf16.h"
#include "platform/win32/win32_platform.h"
#include "win32_test_support.h"

namespace quarvex::win32 {
namespace {

using namespace testing;

TEST(Utf16, RoundTripsEveryNameWindowsCanHold) {
    const std::wstring names[] = {
        L"plain.txt", L"中文 名, 1.TXT", L"\U0001F600 smile", L"Ωmega",
        // An unpaired surrogate is legal in a Windows name and must come back unchanged.
        std::wstring(L"lone") + static_cast<wchar_t>(0xD800) + L"x",
        std::wstring(1, static_cast<wchar_t>(0xDC01))};
    for (const std::wstring& name : names) EXPECT_EQ(toWide(toUtf8(name)), name);
    EXPECT_EQ(toUtf8(L"\u00e4\u4e2d\U0001F600"), "\xC3\xA4\xE4\xB8\xAD\xF0\x9F\x98\x80");
    // Bytes that are not UTF-8 become replacement characters, one each, and nothing is lost after.
    EXPECT_EQ(toWide("a\xFF"
                     "b\xC3"),
              L"a\uFFFDb\uFFFD");
    EXPECT_EQ(toWide("\xE0\x80\x80z"), L"\uFFFD\uFFFD\uFFFDz");  // an overlong form
}

class PlatformTest : public ::testing::Test {
  protected:
    void SetUp() override {
        wchar_t temp[MAX_PATH];
        GetTempPathW(MAX_PATH, temp);
        root = std::wstring(temp) + L"quarvex-platform-" + std::to_wstring(GetCurrentProcessId());
        makeFolder(root);
    }
    void TearDown() override {
        // Folders first emptied by the shell's own recursive delete would need COM; do it by hand.
        removeAll(root);
    }
    static void removeAll(const std::wstring& folder) {
        WIN32_FIND_DATAW r;
        HANDLE h = FindFirstFileW((folder + L"\\*").c_str(), &r);
        if (h != INVALID_HANDLE_VALUE) {
            do {
                const std::wstring name = r.cFileName;
                if (name == L"." || name == L"..") continue;
                if (r.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                    removeAll(folder + L"\\" + name);
                else
                    DeleteFileW((folder + L"\\" + name).c_str());
            } while (FindNextFileW(h, &r));
            FindClose(h);
        }
        RemoveDirectoryW(folder.c_str());
    }

    // name -> (attributes, size) of every entry the platform lists for `pattern`.
    std::map<std::string, std::pair<std::uint32_t, std::uint64_t>> list(
        const std::string& pattern) {
        std::map<std::string, std::pair<std::uint32_t, std::uint64_t>> out;
        FindRecord record;
        const FindHandle h = platform.findFirst(toUtf8(root) + "\\" + pattern, record);
        if (h == kInvalidFindHandle) return out;
        do {
            out[record.cFileName] = {record.dwFileAttributes,
                                     platform.fileLength(h).value_or(~0ull)};
        } while (platform.findNext(h, record));
        platform.findClose(h);
        return out;
    }

    Win32Platform platform;
    std::wstring root;
};

TEST_F(PlatformTest, ListsNamesAttributesAndSizesFromTheFindRecord) {
    makeFile(root + L"\\small.txt", 5);
    makeFile(root + L"\\empty.txt", 0);
    makeFile(root + L"\\报告 1, 2.TXT", 1234);
    makeFile(root + L"\\huge.bin", 5ull << 30);  // sparse: sizes past 4 GiB need both halves
    makeFolder(root + L"\\sub folder");

    const auto all = list("*");
    ASSERT_EQ(all.size(), 5u) << "\".\" and \"..\" are not listed";
    EXPECT_EQ(all.at("small.txt").second, 5u);
    EXPECT_EQ(all.at("empty.txt").second, 0u);
    EXPECT_EQ(all.at("报告 1, 2.TXT").second, 1234u);
    EXPECT_EQ(all.at("huge.bin").second, 5ull << 30);
    EXPECT_NE(all.at("sub folder").first & kAttrDirectory, 0u);
    EXPECT_EQ(all.at("small.txt").first & kAttrDirectory, 0u);

    const auto txt = list("*.txt");
    std::vector<std::string> names;
    for (const auto& [name, info] : txt) names.push_back(name);
    EXPECT_EQ(names, (std::vector<std::string>{"empty.txt", "small.txt", "报告 1, 2.TXT"}));
    EXPECT_EQ(list("报告*").size(), 1u) << "a pattern outside the ANSI code page";
}

TEST_F(PlatformTest, NothingMatchingOrNoFolderGivesTheInvalidHandle) {
    makeFile(root + L"\\a.txt", 1);
    FindRecord record;
    EXPECT_EQ(platform.findFirst(toUtf8(root) + "\\*.zip", record), kInvalidFindHandle);
    EXPECT_EQ(platform.findFirst(toUtf8(root) + "\\missing\\*", record), kInvalidFindHandle);
    makeFolder(root + L"\\only dots");
    EXPECT_EQ(platform.findFirst(toUtf8(root) + "\\only dots\\*", record), kInvalidFindHandle)
        << "a folder holding nothing but \".\" and \"..\" lists nothing";
}

TEST_F(PlatformTest, DrivesAndTheProgramFolder) {
    EXPECT_GT(platform.driveType("C:\\"), kDriveNoRootDir);
    EXPECT_EQ(platform.driveType("T:\\"), static_cast<unsigned>(DRIVE_FIXED));
    // Wine's prefix maps C:, T: and Z: here; a letter it leaves alone is no drive.
    EXPECT_LE(platform.driveType("K:\\"), kDriveNoRootDir);
    EXPECT_TRUE(platform.mountedDrives().empty());
    EXPECT_EQ(platform.separator(), '\\');

    const std::string folder = platform.programFolder();
    ASSERT_FALSE(folder.empty());
    EXPECT_NE(folder.back(), '\\');
    EXPECT_TRUE(fileExists(toWide(folder + "\\quarvex_win32_platform_tests.exe")));
    EXPECT_FALSE(platform.open(toUtf8(root) + "\\no such file.txt"));
}

// Runs quarvex-find.exe beside this program with its output going to pipes.
struct FindRun {
    std::string out, err;
    DWORD exitCode = 0;
};

FindRun runFind(const std::wstring& arguments) {
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring exe = self;
    exe = exe.substr(0, exe.rfind(L'\\') + 1) + L"quarvex-find.exe";
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE outRead, outWrite, errRead, errWrite;
    CreatePipe(&outRead, &outWrite, &inherit, 0);
    CreatePipe(&errRead, &errWrite, &inherit, 0);
    SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);
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
    if (!CreateProcessW(exe.c_str(), command.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW,
                        nullptr, nullptr, &si, &pi)) {
        run.exitCode = ~0u;
        return run;
    }
    CloseHandle(outWrite);
    CloseHandle(errWrite);
    // Standard error is small; read standard output to its end first.
    char buffer[4096];
    DWORD got;
    while (ReadFile(outRead, buffer, sizeof buffer, &got, nullptr) && got > 0)
        run.out.append(buffer, got);
    while (ReadFile(errRead, buffer, sizeof buffer, &got, nullptr) && got > 0)
        run.err.append(buffer, got);
    WaitForSingleObject(pi.hProcess, INFINITE);
    GetExitCodeProcess(pi.hProcess, &run.exitCode);
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
    CloseHandle(outRead);
    CloseHandle(errRead);
    return run;
}

TEST_F(PlatformTest, ConsoleTwinWritesUtf8ToPipesAndReadsUnicodeArguments) {
    makeFile(root + L"\\中文\\报告 一.txt", 2048);
    makeFile(root + L"\\中文\\other.md", 1);
    makeFile(root + L"\\ünïcødé.TXT", 3);
    const std::string base = toUtf8(root);

    const FindRun found = runFind(L"*.txt \"" + root + L"\"");
    EXPECT_EQ(found.exitCode, 0u) << found.err;
    EXPECT_EQ(found.out, base + "\\ünïcødé.TXT ----- 3 Bytes\n" + base +
                             "\\中文\\报告 一.txt ----- 2,048 Bytes\n")
        << "UTF-8 bytes, one line per file";

    // The pattern itself lies outside any ANSI code page.
    const FindRun chinese = runFind(L"报告* \"" + root + L"\"");
    EXPECT_EQ(chinese.exitCode, 0u) << chinese.err;
    EXPECT_EQ(chinese.out, base + "\\中文\\报告 一.txt ----- 2,048 Bytes\n");

    const FindRun none = runFind(L"*.zip \"" + root + L"\"");
    EXPECT_EQ(none.exitCode, 1u);
    EXPECT_TRUE(none.out.empty());
}

}  // namespace
}  // namespace quarvex::win32
