// What a Linux folder cannot show: drive letters, drive types, "\" paths. A Windows-like fake
// platform stands in for the file system.
#include <gtest/gtest.h>

#include "search/core/search_core.h"
#include "tests/support.h"

namespace quarvex::test {
namespace {

using Lines = std::vector<std::string>;

class Drives : public ::testing::Test {
  protected:
    FakeWindow window;
    FakePlatform platform;
    SearchCore core{window, platform};
};

TEST_F(Drives, ListsPresentDrivesInLetterOrderThenAllOfThem) {
    platform.driveTypes = {{"C:\\", 3}, {"A:\\", 2}, {"E:\\", 5},
                           {"D:\\", 1}, {"F:\\", 0}, {"Z:\\", 4}};
    platform.program = "E:\\Tools\\Quarvex";
    core.init();
    EXPECT_EQ(window.entries, (Lines{"A:\\", "C:\\", "E:\\", "Z:\\", "A:\\ C:\\ E:\\ Z:\\"}));
    EXPECT_EQ(window.comboText(), "E:\\");
    EXPECT_TRUE(window.command1);
    EXPECT_FALSE(window.command2);
}

TEST_F(Drives, PreselectsTheProgramDriveWhateverItsLetterCase) {
    platform.driveTypes = {{"C:\\", 3}, {"D:\\", 3}};
    platform.program = "d:\\apps";
    core.init();
    EXPECT_EQ(window.comboText(), "D:\\");
}

TEST_F(Drives, FallsBackToTheFirstEntryWhenStartedFromElsewhere) {
    platform.driveTypes = {{"C:\\", 3}, {"D:\\", 3}};
    platform.program = "\\\\server\\share\\tools";
    core.init();
    EXPECT_EQ(window.comboText(), "C:\\");
}

TEST_F(Drives, WithoutAnyDriveHoldsOneEmptyEntry) {
    core.init();
    EXPECT_EQ(window.entries, Lines{""});
    EXPECT_EQ(window.comboText(), "");
}

class Roots : public Drives {
  protected:
    void SetUp() override {
        platform.addFile("C:\\c.txt", 1);
        platform.addFile("C:\\Windows\\w.txt", 2);
        platform.addFile("D:\\d.txt", 3);
        platform.addFile("CD\\rel.txt", 4);
        platform.addFile("\\top.txt", 5);
        window.text1Value = "*.txt";
    }
    Lines run(const std::string& roots) {
        window.chooseRoots(roots);
        core.Command1_Click();
        return window.lines;
    }
};

TEST_F(Roots, CompletesDriveLettersAndFolders) {
    EXPECT_EQ(run("d"), Lines{"d:\\d.txt ----- 3 Bytes"});  // "d" -> "d:\", as typed
    EXPECT_EQ(platform.rootsOpened.front(), "d:\\");
    EXPECT_EQ(run("C:"), (Lines{"C:\\c.txt ----- 1 Bytes", "C:\\Windows\\w.txt ----- 2 Bytes"}));
    EXPECT_EQ(run("C:\\Windows"), Lines{"C:\\Windows\\w.txt ----- 2 Bytes"});
    EXPECT_EQ(run("CD"), Lines{"CD\\rel.txt ----- 4 Bytes"});  // two letters: a relative folder
}

TEST_F(Roots, SearchesEveryDriveOfTheCombinedEntryInOrder) {
    window.freeText = true;  // surplus spaces reach the search only through a free-text box
    EXPECT_EQ(run("  D:\\    C:\\  "), (Lines{"D:\\d.txt ----- 3 Bytes", "C:\\c.txt ----- 1 Bytes",
                                              "C:\\Windows\\w.txt ----- 2 Bytes"}));
}

TEST_F(Roots, AnUnwritableSelectorTextIsSplitAsItStands) {
    // A drop-down list refuses a text that is none of its entries; empty words then stand for
    // the root of the current drive.
    EXPECT_EQ(run("D:\\  C:\\"),
              (Lines{"D:\\d.txt ----- 3 Bytes", "\\top.txt ----- 5 Bytes",
                     "C:\\c.txt ----- 1 Bytes", "C:\\Windows\\w.txt ----- 2 Bytes"}));
}

TEST_F(Roots, AnEmptySelectorSearchesNothing) {
    window.comboSelected = -1;
    core.Command1_Click();
    EXPECT_TRUE(platform.rootsOpened.empty());
    ASSERT_EQ(window.boxes.size(), 1u);
    EXPECT_EQ(window.boxes[0].text, "搜索完成,未找到符合的文件");
}

TEST_F(Roots, RefusesAColonInThePatternWhereDrivesHaveLetters) {
    window.text1Value = "C:*.txt";
    run("C:\\");
    ASSERT_EQ(window.boxes.size(), 1u);
    EXPECT_EQ(window.boxes[0].text, "文件名中不能包含路径符号 \\ / :");
    EXPECT_TRUE(platform.rootsOpened.empty());
}

TEST_F(Roots, ListsEachFolderOnceAndClosesEverythingItOpened) {
    run("C:\\ D:\\");
    EXPECT_EQ(platform.rootsOpened, (Lines{"C:\\", "D:\\"}));
    EXPECT_EQ(platform.childOpens, 1u);    // Windows, relative to its drive
    EXPECT_EQ(platform.lists.load(), 3u);  // one batch each
    EXPECT_EQ(platform.openNow, 0u);
}

TEST_F(Roots, AFileWhoseSizeCannotBeReadIsCountedButNotSummed) {
    class Unsized : public FakePlatform {
        bool describe(FolderHandle, ListedEntry&, std::string_view) override { return false; }
    } unsized;
    unsized.sizesInListing = false;
    unsized.addFile("D:\\d.txt", 3);
    SearchCore core2(window, unsized);
    window.chooseRoots("D:\\");
    core2.Command1_Click();
    EXPECT_EQ(window.lines, Lines{"D:\\d.txt"});
    EXPECT_EQ(window.boxes[0].text, "搜索完成,共查找到 1 个文件\r\n\n总占空间:  Bytes");
}

TEST_F(Roots, WordsThatSpellADriveWithSpacesAreSearchedAsThatDriveOnly) {
    // Drives as mount points are, named with spaces.
    class Mounted : public FakePlatform {
      public:
        std::vector<std::string> mountedDrives() override {
            return {"A", "My Disk", "My Disk 2", "B C D"};
        }
        bool hasDriveLetters() const override { return false; }
    } mounted;
    window.freeText = true;
    SearchCore c(window, mounted);
    c.init();
    const struct {
        const char* text;
        Lines roots;
    } cases[] = {
        {"My Disk A", {"My Disk\\", "A\\"}},
        {"A My Disk 2 B C D B", {"A\\", "My Disk 2\\", "B C D\\", "B\\"}},  // the longest
        {"My A Disk", {"My\\", "A\\", "Disk\\"}},
    };
    for (const auto& k : cases) {
        mounted.rootsOpened.clear();
        window.typedRoots = k.text;
        c.Command1_Click();
        EXPECT_EQ(mounted.rootsOpened, k.roots) << k.text;
    }
}

TEST_F(Drives, TheSelectorTakesAnExactEntryBeforeOneThatDiffersInCase) {
    window.entries = {"/mnt/Data", "/mnt/data"};
    EXPECT_EQ(findComboEntry(window, "/mnt/data"), 1);
    EXPECT_EQ(findComboEntry(window, "/MNT/DATA"), 0);
    EXPECT_EQ(findComboEntry(window, "/mnt/dat"), -1);
}

class DoubleClick : public Drives {
  protected:
    void open(const Lines& lines, std::ptrdiff_t selected) {
        window.lines = lines;
        window.selected = selected;
        core.List1_DblClick();
    }
};

TEST_F(DoubleClick, OpensThePathBeforeTheLastSeparator) {
    open({"C:\\a b\\c.txt ----- 12 Bytes"}, 0);
    open({"x", "D:\\x-----y.txt ----- 5 Bytes"}, 1);
    open({"D:\\a ----- b.txt ----- 1,024 Bytes"}, 0);
    open({"C:\\empty.txt -----  Bytes"}, 0);
    EXPECT_EQ(platform.opened,
              (Lines{"C:\\a b\\c.txt", "D:\\x-----y.txt", "D:\\a ----- b.txt", "C:\\empty.txt"}));
    // A result opens in a normal window that does not take the focus.
    EXPECT_EQ(platform.openModes, (std::vector<int>{4, 4, 4, 4}));
}

TEST_F(DoubleClick, IgnoresEmptyListsUnselectedAndUnsizedLines) {
    open({}, -1);
    open({"C:\\a.txt ----- 1 Bytes"}, -1);
    open({"D:\\unsized.txt"}, 0);
    EXPECT_TRUE(platform.opened.empty());
}

TEST_F(DoubleClick, WorksBetweenTwoEventsOfARunningSearch) {
    platform.addFile("C:\\a.txt", 1);
    platform.addFile("C:\\b.txt", 2);
    window.text1Value = "*.txt";
    window.chooseRoots("C:\\");
    window.onPump = [&] {
        if (window.lines.size() == 1 && platform.opened.empty()) core.List1_DblClick();
    };
    core.Command1_Click();
    EXPECT_EQ(platform.opened, Lines{"C:\\a.txt"});
    EXPECT_EQ(window.lines.size(), 2u);
}

}  // namespace
}  // namespace quarvex::test
