// Whole searches of real folder trees through the Linux platform.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>

#include "platform/posix/posix_platform.h"
#include "search/core/search_core.h"
#include "tests/support.h"

namespace quarvex::test {
namespace {

using Lines = std::vector<std::string>;

class SearchRun : public ::testing::Test {
  protected:
    // Runs a search of `roots` for `pattern` as a click on the start button would.
    void search(const std::string& pattern, const std::string& roots) {
        window.text1Value = pattern;
        window.chooseRoots(roots);
        core.Command1_Click();
    }
    std::string line(const std::string& relative, const std::string& size) const {
        return tree.path(relative) + " ----- " + size + " Bytes";
    }
    std::ptrdiff_t indexOf(const std::string& text) const {
        const auto it = std::find(window.lines.begin(), window.lines.end(), text);
        return it == window.lines.end() ? -1 : it - window.lines.begin();
    }

    TempTree tree;
    FakeWindow window;
    posix::PosixPlatform platform;
    SearchCore core{window, platform};
};

TEST_F(SearchRun, ListsMatchingFilesOnlyAndReportsTheExactTexts) {
    tree.file("a.txt", 1000);
    tree.file("b.doc", 7);
    tree.dir("c.txt");  // a folder that matches is no result
    tree.file("c.txt/d.TXT", 2500);
    tree.file("empty.txt", 0);
    tree.file(".profile.txt", 3);  // names beginning with "." are never listed
    search("*.txt", tree.root());

    EXPECT_EQ(sorted(window.lines), sorted({line("a.txt", "1,000"), line("c.txt/d.TXT", "2,500"),
                                            tree.path("empty.txt") + " -----  Bytes"}));
    ASSERT_EQ(window.boxes.size(), 2u);
    EXPECT_EQ(window.boxes[0],
              (Box{BoxKind::Report, "搜索完成,共查找到 3 个文件\r\n\n总占空间: 3,500 Bytes"}));
    EXPECT_EQ(window.boxes[1], (Box{BoxKind::Hint, "双击列表指定项，可直接运行文件!"}));
    EXPECT_EQ(window.caption, "Quarvex");
    EXPECT_EQ(core.state().FoundCount, 3);
    EXPECT_EQ(core.state().TotalBytes, ByteTotal(0, 3500));
    // Buttons are back to idle, and the newest line was selected.
    EXPECT_TRUE(window.command1);
    EXPECT_FALSE(window.command2);
    EXPECT_EQ(window.selected, 2);
}

TEST_F(SearchRun, NothingFoundGivesOneBoxAndKeepsTheCaption) {
    tree.file("a.doc", 5);
    search("*.mp3", tree.root());
    EXPECT_TRUE(window.lines.empty());
    ASSERT_EQ(window.boxes.size(), 1u);
    EXPECT_EQ(window.boxes[0], (Box{BoxKind::NothingFound, "搜索完成,未找到符合的文件"}));
    EXPECT_EQ(window.caption, "Quarvex");
}

TEST_F(SearchRun, NormalisesThePatternBox) {
    tree.file("report", 1);
    tree.file("reportx.doc", 2);
    tree.file("other.doc", 3);
    search("  report  ", tree.root());  // no dot: trimmed, then "*.*" appended
    EXPECT_EQ(window.text1Value, "report*.*");
    EXPECT_EQ(sorted(window.lines), sorted({line("report", "1"), line("reportx.doc", "2")}));

    window.text1Value = " *.doc";  // holds a dot: left as it is, used trimmed
    core.Command1_Click();
    EXPECT_EQ(window.text1Value, " *.doc");
    EXPECT_EQ(sorted(window.lines), sorted({line("other.doc", "3"), line("reportx.doc", "2")}));

    window.text1Value = "";
    core.Command1_Click();
    EXPECT_EQ(window.text1Value, "*.*");
    EXPECT_EQ(window.lines.size(), 3u);
}

TEST_F(SearchRun, SearchesRootsInTheirOrderAfterCollapsingSpaces) {
    tree.file("one/a.txt", 1);
    tree.file("two/b.txt", 2);
    // The two-root entry, with surplus spaces as free text would have them.
    window.entries = {tree.path("two") + " " + tree.path("one")};
    window.comboSelected = 0;
    window.text1Value = "*.txt";
    core.Command1_Click();
    EXPECT_EQ(window.lines, (Lines{line("two/b.txt", "2"), line("one/a.txt", "1")}));
    // Each root is handed over ending in the separator.
    EXPECT_NE(
        std::find(window.captions.begin(), window.captions.end(), "正在查找 " + tree.path("two/")),
        window.captions.end());
}

TEST_F(SearchRun, WalksPreOrderAndSkipsDotFoldersButNotHiddenOnes) {
    tree.file("top.txt", 1);
    tree.file("a/mid.txt", 2);
    tree.file("a/b/deep.txt", 3);
    tree.file(".cache/never.txt", 4);
    tree.file("a/.git/objects/never.txt", 5);
    tree.file("Hidden Stuff/seen.txt", 6);
    search("*.*", tree.root());

    EXPECT_EQ(sorted(window.lines),
              sorted({line("top.txt", "1"), line("a/mid.txt", "2"), line("a/b/deep.txt", "3"),
                      line("Hidden Stuff/seen.txt", "6")}));
    // A folder's own files come before anything below it.
    EXPECT_EQ(indexOf(line("top.txt", "1")), 0);
    EXPECT_LT(indexOf(line("a/mid.txt", "2")), indexOf(line("a/b/deep.txt", "3")));
    for (const std::string& caption : window.captions)
        EXPECT_EQ(caption.find(".cache"), std::string::npos) << caption;
}

TEST_F(SearchRun, VisitsAllTwentyFiveSubfolders) {
    for (int i = 0; i < 25; ++i) tree.file("sub" + std::to_string(i) + "/f.bin", 10);
    search("*.bin", tree.root());
    EXPECT_EQ(window.lines.size(), 25u);
    EXPECT_EQ(window.boxes[0].text, "搜索完成,共查找到 25 个文件\r\n\n总占空间: 250 Bytes");
}

TEST_F(SearchRun, SizesAndSumsFilesBeyondFourGibibytes) {
    tree.file("huge.iso", 5'368'709'120ull);
    tree.file("big.iso", 3'221'225'472ull);
    search("*.iso", tree.root());
    EXPECT_EQ(sorted(window.lines),
              sorted({line("huge.iso", "5,368,709,120"), line("big.iso", "3,221,225,472")}));
    EXPECT_EQ(window.boxes[0].text,
              "搜索完成,共查找到 2 个文件\r\n\n总占空间: 8,589,934,592 Bytes");
}

TEST_F(SearchRun, NeverEntersLinkedFoldersSoLoopsEnd) {
    tree.file("real/a.txt", 1);
    tree.link(tree.root(), "real/up");                // back to an ancestor
    tree.link(tree.path("real"), "sideways");         // a second way into "real"
    tree.link(tree.path("real/a.txt"), "alias.txt");  // a link to a file is listed like a file
    tree.link(tree.path("gone"), "dangling.txt");
    search("*.txt", tree.root());
    EXPECT_EQ(sorted(window.lines),
              sorted({line("real/a.txt", "1"), line("alias.txt", "1"),
                      line("dangling.txt", std::to_string(tree.path("gone").size()))}));
}

TEST_F(SearchRun, KeepsNamesWithSpacesAndSeparatorLookalikesIntact) {
    tree.file(" lead and trail .txt ", 4);
    tree.file("x-----y.txt", 5);
    tree.file("名字 ----- 7 Bytes.txt", 6);
    search("*.txt*", tree.root());
    EXPECT_EQ(sorted(window.lines),
              sorted({line(" lead and trail .txt ", "4"), line("x-----y.txt", "5"),
                      line("名字 ----- 7 Bytes.txt", "6")}));
}

TEST_F(SearchRun, RefusesAPatternThatNamesAPathBeforeTouchingAnything) {
    tree.file("a/b.txt", 1);
    window.lines = {"an earlier result"};
    for (const char* pattern : {"a/b.txt", "*/*.txt", "/"}) {
        window.boxes.clear();
        search(pattern, tree.root());
        ASSERT_EQ(window.boxes.size(), 1u) << pattern;
        // On Linux only "/" names a path, and the box says so.
        EXPECT_EQ(window.boxes[0], (Box{BoxKind::RefusedPattern, "文件名中不能包含路径符号 /"}));
        EXPECT_EQ(window.lines, Lines{"an earlier result"});
        EXPECT_EQ(window.text1Value, pattern);
        EXPECT_TRUE(window.command1);
    }
    // "\" and ":" are ordinary characters of a name there.
    tree.file("c:d.txt", 2);
    tree.file("back\\slash.txt", 3);
    window.boxes.clear();
    search("c:d.txt", tree.root());
    EXPECT_EQ(window.lines, Lines{line("c:d.txt", "2")});
    search("*\\*.txt", tree.root());
    EXPECT_EQ(window.lines, Lines{line("back\\slash.txt", "3")});
}

int openDescriptors() {
    int count = 0;
    if (DIR* fds = opendir("/proc/self/fd")) {
        while (readdir(fds) != nullptr) ++count;
        closedir(fds);
    }
    return count;
}

TEST_F(SearchRun, FindsEverythingInDeepTreesAndLeavesNothingOpen) {
    // Deeper than the platform keeps folders open, with side branches on the way down and up.
    Lines expected;
    std::string deep;
    for (int level = 0; level < 150; ++level) {
        deep += "level" + std::to_string(level) + "/";
        tree.file(deep + "f.txt", 1);
        expected.push_back(line(deep + "f.txt", "1"));
        if (level % 7 == 0) {
            tree.file(deep + "side/g.txt", 2);
            expected.push_back(line(deep + "side/g.txt", "2"));
        }
    }
    const int before = openDescriptors();
    search("*.txt", tree.root() + " " + tree.root());  // the same root twice lists it twice
    EXPECT_EQ(openDescriptors(), before);
    Lines twice = expected;
    twice.insert(twice.end(), expected.begin(), expected.end());
    EXPECT_EQ(sorted(window.lines), sorted(twice));

    window.lines.clear();
    search("*.txt", tree.path("level0/level1/level2"));
    EXPECT_EQ(window.lines.size(), expected.size() - 2 - 1);  // two levels and one side above
}

TEST_F(SearchRun, StopDuringTheFirstRootSkipsTheRestAndStillReports) {
    for (int i = 0; i < 20; ++i) tree.file("first/f" + std::to_string(i) + ".txt", 1);
    tree.file("second/g.txt", 1);
    window.entries = {tree.path("first") + " " + tree.path("second")};
    window.comboSelected = 0;
    window.text1Value = "*.txt";
    window.onPump = [&] {
        if (window.lines.size() == 3) core.Command2_Click();
    };
    core.Command1_Click();
    EXPECT_EQ(window.lines.size(), 3u);
    for (const std::string& caption : window.captions)
        EXPECT_EQ(caption.find("second"), std::string::npos);
    EXPECT_EQ(window.boxes[0].text, "搜索完成,共查找到 3 个文件\r\n\n总占空间: 3 Bytes");
    EXPECT_EQ(window.caption, "Quarvex");
    EXPECT_TRUE(window.command1);
    EXPECT_FALSE(window.command2);
    // The next run starts afresh.
    window.onPump = nullptr;
    core.Command1_Click();
    EXPECT_EQ(window.lines.size(), 21u);
}

TEST_F(SearchRun, StopDeepInTheTreeReturnsThroughEveryLevel) {
    std::string deep = "d";
    for (int i = 0; i < 30; ++i) {
        tree.file(deep + "/f.txt", 1);
        deep += "/d";
    }
    window.onPump = [&] {
        if (window.lines.size() == 10) core.Command2_Click();
    };
    search("*.txt", tree.root());
    EXPECT_EQ(window.lines.size(), 10u);
    // The root and ten folders listed, the tenth's child never entered; then the product caption.
    EXPECT_EQ(window.captions.size(), 12u);
    EXPECT_EQ(window.captions.back(), "Quarvex");
}

TEST_F(SearchRun, AbandonedSearchEndsWithoutAReport) {
    for (int i = 0; i < 5; ++i) tree.file("f" + std::to_string(i) + ".txt", 1);
    window.onPump = [&] {
        if (window.lines.size() == 2) core.abandon();
    };
    search("*.txt", tree.root());
    EXPECT_EQ(window.lines.size(), 2u);
    EXPECT_TRUE(window.boxes.empty());
}

TEST_F(SearchRun, AnUnreadableFolderAddsNothingAndTheWalkGoesOn) {
    tree.file("open/a.txt", 1);
    tree.file("locked/secret.txt", 1);
    tree.file("locked/inner/deeper.txt", 1);
    tree.file("z/b.txt", 1);
    chmod(tree.path("locked").c_str(), 0);
    chmod(tree.root().c_str(), 0755);

    // Root reads any folder, so the walk runs as an unprivileged user in a child process.
    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(pipeFds[0]);
        if (getuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(3);
        search("*.txt", tree.root());
        std::string out;
        for (const auto& l : sorted(window.lines)) out += l + "\n";
        const bool written = write(pipeFds[1], out.data(), out.size()) == ssize_t(out.size());
        _exit(written ? 0 : 4);
    }
    close(pipeFds[1]);
    std::string out;
    char buffer[4096];
    for (ssize_t n; (n = read(pipeFds[0], buffer, sizeof buffer)) > 0;)
        out.append(buffer, size_t(n));
    close(pipeFds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(out, line("open/a.txt", "1") + "\n" + line("z/b.txt", "1") + "\n");
}

TEST_F(SearchRun, SearchesDrivesWithOddSpacesAsThemselves) {
    // Folders stand in for mount points, through a mount table naming them as drives.
    tree.file("plain/a.txt", 1);
    tree.file("My Disk/b.txt", 2);
    tree.file("trail /c.txt", 3);
    tree.file("two  sp/d.txt", 4);
    // What trimming or collapsing the names would search instead.
    tree.file("My/x.txt", 9);
    tree.file("trail/x.txt", 9);
    tree.file("two sp/x.txt", 9);
    const std::string table = tree.path("mounts");
    {
        FILE* f = fopen(table.c_str(), "w");
        ASSERT_NE(f, nullptr);
        int minor = 0;
        for (const char* name : {"plain", "My\\040Disk", "trail\\040", "two\\040\\040sp"}) {
            ++minor;
            fprintf(f, "%d 1 8:%d / %s/%s rw - ext4 /dev/sdz%d rw\n", 40 + minor, minor,
                    tree.root().c_str(), name, minor);
        }
        fclose(f);
    }
    posix::PosixPlatform drives("xdg-open", table);
    for (const bool freeText : {false, true}) {  // a drop-down list, and the console's selector
        FakeWindow w;
        w.freeText = freeText;
        w.text1Value = "*.txt";
        SearchCore c(w, drives);
        c.init();
        ASSERT_EQ(w.entries.size(), 6u);  // "/", the four, and all of them
        const auto searchEntry = [&](std::size_t i) {
            w.setComboText(w.entries[i]);
            c.Command1_Click();
            return w.lines;
        };
        EXPECT_EQ(searchEntry(2), Lines{line("My Disk/b.txt", "2")});
        EXPECT_EQ(searchEntry(3), Lines{line("trail /c.txt", "3")});
        EXPECT_EQ(searchEntry(4), Lines{line("two  sp/d.txt", "4")});
        // The all-drives entry names each of them as it is (walking "/" would take too long).
        EXPECT_EQ(w.entries[5], "/ " + tree.path("plain") + " " + tree.path("My Disk") + " " +
                                    tree.path("trail ") + " " + tree.path("two  sp"));
        EXPECT_EQ(c.splitRoots(w.entries[5]), (Lines{"/", tree.path("plain"), tree.path("My Disk"),
                                                     tree.path("trail "), tree.path("two  sp")}));
    }
}

TEST_F(SearchRun, OpensTheExactPathOfTheSelectedLine) {
    // The opener writes its arguments, one per line, into a pipe it inherits; the pipe ends when
    // the opener does.
    int seen[2];
    ASSERT_EQ(pipe(seen), 0);
    const std::string opener = tree.path("opener.sh");
    {
        FILE* f = fopen(opener.c_str(), "w");
        ASSERT_NE(f, nullptr);
        fprintf(f, "#!/bin/sh\nprintf '%%s\\n' \"$@\" > /dev/fd/%d\n", seen[1]);
        fclose(f);
        chmod(opener.c_str(), 0755);
    }
    posix::PosixPlatform opening(opener);
    SearchCore core2(window, opening);
    tree.file("x-----y $(touch hacked) 'q'.txt", 5);
    window.text1Value = "*.txt";
    window.chooseRoots(tree.root());
    core2.Command1_Click();
    ASSERT_EQ(window.lines.size(), 1u);
    core2.List1_DblClick();
    close(seen[1]);
    std::string got;
    char buffer[4096];
    for (ssize_t n; (n = read(seen[0], buffer, sizeof buffer)) > 0;)
        got.append(buffer, static_cast<std::size_t>(n));
    close(seen[0]);
    // One argument, exactly the path: no shell saw it, the hyphens in the name did not cut it.
    EXPECT_EQ(got, tree.path("x-----y $(touch hacked) 'q'.txt") + "\n");
}

}  // namespace
}  // namespace quarvex::test
