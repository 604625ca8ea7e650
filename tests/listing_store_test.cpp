// The listing store over the fake platform, whose watches tell only what a test tells them:
// every answer must equal a fresh walk at that moment, and only what changed is listed again.
#include "search/store/listing_store.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <malloc.h>
#include <unistd.h>

#include <atomic>
#include <optional>
#include <thread>

#include "search/core/search_core.h"
#include "search/store/stored_folder.h"
#include "tests/support.h"

namespace quarvex::test {
namespace {

using Lines = std::vector<std::string>;

struct Searcher {
    Searcher(FakePlatform& p, bool keep) : core(window, p) {
        core.setWorkerThreads(2, 2);
        if (keep) core.keepListings();
    }
    Lines search(const std::string& pattern, const std::string& roots = "C:\\") {
        window.lines.clear();
        window.boxes.clear();
        window.notRead.clear();
        window.text1Value = pattern;
        window.chooseRoots(roots);
        core.Command1_Click();
        if (ListingStore* store = core.listingStore()) store->settle();
        return window.lines;
    }
    FakeWindow window;
    SearchCore core;
};

// C:\ with folders two levels deep, files of several kinds in each.
void makeTree(FakePlatform& p) {
    for (const char* folder : {"a", "a\\x", "a\\y", "b", "b\\z", "c"}) {
        const std::string path = std::string("C:\\") + folder;
        p.addFile(path + "\\song.mp3", 3000);
        p.addFile(path + "\\note.txt", 12);
        p.addFile(path + "\\Plain", 1);
    }
    p.addFile("C:\\top.mp3", 7);
    p.addFolder("C:\\.hidden\\deep");
}

class Keeping : public ::testing::TestWithParam<bool> {
  protected:
    Keeping() {
        platform.watchCoversTree = GetParam();  // one watch for the tree, or one per folder
        makeTree(platform);
    }
    // The kept answer, checked against a fresh walk made right after it; the folders the kept
    // search listed.
    std::size_t expectFresh(Searcher& kept, const std::string& pattern) {
        const std::size_t before = platform.lists;
        const Lines got = kept.search(pattern);
        const std::size_t listed = platform.lists - before;
        Searcher fresh(platform, false);
        EXPECT_EQ(got, fresh.search(pattern)) << pattern;
        EXPECT_EQ(kept.window.boxes, fresh.window.boxes);
        EXPECT_EQ(kept.window.notRead, fresh.window.notRead) << pattern;
        return listed;
    }
    FakePlatform platform;
};

TEST_P(Keeping, AnswersFromMemoryAndListsAgainOnlyWhatChanged) {
    platform.batch = 100;  // one listing call a folder
    // Seven folders are walked; where each needs a watch of its own, the background pass lists
    // each again under its watch; and it watches the two at and below the dot folder, where a
    // kept file could get a name of its own.
    const std::size_t walkedAndKept = GetParam() ? 9 : 16;
    Searcher kept(platform, true);
    // The first walk keeps every entry, not only those its pattern matched.
    EXPECT_EQ(expectFresh(kept, "*.mp3"), walkedAndKept);
    // Repeated, and with other patterns: nothing is listed again.
    for (const char* pattern : {"*.mp3", "*.*", "note", "*."})
        EXPECT_EQ(expectFresh(kept, pattern), 0u) << pattern;

    // A file added: its folder alone is listed again.
    platform.addFile("C:\\a\\x\\new.mp3", 5);
    platform.notifyEntries("C:\\a\\x");
    EXPECT_EQ(expectFresh(kept, "*.mp3"), 1u);

    // A folder replaced by another one: it and what lies below it are listed afresh.
    platform.replaceFolder("C:\\a");
    platform.addFile("C:\\a\\only-in-new.txt", 2);
    platform.notifyFolder("C:\\a");
    platform.notifyEntries("C:\\");
    EXPECT_EQ(expectFresh(kept, "*.*"), 4u);  // the root, a, a\x, a\y

    // Changes lost: everything is walked afresh, and kept again.
    platform.notifyLost();
    EXPECT_EQ(expectFresh(kept, "*.txt"), walkedAndKept);
    EXPECT_EQ(expectFresh(kept, "*.txt"), 0u);
    // The root changed in itself (its attributes, say): the same, and kept again.
    platform.notifyFolder("C:\\");
    EXPECT_EQ(expectFresh(kept, "*.txt"), walkedAndKept);
    EXPECT_EQ(expectFresh(kept, "*.txt"), 0u);

    // A folder whose listing broke off is read again at every search, until it reads whole: no
    // change is told when it does.
    platform.batch = 2;
    platform.setListError("C:\\b\\z", 5);
    platform.notifyEntries("C:\\b\\z");
    platform.notifyEntries("C:\\c");  // listed again after it, by the same pass
    expectFresh(kept, "*.*");
    platform.setListError("C:\\b\\z", 0);
    expectFresh(kept, "*.*");
}

TEST_P(Keeping, ReadsAgainWhatNoWatchVouchesFor) {
    using Entry = FakePlatform::Entry;
    platform.addEntry("C:\\b", Entry{"twice.dat", kAttrArchive, 0, 40, -1, true, 70});
    platform.addEntry("C:\\a\\x", Entry{"once.dat", kAttrArchive, 0, 5, -1, false, 71});
    platform.sizesInListing = false;            // as Linux lists: sizes read one by one
    platform.refusedWatches = {"b", "z", "c"};  // as past the system's limit
    platform.batch = 100;                       // one listing call a folder
    Searcher kept(platform, true);
    expectFresh(kept, "*.*");
    // Written through another name: no folder of the tree hears of it.
    const auto write = [&](const std::string& path, std::uint64_t file, std::uint64_t size) {
        const std::size_t cut = path.rfind('\\');
        platform.removeEntry(path);
        platform.addEntry(path.substr(0, cut),
                          Entry{path.substr(cut + 1), kAttrArchive, 0, size, -1, true, file});
    };
    write("C:\\b\\twice.dat", 70, 41);
    expectFresh(kept, "*.dat");
    // A second name made for a file kept with one: only the new name's folder hears of it.
    write("C:\\a\\x\\once.dat", 71, 5);
    platform.addEntry("C:\\c", Entry{"again.dat", kAttrArchive, 0, 5, -1, true, 71});
    platform.notifyEntries("C:\\c");
    expectFresh(kept, "*.dat");
    write("C:\\a\\x\\once.dat", 71, 6);
    write("C:\\c\\again.dat", 71, 6);
    expectFresh(kept, "*.dat");
    // Folders without a watch are listed at every search; watched ones are not.
    const std::size_t listed = expectFresh(kept, "*.mp3");
    // Seven folders, three without a watch; the tree's one watch needs no place of its own.
    EXPECT_EQ(listed, GetParam() ? 0u : 3u);
}

TEST_P(Keeping, KeepsNothingWhereChangesCannotBeSeen) {
    platform.watchable = false;
    platform.batch = 100;  // one listing call a folder
    Searcher unwatched(platform, true);
    unwatched.search("*.*");
    EXPECT_EQ(unwatched.core.listingStore()->folders(), 0u);
    const std::size_t at = platform.lists;
    unwatched.search("*.*");
    EXPECT_EQ(platform.lists - at, 7u);
}

// Bytes the heap holds for the program, where the heap can be asked (not under the sanitizers,
// whose allocators it does not see).
std::optional<std::size_t> heapInUse() {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    return std::nullopt;
#else
    return mallinfo2().uordblks;
#endif
}

// What stopped searches read ahead is freed, whether a recorder took it or not: twenty of them,
// each stopped a few lines in, leave nothing in the store, nor in the heap.
TEST(ListingStore, WhatStoppedSearchesReadAheadIsFreed) {
    FakePlatform platform;
    platform.batch = 1000;
    for (int i = 0; i < 400; ++i)
        for (int f = 0; f < 20; ++f)
            platform.addFile("C:\\d" + std::to_string(i) + "\\" + std::string(200, 'n') +
                             std::to_string(f) + ".txt");
    Searcher kept(platform, true);
    kept.window.onPump = [&] {
        if (kept.window.lines.size() != 5) return;
        // The workers read ahead first, as far as they go.
        for (std::size_t seen = 0; seen != platform.lists;) {
            seen = platform.lists;
            for (int turn = 0; turn < 1000; ++turn) std::this_thread::yield();
        }
        kept.core.Command2_Click();
    };
    kept.search("*.*");  // the heap's own pools and the threads' first stacks
    const std::optional<std::size_t> before = heapInUse();
    for (int i = 0; i < 20; ++i) EXPECT_EQ(kept.search("*.*").size(), 5u);
    const std::optional<std::size_t> after = heapInUse();
    EXPECT_EQ(kept.core.listingStore()->folders(), 0u);
    EXPECT_EQ(kept.core.listingStore()->bytes(), 0u);
    if (before && after) {
        EXPECT_LT(*after, *before + (std::size_t{1} << 20));
    }
}

// A kept folder that becomes a file (or a link, which the real platforms refuse alike) while the
// background pass lists the tree again: the pass lists its parent again, rather than trying the
// name over and over until the next search.
TEST(ListingStore, TheBackgroundPassListsAgainAParentWhoseFolderIsNoMore) {
    FakePlatform platform;
    makeTree(platform);
    Gate gate;
    gate.armFor("b");
    std::atomic<int> opensOfB = 0;
    platform.onCall = [&](const std::string& call, const std::string& name) {
        if (call != "open" || name != "b") return;
        const int n = ++opensOfB;
        if (n == 2) gate.reached("b");  // the search opened it first, now the pass
        if (n == 4) {                   // the pass tries it again and again: end that
            platform.removeEntry("C:\\b");
            platform.addFolder("C:\\b");
            platform.setUnreadable("C:\\b");
        }
    };
    FakeWindow window;
    SearchCore core(window, platform);
    core.setWorkerThreads(2, 2);
    core.keepListings();
    window.chooseRoots("C:\\");
    core.Command1_Click();
    gate.awaitArrival("b");
    platform.removeEntry("C:\\b");
    platform.addFile("C:\\b", 1);
    platform.notifyEntries("C:\\");
    gate.letGo("b");
    core.listingStore()->settle();
    EXPECT_EQ(opensOfB, 2);
}

// An answer from memory opens a folder only to read again what may have changed unseen (a link's
// target, here in every folder of a chain), and closes it after: no more are open than the budget.
TEST(ListingStore, ReadsLinksAgainWithinTheHandleBudget) {
    FakePlatform platform;
    platform.budget = 4;
    platform.sizesInListing = false;  // as Linux lists: a link's target is read at every use
    std::string folder = "C:";
    for (int i = 0; i < 20; ++i) {
        folder += "\\d";
        platform.addFolder(folder);
        platform.addEntry(folder, FakePlatform::Entry{"l.txt", kAttrReparsePoint | kAttrTypeUnknown,
                                                      kReparseTagSymlink, 1, -1, false, 0});
    }
    Searcher kept(platform, true);
    EXPECT_EQ(kept.search("*.txt").size(), 20u);
    platform.mostOpen = platform.openNow;
    EXPECT_EQ(kept.search("*.txt").size(), 20u);
    EXPECT_LE(platform.mostOpen, platform.budget);
}

// The trees share one bound, by last use: a tree answered from memory was used as much as one
// walked. A tree that does not fit beside the others throws none out before its whole size is
// known: the next search of it makes room for it, unless it is alone too big. None holds more
// than the bound while it is read; what goes is given back to the system.
TEST(ListingStore, KeepsWithinItsBoundWhatWasUsedLast) {
    FakePlatform platform;
    for (const char* drive : {"C:", "D:", "E:"})
        platform.addFile(std::string(drive) + "\\d\\f.txt");
    std::string chain = "F:";  // many folders, none large
    for (int i = 0; i < 100; ++i) platform.addFile((chain += "\\n") + "\\f.txt");
    platform.batch = 100;
    Searcher kept(platform, true);
    kept.search("*.*", "C:\\");
    const std::size_t small = kept.core.listingStore()->bytes();
    kept.core.keepListings(2 * small + small / 2);  // room for two small trees
    const auto walked = [&](const char* root) {
        const std::size_t before = platform.lists;
        kept.search("*.*", root);
        return platform.lists != before;
    };
    for (const char* root : {"C:\\", "D:\\"}) walked(root);
    EXPECT_TRUE(walked("E:\\"));   // no room beside C: and D:
    EXPECT_FALSE(walked("C:\\"));  // used after D:
    EXPECT_TRUE(walked("E:\\"));   // room made: D:, used longest ago, went, not C:, kept first
    EXPECT_FALSE(walked("C:\\"));
    EXPECT_FALSE(walked("E:\\"));
    EXPECT_TRUE(walked("D:\\"));
    // C: and E: stay for a tree too big to keep, which is never kept beyond the bound: with a
    // watch for each folder, not at all.
    const std::size_t folders = kept.core.listingStore()->folders();
    EXPECT_TRUE(walked("F:\\"));
    // Counted whole once, it is not tried again: no pass reads it after the next search.
    std::size_t before = platform.lists;
    Searcher(platform, false).search("*.*", "F:\\");
    const std::size_t once = platform.lists - before;
    before = platform.lists;
    EXPECT_TRUE(walked("F:\\"));
    EXPECT_EQ(platform.lists - before, once);
    EXPECT_FALSE(walked("C:\\"));
    EXPECT_FALSE(walked("E:\\"));
    EXPECT_EQ(kept.core.listingStore()->folders(), folders);
    // Beyond the bound at most by the folder that passed it.
    EXPECT_LE(kept.core.listingStore()->peakBytes(), 2 * small + small / 2 + 512);

    // Where one watch covers the tree, a search keeps what it reads: past the bound, it gives
    // all of it back to the system.
    FakePlatform covered;
    covered.watchCoversTree = true;
    for (std::string at = "F:"; at.size() < 200;) covered.addFile((at += "\\n") + "\\f.txt");
    Searcher alone(covered, true);
    alone.core.keepListings(small);
    alone.search("*.*", "F:\\");
    EXPECT_EQ(alone.core.listingStore()->folders(), 0u);
    EXPECT_GT(covered.releases, 0u);
}

// Memory running out while the background pass keeps what it read gives back all the store
// holds, as in a search, and the pass goes on; the next search reads from the disk and keeps anew.
TEST(KeepingInTheBackground, RunningOutOfMemoryGivesBackWhatIsKept) {
    FakePlatform platform;
    platform.watchCoversTree = true;
    makeTree(platform);
    const std::thread::id searcher = std::this_thread::get_id();
    std::atomic<int> thrown{0};
    platform.onCall = [&](const std::string& call, const std::string&) {
        if (call == "watch" && std::this_thread::get_id() != searcher && thrown++ == 0)
            throw std::bad_alloc();
    };
    Searcher kept(platform, true);
    const Lines first = kept.search("*.*");  // settled: the pass ran out meanwhile
    ASSERT_EQ(thrown, 1);
    EXPECT_EQ(kept.core.listingStore()->folders(), 0u);
    EXPECT_EQ(kept.search("*.*"), first);
    EXPECT_GT(kept.core.listingStore()->folders(), 0u);
}

// Within a limit on the process's memory (a control group's, ulimit -v), the store keeps a
// quarter of what the search leaves; below what a search itself needs, nothing: a store that
// kept its usual bound there got the process killed.
TEST(ListingStore, KeepsWithinTheProcesssMemoryLimit) {
    FakePlatform platform;
    platform.addFile("C:\\d\\f.txt");
    constexpr std::uint64_t kMb = 1 << 20;
    struct Case {
        std::uint64_t limit, bound;
    };
    for (const Case c : {Case{0, 256 * kMb}, Case{4096 * kMb, 256 * kMb},
                         Case{576 * kMb, 128 * kMb}, Case{48 * kMb, 0}}) {
        platform.memoryLimitBytes = c.limit;
        Searcher kept(platform, true);
        EXPECT_EQ(kept.core.listingStore()->mostBytes(), c.bound) << c.limit;
        kept.search("*.*");
        const std::size_t before = platform.lists;
        kept.search("*.*");
        // Kept where there is room: the second search reads nothing again.
        EXPECT_EQ(platform.lists == before, c.bound != 0) << c.limit;
    }
}

// One folder spelt two ways is one tree; a tree not searched for a while goes, and its watches
// with it.
TEST(ListingStore, OneTreeAFolderAndNoneForLongUnsearched) {
    FakePlatform platform;
    makeTree(platform);
    platform.addFile("D:\\d\\f.txt");
    platform.fakeClock = true;
    platform.batch = 100;
    Searcher kept(platform, false);
    kept.core.keepListings(0, 1000);  // a millisecond of the platform's clock
    kept.search("*.*", "C:\\");
    const std::size_t folders = kept.core.listingStore()->folders();
    const std::size_t lists = platform.lists;
    kept.search("*.*", "c:\\");  // the fake finds a root whatever its letter case
    EXPECT_EQ(platform.lists, lists);
    EXPECT_EQ(kept.core.listingStore()->folders(), folders);
    platform.clock += 2000;
    kept.search("*.*", "D:\\");
    EXPECT_EQ(kept.core.listingStore()->folders(), 2u);  // D: and its folder d
    EXPECT_EQ(platform.watchesNow, 2u);
}

// Memory running out, for a result line or for a listing read by any of the walk's threads,
// stops the search as a stop does: the lines found stay, the report counts them, a box says why,
// and the store gives back all it kept. The window goes on to its next search.
TEST(ListingStore, RunningOutOfMemoryStopsTheSearchAndKeepsWhatWasFound) {
    FakePlatform platform;
    for (int i = 0; i < 40; ++i)
        for (int f = 0; f < 3; ++f)
            platform.addFile("C:\\d" + std::to_string(i) + "\\f" + std::to_string(f) + ".txt", 1);
    platform.addFile("D:\\d\\f.txt", 1);
    for (const unsigned threads : {1u, 4u}) {
        for (const bool inAListing : {false, true}) {
            SCOPED_TRACE(std::string(inAListing ? "a listing, j" : "a line, j") +
                         std::to_string(threads));
            Searcher kept(platform, true);
            kept.core.setWorkerThreads(threads, threads);
            kept.search("*.*", "D:\\");  // kept from here on
            ASSERT_GT(kept.core.listingStore()->folders(), 0u);
            if (inAListing)
                platform.onCall = [](const std::string& call, const std::string& name) {
                    if (call == "list" && name == "d30") throw std::bad_alloc();
                };
            else
                kept.window.lineLimit = 50;
            const Lines got = kept.search("*.*");
            platform.onCall = nullptr;
            kept.window.lineLimit = SIZE_MAX;
            // Alone, the search itself reads the folder whose listing runs out, after those before.
            EXPECT_EQ(got.size(), inAListing ? (threads == 1 ? 90u : got.size()) : 50u);
            const Lines all = Searcher(platform, false).search("*.*");
            EXPECT_EQ(got,
                      Lines(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(got.size())));
            ASSERT_EQ(kept.window.boxes.size(), got.empty() ? 2u : 3u);
            EXPECT_EQ(kept.window.boxes[0], (Box{BoxKind::OutOfMemory, "内存不足,搜索已停止"}));
            EXPECT_EQ(kept.window.boxes[1].text,
                      got.empty()
                          ? "搜索完成,未找到符合的文件"
                          : "搜索完成,共查找到 " + std::to_string(got.size()) +
                                " 个文件\r\n\n总占空间: " + formatThousands(got.size()) + " Bytes");
            EXPECT_EQ(kept.core.listingStore()->folders(), 0u);
            EXPECT_EQ(kept.search("*.*"), all);
            EXPECT_EQ(kept.window.boxes.size(), 2u);
        }
    }
}

// A listing that broke off is never kept as the whole of its folder, though the first search
// keeps what it reads (where one watch covers the tree, as trusted at once): it is read again at
// every search, until it reads whole.
TEST_P(Keeping, AListingThatBrokeOffIsNeverKeptWhole) {
    platform.batch = 2;  // C:\b breaks off after its first two entries
    platform.setListError("C:\\b", 5);
    Searcher kept(platform, true);
    expectFresh(kept, "*.*");
    EXPECT_GE(expectFresh(kept, "*.*"), 1u);
    platform.setListError("C:\\b", 0);  // whole from now on, and nothing tells it
    expectFresh(kept, "*.*");
    expectFresh(kept, "*.txt");
}

INSTANTIATE_TEST_SUITE_P(Watches, Keeping, ::testing::Bool(), [](const auto& param) {
    return param.param ? std::string("OneForTheTree") : std::string("OnePerFolder");
});

// Whether the thread whose /proc stat is open is asleep in the kernel: here, waiting for a lock.
bool asleep(int stat) {
    char text[512];
    const ssize_t n = pread(stat, text, sizeof text, 0);
    const std::string_view fields(text, n > 0 ? static_cast<std::size_t>(n) : 0);
    const std::size_t name = fields.rfind(')');
    return name != std::string_view::npos && name + 2 < fields.size() && fields[name + 2] == 'S';
}

// The background pass holds the store while it lists a folder again: a search, or the store's
// end (a window closed, the end of --queries), stops it at its next folder, not at the tree's end.
TEST(KeepingInTheBackground, StopsAtItsNextFolderForASearchOrTheStoresEnd) {
    for (const bool closing : {false, true}) {
        SCOPED_TRACE(closing ? "closing" : "searching");
        FakePlatform platform;
        makeTree(platform);
        platform.batch = 100;  // one listing call a folder
        Searcher kept(platform, true);
        kept.core.setWorkerThreads(1);  // the search lists on this thread, the pass on its own
        const std::thread::id self = std::this_thread::get_id();
        std::atomic<std::thread::id> pass{};
        std::atomic<int> passLists{0};
        std::atomic<int> passListsBeforeTheSearch{-1};
        Gate gate;
        gate.armFor("a");
        platform.onCall = [&](const std::string& call, const std::string& name) {
            if (call != "list" || std::this_thread::get_id() == self) return;
            std::thread::id none{};
            pass.compare_exchange_strong(none, std::this_thread::get_id());
            if (pass.load() != std::this_thread::get_id()) {  // the other thread's search
                int unseen = -1;
                passListsBeforeTheSearch.compare_exchange_strong(unseen, passLists.load());
                return;
            }
            ++passLists;
            gate.reached(name);
        };
        kept.window.chooseRoots("C:\\");
        kept.core.Command1_Click();  // walks and keeps C:\, then the pass starts
        gate.awaitArrival("a");      // the pass holds the store, listing C:\a again

        std::atomic<pid_t> other{0};
        std::atomic<bool> go{false};
        std::thread waiting([&] {
            other = gettid();
            while (!go) std::this_thread::yield();
            if (closing)
                kept.core.keepListings();  // the old store goes
            else
                kept.core.Command1_Click();
        });
        while (other == 0) std::this_thread::yield();
        const int stat = ::open(("/proc/self/task/" + std::to_string(other) + "/stat").c_str(),
                                O_RDONLY | O_CLOEXEC);
        go = true;
        while (stat >= 0 && !asleep(stat)) std::this_thread::yield();  // it waits for the store
        gate.letGo("a");
        waiting.join();
        EXPECT_GE(stat, 0);
        if (stat >= 0) ::close(stat);
        // C:\ and C:\a, before the search (or the store's end) took over.
        EXPECT_EQ(closing ? passLists.load() : passListsBeforeTheSearch.load(), 2);
        // The listing of C:\a the pass cut short is not taken for the whole of it.
        if (!closing) {
            EXPECT_EQ(kept.window.lines, Searcher(platform, false).search("*.*"));
        }
    }
}

// Where each folder needs a watch of its own, the searches keep nothing of a tree the pass has
// not read yet: it reads it under watches made first, and the searches till then read the disk.
TEST(KeepingInTheBackground, ThePassNotTheFirstSearchKeepsATree) {
    FakePlatform platform;
    makeTree(platform);
    platform.batch = 100;  // one listing call a folder
    const Lines all = Searcher(platform, false).search("*.*");
    platform.threadsLeft = 0;  // no room for the pass's thread yet
    Searcher kept(platform, true);
    kept.core.setWorkerThreads(1);
    for (int i = 0; i < 2; ++i) {
        const std::size_t before = platform.lists;
        EXPECT_EQ(kept.search("*.*"), all);
        EXPECT_EQ(platform.lists - before, 7u);
        EXPECT_EQ(kept.core.listingStore()->folders(), 0u);
    }
    platform.threadsLeft = -1;
    EXPECT_EQ(kept.search("*.*"), all);  // the pass starts after it
    EXPECT_EQ(kept.core.listingStore()->folders(), 9u);
    const std::size_t before = platform.lists;
    EXPECT_EQ(kept.search("*.mp3"), Searcher(platform, false).search("*.mp3"));
    EXPECT_EQ(platform.lists - before, 7u);  // all of them the fresh search's
}

// A search before the pass has read the tree whole answers from memory what the pass kept, and
// reads the rest from the disk. A file there may meanwhile have got a name in a folder the pass
// has not reached, and been written through it, with no word to the folder kept: its size is
// read again (the pass keeps no sizes yet; a walk of its own reads them later).
TEST(KeepingInTheBackground, ASearchBeforeThePassEndsUsesWhatItKept) {
    FakePlatform platform;
    makeTree(platform);
    platform.batch = 100;  // one listing call a folder
    platform.sizesInListing = false;
    Searcher kept(platform, true);
    kept.core.setWorkerThreads(1);  // the search lists on this thread, the pass on its own
    const std::thread::id self = std::this_thread::get_id();
    std::atomic<std::thread::id> searcher{};  // the second search's
    std::atomic<int> searchLists{0};
    Gate gate;
    gate.armFor("b");
    platform.onCall = [&](const std::string& call, const std::string& name) {
        if (call != "list") return;
        if (std::this_thread::get_id() == searcher.load())
            ++searchLists;
        else if (std::this_thread::get_id() != self)
            gate.reached(name);
    };
    kept.window.chooseRoots("C:\\");
    kept.window.text1Value = "*.mp3";
    kept.core.Command1_Click();
    gate.awaitArrival("b");  // the pass kept C:\ and C:\a, and is about to list C:\b
    platform.removeEntry("C:\\a\\song.mp3");
    platform.addEntry("C:\\a", {.name = "song.mp3", .size = 4000});
    std::atomic<pid_t> other{0};
    std::thread searching([&] {
        searcher = std::this_thread::get_id();
        other = gettid();
        kept.core.Command1_Click();
    });
    while (other == 0) std::this_thread::yield();
    const int stat = ::open(("/proc/self/task/" + std::to_string(other) + "/stat").c_str(),
                            O_RDONLY | O_CLOEXEC);
    while (stat >= 0 && !asleep(stat)) std::this_thread::yield();  // it waits for the store
    gate.letGo("b");
    searching.join();
    if (stat >= 0) ::close(stat);
    kept.core.listingStore()->settle();
    platform.onCall = nullptr;
    // Only what the pass had not kept yet: C:\b, C:\b\z and C:\c.
    EXPECT_EQ(searchLists, 3);
    EXPECT_EQ(kept.window.lines, Searcher(platform, false).search("*.mp3"));
}

// A kept folder laid out again elsewhere still finds its subfolders by name, though an index
// built before pointed into the names' old place.
TEST(StoredFolderPacking, FindsSubfoldersByNameAfterItsListingMoved) {
    FolderListing read;
    ListedEntry folder;
    folder.attributes = kAttrDirectory;
    for (int i = 0; i < 40; ++i) {
        folder.file = 100 + static_cast<std::uint64_t>(i);
        read.add("sub" + std::to_string(i), folder);
        read.complete(static_cast<std::size_t>(i), folder, true);
    }
    auto kept = std::make_unique<StoredFolder>(std::move(read));
    // Asked at another entry than its own: found through the index, which this builds.
    ASSERT_NE(kept->slotFor(0, "sub39", 139), nullptr);
    std::vector<std::byte> room(sizeof(StoredFolder) + StoredFolder::bodyBytes(*kept));
    StoredFolder* packed =
        StoredFolder::packInto(std::move(*kept), room.data(), room.data() + sizeof(StoredFolder));
    StoredFolder::destroy(kept.release());
    for (int i = 0; i < 40; ++i) {
        const std::string name = "sub" + std::to_string(i);
        const StoredChild* slot = packed->slotFor(0, name, 100 + static_cast<std::uint64_t>(i));
        ASSERT_NE(slot, nullptr) << name;
        EXPECT_EQ(packed->name(*slot), name);
    }
    EXPECT_EQ(packed->bytes(), 0u);  // its room is the tree's to count
    StoredFolder::destroy(packed);
}

}  // namespace
}  // namespace quarvex::test
