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

}  // namespace
}  // namespace quarvex::test
