// Change notification for a tree on Windows: what each record asks of the store, and a real
// ReadDirectoryChangesW over real folders (under Wine, which relays inotify).
#include <gtest/gtest.h>

// windows.h comes first.
// clang-format off
#include <windows.h>
// clang-format on

#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/win32/nt_calls.h"
#include "platform/win32/tree_watch.h"
#include "platform/win32/utf16.h"
#include "platform/win32/win32_platform.h"
#include "win32_test_support.h"

namespace quarvex::win32 {
namespace {

using namespace testing;

// What a sink was told: (key, folderChanged).
using Told = std::set<std::pair<std::uint64_t, bool>>;
constexpr bool E = false;  // entriesChanged
constexpr bool F = true;   // folderChanged

struct Recorder : ChangeSink {
    void entriesChanged(std::uint64_t key) override { told.insert({key, E}); }
    void folderChanged(std::uint64_t key) override { told.insert({key, F}); }
    Told told;
};

TEST(ChangeMap, EachRecordTellsTheFoldersWhoseListingsItTouches) {
    ChangeMap map;
    map.add("", 1);
    map.add("sub", 2);
    map.add("sub\\Deep", 3);
    map.add("Ärger", 4);
    map.add("Program Files", 5);
    map.add("sub\\twice", 6);
    map.add("sub\\TWICE", 7);  // a case-sensitive folder's second name, or a key not yet gone
    map.add("moved", 8);
    map.add("moved again", 8);  // a key watched again under another path leaves the first
    map.add("gone", 9);
    map.remove(9);
    const struct {
        std::wstring path;
        Told told;
    } rows[] = {
        {L"new.txt", {{1, E}}},
        {L"sub\\file.txt", {{2, E}}},
        {L"SUB\\DEEP\\x", {{3, E}}},  // letters without regard to case, as Windows names them
        {L"äRGER\\x", {{4, E}}},
        // A known folder's own path: removed, renamed, replaced, or its attributes changed.
        {L"sub", {{2, F}, {1, E}}},
        {L"sub\\deep", {{3, F}, {2, E}}},
        {L"sub\\twice", {{6, F}, {7, F}, {2, E}}},
        {L"moved\\x", {}},
        {L"moved again\\x", {{8, E}}},
        {L"gone\\x", {}},
        // Below a folder the store does not keep (a dot folder, one forgotten): no listing kept.
        {L".git\\objects\\x", {}},
        {L"sub\\unkept\\x", {}},
        // An 8.3 alias may name a known folder: the nearest known folder above stands for it.
        {L"PROGRA~1\\x", {{1, F}}},
        {L"sub\\DEEP~1\\x", {{2, F}}},
        {L"sub\\LONGNA~1", {{2, F}, {2, E}}},
        {L"sub\\LONGNA~1.TXT", {{2, F}, {2, E}}},
        // Names that only look a little like aliases are ordinary entries.
        {L"sub\\~$report.docx", {{2, E}}},
        {L"sub\\~WRL0001.tmp", {{2, E}}},
        {L"sub\\Long~1.txt", {{2, E}}},
        {L"sub\\NAME~X", {{2, E}}},
        {L"sub\\LONGNAME1~1", {{2, E}}},
    };
    for (const auto& row : rows) {
        std::vector<ToldChange> out;
        map.map(row.path, out);
        Told told;
        for (const ToldChange& c : out) told.insert({c.key, c.folder});
        EXPECT_EQ(told, row.told) << toUtf8(row.path);
    }
}

class TreeWatchTest : public ::testing::Test {
  protected:
    void SetUp() override {
        wchar_t temp[MAX_PATH];
        GetTempPathW(MAX_PATH, temp);
        base = std::wstring(temp) + L"quarvex-watch-" + std::to_wstring(GetCurrentProcessId());
        removeTree(base);
        makeFolder(base);
    }
    void TearDown() override { removeTree(base); }

    // Under Wine as on Windows, though the system's own table does not watch trees under Wine.
    static NtCalls exactCalls() {
        NtCalls calls = NtCalls::system();
        calls.watchesTreesExactly = true;
        return calls;
    }

    // Everything a watch tells up to a file made now in its barrier folder (key kBarrier):
    // records come in the order of the changes, so once that file is told, every change made
    // before it is. Wine relays its records a little after the change, so drains are repeated.
    Told drainThroughBarrier(TreeWatch& watch, const std::wstring& barrier,
                             bool* intact = nullptr) {
        makeFile(barrier + L"\\" + std::to_wstring(++barriers), 0);
        Recorder sink;
        bool allIntact = true;
        for (int i = 0; i < 10000 && sink.told.count({kBarrier, E}) == 0; ++i) {
            if (i > 0) Sleep(1);
            allIntact = watch.drain(sink) && allIntact;
        }
        EXPECT_EQ(sink.told.erase({kBarrier, E}), 1u) << "the barrier's file was never told";
        if (intact) *intact = allIntact;
        return sink.told;
    }

    static constexpr std::uint64_t kBarrier = 99;
    NtCalls exact = exactCalls();
    Win32Platform platform{exact};
    std::wstring base;
    int barriers = 0;
};

TEST_F(TreeWatchTest, EachChangeIsToldByTheNextDrainUnderTheKeyOfItsFolder) {
    enum Key : std::uint64_t { kRoot = 1, kSub, kDeep, kGone };
    const struct {
        const char* what;
        std::function<void(const std::wstring& root)> change;
        Told told;
    } rows[] = {
        {"a file created", [](auto& r) { makeFile(r + L"\\new.txt", 1); }, {{kRoot, E}}},
        {"a file written",
         [](auto& r) {
             const HANDLE h = CreateFileW((r + L"\\sub\\file.txt").c_str(), GENERIC_WRITE, 0,
                                          nullptr, OPEN_EXISTING, 0, nullptr);
             DWORD written = 0;
             SetFilePointer(h, 0, nullptr, FILE_END);
             WriteFile(h, "more", 4, &written, nullptr);
             CloseHandle(h);
         },
         {{kSub, E}}},
        {"a file renamed",
         [](auto& r) {
             MoveFileW((r + L"\\sub\\file.txt").c_str(), (r + L"\\sub\\b.txt").c_str());
         },
         {{kSub, E}}},
        {"a file deleted",
         [](auto& r) { DeleteFileW((r + L"\\sub\\file.txt").c_str()); },
         {{kSub, E}}},
        {"a subfolder created",
         [](auto& r) { CreateDirectoryW((r + L"\\made").c_str(), nullptr); },
         {{kRoot, E}}},
        {"a subfolder renamed",
         [](auto& r) { MoveFileW((r + L"\\sub").c_str(), (r + L"\\renamed").c_str()); },
         {{kSub, F}, {kRoot, E}}},
        {"a subfolder removed",
         [](auto& r) { RemoveDirectoryW((r + L"\\gone").c_str()); },
         {{kGone, F}, {kRoot, E}}},
        {"a file two levels down",
         [](auto& r) { makeFile(r + L"\\sub\\deep\\x.txt", 2); },
         {{kDeep, E}}},
        {"a folder's attributes",
         [](auto& r) { SetFileAttributesW((r + L"\\sub\\deep").c_str(), FILE_ATTRIBUTE_HIDDEN); },
         {{kDeep, F}, {kSub, E}}},
    };
    int n = 0;
    for (const auto& row : rows) {
        const std::wstring root = base + L"\\" + std::to_wstring(++n);
        makeFile(root + L"\\sub\\file.txt", 3);
        makeFolder(root + L"\\sub\\deep");
        makeFolder(root + L"\\gone");
        makeFolder(root + L"\\barrier");
        const OpenResult top = platform.openRoot(toUtf8(root));
        ASSERT_EQ(top.status, OpenStatus::Opened);
        std::unique_ptr<TreeWatch> watch = platform.watchTree(top.handle, toUtf8(root));
        ASSERT_NE(watch, nullptr);
        EXPECT_TRUE(watch->coversTree());
        // Opened after the watch began, as a walk opens them (Wine watches a folder that was
        // there before the watch only once it is opened).
        const OpenResult sub = platform.openChild(top.handle, "sub");
        const OpenResult deep = platform.openChild(sub.handle, "deep");
        const OpenResult gone = platform.openChild(top.handle, "gone");
        const OpenResult barrier = platform.openChild(top.handle, "barrier");
        for (const auto& [folder, path, key] : {std::tuple{top, "", kRoot},
                                                {sub, "sub", kSub},
                                                {deep, "sub\\deep", kDeep},
                                                {gone, "gone", kGone},
                                                {barrier, "barrier", Key(kBarrier)}}) {
            ASSERT_EQ(folder.status, OpenStatus::Opened) << path;
            EXPECT_TRUE(watch->watch(folder.handle, path, key));
            if (key != kRoot) platform.closeFolder(folder.handle);
        }
        row.change(root);
        bool intact = false;
        EXPECT_EQ(drainThroughBarrier(*watch, root + L"\\barrier", &intact), row.told) << row.what;
        EXPECT_TRUE(intact) << row.what;
        watch.reset();
        platform.closeFolder(top.handle);
    }
}

TEST_F(TreeWatchTest, LostChangesAreToldAndTheWatchGoesOn) {
    const std::wstring root = base + L"\\root";
    makeFolder(root + L"\\barrier");
    const OpenResult top = platform.openRoot(toUtf8(root));
    ASSERT_EQ(top.status, OpenStatus::Opened);
    std::unique_ptr<TreeWatch> watch = platform.watchTree(top.handle, toUtf8(root));
    ASSERT_NE(watch, nullptr);
    const OpenResult barrier = platform.openChild(top.handle, "barrier");
    ASSERT_EQ(barrier.status, OpenStatus::Opened);
    watch->watch(top.handle, "", 1);
    watch->watch(barrier.handle, "barrier", kBarrier);
    platform.closeFolder(barrier.handle);

    // More records than 64 KiB hold, made while nobody drains: the system drops them.
    for (int i = 0; i < 1000; ++i)
        makeFile(root + L"\\" + std::wstring(100, L'n') + std::to_wstring(i), 0);
    bool lost = false;
    Recorder sink;
    for (int i = 0; i < 10000 && !lost; ++i) {
        if (i > 0) Sleep(1);
        lost = !watch->drain(sink);
    }
    EXPECT_TRUE(lost) << "an overflow is told as lost changes";

    // The next change is told again, and nothing is lost since.
    makeFile(root + L"\\after.txt", 1);
    bool intact = false;
    EXPECT_EQ(drainThroughBarrier(*watch, root + L"\\barrier", &intact), (Told{{1, E}}));
    EXPECT_TRUE(intact);
    watch.reset();
    platform.closeFolder(top.handle);
}

// The watch's own handle and each read it starts name the tree as the walk sees it.
TEST_F(TreeWatchTest, UnderWow64TheWatchOpensAndReadsWithRedirectionOff) {
    FakeWow64::install(exact);
    const OpenResult top = platform.openRoot(toUtf8(base));
    ASSERT_EQ(top.status, OpenStatus::Opened);
    const int rootOpen = FakeWow64::switchedOff;
    std::unique_ptr<TreeWatch> watch = platform.watchTree(top.handle, toUtf8(base));
    ASSERT_NE(watch, nullptr);
    EXPECT_EQ(FakeWow64::switchedOff - rootOpen, 2) << "its handle and its first read";
    watch->watch(top.handle, "", 1);
    makeFile(base + L"\\new.txt", 1);
    Recorder sink;
    for (int i = 0; i < 10000 && sink.told.empty(); ++i) {
        if (i > 0) Sleep(1);
        watch->drain(sink);
    }
    EXPECT_EQ(sink.told, (Told{{1, E}}));
    EXPECT_GT(FakeWow64::switchedOff - rootOpen, 2) << "the read that follows";
    EXPECT_EQ(FakeWow64::offNow, 0);
    EXPECT_EQ(FakeWow64::badReverts, 0);
    watch.reset();
    platform.closeFolder(top.handle);
}

NTSTATUS NTAPI shareDevice(HANDLE, PIO_STATUS_BLOCK, PVOID buffer, ULONG, ULONG) {
    const nt::DeviceInformation device{0x8, nt::kRemoteDevice};  // a disk file system, remote
    std::memcpy(buffer, &device, sizeof device);
    return nt::kSuccess;
}

NTSTATUS NTAPI redirectorDevice(HANDLE, PIO_STATUS_BLOCK, PVOID buffer, ULONG, ULONG) {
    const nt::DeviceInformation device{nt::kDeviceNetworkFileSystem, 0};
    std::memcpy(buffer, &device, sizeof device);
    return nt::kSuccess;
}

TEST_F(TreeWatchTest, NoWatchWhereNotEveryChangeIsTold) {
    const OpenResult top = platform.openRoot(toUtf8(base));
    ASSERT_EQ(top.status, OpenStatus::Opened);
    EXPECT_NE(platform.watchTree(top.handle, toUtf8(base)), nullptr);
    EXPECT_EQ(platform.watchTree(kNoFolder, toUtf8(base)), nullptr);
    // Wine: folders there before the watch are watched once opened, a moved folder's changes
    // keep its old path, and changes are told late.
    EXPECT_EQ(Win32Platform().watchTree(top.handle, toUtf8(base)) == nullptr, underWine());
    // A share, by the device the open root lies on.
    for (const auto query : {&shareDevice, &redirectorDevice}) {
        NtCalls remote = exact;
        remote.queryVolumeInformationFile = query;
        EXPECT_EQ(Win32Platform(remote).watchTree(top.handle, toUtf8(base)), nullptr);
    }
    platform.closeFolder(top.handle);
}

}  // namespace
}  // namespace quarvex::win32
