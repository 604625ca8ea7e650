// The listing store over the fake platform, whose watches tell only what a test tells them:
// every answer must equal a fresh walk at that moment, and only what changed is listed again.
#include "search/listing_store.h"

#include <gtest/gtest.h>

#include "search/search_core.h"
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
        return listed;
    }
    FakePlatform platform;
};

TEST_P(Keeping, AnswersFromMemoryAndListsAgainOnlyWhatChanged) {
    platform.batch = 100;  // one listing call a folder
    // Seven folders are walked; where each needs a watch of its own, the background pass lists
    // each again under its watch.
    const std::size_t walkedAndKept = GetParam() ? 7 : 14;
    Searcher kept(platform, true);
    EXPECT_EQ(expectFresh(kept, "*.*"), walkedAndKept);
    // Repeated, and with other patterns: nothing is listed again.
    for (const char* pattern : {"*.*", "*.mp3", "note", "*."})
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
}

TEST_P(Keeping, ReadsAgainWhatNoWatchVouchesFor) {
    using Entry = FakePlatform::Entry;
    platform.addEntry("C:\\b", Entry{"twice.dat", kAttrArchive, 0, 40, -1, true, 70});
    platform.addEntry("C:\\a\\x", Entry{"once.dat", kAttrArchive, 0, 5, -1, false, 71});
    platform.sizesInListing = false;  // as Linux lists: sizes read one by one
    platform.watchLimit = 4;          // the rest of the folders have no watch
    platform.batch = 100;             // one listing call a folder
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
    // Seven folders, four watches; the tree's one watch needs no place of its own.
    EXPECT_EQ(listed, GetParam() ? 0u : 3u);
}

TEST_P(Keeping, KeepsNothingWhereChangesCannotBeSeenAndDropsTheOldestBeyondItsMemory) {
    platform.watchable = false;
    Searcher unwatched(platform, true);
    unwatched.search("*.*");
    EXPECT_EQ(unwatched.core.listingStore()->folders(), 0u);

    platform.watchable = true;
    platform.batch = 100;  // one listing call a folder
    platform.addFile("D:\\d\\f.txt", 1);
    Searcher kept(platform, true);
    kept.search("*.*", "C:\\");
    const std::size_t oneTree = kept.core.listingStore()->bytes();
    ASSERT_GT(oneTree, 0u);
    kept.core.keepListings(oneTree + 100);  // room for one of C:\ and D:\, not both
    kept.search("*.*", "C:\\");
    kept.search("*.*", "D:\\");
    kept.search("*.*", "D:\\");
    EXPECT_LT(kept.core.listingStore()->bytes(), oneTree);  // C:\, searched longest ago, went
    std::size_t at = platform.lists;
    kept.search("*.*", "D:\\");
    EXPECT_EQ(platform.lists, at);
    at = platform.lists;
    kept.search("*.*", "C:\\");
    EXPECT_EQ(platform.lists - at, GetParam() ? 7u : 14u);
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

INSTANTIATE_TEST_SUITE_P(Watches, Keeping, ::testing::Bool(), [](const auto& param) {
    return param.param ? std::string("OneForTheTree") : std::string("OnePerFolder");
});

}  // namespace
}  // namespace quarvex::test
