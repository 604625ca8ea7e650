// The walk engine over a Windows-like fake platform: order, the rules for links and mounts, the
// handle budget, reopening, running out of handles, threads and stopping.
#include "search/walk/walk.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <optional>
#include <thread>

#include "search/core/search_core.h"
#include "tests/support.h"

namespace quarvex::test {
namespace {

using Lines = std::vector<std::string>;

std::string line(const std::string& path, std::uint64_t size) {
    return path + " ----- " + formatThousands(size) + " Bytes";
}

// A search of `roots` for `pattern` with `threads` walking, as the start button runs it.
struct Searcher {
    Searcher(FakePlatform& p, unsigned threads) : core(window, p) {
        core.setWorkerThreads(threads, threads);
    }
    Lines search(const std::string& roots, const std::string& pattern = "*.*") {
        window.text1Value = pattern;
        window.chooseRoots(roots);
        core.Command1_Click();
        return window.lines;
    }
    FakeWindow window;
    SearchCore core;
};

class Walking : public ::testing::TestWithParam<unsigned> {
  protected:
    unsigned threads() const { return GetParam(); }
    FakePlatform platform;
};

// A generated tree with the names a hostile user could plant, and the lines a pre-order walk of
// it gives, worked out here independently of the walk.
struct Generated {
    explicit Generated(FakePlatform& p) : platform(p) {
        const int root = p.addFolder("C:\\");
        build(root, "C:\\", 0);
    }
    void build(int folder, const std::string& path, int depth) {
        static const char* const kNames[] = {
            "a",          "Beta",        "名字 目录", " lead",   "x ----- 9 Bytes",
            "semi;colon", "line\nbreak", ".hidden",   "dot.dir", "z"};
        const int files = next() % 5;
        for (int i = 0; i < files; ++i) {
            const std::string name = std::string(kNames[next() % 10]) + std::to_string(i) + ".f";
            const std::uint64_t size = next() % 3 == 0 ? 0 : next() * 977u;
            platform.addFileIn(folder, name, size);
            if (name[0] != '.') expected.push_back(line(path + name, size));
        }
        const int subfolders = depth >= 6 ? 0 : depth < 4 ? 2 + next() % 4 : next() % 4;
        for (int i = 0; i < subfolders; ++i) {
            const std::string name = std::string(kNames[next() % 10]) + std::to_string(i);
            const int sub = platform.addFolderIn(folder, name);
            if (name[0] == '.') {
                Lines unseen;
                std::swap(unseen, expected);
                build(sub, path + name + "\\", depth + 1);  // never walked
                std::swap(unseen, expected);
            } else {
                build(sub, path + name + "\\", depth + 1);
            }
        }
    }
    unsigned next() {
        seed = seed * 1103515245u + 12345u;
        return (seed >> 16) & 0x7FFF;
    }
    FakePlatform& platform;
    unsigned seed = 7;
    Lines expected;
};

TEST_P(Walking, ListsInPreOrderWhateverTheThreadCount) {
    platform.batch = 3;
    Generated tree(platform);
    ASSERT_GT(tree.expected.size(), 300u);
    Searcher run(platform, threads());
    EXPECT_EQ(run.search("C:\\"), tree.expected);
    EXPECT_EQ(platform.openNow, 0u);

    // The captions follow the same order in a single-threaded walk.
    FakePlatform again;
    again.batch = 3;
    Generated(again).expected.clear();
    Searcher single(again, 1);
    single.search("C:\\");
    EXPECT_EQ(run.window.captions, single.window.captions);
}

TEST_P(Walking, EntersCloudFoldersButNoLinkJunctionOrMountPoint) {
    platform.addFile("C:\\real\\r.txt", 1);
    platform.addFile("C:\\cloud\\c.txt", 2);
    platform.addFile("C:\\dedup\\d.txt", 3);
    platform.addFolderLink("C:\\junction", "C:\\real", kReparseTagMountPoint);
    platform.addFolderLink("C:\\symlink", "C:\\real", kReparseTagSymlink);
    platform.addFolderLink("C:\\untagged", "C:\\real", 0);
    platform.addFolderLink("C:\\loop", "C:\\", kReparseTagSymlink);
    // Cloud placeholders (OneDrive) and deduplicated folders are reparse points too.
    platform.addFolderLink("C:\\cloudy", "C:\\cloud", 0x9000701A);
    platform.addFolderLink("C:\\deduped", "C:\\dedup", 0x80000013);
    platform.addEntry("C:\\", {"flink.txt", kAttrArchive | kAttrReparsePoint, kReparseTagSymlink, 4,
                               -1});  // a link to a file is a file
    platform.openLimit = 1000;        // the fake follows links: a walk that did would loop
    Searcher run(platform, threads());
    EXPECT_EQ(run.search("C:\\", "*.txt"),
              (Lines{line("C:\\flink.txt", 4), line("C:\\real\\r.txt", 1),
                     line("C:\\cloud\\c.txt", 2), line("C:\\dedup\\d.txt", 3),
                     line("C:\\cloudy\\c.txt", 2), line("C:\\deduped\\d.txt", 3)}));
    for (const std::string& caption : run.window.captions)
        for (const char* link : {"junction", "symlink", "untagged", "loop"})
            EXPECT_EQ(caption.find(link), std::string::npos) << caption;
}

TEST_P(Walking, StaysOnTheRootsMount) {
    platform.addFile("C:\\here\\a.txt", 1);
    platform.addFile("C:\\mounted\\b.txt", 2);
    platform.addFile("C:\\mounted\\back\\c.txt", 3);
    platform.setMount("C:\\mounted", 2);
    platform.setMount("C:\\mounted\\back", 1);
    Searcher run(platform, threads());
    EXPECT_EQ(run.search("C:\\", "*.txt"), Lines{line("C:\\here\\a.txt", 1)});
    EXPECT_EQ(run.window.captions, (Lines{"正在查找 C:\\", "正在查找 C:\\here\\", "Quarvex"}));
    // Named as a root, the mount is walked: each mount is a drive of its own.
    EXPECT_EQ(run.search("C:\\mounted", "*.txt"), Lines{line("C:\\mounted\\b.txt", 2)});
}

TEST_P(Walking, ReportsTheTrueTotalOfHugeFiles) {
    for (const char* name : {"C:\\a.vhd", "C:\\b.vhd", "C:\\c.vhd"})
        platform.addFile(name, 9'223'372'036'854'775'807ull);
    Searcher run(platform, threads());
    run.search("C:\\");
    ASSERT_EQ(run.window.boxes.size(), 2u);
    EXPECT_EQ(run.window.boxes[0].text,
              "搜索完成,共查找到 3 个文件\r\n\n总占空间: 27,670,116,110,564,327,421 Bytes");
}

TEST_P(Walking, TypesAndSizesWhatTheListingLeavesOpen) {
    platform.typesInListing = false;
    platform.sizesInListing = false;
    platform.addFile("C:\\a.txt", 5);
    platform.addFile("C:\\sub\\b.txt", 6'000'000'000ull);
    platform.addFolderLink("C:\\link", "C:\\sub", kReparseTagSymlink);
    Searcher run(platform, threads());
    EXPECT_EQ(run.search("C:\\", "*.txt"),
              (Lines{line("C:\\a.txt", 5), line("C:\\sub\\b.txt", 6'000'000'000ull)}));
    EXPECT_GE(platform.describes, 4u);
}

// Folders whose last subfolder waits until the deep one before it is done: each keeps its handle
// open until then, so a small budget forces handles closed and folders reopened.
Lines deepWithSideBranches(FakePlatform& p, int depth) {
    Lines expected;
    int folder = p.addFolder("C:\\");
    std::string path = "C:\\";
    std::vector<std::pair<int, std::string>> sides;
    for (int level = 0; level < depth; ++level) {
        p.addFileIn(folder, "f.txt", 1);
        expected.push_back(line(path + "f.txt", 1));
        const int down = p.addFolderIn(folder, "d");
        sides.emplace_back(p.addFolderIn(folder, "side"), path + "side\\");
        folder = down;
        path += "d\\";
    }
    for (auto it = sides.rbegin(); it != sides.rend(); ++it) {
        p.addFileIn(it->first, "s.txt", 2);
        expected.push_back(line(it->second + "s.txt", 2));
    }
    return expected;
}

TEST_P(Walking, KeepsWithinItsHandleBudgetAndReopensWhatItClosed) {
    platform.budget = 16;
    const Lines expected = deepWithSideBranches(platform, 200);
    Searcher run(platform, threads());
    EXPECT_EQ(run.search("C:\\", "*.txt"), expected);
    // Reopening walks down from an open ancestor, so a few more may be open for a moment.
    EXPECT_LE(platform.mostOpen, platform.budget + 2 * threads() + 4);
    // Some folders were opened again; with threads, the schedule decides whether any had to be.
    if (threads() == 1) {
        EXPECT_GT(platform.childOpens, 2u * 200);
    }
    EXPECT_EQ(platform.openNow, 0u);
}

TEST_P(Walking, ReopensByTheIdentityTakenLaterWhereOpeningGivesNone) {
    platform.lazyIdentity = true;  // as Linux's openat2 opens
    platform.budget = 16;
    const Lines expected = deepWithSideBranches(platform, 120);
    platform.setMount("C:\\d\\side", 2);  // refused as it is opened
    Searcher run(platform, threads());
    Lines without = expected;
    std::erase(without, line("C:\\d\\side\\s.txt", 2));
    EXPECT_EQ(run.search("C:\\", "*.txt"), without);
    if (threads() == 1) {  // opened again, and checked
        EXPECT_GT(platform.childOpens, 2u * 120);
    }
    EXPECT_EQ(platform.openNow, 0u);
}

TEST_P(Walking, WhenHandlesRunOutClosesSomeAndLosesNothing) {
    platform.handleLimit = 12;  // far below what the walk believes it may use
    const Lines expected = deepWithSideBranches(platform, 60);
    Searcher run(platform, threads());
    EXPECT_EQ(run.search("C:\\", "*.txt"), expected);
    if (threads() == 1) {  // with threads, as scheduled
        EXPECT_GT(platform.outOfHandles, 0u);
    }
    EXPECT_EQ(platform.openNow, 0u);
}

TEST_P(Walking, WalksAChainTwentyThousandDeep) {
    constexpr int kDepth = 20000;
    int folder = platform.addFolder("C:\\");
    std::string path = "C:\\";
    for (int level = 0; level < kDepth; ++level) {
        folder = platform.addFolderIn(folder, "x");
        path += "x\\";
    }
    platform.addFileIn(folder, "bottom.txt", 7);
    Searcher run(platform, threads());
    run.window.keepCaptions = false;
    EXPECT_EQ(run.search("C:\\", "*.txt"), Lines{line(path + "bottom.txt", 7)});
    EXPECT_EQ(run.window.captionCount, kDepth + 2u);
    EXPECT_LE(platform.mostOpen, 3 + 2 * threads());  // a chain needs no folder kept open
    EXPECT_EQ(platform.openNow, 0u);
}

TEST_P(Walking, StopsAtOnceAndClosesEverything) {
    for (int i = 0; i < 50; ++i)
        for (int j = 0; j < 5; ++j)
            platform.addFile("C:\\d" + std::to_string(i) + "\\f" + std::to_string(j) + ".txt", 1);
    Searcher run(platform, threads());
    run.window.onPump = [&] {
        if (run.window.lines.size() == 7) run.core.Command2_Click();
    };
    EXPECT_EQ(run.search("C:\\").size(), 7u);
    EXPECT_EQ(run.window.boxes[0].text, "搜索完成,共查找到 7 个文件\r\n\n总占空间: 7 Bytes");
    EXPECT_EQ(platform.openNow, 0u);
    run.window.onPump = nullptr;
    EXPECT_EQ(run.search("C:\\").size(), 250u);
}

INSTANTIATE_TEST_SUITE_P(Threads, Walking, ::testing::Values(1u, 2u, 4u),
                         [](const auto& param) { return "j" + std::to_string(param.param); });

TEST(WalkingWide, VisitsEverySubfolderHoweverManyAFolderHolds) {
    FakePlatform platform;
    constexpr int kFolders = 40000;  // beyond any 16-bit count
    platform.batch = 5000;
    const int many = platform.addFolder("C:\\many");
    for (int i = 0; i < kFolders; ++i) {
        const int folder = platform.addFolderIn(many, "d" + std::to_string(i));
        if (i == 0 || i == 32760 || i == 32767 || i == kFolders - 1)
            platform.addFileIn(folder, "f.dat", static_cast<unsigned>(i));
    }
    Searcher run(platform, 2);
    run.window.keepCaptions = false;
    EXPECT_EQ(
        run.search("C:\\", "*.dat"),
        (Lines{line("C:\\many\\d0\\f.dat", 0), line("C:\\many\\d32760\\f.dat", 32760),
               line("C:\\many\\d32767\\f.dat", 32767), line("C:\\many\\d39999\\f.dat", 39999)}));
    EXPECT_EQ(run.window.captionCount, kFolders + 3u);
}

TEST(WalkingAlone, SkipsWhatChangedBeforeItCouldBeReopened) {
    // Single-threaded, so the swap lands at a known point: below the deep chain, after its
    // ancestors' handles were closed to stay within the budget.
    FakePlatform platform;
    platform.budget = 16;
    const Lines all = deepWithSideBranches(platform, 40);
    Searcher run(platform, 1);
    bool swapped = false;
    run.window.onPump = [&] {
        if (!swapped && run.window.lines.size() == 40) {  // the bottom of the chain
            platform.replaceFolder("C:\\d\\d");
            swapped = true;
        }
    };
    const Lines got = run.search("C:\\", "*.txt");
    ASSERT_TRUE(swapped);
    ASSERT_GE(got.size(), 42u);
    // Every level's own file, found before the swap.
    EXPECT_EQ(Lines(got.begin(), got.begin() + 40), Lines(all.begin(), all.begin() + 40));
    // Then the side branches from the bottom up: those whose parents were still open, none of
    // those that had to be reached again through the changed folder, and the two above it.
    const std::size_t reached = got.size() - 42;
    EXPECT_GT(reached, 0u);
    EXPECT_LT(reached, 37u);
    EXPECT_EQ(Lines(got.begin() + 40, got.end() - 2),
              Lines(all.begin() + 40, all.begin() + 40 + static_cast<std::ptrdiff_t>(reached)));
    EXPECT_EQ(got[got.size() - 2], line("C:\\d\\side\\s.txt", 2));
    EXPECT_EQ(got.back(), line("C:\\side\\s.txt", 2));
    EXPECT_EQ(platform.openNow, 0u);
}

TEST(WalkingAhead, ListsABoundedWindowAheadOfTheWindow) {
    FakePlatform platform;
    platform.batch = 10000;  // one read per folder: reads count folders
    for (int i = 0; i < 6000; ++i) platform.addFile("C:\\d" + std::to_string(i) + "\\f.txt", 1);
    Searcher run(platform, 4);
    std::size_t listedAhead = 0;
    run.window.onPump = [&] {
        if (run.window.captions.size() != 2 || listedAhead != 0) return;
        // Hold the window at its first folder until the workers have done what they may.
        std::size_t seen = SIZE_MAX;
        for (int quiet = 0; quiet < 20;) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            const std::size_t now = platform.lists;
            quiet = now == seen ? quiet + 1 : 0;
            seen = now;
        }
        listedAhead = seen;
    };
    EXPECT_EQ(run.search("C:\\").size(), 6000u);
    EXPECT_GT(listedAhead, 100u);   // the workers did run ahead
    EXPECT_LT(listedAhead, 4000u);  // but not through the whole tree
}

// Where the system has no room for another thread, the walk goes on with those it started, or
// with none: every line still comes, in order, and every folder is closed.
TEST(WalkingShortOfThreads, GoesOnWithTheThreadsTheSystemGives) {
    for (const int room : {0, 1}) {
        FakePlatform platform;
        platform.batch = 3;
        Generated tree(platform);
        platform.threadsLeft = room;
        Searcher run(platform, 8);
        EXPECT_EQ(run.search("C:\\"), tree.expected) << room;
        EXPECT_GT(platform.threadsRefused, 0) << room;
        EXPECT_EQ(platform.openNow, 0u) << room;
    }
}

// ---- the walk itself: outcomes, stopping, liveness, and what threads cost ----

WalkSetup threaded(unsigned workers, unsigned start, ListingRecorder* recorder = nullptr) {
    WalkSetup setup;
    setup.workers = workers;
    setup.startWorkers = start;
    setup.recorder = recorder;
    return setup;
}

// Every folder the walk comes to, with what became of it.
struct Visit {
    std::string path;
    FolderOutcome outcome;
    int error;
    std::size_t files;
    bool operator==(const Visit&) const = default;
};

std::vector<Visit> visitAll(Walk& walk) {
    const Walk::WaitHook wait = [] { return true; };
    std::vector<Visit> visits;
    while (walk.advance(wait)) {
        const std::optional<FolderResult> r = walk.result(wait);
        if (!r) break;
        Visit v{walk.path(), r->outcome, r->error, r->files != nullptr ? r->files->size() : 0};
        // Whatever became of it: the listing store files it by its depth.
        EXPECT_EQ(r->depth, std::count(v.path.begin(), v.path.end(), '\\') - 1u) << v.path;
        visits.push_back(std::move(v));
    }
    return visits;
}

TEST_P(Walking, TellsWhatBecameOfEveryFolderItCameTo) {
    platform.batch = 2;
    platform.addFile("C:\\open\\f.txt", 1);
    platform.setUnreadable("C:\\denied");
    for (const char* name : {"a.txt", "b.txt", "c.txt"})
        platform.addFile(std::string("C:\\broken\\") + name);
    platform.setListError("C:\\broken", 1117);
    platform.addFolder("C:\\.hidden\\below");
    platform.addFolderLink("C:\\link", "C:\\open", kReparseTagSymlink);
    platform.addFile("C:\\other\\o.txt", 1);
    platform.setMount("C:\\other", 2);
    const NamePattern pattern("*.*");
    Walk walk(platform, pattern, threaded(threads(), threads()));
    walk.start("C:\\");
    using O = FolderOutcome;
    EXPECT_EQ(visitAll(walk), (std::vector<Visit>{
                                  {"C:\\", O::Listed, 0, 0},
                                  {"C:\\open\\", O::Listed, 0, 1},
                                  {"C:\\denied\\", O::Unreadable, FakePlatform::kAccessDenied, 0},
                                  {"C:\\broken\\", O::Listed, 1117, 2},  // the first batch
                                  {"C:\\other\\", O::OtherMount, 0, 0},
                              }));
}

TEST(WalkingStopped, AStopWhileAWorkerIsHeldInsideAListingEndsTheWaitAtOnce) {
    FakePlatform platform;
    platform.addFolder("C:\\a");
    for (int i = 0; i < 10; ++i) platform.addFile("C:\\slow\\f" + std::to_string(i) + ".txt", 1);
    Gate gate;
    gate.armFor("slow");
    platform.onCall = [&](const std::string& call, const std::string& name) {
        if (call == "list") gate.reached(name);
    };
    const NamePattern pattern("*.*");
    auto walking = std::make_unique<Walk>(platform, pattern, threaded(2, 2));
    Walk& walk = *walking;
    walk.start("C:\\");
    int waitsAfterStop = 0;
    bool stopNow = false;
    const Walk::WaitHook wait = [&] {
        if (!stopNow) return true;
        // A stop that was not heeded: let the listing go, so that the test ends and fails.
        if (++waitsAfterStop == 3) gate.letGo("slow");
        return false;
    };
    ASSERT_TRUE(walk.advance(wait));  // the root: the consumer lists it and keeps "a" for itself
    ASSERT_TRUE(walk.result(wait));
    gate.awaitArrival("slow");  // a worker is inside its listing
    ASSERT_TRUE(walk.advance(wait));
    ASSERT_EQ(walk.path(), "C:\\a\\");
    ASSERT_TRUE(walk.result(wait));
    ASSERT_TRUE(walk.advance(wait));
    ASSERT_EQ(walk.path(), "C:\\slow\\");
    stopNow = true;
    EXPECT_FALSE(walk.result(wait));
    EXPECT_EQ(waitsAfterStop, 1);
    EXPECT_FALSE(walk.advance(wait));
    const std::size_t lists = platform.lists;
    gate.letGo("slow");
    walk.stop();
    EXPECT_EQ(platform.lists, lists + 1);  // the held listing read its batch, and no more
    walking.reset();
    EXPECT_EQ(platform.openNow, 0u);
}

// A folder the consumer lists itself is read in batches of thousands of entries, each sized on
// its own where the listing gives no size: the window is answered, and a stop heard, per entry.
TEST(WalkingStopped, AStopInsideABatchTheConsumerListsEndsItAtThatEntry) {
    FakePlatform platform;
    platform.batch = 10000;           // the whole folder in one read
    platform.sizesInListing = false;  // each match sized on its own, as on Linux
    for (int i = 0; i < 1000; ++i) platform.addFile("C:\\f" + std::to_string(i) + ".txt", 1);
    const NamePattern pattern("*.txt");
    Walk walk(platform, pattern, threaded(1, 1));
    walk.start("C:\\");
    int waits = 0;
    EXPECT_TRUE(walk.advance([&] { return ++waits < 10; }));
    EXPECT_EQ(waits, 10);
    EXPECT_LE(platform.describes, 10u);
}

// Keeps every listing the walk read from the disk, as the listing store does.
struct Keeper final : ListingRecorder {
    void record(Folder& folder) override {
        ++told;
        parents.push_back(folder.parent);
        if (folder.listing != nullptr) kept.push_back(std::move(folder.listing));
    }
    std::vector<std::unique_ptr<FolderListing>> kept;
    std::vector<KeptFolder*> parents;  // as told
    std::size_t told = 0;
};

// A recorder takes each listing out of the walk's hands as the consumer leaves its folder: what
// was counted ahead for it is still taken off, or the window would seem full for good.
TEST(WalkingAhead, ListingsARecorderTakesLeaveNothingCountedAhead) {
    FakePlatform platform;
    for (int i = 0; i < 50; ++i) platform.addFile("C:\\d" + std::to_string(i) + "\\f.txt", 1);
    platform.setUnreadable("C:\\d7");
    const NamePattern pattern("*.mp3");
    for (const unsigned threads : {1u, 4u}) {
        Keeper keeper;
        Walk walk(platform, pattern, threaded(threads, threads, &keeper));
        walk.start("C:\\");
        const Walk::WaitHook wait = [] { return true; };
        while (walk.advance(wait)) ASSERT_TRUE(walk.result(wait));
        EXPECT_EQ(keeper.told, 51u);
        EXPECT_EQ(keeper.kept.size(), 50u);  // all but the one that could not be read
        EXPECT_EQ(walk.listedAhead(), 0u) << threads << " threads";
        EXPECT_EQ(walk.bytesAhead(), 0u) << threads << " threads";
    }
}

// The walk's liveness rules (walk.h): broken, a walk waits for good, or its workers spin, maybe
// with the walk's lock held. Each walk here must end within a bounded number of the consumer's
// waits (5 ms apart) and of workers finding the walk far enough ahead, however its threads are
// scheduled; a watchdog ends the test when workers spin past the bound with the lock held, where
// the consumer never gets to count.
TEST(WalkingAlive, EveryWalkEndsWithinABoundedCountOfWaits) {
    struct Shape {
        const char* name;
        int folders, files, nameLength;
    };
    // Folders holding large matches fill the window by bytes long before its count of folders.
    for (const Shape shape : {Shape{"wide", 3000, 1, 4}, Shape{"heavy", 400, 40, 240}}) {
        for (const unsigned threads : {2u, 4u, 64u}) {
            SCOPED_TRACE(std::string(shape.name) + " j" + std::to_string(threads));
            FakePlatform platform;
            platform.batch = 1000;
            const int root = platform.addFolder("C:\\");
            for (int i = 0; i < shape.folders; ++i) {
                const int folder = platform.addFolderIn(root, "d" + std::to_string(i));
                // A lone subfolder too: kept off the frontier for the consumer that needs it.
                const int below = platform.addFolderIn(folder, "only");
                for (int f = 0; f < shape.files; ++f)
                    platform.addFileIn(
                        below, std::string(shape.nameLength, 'x') + std::to_string(f) + ".f", 1);
            }
            const NamePattern pattern("*.*");
            Walk walk(platform, pattern, threaded(threads, threads));
            walk.start("C:\\");
            const std::size_t mostHolds = 20 * static_cast<std::size_t>(shape.folders);
            std::atomic<bool> walking{true};
            std::thread watchdog([&] {
                while (walking) {
                    if (walk.holds() > 1000 * mostHolds) {
                        std::fprintf(stderr, "workers spin: %zu holds\n", walk.holds());
                        std::_Exit(1);
                    }
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                }
            });
            const Walk::WaitHook wait = [&] {
                return walk.ticks() < 400 && walk.holds() < mostHolds;
            };
            int folders = 0;
            while (walk.advance(wait)) {
                if (!walk.result(wait)) break;
                ++folders;
                // As a window showing each line, the consumer is slower than the workers.
                for (int turn = 0; turn < 10; ++turn) std::this_thread::yield();
            }
            walking = false;
            watchdog.join();
            EXPECT_EQ(folders, 2 * shape.folders + 1);
            EXPECT_LT(walk.ticks(), 400u);
            EXPECT_LT(walk.holds(), mostHolds);
            EXPECT_EQ(walk.listedAhead(), 0u);
            EXPECT_EQ(walk.bytesAhead(), 0u);
        }
    }
}

// Workers held because the walk is far enough ahead are let go in batches, not each time the
// consumer takes a folder: with many threads, waking all for one free place cost minutes.
TEST(WalkingAhead, ManyHeldWorkersAreWokenInBatches) {
    FakePlatform platform;
    constexpr int kFolders = 6000;
    constexpr unsigned kWorkers = 64;
    for (int i = 0; i < kFolders; ++i) platform.addFile("C:\\d" + std::to_string(i) + "\\f.txt", 1);
    const NamePattern pattern("*.*");
    Walk walk(platform, pattern, threaded(kWorkers, kWorkers));
    walk.start("C:\\");
    const Walk::WaitHook wait = [] { return true; };
    int folders = 0;
    while (walk.advance(wait)) {
        // At the first folder, the consumer waits until the workers are as far ahead as they go;
        // then it is slower than they are, as a window showing each line is.
        if (++folders == 2)
            while (platform.lists < 2000) std::this_thread::yield();
        for (int turn = 0; turn < 20; ++turn) std::this_thread::yield();
        ASSERT_TRUE(walk.result(wait));
    }
    EXPECT_EQ(folders, kFolders + 1);
    EXPECT_LT(walk.roomWaits(), static_cast<std::size_t>(kFolders)) << walk.roomWaits();
}

// While every worker is held in a slow folder, the walk adds workers if the process read from a
// device meanwhile (where reads are counted), or else if it hardly ran: a busy processor gets none.
// The platform's clock is the test's: each listing takes 6 ms of it, and each of the consumer's
// waits 5 ms.
TEST(WalkingSlowly, AddsWorkersOnlyWhileFoldersWaitForTheDisk) {
    struct Case {
        std::int64_t deviceReads;  // -1: not counted
        std::int64_t readsPerLook;
        std::uint64_t cpuPerLook;
        bool grows;
    };
    for (const Case c : {Case{0, 5, 1'000'000, true}, Case{0, 0, 0, false}, Case{-1, 0, 0, true},
                         Case{-1, 0, 1'000'000, false}}) {
        SCOPED_TRACE(std::to_string(c.deviceReads) + " " + std::to_string(c.cpuPerLook));
        FakePlatform platform;
        platform.fakeClock = true;
        platform.microsecondsPerList = 6000;
        platform.processUsage = {0, c.deviceReads};
        platform.deviceReadsPerUsageCall = c.readsPerLook;
        platform.cpuPerUsageCall = c.cpuPerLook;
        for (int i = 0; i < 40; ++i) platform.addFile("C:\\d" + std::to_string(i) + "\\f.txt", 1);
        const NamePattern pattern("*.*");
        Walk walk(platform, pattern, threaded(16, 2));
        walk.start("C:\\");
        // Every folder a worker reads is slow until the test is done: enough looks at the
        // process's usage for four doublings, or all sixteen started.
        std::atomic<bool> slow{true};
        const auto done = [&] { return platform.usageCalls >= 40 || walk.workersStarted() == 16; };
        const std::thread::id consumer = std::this_thread::get_id();
        platform.onCall = [&](const std::string& call, const std::string& name) {
            if (call != "list" || name.empty() || std::this_thread::get_id() == consumer) return;
            while (slow && !done()) std::this_thread::yield();
        };
        const Walk::WaitHook wait = [&] {
            platform.clock += 5000;
            if (done()) slow = false;
            return true;
        };
        while (walk.advance(wait)) ASSERT_TRUE(walk.result(wait));
        EXPECT_EQ(walk.workersStarted(), c.grows ? 16u : 2u);
    }
}

// While folders are slow to read, a chain is still listed by the consumer alone: a lone
// subfolder has nothing to be listed beside it, and handing each level over to a worker and back
// cost a cold 100,000-level chain a quarter more time than one thread.
TEST(WalkingSlowly, AChainIsListedByTheConsumerAlone) {
    FakePlatform platform;
    platform.fakeClock = true;
    platform.microsecondsPerList = 6000;  // the walk looks at the usage after every folder
    platform.processUsage = {0, 0};
    platform.deviceReadsPerUsageCall = 5;  // every look sees the disk read: folders are slow
    std::string path = "C:";
    for (int i = 0; i < 30; ++i) path += "\\n";
    platform.addFile(path + "\\bottom.txt", 1);
    const std::thread::id consumer = std::this_thread::get_id();
    std::atomic<int> byWorkers = 0;
    platform.onCall = [&](const std::string& call, const std::string&) {
        if (call == "list" && std::this_thread::get_id() != consumer) ++byWorkers;
    };
    const NamePattern pattern("*.*");
    Walk walk(platform, pattern, threaded(4, 4));
    walk.start("C:\\");
    const Walk::WaitHook wait = [] { return true; };
    int folders = 0;
    for (; walk.advance(wait); ++folders) {
        ASSERT_TRUE(walk.result(wait));
        // As a window does between folders, the consumer takes its time: a worker offered the
        // next level has it by then.
        for (int turn = 0; turn < 2000 && byWorkers == 0; ++turn) std::this_thread::yield();
    }
    EXPECT_EQ(folders, 31);
    EXPECT_EQ(byWorkers, 0);
}

// A source that vouches for a whole kept tree, folder by folder, but keeps nothing of those
// it is told to lack: as if it were wrong about them.
struct WholeSource final : ListingSource {
    struct Kept : KeptFolder {
        FolderListing listing;
        std::vector<std::pair<std::uint32_t, Kept*>> children;  // by entry
    };
    Kept* add(Kept* parent, const std::string& name) {
        Kept* kept = folders.emplace_back(std::make_unique<Kept>()).get();
        if (parent != nullptr) {
            ListedEntry e;
            e.attributes = kAttrDirectory;
            parent->children.emplace_back(static_cast<std::uint32_t>(parent->listing.size()),
                                          name.empty() || name[0] == '-' ? nullptr : kept);
            parent->listing.add(name.empty() || name[0] != '-' ? name : name.substr(1), e);
        }
        return kept;
    }
    static void file(Kept* folder, const std::string& name) {
        ListedEntry e;
        e.size = name.size();
        e.sizeKnown = true;
        folder->listing.add(name, e);
    }
    Answer answer(Kept* kept) {
        return kept == nullptr ? Answer{}
                               : Answer{.folder = kept, .listing = &kept->listing, .whole = true};
    }
    Answer root(const FolderIdentity&) override { return answer(folders.front().get()); }
    Answer child(KeptFolder& parent, std::uint32_t entry, std::string_view,
                 std::uint64_t) override {
        ++asked;
        for (const auto& [at, kept] : static_cast<Kept&>(parent).children)
            if (at == entry) return answer(kept);
        return {};
    }
    bool sizesAtUse() const override { return false; }
    std::uint64_t beforeReading(FolderHandle) override { return 0; }
    std::vector<std::unique_ptr<Kept>> folders;
    int asked = 0;
};

// A tree kept whole is read from memory alone, in pre-order, with no worker and no folder opened
// but the root; a folder the source turns out to lack is told as changed, with its parent, and
// the rest goes on. The recorder hears of nothing else below the top: nothing kept changes.
TEST(WalkingFromMemory, AWholeKeptTreeNeedsNoDiskAndAFolderItLacksIsToldChanged) {
    FakePlatform platform;
    platform.addFolder("C:\\");
    WholeSource source;
    WholeSource::Kept* root = source.add(nullptr, "");
    WholeSource::file(root, "top.txt");
    WholeSource::Kept* a = source.add(root, "a");
    WholeSource::file(a, "x.txt");
    WholeSource::file(a, "skip.mp3");
    WholeSource::file(source.add(a, "deep"), "z.txt");
    WholeSource::file(source.add(a, ".dot"), "hidden.txt");
    source.add(a, "-gone");
    source.add(root, "-lacking");
    WholeSource::file(source.add(root, "c"), "y.txt");
    const NamePattern pattern("*.txt");
    for (const unsigned threads : {1u, 4u}) {
        Keeper keeper;
        WalkSetup setup = threaded(threads, threads, &keeper);
        setup.source = &source;
        Walk walk(platform, pattern, setup);
        walk.start("C:\\");
        const std::vector<Visit> expected = {{"C:\\", FolderOutcome::Listed, 0, 1},
                                             {"C:\\a\\", FolderOutcome::Listed, 0, 1},
                                             {"C:\\a\\deep\\", FolderOutcome::Listed, 0, 1},
                                             {"C:\\a\\gone\\", FolderOutcome::Changed, 0, 0},
                                             {"C:\\lacking\\", FolderOutcome::Changed, 0, 0},
                                             {"C:\\c\\", FolderOutcome::Listed, 0, 1}};
        EXPECT_EQ(visitAll(walk), expected) << threads;
        EXPECT_EQ(keeper.parents, (std::vector<KeptFolder*>{nullptr, a, root})) << threads;
        EXPECT_EQ(platform.lists, 0u);
        EXPECT_EQ(walk.workersStarted(), 0u);
    }
}

// A search from memory passes kept entries by in a loop of its own: only those the rule does
// nothing with, whatever their kind, name or pattern.
TEST(WalkRule, TheShortcutOverKeptEntriesPassesByOnlyWhatTheRuleLeaves) {
    struct Kind {
        std::uint32_t attributes;
        std::uint32_t tag;
    };
    const Kind kinds[] = {{kAttrArchive, 0},
                          {kAttrDirectory, 0},
                          {kAttrReparsePoint, kReparseTagSymlink},
                          {kAttrDirectory | kAttrReparsePoint, kReparseTagSymlink},
                          {kAttrTypeUnknown, 0},
                          {kAttrTypeUnknown | kAttrReparsePoint, kReparseTagSymlink}};
    const char* names[] = {"x.mp3",      "song.MP3", "song.mp4",      ".hidden.mp3", ".d",
                           "abc",        "ab",       "a song.mp3",    "a song.mP3",  "a song.mp3 ",
                           "a sıng.mp3", "long.ıso", ".long-dot.mp3", "aıSOSOSOS"};
    FolderListing listing;
    for (const Kind& kind : kinds) {
        for (const char* name : names) {
            ListedEntry e;
            e.attributes = kind.attributes;
            e.reparseTag = kind.tag;
            listing.add(name, e);
        }
    }
    for (const char* text : {"*.mp3", "*.iso", "*isososos", "a?c*", "*"}) {
        const NamePattern pattern(text);
        std::vector<std::uint32_t> wanted(listing.size());
        // From every start, as a stretch begins anywhere.
        for (std::size_t from = 0; from < listing.size(); ++from) {
            const std::size_t count =
                wantedEntries(listing, from, listing.size(), pattern, wanted.data());
            std::size_t passed = 0;
            for (std::size_t i = from, w = 0; i < listing.size(); ++i) {
                if (w < count && wanted[w] == i) {
                    ++w;
                    continue;
                }
                ++passed;
                ListedEntry e = listing.entry(i);
                const EntryUse use = useOf(e, listing.name(i), pattern, [](ListedEntry&) {});
                EXPECT_TRUE(use == EntryUse::Other || use == EntryUse::DotFile)
                    << text << " passed by " << listing.name(i);
            }
            EXPECT_EQ(passed + count, listing.size() - from) << text << ": out of order";
            if (from == 0) {
                EXPECT_GT(passed, 0u) << text;
            }
        }
    }
}

}  // namespace
}  // namespace quarvex::test
