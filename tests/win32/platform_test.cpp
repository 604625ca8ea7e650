// The Win32 platform under Wine, on real folders: folders opened relative to their parent, one
// listing per folder, links, long paths, several threads, launching; a stand-in for the NT calls
// where Wine cannot make what Windows has (reparse tags); and the console edge.
#include <gtest/gtest.h>

// windows.h comes first.
// clang-format off
#include <windows.h>
// clang-format on

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "platform/win32/nt_calls.h"
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

TEST(Utf16, OnlyAHighSurrogateBeforeALowOneMakesAPair) {
    const auto units = [](std::initializer_list<unsigned> list) {
        std::wstring s;
        for (unsigned u : list) s.push_back(static_cast<wchar_t>(u));
        return s;
    };
    // A low surrogate alone, a low before a high, and a low before a real pair: each unpaired
    // unit keeps its own three bytes and comes back as it was.
    const std::wstring low = units({0xDC00});
    const std::wstring lowHigh = units({0xDC00, 0xD800});
    const std::wstring lowPair = units({0xDC00, 0xD83D, 0xDE00});
    const std::wstring highHigh = units({0xD800, 0xD800, 'x'});
    const std::wstring lowLow = units({0xDC00, 0xDFFF});
    EXPECT_EQ(toUtf8(low), "\xED\xB0\x80");
    EXPECT_EQ(toUtf8(lowHigh), "\xED\xB0\x80\xED\xA0\x80");
    EXPECT_EQ(toUtf8(lowPair), "\xED\xB0\x80\xF0\x9F\x98\x80");
    EXPECT_EQ(toUtf8(highHigh), "\xED\xA0\x80\xED\xA0\x80x");
    EXPECT_EQ(toUtf8(lowLow), "\xED\xB0\x80\xED\xBF\xBF");
    for (const std::wstring& name : {low, lowHigh, lowPair, highHigh, lowLow})
        EXPECT_EQ(toWide(toUtf8(name)), name);
}

// The handles this process holds; under Wine, whose GetProcessHandleCount answers 0 and which
// keeps a handle of its own on each Unix program it starts, those on files whose path holds
// `folder`, found by trying the handle values in turn (Wine gives out the lowest free one).
DWORD handleCount(const std::wstring& folder) {
    DWORD n = 0;
    if (GetProcessHandleCount(GetCurrentProcess(), &n) && n != 0) return n;
    std::wstring path(MAX_PATH * 8, L'\0');
    for (std::uintptr_t value = 4; value < 0x4000; value += 4) {
        const auto h = reinterpret_cast<HANDLE>(value);
        DWORD flags;
        if (!GetHandleInformation(h, &flags) || GetFileType(h) != FILE_TYPE_DISK) continue;
        const DWORD length =
            GetFinalPathNameByHandleW(h, path.data(), static_cast<DWORD>(path.size()), 0);
        if (length < path.size() &&
            std::wstring_view(path.data(), length).find(folder) != std::wstring_view::npos)
            ++n;
    }
    return n;
}

// One entry as a test sees it.
struct Entry {
    std::string name;
    std::uint32_t attributes = 0;
    std::uint32_t tag = 0;
    std::uint64_t size = 0;
    std::uint64_t file = 0;
    bool sizeKnown = false;
    bool link = false;
};

// Every entry of an open folder, in the platform's order. `reads` counts the listing calls.
std::vector<Entry> listAll(Platform& platform, FolderHandle folder, int* reads = nullptr,
                           ListStatus* last = nullptr) {
    std::vector<Entry> out;
    Listing listing;
    ListStatus status;
    int n = 0;
    do {
        status = platform.listFolder(folder, listing);
        ++n;
        for (std::size_t i = 0; i < listing.size(); ++i) {
            const ListedEntry& e = listing[i];
            out.push_back({std::string(listing.name(e)), e.attributes, e.reparseTag, e.size, e.file,
                           e.sizeKnown, isLink(e)});
        }
    } while (status == ListStatus::More && n < 100000);
    if (reads) *reads = n;
    if (last) *last = status;
    return out;
}

std::map<std::string, Entry> byName(const std::vector<Entry>& entries) {
    std::map<std::string, Entry> out;
    for (const Entry& e : entries) out[e.name] = e;
    return out;
}

class PlatformTest : public ::testing::Test {
  protected:
    void SetUp() override {
        wchar_t temp[MAX_PATH];
        GetTempPathW(MAX_PATH, temp);
        folderName = L"quarvex-platform-" + std::to_wstring(GetCurrentProcessId());
        base = std::wstring(temp) + folderName;
        root = base + L"\\root";
        removeTree(base);
        makeFolder(root);
        handlesBefore = handleCount(folderName);
    }
    void TearDown() override {
        if (countHandles) {
            EXPECT_EQ(handleCount(folderName), handlesBefore)
                << "every handle the test opened is closed";
        }
        removeTree(base);
    }

    // Opens the root, then each name in turn relative to the folder before it, closing each
    // parent once its child is open, as the walk does.
    OpenResult openPath(const std::vector<std::string>& names) {
        OpenResult at = platform.openRoot(toUtf8(root));
        for (const std::string& name : names) {
            if (at.status != OpenStatus::Opened) break;
            const OpenResult next = platform.openChild(at.handle, name);
            platform.closeFolder(at.handle);
            at = next;
        }
        return at;
    }

    Win32Platform platform;
    std::wstring folderName;
    std::wstring base;  // holds the root and what lies outside it
    std::wstring root;
    DWORD handlesBefore = 0;
    // Off where the system opens handles of its own (the shell, other processes).
    bool countHandles = true;
};

TEST_F(PlatformTest, ListsEachEntryOnceWithAttributesAndSizes) {
    makeFile(root + L"\\small.txt", 5);
    makeFile(root + L"\\empty.txt", 0);
    makeFile(root + L"\\报告 1, 2.TXT", 1234);
    makeFile(root + L"\\huge.bin", 5ull << 30);  // sparse: sizes past 4 GiB need both halves
    makeFolder(root + L"\\sub folder");
    makeFolder(root + L"\\.cache");
    SetFileAttributesW((root + L"\\small.txt").c_str(), FILE_ATTRIBUTE_HIDDEN);

    const OpenResult opened = platform.openRoot(toUtf8(root));
    ASSERT_EQ(opened.status, OpenStatus::Opened);
    ListStatus last;
    const auto entries = byName(listAll(platform, opened.handle, nullptr, &last));
    platform.closeFolder(opened.handle);
    EXPECT_EQ(last, ListStatus::End);
    ASSERT_EQ(entries.size(), 6u) << "\".\" and \"..\" are left out, every other name is kept";
    EXPECT_EQ(entries.at("small.txt").size, 5u);
    EXPECT_EQ(entries.at("small.txt").attributes & FILE_ATTRIBUTE_HIDDEN,
              static_cast<DWORD>(FILE_ATTRIBUTE_HIDDEN));
    EXPECT_EQ(entries.at("empty.txt").size, 0u);
    EXPECT_EQ(entries.at("报告 1, 2.TXT").size, 1234u);
    EXPECT_EQ(entries.at("huge.bin").size, 5ull << 30);
    for (const auto& [name, e] : entries) {
        EXPECT_TRUE(e.sizeKnown) << name;
        EXPECT_FALSE(e.link) << name;
        const bool folder = name == "sub folder" || name == ".cache";
        EXPECT_EQ((e.attributes & kAttrDirectory) != 0, folder) << name;
    }
}

TEST_F(PlatformTest, AFolderTooBigForOneReadComesInSeveralBatches) {
    // Long names fill the listing's buffer with a few hundred entries.
    std::vector<std::string> made;
    for (int i = 0; i < 700; ++i) {
        const std::wstring name = std::to_wstring(1000 + i) + L"-" + std::wstring(120, L'n');
        makeFile(root + L"\\" + name, static_cast<std::uint64_t>(i));
        made.push_back(toUtf8(name));
    }
    const OpenResult opened = platform.openRoot(toUtf8(root));
    ASSERT_EQ(opened.status, OpenStatus::Opened);
    int reads = 0;
    const auto entries = listAll(platform, opened.handle, &reads);
    platform.closeFolder(opened.handle);
    EXPECT_GT(reads, 3) << "700 entries of about 300 bytes do not fit one 64 KiB read";
    std::vector<std::string> names;
    for (const Entry& e : entries) {
        names.push_back(e.name);
        EXPECT_EQ(e.size, std::stoull(e.name.substr(0, 4)) - 1000) << e.name;
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, made) << "every name exactly once";

    // An empty folder ends at once.
    makeFolder(root + L"\\nothing");
    const OpenResult empty = openPath({"nothing"});
    ASSERT_EQ(empty.status, OpenStatus::Opened);
    EXPECT_TRUE(listAll(platform, empty.handle).empty());
    platform.closeFolder(empty.handle);
}

TEST_F(PlatformTest, SubfoldersOpenByTheNamesTheListingGives) {
    const std::wstring names[] = {L"中文 名", L"Ωmega",   L"\U0001F600 smile",
                                  L"ÄRGER",   L"a b.c d", L"x"};
    for (std::size_t i = 0; i < std::size(names); ++i)
        makeFile(root + L"\\" + names[i] + L"\\inside.txt", 100 + i);
    const OpenResult top = platform.openRoot(toUtf8(root));
    ASSERT_EQ(top.status, OpenStatus::Opened);

    std::vector<FolderIdentity> seen{top.identity};
    for (const Entry& e : listAll(platform, top.handle)) {
        const OpenResult child = platform.openChild(top.handle, e.name);
        ASSERT_EQ(child.status, OpenStatus::Opened) << e.name;
        const auto inside = listAll(platform, child.handle);
        ASSERT_EQ(inside.size(), 1u) << e.name;
        EXPECT_EQ(inside[0].name, "inside.txt");
        const std::size_t index =
            std::find(std::begin(names), std::end(names), toWide(e.name)) - std::begin(names);
        EXPECT_EQ(inside[0].size, 100 + index) << e.name << ": the folder of that name";
        EXPECT_EQ(e.file, child.identity.file) << e.name << ": the listing gives its file ID";

        // The same folder by name again, and by its full path, has the same identity.
        const OpenResult again = platform.openChild(top.handle, e.name);
        const OpenResult byPath = platform.openRoot(toUtf8(root) + "\\" + e.name);
        EXPECT_TRUE(again.identity.sameFolder(child.identity)) << e.name;
        EXPECT_TRUE(byPath.identity.sameFolder(child.identity)) << e.name;
        EXPECT_EQ(child.identity.volume, top.identity.volume);
        EXPECT_EQ(child.identity.mount, top.identity.mount);
        for (const FolderIdentity& other : seen)
            EXPECT_FALSE(other.sameFolder(child.identity)) << e.name << ": a folder of its own";
        seen.push_back(child.identity);
        for (const OpenResult& r : {child, again, byPath}) platform.closeFolder(r.handle);
    }
    EXPECT_EQ(seen.size(), std::size(names) + 1);
    platform.closeFolder(top.handle);
}

TEST_F(PlatformTest, NamesWithUnpairedSurrogatesOpenByTheirListedName) {
    const std::wstring lone = std::wstring(L"lone") + static_cast<wchar_t>(0xD800) + L"x";
    const std::wstring low(1, static_cast<wchar_t>(0xDC00));
    if (!CreateDirectoryW(longPath(root + L"\\" + lone).c_str(), nullptr))
        GTEST_SKIP() << "this system makes no names with unpaired surrogates (error "
                     << GetLastError() << ")";
    ASSERT_TRUE(CreateDirectoryW(longPath(root + L"\\" + low).c_str(), nullptr));
    makeFile(root + L"\\" + lone + L"\\a.txt", 1);
    makeFile(root + L"\\" + low + L"\\b.txt", 2);
    const OpenResult top = platform.openRoot(toUtf8(root));
    ASSERT_EQ(top.status, OpenStatus::Opened);
    const auto entries = listAll(platform, top.handle);
    ASSERT_EQ(entries.size(), 2u);
    for (const Entry& e : entries) {
        EXPECT_TRUE(toWide(e.name) == lone || toWide(e.name) == low);
        const OpenResult child = platform.openChild(top.handle, e.name);
        ASSERT_EQ(child.status, OpenStatus::Opened);
        EXPECT_EQ(listAll(platform, child.handle).size(), 1u);
        platform.closeFolder(child.handle);
    }
    platform.closeFolder(top.handle);
}

TEST_F(PlatformTest, PathsFarBeyondMaxPath) {
    // Twelve levels of 100 characters: a path of more than 1,200.
    std::vector<std::string> chain;
    std::wstring bottom = root;
    for (int level = 0; level < 12; ++level) {
        const std::wstring name = std::wstring(100, static_cast<wchar_t>(L'a' + level));
        chain.push_back(toUtf8(name));
        bottom += L"\\" + name;
    }
    makeFile(bottom + L"\\deep file.bin", 6ull << 30);
    makeFolder(bottom + L"\\deeper");
    ASSERT_GT(bottom.size(), 1200u);

    OpenResult at = platform.openRoot(toUtf8(root));
    for (const std::string& name : chain) {
        ASSERT_EQ(at.status, OpenStatus::Opened);
        const auto entries = listAll(platform, at.handle);
        ASSERT_EQ(entries.size(), 1u);
        EXPECT_EQ(entries[0].name, name);
        const OpenResult next = platform.openChild(at.handle, name);
        platform.closeFolder(at.handle);
        at = next;
    }
    ASSERT_EQ(at.status, OpenStatus::Opened) << "the bottom, opened level by level";
    const auto entries = byName(listAll(platform, at.handle));
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries.at("deep file.bin").size, 6ull << 30);
    const OpenResult deeper = platform.openChild(at.handle, "deeper");
    EXPECT_EQ(deeper.status, OpenStatus::Opened);
    platform.closeFolder(deeper.handle);

    // A root the user names may be that long as well.
    const OpenResult named = platform.openRoot(toUtf8(bottom) + "\\");
    ASSERT_EQ(named.status, OpenStatus::Opened);
    EXPECT_TRUE(named.identity.sameFolder(at.identity));
    platform.closeFolder(named.handle);
    platform.closeFolder(at.handle);
}

TEST_F(PlatformTest, WhatIsNoSubfolderDoesNotOpen) {
    makeFile(root + L"\\file.txt", 3);
    makeFolder(root + L"\\sub\\inner");
    const OpenResult top = platform.openRoot(toUtf8(root));
    ASSERT_EQ(top.status, OpenStatus::Opened);
    EXPECT_EQ(platform.openChild(top.handle, "file.txt").status, OpenStatus::NotAFolder);
    const OpenResult missing = platform.openChild(top.handle, "missing");
    EXPECT_EQ(missing.status, OpenStatus::Unreadable);
    EXPECT_EQ(missing.error, ERROR_FILE_NOT_FOUND);
    // Only one name at a time: nothing that would reach the folder itself, its parent, or a
    // folder further down.
    for (const char* name : {"", ".", "..", "sub\\inner", "sub/inner", "sub:stream"})
        EXPECT_EQ(platform.openChild(top.handle, name).status, OpenStatus::NotAFolder) << name;
    platform.closeFolder(top.handle);

    EXPECT_EQ(platform.openRoot(toUtf8(root) + "\\file.txt").status, OpenStatus::NotAFolder);
    const OpenResult missingRoot = platform.openRoot(toUtf8(root) + "\\missing\\");
    EXPECT_EQ(missingRoot.status, OpenStatus::Unreadable);
    EXPECT_TRUE(missingRoot.error == ERROR_FILE_NOT_FOUND ||
                missingRoot.error == ERROR_PATH_NOT_FOUND)
        << missingRoot.error;
    // A relative root is taken from the current folder, like any path the user types.
    wchar_t current[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, current);
    SetCurrentDirectoryW(root.c_str());
    const OpenResult relative = platform.openRoot("sub");
    SetCurrentDirectoryW(current);
    EXPECT_EQ(relative.status, OpenStatus::Opened);
    platform.closeFolder(relative.handle);
}

TEST_F(PlatformTest, LinksAreListedAsLinksAndNeverOpened) {
    makeFile(base + L"\\outside\\secret.txt", 7);
    makeFolder(root + L"\\plain");
    if (!makeFolderLink(root + L"\\link", base + L"\\outside"))
        GTEST_SKIP() << "no folder link can be made here";
    const OpenResult top = platform.openRoot(toUtf8(root));
    ASSERT_EQ(top.status, OpenStatus::Opened);
    const auto entries = byName(listAll(platform, top.handle));
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_TRUE(entries.at("link").link)
        << "attributes " << entries.at("link").attributes << " tag " << entries.at("link").tag;
    EXPECT_NE(entries.at("link").attributes & kAttrDirectory, 0u);
    EXPECT_FALSE(entries.at("plain").link);
    EXPECT_EQ(platform.openChild(top.handle, "link").status, OpenStatus::NotAFolder);
    EXPECT_EQ(platform.openChild(top.handle, "LINK").status, OpenStatus::NotAFolder);
    platform.closeFolder(top.handle);

    // A root the user names through a link is followed: the user chose it.
    const OpenResult named = platform.openRoot(toUtf8(root) + "\\link\\");
    ASSERT_EQ(named.status, OpenStatus::Opened);
    EXPECT_EQ(listAll(platform, named.handle).at(0).name, "secret.txt");
    platform.closeFolder(named.handle);
}

TEST_F(PlatformTest, AFolderSwappedForALinkAfterListingIsNotEntered) {
    makeFile(root + L"\\victim\\mine.txt", 1);
    makeFile(base + L"\\outside\\secret.txt", 7);
    const OpenResult top = platform.openRoot(toUtf8(root));
    ASSERT_EQ(top.status, OpenStatus::Opened);
    const auto before = listAll(platform, top.handle);
    ASSERT_EQ(before.size(), 1u);
    ASSERT_FALSE(before[0].link);

    // Between the listing and the opening, the folder is moved away and a link takes its name.
    ASSERT_TRUE(MoveFileW((root + L"\\victim").c_str(), (root + L"\\moved").c_str()));
    if (!makeFolderLink(root + L"\\victim", base + L"\\outside")) {
        platform.closeFolder(top.handle);
        GTEST_SKIP() << "no folder link can be made here";
    }
    const OpenResult swapped = platform.openChild(top.handle, "victim");
    EXPECT_EQ(swapped.status, OpenStatus::NotAFolder) << "the link's target is never opened";
    if (swapped.status == OpenStatus::Opened) {
        EXPECT_EQ(listAll(platform, swapped.handle).at(0).name, "mine.txt");
        platform.closeFolder(swapped.handle);
    }
    // The folder that was moved is still a folder, under its new name.
    const OpenResult moved = platform.openChild(top.handle, "moved");
    EXPECT_EQ(moved.status, OpenStatus::Opened);
    platform.closeFolder(moved.handle);
    platform.closeFolder(top.handle);
}

// A folder that the walk opened, shared by the subfolders still to be opened from it.
struct Open {
    Open(Platform& p, FolderHandle h) : platform(p), handle(h) {}
    Open(const Open&) = delete;
    Open& operator=(const Open&) = delete;
    ~Open() { platform.closeFolder(handle); }
    Platform& platform;
    FolderHandle handle;
};

// Walks the tree below `root` with `threads` threads: each takes the next folder to open (from
// whichever parent listed it), opens it relative to that parent, and lists it. The result is
// one "path size" line per file, sorted.
std::vector<std::string> walk(Platform& platform, const std::string& root, int threads) {
    struct Job {
        std::shared_ptr<Open> parent;
        std::string name;
        std::string path;
    };
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<Job> jobs{{nullptr, root, root}};
    int busy = 0;
    std::vector<std::string> lines;
    const auto work = [&] {
        Listing listing;
        std::unique_lock lock(mutex);
        for (;;) {
            changed.wait(lock, [&] { return !jobs.empty() || busy == 0; });
            if (jobs.empty()) return;
            Job job = std::move(jobs.front());
            jobs.pop_front();
            ++busy;
            lock.unlock();
            const OpenResult r = job.parent ? platform.openChild(job.parent->handle, job.name)
                                            : platform.openRoot(job.path);
            job.parent.reset();
            std::vector<Job> found;
            std::vector<std::string> files;
            if (r.status == OpenStatus::Opened) {
                auto self = std::make_shared<Open>(platform, r.handle);
                ListStatus status;
                do {
                    status = platform.listFolder(r.handle, listing);
                    for (std::size_t i = 0; i < listing.size(); ++i) {
                        const ListedEntry& e = listing[i];
                        const std::string name(listing.name(e));
                        if ((e.attributes & kAttrDirectory) != 0 && !isLink(e))
                            found.push_back({self, name, job.path + "\\" + name});
                        else
                            files.push_back(job.path + "\\" + name + " " + std::to_string(e.size));
                    }
                } while (status == ListStatus::More);
            } else {
                files.push_back(job.path + " could not be opened");
            }
            lock.lock();
            for (Job& j : found) jobs.push_back(std::move(j));
            lines.insert(lines.end(), files.begin(), files.end());
            --busy;
            changed.notify_all();
        }
    };
    std::vector<std::thread> pool;
    for (int i = 1; i < threads; ++i) pool.emplace_back(work);
    work();
    for (std::thread& t : pool) t.join();
    std::sort(lines.begin(), lines.end());
    return lines;
}

TEST_F(PlatformTest, SeveralThreadsListingAndOpeningAtOnceSeeWhatOneSees) {
    // Three levels of four folders, twenty files in each; names of many lengths, so that a name
    // one thread converts cannot pass for one of another's.
    std::vector<std::wstring> level{root};
    std::size_t files = 0;
    for (int depth = 0; depth < 3; ++depth) {
        std::vector<std::wstring> next;
        for (const std::wstring& folder : level)
            for (int i = 0; i < 4; ++i) {
                const std::wstring sub = folder + L"\\" +
                                         std::wstring(static_cast<std::size_t>(1 + i * 7), L'd') +
                                         std::to_wstring(depth) + L"ü";
                for (int f = 0; f < 20; ++f, ++files)
                    makeFile(sub + L"\\f" + std::to_wstring(files) +
                                 std::wstring(static_cast<std::size_t>(f * 5), L'x') + L"中.txt",
                             files);
                next.push_back(sub);
            }
        level = std::move(next);
    }
    const std::vector<std::string> one = walk(platform, toUtf8(root), 1);
    ASSERT_EQ(one.size(), files);
    for (int run = 0; run < 4; ++run) EXPECT_EQ(walk(platform, toUtf8(root), 4), one);
}

// quarvex-launch-probe.exe beside this program: it tells that it ran, and how it was shown.
std::wstring launchProbe() {
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    const std::wstring path = self;
    return path.substr(0, path.rfind(L'\\') + 1) + L"quarvex-launch-probe.exe";
}

TEST_F(PlatformTest, OpenedProgramsGetTheShowModeAsked) {
    countHandles = false;
    const std::wstring probe = launchProbe();
    const std::wstring target = root + L"\\启动 probe.exe";
    ASSERT_TRUE(CopyFileW(probe.c_str(), target.c_str(), FALSE));

    for (const int mode : {kShowNoActivate, kShowMinimized}) {
        DeleteFileW((target + L".ran").c_str());
        ASSERT_TRUE(platform.open(toUtf8(target), mode));
        for (int i = 0; i < 200 && !fileExists(target + L".ran"); ++i) Sleep(50);
        ASSERT_TRUE(fileExists(target + L".ran")) << "the probe did not run";
        EXPECT_EQ(readFile(target + L".show"), std::to_string(mode));
    }
    EXPECT_FALSE(platform.open(toUtf8(root) + "\\no such file.txt", kShowNoActivate));
    // The probe may still be exiting; its files go with the folder once it has.
    for (int i = 0; i < 100 && !DeleteFileW(target.c_str()); ++i) Sleep(50);
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

    // A drive's root opens as itself.
    const OpenResult drive = platform.openRoot("C:\\");
    ASSERT_EQ(drive.status, OpenStatus::Opened);
    EXPECT_FALSE(listAll(platform, drive.handle).empty());
    platform.closeFolder(drive.handle);
}

// A thread reserves its stack in the address space: a 32-bit process refuses threads while the
// heap still has room for a search, rather than running out of both.
TEST(Win32Threads, StartOnlyWhileTheAddressSpaceLeavesRoomForTheHeap) {
    if (sizeof(void*) == 8) GTEST_SKIP() << "a 64-bit address space carries any count of threads";
    Win32Platform platform;
    const HANDLE go = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(go, nullptr);
    std::vector<std::thread> threads;
    for (int i = 0; i < 4096; ++i) {
        std::thread thread;
        if (!platform.startThread(thread, [go] { WaitForSingleObject(go, INFINITE); })) break;
        threads.push_back(std::move(thread));
    }
    EXPECT_GE(threads.size(), 64u);
    EXPECT_LT(threads.size(), 4096u) << "no thread was refused";
    std::vector<std::unique_ptr<char[]>> heap;
    try {
        for (int i = 0; i < 64; ++i) heap.push_back(std::make_unique<char[]>(std::size_t{8} << 20));
    } catch (const std::bad_alloc&) {
    }
    EXPECT_EQ(heap.size(), 64u) << "512 MB of heap beside " << threads.size() << " threads";
    heap.clear();
    SetEvent(go);
    for (std::thread& t : threads) t.join();
    CloseHandle(go);
    // Those that ended leave room for others.
    std::thread again;
    ASSERT_TRUE(platform.startThread(again, [] {}));
    again.join();
}

// A stand-in for the NT calls over one made-up folder, for what Wine cannot make: folders with
// reparse tags (cloud files, mount points, links Windows makes), exhausted handles, failures. It
// counts the handles it hands out and takes back, so a leak or a second close shows.
class FakeNt {
  public:
    struct Item {
        std::wstring name;
        ULONG attributes = FILE_ATTRIBUTE_DIRECTORY;
        ULONG tag = 0;  // on the handle, and in the listing's EaSize
        std::uint64_t id = 0;
        NTSTATUS openStatus = nt::kSuccess;
        // Opened without FILE_OPEN_REPARSE_POINT: the status, and the ID of what is opened then.
        NTSTATUS throughStatus = nt::kSuccess;
        std::uint64_t throughId = 0;  // 0: the same
        ULONG eaSize = 0;             // what the listing shows for an entry without a tag
        // What queries about an opened handle give: on the name itself, and through the filter.
        NTSTATUS infoStatus = nt::kSuccess;
        NTSTATUS throughInfoStatus = nt::kSuccess;
        bool unlisted = false;  // opens, but its parent's listing has no entry of that name
    };
    struct Create {
        HANDLE root;
        std::wstring name;
        ULONG options;
        HANDLE result;
    };

    explicit FakeNt(std::vector<Item> items) : items_(std::move(items)) {
        current_ = this;
        calls.createFile = &createFile;
        calls.queryDirectoryFile = &queryDirectoryFile;
        calls.queryInformationFile = &queryInformationFile;
        calls.close = &close;
        calls.statusToDosError = NtCalls::system().statusToDosError;
    }
    ~FakeNt() {
        EXPECT_EQ(open_.size(), 0u) << "every handle handed out came back";
        EXPECT_EQ(closedUnknown, 0) << "no handle was closed twice";
        current_ = nullptr;
    }

    NtCalls calls;
    std::vector<Create> creates;
    int lists = 0;
    // Under a stand-in WOW64: opens and listings made with redirection on, other calls made with
    // it off.
    int redirectedCalls = 0;
    int callsWhileOff = 0;
    int closed = 0;
    int closedUnknown = 0;  // closes of handles it did not hand out or already took back
    NTSTATUS listStatus = nt::kSuccess;  // what the first listing call gives
    bool idClass = true;                 // whether listings with file IDs are answered

    bool isOpen(HANDLE h) const { return open_.count(h) != 0; }
    std::size_t openCount() const { return open_.size(); }

  private:
    struct Handle {
        const Item* item;
        bool through;
        int listed = 0;
    };

    static NTSTATUS NTAPI createFile(PHANDLE handle, ACCESS_MASK, POBJECT_ATTRIBUTES attributes,
                                     PIO_STATUS_BLOCK, PLARGE_INTEGER, ULONG, ULONG, ULONG,
                                     ULONG options, PVOID, ULONG) {
        FakeNt& self = *current_;
        self.redirectedCalls += self.calls.underWow64() && FakeWow64::offNow != 1;
        const std::wstring name(attributes->ObjectName->Buffer,
                                attributes->ObjectName->Length / sizeof(wchar_t));
        self.creates.push_back({attributes->RootDirectory, name, options, nullptr});
        // An empty name opens the folder itself.
        static const Item itself{L"."};
        if (name.empty()) {
            *handle = reinterpret_cast<HANDLE>(self.next_ += 4);
            self.open_[*handle] = {&itself, false};
            self.creates.back().result = *handle;
            return nt::kSuccess;
        }
        for (const Item& item : self.items_) {
            if (item.name != name) continue;
            const bool through = (options & nt::kOpenReparsePoint) == 0;
            const NTSTATUS status = through ? item.throughStatus : item.openStatus;
            if (status != nt::kSuccess) return status;
            *handle = reinterpret_cast<HANDLE>(self.next_ += 4);
            self.open_[*handle] = {&item, through};
            self.creates.back().result = *handle;
            return nt::kSuccess;
        }
        return nt::kObjectNameNotFound;
    }

    static NTSTATUS NTAPI queryInformationFile(HANDLE h, PIO_STATUS_BLOCK, PVOID buffer, ULONG,
                                               FILE_INFORMATION_CLASS infoClass) {
        const Handle& handle = current_->open_.at(h);
        current_->callsWhileOff += FakeWow64::offNow != 0;
        const NTSTATUS status =
            handle.through ? handle.item->throughInfoStatus : handle.item->infoStatus;
        if (status != nt::kSuccess) return status;
        if (infoClass == nt::kFileAttributeTagInformation) {
            const nt::AttributeTagInformation tag{handle.item->attributes, handle.item->tag};
            std::memcpy(buffer, &tag, sizeof tag);
        } else if (infoClass == nt::kFileInternalInformation) {
            const std::uint64_t id = handle.through && handle.item->throughId != 0
                                         ? handle.item->throughId
                                         : handle.item->id;
            std::memcpy(buffer, &id, sizeof id);
        } else {
            return static_cast<NTSTATUS>(0xC0000003);  // STATUS_INVALID_INFO_CLASS
        }
        return nt::kSuccess;
    }

    // Lists every item, with "." and "..", in one read; or, given a name, the item of that name.
    static NTSTATUS NTAPI queryDirectoryFile(HANDLE h, HANDLE, PVOID, PVOID, PIO_STATUS_BLOCK io,
                                             PVOID buffer, ULONG length,
                                             FILE_INFORMATION_CLASS infoClass, BOOLEAN,
                                             PUNICODE_STRING mask, BOOLEAN) {
        FakeNt& self = *current_;
        ++self.lists;
        self.redirectedCalls += self.calls.underWow64() && FakeWow64::offNow != 1;
        if (!self.idClass && infoClass == nt::kFileIdFullDirectoryInformation)
            return nt::kInvalidInfoClass;
        if (self.listed_[h]++ > 0) return nt::kNoMoreFiles;
        if (self.listStatus != nt::kSuccess) return self.listStatus;
        std::vector<Item> all;
        if (mask == nullptr) all = {{L"."}, {L".."}};
        for (const Item& item : self.items_)
            if (!item.unlisted &&
                (mask == nullptr || item.name == std::wstring_view(mask->Buffer, mask->Length / 2)))
                all.push_back(item);
        if (all.empty()) return nt::kNoSuchFile;
        // The ID class holds the file ID before the name.
        const bool withId = infoClass == nt::kFileIdFullDirectoryInformation;
        const std::size_t nameAt =
            withId ? nt::kIdFullDirIdOffset + sizeof(std::uint64_t) : nt::kFullDirNameOffset;
        auto* out = static_cast<unsigned char*>(buffer);
        std::size_t at = 0, previous = 0;
        for (const Item& item : all) {
            nt::FullDirInformation e{};
            e.fileAttributes = item.attributes;
            e.fileNameLength = static_cast<ULONG>(item.name.size() * sizeof(wchar_t));
            e.eaSize = (item.attributes & FILE_ATTRIBUTE_REPARSE_POINT) ? item.tag : item.eaSize;
            e.endOfFile.QuadPart = static_cast<LONGLONG>(item.id * 10);
            const std::size_t size = (nameAt + e.fileNameLength + 7) & ~7u;
            if (at + size > length) break;
            if (at != 0) {
                const auto offset = static_cast<ULONG>(at - previous);
                std::memcpy(out + previous, &offset, sizeof offset);
            }
            std::memset(out + at, 0, nameAt);
            std::memcpy(out + at, &e, nt::kFullDirNameOffset);
            if (withId) std::memcpy(out + at + nt::kIdFullDirIdOffset, &item.id, sizeof item.id);
            std::memcpy(out + at + nameAt, item.name.data(), e.fileNameLength);
            previous = at;
            at += size;
        }
        io->Information = at;
        return nt::kSuccess;
    }

    static NTSTATUS NTAPI close(HANDLE h) {
        FakeNt& self = *current_;
        self.callsWhileOff += FakeWow64::offNow != 0;
        self.listed_.erase(h);
        if (self.open_.erase(h) == 0) {
            ++self.closedUnknown;
            return static_cast<NTSTATUS>(0xC0000008);  // STATUS_INVALID_HANDLE
        }
        ++self.closed;
        return nt::kSuccess;
    }

    static inline FakeNt* current_ = nullptr;
    std::vector<Item> items_;
    std::map<HANDLE, Handle> open_;
    std::map<HANDLE, int> listed_;
    std::uintptr_t next_ = 0x7000;
};

class ReparseTest : public PlatformTest {};

TEST_F(ReparseTest, LinkTagsOnTheOpenedFolderMakeItNoSubfolder) {
    constexpr ULONG kFolderReparse = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT;
    FakeNt fake({
        {L"symlink", kFolderReparse, kReparseTagSymlink, 1},
        {L"junction", kFolderReparse, kReparseTagMountPoint, 2},
        {L"other surrogate", kFolderReparse, 0xA0001234, 3},  // any tag with the surrogate bit
        {L"no tag", kFolderReparse, 0, 4},
        {L"file", FILE_ATTRIBUTE_ARCHIVE, 0, 5},
        {L"dedup", kFolderReparse, 0x80000013, 6},  // not a name surrogate: a folder
    });
    Win32Platform faked(fake.calls);
    const OpenResult top = faked.openRoot(toUtf8(root));
    ASSERT_EQ(top.status, OpenStatus::Opened);
    for (const char* name : {"symlink", "junction", "other surrogate", "no tag", "file"})
        EXPECT_EQ(faked.openChild(top.handle, name).status, OpenStatus::NotAFolder) << name;
    EXPECT_EQ(fake.openCount(), 0u) << "each of them is closed again";

    const OpenResult dedup = faked.openChild(top.handle, "dedup");
    ASSERT_EQ(dedup.status, OpenStatus::Opened);
    EXPECT_EQ(dedup.identity.file, 6u);
    EXPECT_EQ(dedup.identity.volume, top.identity.volume);
    faked.closeFolder(dedup.handle);

    // Every one was opened by its single name relative to the root, first without following it.
    ASSERT_FALSE(fake.creates.empty());
    std::set<std::wstring> seen;
    for (const FakeNt::Create& c : fake.creates) {
        EXPECT_EQ(c.root, fake.creates[0].root);
        EXPECT_NE(c.options & nt::kDirectoryFile, 0u) << toUtf8(c.name);
        if (seen.insert(c.name).second) {
            EXPECT_NE(c.options & nt::kOpenReparsePoint, 0u) << toUtf8(c.name);
        }
    }
    EXPECT_EQ(seen.size(), 6u);
    faked.closeFolder(top.handle);
    EXPECT_EQ(fake.openCount(), 0u);
}

TEST_F(ReparseTest, ACloudFolderIsListedThroughItsFilterWhileItIsTheSameFolder) {
    constexpr ULONG kFolderReparse = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT;
    constexpr ULONG kCloud = 0x9000701A;
    FakeNt fake({
        {L"OneDrive", kFolderReparse, kCloud, 10},
        // Swapped for another folder between the two opens.
        {L"swapped", kFolderReparse, kCloud, 11, nt::kSuccess, nt::kSuccess, 99},
        // Its filter is not there: the folder is listed as it is.
        {L"no filter", kFolderReparse, kCloud, 12, nt::kSuccess,
         static_cast<NTSTATUS>(0xC0000279)},  // STATUS_IO_REPARSE_TAG_NOT_HANDLED
    });
    Win32Platform faked(fake.calls);
    const OpenResult top = faked.openRoot(toUtf8(root));
    ASSERT_EQ(top.status, OpenStatus::Opened);

    const auto entries = byName(listAll(faked, top.handle));
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_FALSE(entries.at("OneDrive").link);
    EXPECT_EQ(entries.at("OneDrive").tag, kCloud);

    fake.creates.clear();
    const OpenResult cloud = faked.openChild(top.handle, "OneDrive");
    ASSERT_EQ(cloud.status, OpenStatus::Opened);
    EXPECT_EQ(cloud.identity.file, 10u);
    ASSERT_EQ(fake.creates.size(), 2u);
    EXPECT_FALSE(fake.isOpen(fake.creates[0].result)) << "the reparse point's own handle is closed";
    EXPECT_EQ(fake.creates[1].options & nt::kOpenReparsePoint, 0u);
    EXPECT_TRUE(fake.isOpen(fake.creates[1].result)) << "the handle through the filter is kept";
    faked.closeFolder(cloud.handle);

    EXPECT_EQ(faked.openChild(top.handle, "swapped").status, OpenStatus::NotAFolder);
    const OpenResult unfiltered = faked.openChild(top.handle, "no filter");
    EXPECT_EQ(unfiltered.status, OpenStatus::Opened);
    EXPECT_EQ(unfiltered.identity.file, 12u);
    faked.closeFolder(unfiltered.handle);
    faked.closeFolder(top.handle);
    EXPECT_EQ(fake.openCount(), 0u);
}

TEST_F(ReparseTest, FailuresMapToWhatTheWalkDoesNextWithTheSystemsReason) {
    FakeNt fake({
        {L"denied", FILE_ATTRIBUTE_DIRECTORY, 0, 1, nt::kAccessDenied},
        {L"resources", FILE_ATTRIBUTE_DIRECTORY, 0, 2, nt::kInsufficientResources},
        {L"too many", FILE_ATTRIBUTE_DIRECTORY, 0, 3, nt::kTooManyOpenedFiles},
        {L"a file", FILE_ATTRIBUTE_ARCHIVE, 0, 4, nt::kNotADirectory},
        // A plain entry whose EaSize holds the size of its extended attributes, not a tag.
        {L"with eas", FILE_ATTRIBUTE_DIRECTORY, 0, 5, nt::kSuccess, nt::kSuccess, 0, 0x40},
        {.name = L"unaskable", .id = 6, .infoStatus = nt::kAccessDenied},
    });
    Win32Platform faked(fake.calls);
    const OpenResult top = faked.openRoot(toUtf8(root));
    ASSERT_EQ(top.status, OpenStatus::Opened);
    EXPECT_EQ(faked.openChild(top.handle, "resources").status, OpenStatus::OutOfHandles);
    EXPECT_EQ(faked.openChild(top.handle, "too many").status, OpenStatus::OutOfHandles);
    EXPECT_EQ(faked.openChild(top.handle, "a file").status, OpenStatus::NotAFolder);
    EXPECT_EQ(byName(listAll(faked, top.handle)).at("with eas").tag, 0u);
    // Denied as it opens, or once open when asked what it is; or gone: each with its reason.
    for (const auto& [name, error] : {std::pair{"denied", ERROR_ACCESS_DENIED},
                                      {"unaskable", ERROR_ACCESS_DENIED},
                                      {"vanished", ERROR_FILE_NOT_FOUND}}) {
        const OpenResult r = faked.openChild(top.handle, name);
        EXPECT_EQ(r.status, OpenStatus::Unreadable) << name;
        EXPECT_EQ(r.error, error) << name;
    }
    // Windows words it "Access is denied.", Wine "Access denied."; either way one line, no period.
    const std::string denied = faked.errorText(ERROR_ACCESS_DENIED);
    EXPECT_TRUE(denied == "Access is denied" || denied == "Access denied") << denied;

    // A listing that fails after the folder was opened (a second handle while the first is
    // open: the fake cannot see kernel32 close a root and tell a reused value from it).
    fake.listStatus = static_cast<NTSTATUS>(0xC0000185);  // STATUS_IO_DEVICE_ERROR
    const OpenResult again = faked.openRoot(toUtf8(root));
    Listing listing;
    EXPECT_EQ(faked.listFolder(again.handle, listing), ListStatus::Failed);
    EXPECT_EQ(listing.error(), ERROR_IO_DEVICE);
    const std::string text = faked.errorText(listing.error());
    EXPECT_TRUE(!text.empty() && text.rfind("error ", 0) != 0 &&
                text.find_first_of("\r\n") == std::string::npos && text.back() != '.')
        << text;
    faked.closeFolder(again.handle);
    faked.closeFolder(top.handle);
    // A code the system has no words for still says which it was.
    EXPECT_EQ(faked.errorText(0x2FFFFFFF), "error 805306367");
}

TEST_F(ReparseTest, ListingsGiveFileIdsWhereTheFileSystemHasThem) {
    FakeNt fake({{L"a", FILE_ATTRIBUTE_DIRECTORY, 0, 7}, {L"b.txt", FILE_ATTRIBUTE_ARCHIVE, 0, 8}});
    Win32Platform faked(fake.calls);
    // Both open at once: the fake cannot tell a reused kernel32 handle value from the first.
    const OpenResult withIds = faked.openRoot(toUtf8(root));
    const OpenResult without = faked.openRoot(toUtf8(root));
    for (const auto& [top, ids] : {std::pair{withIds, true}, {without, false}}) {
        fake.idClass = ids;
        ASSERT_EQ(top.status, OpenStatus::Opened);
        const auto entries = byName(listAll(faked, top.handle));
        ASSERT_EQ(entries.size(), 2u) << ids;
        EXPECT_EQ(entries.at("a").file, ids ? 7u : 0u);
        EXPECT_EQ(entries.at("b.txt").file, ids ? 8u : 0u);
        EXPECT_EQ(entries.at("b.txt").size, 80u) << "the rest of each entry as before";
        faked.closeFolder(top.handle);
    }
}

TEST_F(ReparseTest, EveryWayOutOfAnOpenClosesWhatItOpenedOnce) {
    constexpr ULONG kFolderReparse = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT;
    constexpr ULONG kCloud = 0x9000701A;
    FakeNt fake({
        {.name = L"unaskable", .id = 1, .infoStatus = nt::kAccessDenied},
        {.name = L"link", .attributes = kFolderReparse, .tag = kReparseTagSymlink, .id = 2},
        {.name = L"swapped", .attributes = kFolderReparse, .tag = kCloud, .id = 3, .throughId = 9},
        {.name = L"filter unaskable",
         .attributes = kFolderReparse,
         .tag = kCloud,
         .id = 4,
         .throughInfoStatus = nt::kAccessDenied},
        {.name = L"unlisted", .id = 5, .unlisted = true},
        {.name = L"cloud", .attributes = kFolderReparse, .tag = kCloud, .id = 6},
        {.name = L"plain", .id = 7},
    });
    // As under Wine: each opened folder is checked against its parent's listing, through one
    // more handle.
    fake.calls.followsLinksOnOpen = true;
    Win32Platform faked(fake.calls);
    const OpenResult top = faked.openRoot(toUtf8(root));
    ASSERT_EQ(top.status, OpenStatus::Opened);
    for (const auto& [name, status, handles] : {std::tuple{"unaskable", OpenStatus::Unreadable, 1},
                                                {"link", OpenStatus::NotAFolder, 1},
                                                {"swapped", OpenStatus::NotAFolder, 2},
                                                {"filter unaskable", OpenStatus::NotAFolder, 2},
                                                {"unlisted", OpenStatus::NotAFolder, 2},
                                                {"cloud", OpenStatus::Opened, 3},
                                                {"plain", OpenStatus::Opened, 2}}) {
        fake.creates.clear();
        const int closedBefore = fake.closed;
        const OpenResult r = faked.openChild(top.handle, name);
        EXPECT_EQ(r.status, status) << name;
        EXPECT_EQ(fake.creates.size(), static_cast<std::size_t>(handles)) << name;
        EXPECT_EQ(fake.openCount(), status == OpenStatus::Opened ? 1u : 0u)
            << name << ": only an opened folder's own handle stays open";
        faked.closeFolder(r.handle);
        EXPECT_EQ(fake.closed - closedBefore, handles) << name << ": each handle closed";
        EXPECT_EQ(fake.closedUnknown, 0) << name << ": and closed once";
    }
    faked.closeFolder(top.handle);
}

// A 32-bit process under WOW64 sees SysWOW64 where System32 is unless redirection is off; but
// while it is off, a DLL loaded meanwhile may be the wrong one. So it is off around each open and
// listing, and around nothing else.
TEST_F(ReparseTest, UnderWow64EachOpenAndListingAloneRunsWithRedirectionOff) {
    FakeNt fake(
        {{L"sub", FILE_ATTRIBUTE_DIRECTORY, 0, 1}, {L"f.txt", FILE_ATTRIBUTE_ARCHIVE, 0, 2}});
    // As under Wine, an opened folder is checked against its parent's listing too.
    fake.calls.followsLinksOnOpen = true;
    FakeWow64::install(fake.calls);
    Win32Platform faked(fake.calls);
    const OpenResult top = faked.openRoot(toUtf8(root));
    ASSERT_EQ(top.status, OpenStatus::Opened);
    EXPECT_EQ(FakeWow64::switchedOff, 1) << "around the root's CreateFileW";
    const OpenResult sub = faked.openChild(top.handle, "sub");
    ASSERT_EQ(sub.status, OpenStatus::Opened);
    EXPECT_EQ(listAll(faked, top.handle).size(), 2u);
    faked.closeFolder(sub.handle);
    faked.closeFolder(top.handle);
    EXPECT_GE(fake.creates.size(), 2u);
    EXPECT_GE(fake.lists, 2);
    EXPECT_EQ(fake.redirectedCalls, 0) << "an open or listing with redirection on";
    EXPECT_EQ(fake.callsWhileOff, 0) << "another call with redirection off";
    EXPECT_EQ(FakeWow64::switchedOff, 1 + static_cast<int>(fake.creates.size()) + fake.lists)
        << "off around each call of its own";
    EXPECT_EQ(FakeWow64::offNow, 0);
    EXPECT_EQ(FakeWow64::badReverts, 0) << "each revert gives back what its turning off gave";
}

TEST(Wow64, OnlyPathsInSystem32HaveASysnativeAlias) {
    const struct {
        const char* path;
        const char* windows;
        const char* alias;
    } cases[] = {
        {"C:\\Windows\\System32\\drivers\\etc\\hosts", "C:\\Windows",
         "C:\\Windows\\Sysnative\\drivers\\etc\\hosts"},
        // Names compare as Windows compares them; the rest of the path stays as it was typed.
        {"c:\\WINDOWS\\system32\\x.dll", "C:\\Windows", "c:\\WINDOWS\\Sysnative\\x.dll"},
        {"D:\\Ärger\\sYsTeM32\\a b.txt", "d:\\äRGER\\", "D:\\Ärger\\Sysnative\\a b.txt"},
        {"C:/Windows/System32/x.dll", "C:\\Windows", "C:/Windows/Sysnative/x.dll"},
        {"\\\\?\\C:\\Windows\\System32\\x.dll", "C:\\Windows",
         "\\\\?\\C:\\Windows\\Sysnative\\x.dll"},
        {"C:\\Windows\\System32", "C:\\Windows", "C:\\Windows\\Sysnative"},
        // SysWOW64 is itself; any other folder is not redirected.
        {"C:\\Windows\\SysWOW64\\x.dll", "C:\\Windows", ""},
        {"C:\\Windows\\System32x\\x.dll", "C:\\Windows", ""},
        {"C:\\Windows2\\System32\\x.dll", "C:\\Windows", ""},
        {"D:\\Windows\\System32\\x.dll", "C:\\Windows", ""},
        {"C:\\Windows", "C:\\Windows", ""},
        {"C:\\System32\\x.dll", "", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(sysnativeAlias(c.path, c.windows), c.alias) << c.path;
}

// Under WOW64, opening a file found in System32 by that name would start SysWOW64's file of the
// name (or none): it is opened through Sysnative. Here a Windows folder of the test's own holds a
// program at both paths, and the one that runs tells which path the shell was given.
TEST_F(PlatformTest, UnderWow64AFileInSystem32IsOpenedThroughSysnative) {
    countHandles = false;
    const std::wstring probe = launchProbe();
    const std::wstring windows = base + L"\\Windows";
    const std::wstring system = windows + L"\\System32\\tools\\probe.exe";
    const std::wstring sysnative = windows + L"\\Sysnative\\tools\\probe.exe";
    for (const std::wstring& copy : {system, sysnative}) {
        makeFolder(copy.substr(0, copy.rfind(L'\\')));
        ASSERT_TRUE(CopyFileW(probe.c_str(), copy.c_str(), FALSE));
    }
    NtCalls wow64 = NtCalls::system();
    FakeWow64::install(wow64, windows);
    const std::string line = toUtf8(base) + "\\WINDOWS\\system32\\tools\\probe.exe";
    for (const auto& [calls, ran, other] :
         {std::tuple<const NtCalls*, std::wstring, std::wstring>{&wow64, sysnative, system},
          {&NtCalls::system(), system, sysnative}}) {
        SCOPED_TRACE(calls == &wow64 ? "under WOW64" : "without WOW64");
        for (const std::wstring& copy : {system, sysnative}) DeleteFileW((copy + L".ran").c_str());
        ASSERT_TRUE(Win32Platform(*calls).open(line, kShowNoActivate));
        for (int i = 0; i < 200 && !fileExists(ran + L".ran"); ++i) Sleep(50);
        EXPECT_TRUE(fileExists(ran + L".ran"));
        EXPECT_FALSE(fileExists(other + L".ran"));
    }
    EXPECT_EQ(FakeWow64::switchedOff, 0) << "the shell runs with redirection on: it loads DLLs";
}

}  // namespace
}  // namespace quarvex::win32
