// The walk on real Linux folders, tried as an attacker who controls them would: very deep chains,
// paths far beyond PATH_MAX, folders swapped for links while the walk runs, a low descriptor
// limit, and mounts that appear or are bound into the tree.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <optional>

#include "platform/posix/posix_platform.h"
#include "search/core/search_core.h"
#include "tests/support.h"

namespace quarvex::test {
namespace {

using Lines = std::vector<std::string>;

// How the walk runs: with how many threads, and whether the platform opens folders with openat2
// or with openat, as where openat2 is missing or forbidden.
struct Way {
    unsigned threads;
    bool openat2;
};

class TreeWalk : public ::testing::TestWithParam<Way> {
  protected:
    void SetUp() override { platform.useOpenat2(GetParam().openat2); }
    Lines search(const std::string& roots, const std::string& pattern = "*.txt") {
        window.lines.clear();
        window.text1Value = pattern;
        window.chooseRoots(roots);
        core.setWorkerThreads(GetParam().threads, GetParam().threads);
        core.Command1_Click();
        return window.lines;
    }
    std::string line(const std::string& relative, const std::string& size) const {
        return tree.path(relative) + " ----- " + size + " Bytes";
    }
    bool anyLineHas(const std::string& text) const {
        return std::any_of(window.lines.begin(), window.lines.end(),
                           [&](const std::string& l) { return l.find(text) != std::string::npos; });
    }

    TempTree tree;
    FakeWindow window;
    posix::PosixPlatform platform;
    SearchCore core{window, platform};
};

// Links, mounts and reopening, where the two ways of opening differ: tried both ways.
class TreeWalkBothWays : public TreeWalk {
  protected:
    void SetUp() override {
        if (GetParam().openat2 && !openat2Allowed())
            GTEST_SKIP() << "openat2 is missing or forbidden here";
        TreeWalk::SetUp();
    }
};

std::string wayName(const ::testing::TestParamInfo<Way>& way) {
    return "j" + std::to_string(way.param.threads) + (way.param.openat2 ? "_openat2" : "_openat");
}
void PrintTo(const Way& way, std::ostream* out) {
    *out << way.threads << (way.openat2 ? " threads, openat2" : " threads, openat");
}

// A chain whose every level also holds a side folder, visited only after the deep part.
Lines deepWithSides(const TempTree& tree, int depth, const std::string& name) {
    Lines expected;
    std::string path;
    for (int level = 0; level < depth; ++level) {
        tree.file(path + "f.txt", 1);
        tree.file(path + "side/s.txt", 2);
        expected.push_back(tree.path(path + "f.txt") + " ----- 1 Bytes");
        expected.push_back(tree.path(path + "side/s.txt") + " ----- 2 Bytes");
        path += name + "/";
    }
    return expected;
}

TEST_P(TreeWalk, WalksAChainTwentyThousandDeep) {
    const std::string bottom = tree.chain("", 20000, "x", "bottom.txt", 7);
    window.keepCaptions = false;
    EXPECT_EQ(search(tree.root()), Lines{line(bottom + "bottom.txt", "7")});
    EXPECT_EQ(window.captionCount, 20000u + 2);
}

TEST_P(TreeWalk, FindsEverythingBeyondPathMaxAndTheSiblingsAfterIt) {
    const std::string name(200, 'n');  // 30 levels: paths of over 6,000 bytes
    const std::string deep = tree.chain("a", 30, name, "deep.txt", 3);
    for (int i = 0; i < 24; ++i) tree.file("a/sibling" + std::to_string(i) + ".txt", 1);
    tree.file("b/after.txt", 2);
    const Lines got = search(tree.root());
    EXPECT_EQ(got.size(), 26u);
    EXPECT_TRUE(anyLineHas(deep + "deep.txt"));
    EXPECT_GT(tree.path(deep).size(), 6000u);
    EXPECT_TRUE(anyLineHas("a/sibling23.txt"));
    EXPECT_TRUE(anyLineHas("b/after.txt"));
}

TEST_P(TreeWalkBothWays, LosesNothingUnderALowDescriptorLimit) {
    const Lines expected = deepWithSides(tree, 150, "level");
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    rlimit low = saved;
    low.rlim_cur = 48;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
    const Lines got = search(tree.root());
    setrlimit(RLIMIT_NOFILE, &saved);
    EXPECT_EQ(sorted(got), sorted(expected));
}

TEST_P(TreeWalkBothWays, NeverFollowsAFolderSwappedForALinkMidWalk) {
    TempTree outside;
    outside.file("secret.txt", 9);
    tree.file("a/a.txt", 1);
    tree.file("a/b/b.txt", 2);
    tree.file("a/c/c.txt", 3);
    tree.file("z/z.txt", 4);
    bool swapped = false;
    window.onPump = [&] {
        // When the walk reaches "a", its folder "b" becomes a link out of the tree.
        if (swapped || window.caption != "正在查找 " + tree.path("a/")) return;
        swapped = rename(tree.path("a/b").c_str(), tree.path("b-was-here").c_str()) == 0 &&
                  symlink(outside.root().c_str(), tree.path("a/b").c_str()) == 0;
    };
    const Lines got = search(tree.root());
    ASSERT_TRUE(swapped);
    EXPECT_FALSE(anyLineHas("secret.txt"));
    EXPECT_TRUE(anyLineHas("a/c/c.txt"));
    EXPECT_TRUE(anyLineHas("z/z.txt"));
    // Single-threaded, "b" is opened only after the swap, so nothing is listed under it.
    if (GetParam().threads == 1) {
        EXPECT_FALSE(anyLineHas("a/b/"));
    }
}

TEST_P(TreeWalkBothWays, SkipsWhatBecameALinkBeforeItCouldBeReopened) {
    TempTree outside;
    outside.file("level/side/s.txt", 9);  // what a careless reopen would find through the link
    outside.file("level/level/side/s.txt", 9);
    const Lines all = deepWithSides(tree, 60, "level");
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    rlimit low = saved;
    low.rlim_cur = 40;  // the walk must close ancestors on the way down and reopen them
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
    bool swapped = false;
    window.onPump = [&] {
        if (swapped || window.lines.size() < 100) return;
        swapped = rename(tree.path("level").c_str(), tree.path("moved").c_str()) == 0 &&
                  symlink(outside.path("level").c_str(), tree.path("level").c_str()) == 0;
    };
    const Lines got = search(tree.root());
    setrlimit(RLIMIT_NOFILE, &saved);
    ASSERT_TRUE(swapped);
    for (const std::string& l : got) {
        EXPECT_EQ(l.find(outside.root()), std::string::npos) << l;
        EXPECT_NE(std::find(all.begin(), all.end(), l), all.end()) << l;
    }
}

TEST_P(TreeWalk, ListsTheSameBytesWhateverTheThreadCount) {
    // Names a hostile user could plant: line breaks, separators, bytes that are no UTF-8.
    const char* const names[] = {"plain",     "sp ace",          " lead",    "trail ",
                                 "a\nb",      "x ----- 1 Bytes", "\xff\xfe", "名字",
                                 "tab\there", "\x1b]0;title\x07"};
    int n = 0;
    for (const char* a : names)
        for (const char* b : names) {
            tree.file(std::string(a) + "/" + b + "/" + std::to_string(n % 7) + ".txt",
                      static_cast<unsigned>(n));
            ++n;
        }
    const Lines got = search(tree.root());
    const Lines captions = window.captions;
    ASSERT_EQ(got.size(), 100u);
    core.setWorkerThreads(1);
    window.lines.clear();
    window.captions.clear();
    window.chooseRoots(tree.root());
    core.Command1_Click();
    EXPECT_EQ(window.lines, got);
    EXPECT_EQ(window.captions, captions);
}

TEST_P(TreeWalk, ManyThreadsOnAWideTreeListWhatOneDoes) {
    // Enough folders that the workers run far ahead, finish out of order and race the window
    // to the folders it is about to free.
    int n = 0;
    for (int a = 0; a < 9; ++a)
        for (int b = 0; b < 9; ++b)
            for (int c = 0; c < 9; ++c) {
                const std::string folder =
                    "a" + std::to_string(a) + "/b" + std::to_string(b) + "/c" + std::to_string(c);
                tree.file(folder + "/f.txt", static_cast<unsigned>(n++));
                if (c % 3 == 0) tree.file(folder + "/d/e/g.txt", 1);
            }
    core.setWorkerThreads(1);
    window.text1Value = "*.txt";
    window.chooseRoots(tree.root());
    core.Command1_Click();
    const Lines single = window.lines;
    ASSERT_EQ(single.size(), 9u * 9 * 9 + 9 * 9 * 3);
    for (int round = 0; round < 3; ++round) EXPECT_EQ(search(tree.root()), single) << round;
}

INSTANTIATE_TEST_SUITE_P(Threads, TreeWalk, ::testing::Values(Way{1, true}, Way{4, true}), wayName);
INSTANTIATE_TEST_SUITE_P(Threads, TreeWalkBothWays,
                         ::testing::Values(Way{1, true}, Way{4, true}, Way{1, false},
                                           Way{4, false}),
                         wayName);

TEST_P(TreeWalkBothWays, StaysOnItsFileSystemWhateverIsMountedInside) {
    tree.file("a/x.txt", 1);
    tree.dir("b");
    tree.dir("mnt");
    tree.file("late/parent.txt", 2);
    tree.file("late/under/under.txt", 3);
    std::string why;
    const std::optional<Lines> got = inMountNamespace(
        [&] {
            // Another file system inside the tree, and a second way into "a".
            if (mount("none", tree.path("mnt").c_str(), "tmpfs", 0, nullptr) != 0 ||
                mount(tree.path("a").c_str(), tree.path("b").c_str(), nullptr, MS_BIND, nullptr) !=
                    0)
                _exit(77);
            tree.file("mnt/inside.txt", 4);
            // And one that appears while the walk runs.
            bool mounted = false;
            window.onPump = [&] {
                if (mounted || window.caption != "正在查找 " + tree.path("late/")) return;
                mounted = mount("none", tree.path("late/under").c_str(), "tmpfs", 0, nullptr) == 0;
                tree.file("late/under/appeared.txt", 5);
            };
            return search(tree.root());
        },
        why);
    if (!got) GTEST_SKIP() << why;
    EXPECT_EQ(std::count(got->begin(), got->end(), line("a/x.txt", "1")), 1);
    for (const std::string& l : *got) {
        EXPECT_EQ(l.find("/b/"), std::string::npos) << l;
        EXPECT_EQ(l.find("inside.txt"), std::string::npos) << l;
        EXPECT_EQ(l.find("appeared.txt"), std::string::npos) << l;
    }
    EXPECT_NE(std::find(got->begin(), got->end(), line("late/parent.txt", "2")), got->end());
}

}  // namespace
}  // namespace quarvex::test
