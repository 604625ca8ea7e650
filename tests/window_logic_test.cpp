// The window logic that both windows share: number format, layout table, skin files, handlers.
#include <gtest/gtest.h>

#include <cstdio>

#include "search/text/text_util.h"
#include "tests/support.h"
#include "ui/form.h"
#include "ui/layout.h"
#include "ui/skin.h"
#include "ui/texts.h"

namespace quarvex::test {
namespace {

TEST(Format, GroupsDigitsInThreesAndLeavesZeroEmpty) {
    EXPECT_EQ(formatThousands(0), "");
    EXPECT_EQ(formatThousands(7), "7");
    EXPECT_EQ(formatThousands(10), "10");
    EXPECT_EQ(formatThousands(999), "999");
    EXPECT_EQ(formatThousands(45'001'010), "45,001,010");  // zeros kept inside a group
    EXPECT_EQ(formatThousands(1000), "1,000");
    EXPECT_EQ(formatThousands(3'221'225'472ull), "3,221,225,472");
    EXPECT_EQ(formatThousands(18'446'744'073'709'551'615ull), "18,446,744,073,709,551,615");
    EXPECT_EQ(trimSpaces("  a\tb \t "), "a\tb \t");
    EXPECT_EQ(trimSpaces("   "), "");
}

TEST(Format, SumsTotalsInOneHundredTwentyEightBitsWithoutWrapping) {
    const auto shown = [](const ByteTotal& total) {
        std::string text;
        appendThousands(text, total);
        return text;
    };
    ByteTotal total;
    EXPECT_EQ(shown(total), "");
    total.add(1000);
    EXPECT_EQ(shown(total), "1,000");
    ByteTotal big;
    for (int i = 0; i < 3; ++i) big.add(9'223'372'036'854'775'807ull);  // three of 2^63 - 1
    EXPECT_EQ(shown(big), "27,670,116,110,564,327,421");
    ByteTotal most(~0ull, ~0ull);
    EXPECT_EQ(shown(most), "340,282,366,920,938,463,463,374,607,431,768,211,455");
}

TEST(Format, CopiesShortRunsAsMemcpyDoes) {
    std::string from(40, '\0');
    for (std::size_t i = 0; i < from.size(); ++i) from[i] = static_cast<char>('a' + i % 26);
    for (std::size_t n = 0; n <= from.size(); ++n) {
        std::string to(from.size() + 2, '#');
        copyShort(to.data() + 1, from.data(), n);
        EXPECT_EQ(to, "#" + from.substr(0, n) + std::string(from.size() + 1 - n, '#')) << n;
    }
}

TEST(Layout, GivesThePixelRectanglesAt96Dpi) {
    using layout::Id;
    using layout::Rect;
    const std::pair<Id, Rect> expected[] = {
        {Id::Frame2, {8, 8, 193, 97}},       {Id::Combo1, {16, 32, 169, 20}},
        {Id::Label1, {16, 72, 42, 12}},      {Id::Text1, {64, 72, 121, 18}},
        {Id::Frame3, {208, 8, 489, 97}},     {Id::Command1, {216, 32, 89, 57}},
        {Id::Command2, {312, 32, 89, 57}},   {Id::Command3, {408, 32, 89, 57}},
        {Id::Command4, {504, 32, 89, 57}},   {Id::Command5, {600, 32, 89, 57}},
        {Id::Frame1, {8, 112, 689, 281}},    {Id::List1, {16, 128, 673, 256}},
        {Id::StatusBar1, {0, 405, 705, 41}}, {Id::Text2, {736, 136, 265, 193}},
    };
    for (const auto& [id, rect] : expected)
        EXPECT_EQ(layout::clientRect(id), rect) << layout::control(id).name;
    EXPECT_EQ(layout::toPixels(layout::kClientWidthTwips, 96), 705);
    EXPECT_EQ(layout::toPixels(layout::kClientHeightTwips, 96), 446);
    EXPECT_EQ(layout::clientRect(Id::Command1, 144), (layout::Rect{324, 48, 134, 86}));
}

TEST(Layout, TabsThroughTheFocusableControlsInOrder) {
    using layout::Id;
    EXPECT_EQ(layout::focusOrder(),
              (std::array<Id, 9>{Id::List1, Id::Text1, Id::Combo1, Id::Command2, Id::Command1,
                                 Id::Command3, Id::Command4, Id::Command5, Id::Text2}));
}

TEST(Texts, HelpTextHasElevenLinesEachEndedByCrLf) {
    const std::string help = texts::kHelpText;
    std::vector<std::string> lines;
    for (std::size_t start = 0, end; (end = help.find("\r\n", start)) != std::string::npos;
         start = end + 2)
        lines.push_back(help.substr(start, end - start));
    ASSERT_EQ(lines.size(), 11u);
    EXPECT_EQ(help.substr(help.size() - 2), "\r\n");
    EXPECT_EQ(lines[0], std::string(25, '='));
    EXPECT_EQ(lines[3], std::string(25, '='));
    EXPECT_EQ(lines[7], std::string(20, '='));
    EXPECT_EQ(lines[10], std::string(20, '='));
    EXPECT_EQ(lines[8], "编写完成日期:2010.08.01");
}

TEST(SkinFile, ReadsColoursPerSection) {
    const auto skin = parseSkin(
        "\xEF\xBB\xBF; a comment\r\n"
        "[window]\n background = #0a0B0c \n text=#FFFFFF\n"
        "[list]\nselection = #112233\n"
        "[future]\nglow = #000000\n"  // unknown sections and keys are skipped
        "[button]\nshadow = #010101\npressed=#445566\n");
    ASSERT_TRUE(skin.has_value());
    EXPECT_EQ(skin->window.background, (Rgb{10, 11, 12}));
    EXPECT_EQ(skin->window.text, (Rgb{255, 255, 255}));
    EXPECT_EQ(skin->list.selection, (Rgb{0x11, 0x22, 0x33}));
    EXPECT_EQ(skin->button.pressed, (Rgb{0x44, 0x55, 0x66}));
    EXPECT_FALSE(skin->frame.border.has_value());
}

TEST(SkinFile, RejectsMalformedFilesWhole) {
    for (const char* text :
         {"[window]\nbackground = #12345\n", "[window]\nbackground = #102030junk\n",
          "[window]\nbackground = #102030 0\n", "[window]\nbackground = #1020304\n",
          "[window]\nbackground = red\n", "[window]\nbackground = #GG0000\n",
          "background = #000000\n", "[window\ntext=#000000\n", "[window]\njust words\n", "[]\n",
          "[window]\n= #000000\n"})
        EXPECT_FALSE(parseSkin(text).has_value()) << text;
    EXPECT_FALSE(parseSkin(std::string(70000, ';')).has_value());
    EXPECT_TRUE(parseSkin("").has_value());
}

TEST(SkinFile, ReadsAFileWithCrLfLineEndsAsOneWithLf) {
    const std::string lf =
        "; made on Windows\n[window]\nbackground = #0A0B0C\n\n[list]\nselection=#112233\n"
        "[button] \npressed = #445566";
    std::string crlf;
    for (const char c : lf) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    const auto skin = parseSkin(lf);
    ASSERT_TRUE(skin.has_value());
    EXPECT_EQ(skin->button.pressed, (Rgb{0x44, 0x55, 0x66}));
    TempTree tree;
    const std::string file = tree.path("windows.she");
    FILE* f = fopen(file.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    fputs(crlf.c_str(), f);
    fclose(f);
    ASSERT_EQ(SkinH_AttachEx(file, ""), 0);
    EXPECT_EQ(*activeSkin(), *skin);
}

TEST(SkinFile, AttachesFromAFileAndDetachesOnFailure) {
    TempTree tree;
    const std::string good = tree.path("good.she");
    FILE* f = fopen(good.c_str(), "w");
    ASSERT_NE(f, nullptr);
    fputs("[status]\nbackground = #203040\n", f);
    fclose(f);
    EXPECT_EQ(SkinH_AttachEx(good, ""), 0);
    ASSERT_NE(activeSkin(), nullptr);
    EXPECT_EQ(activeSkin()->status.background, (Rgb{0x20, 0x30, 0x40}));
    EXPECT_EQ(SkinH_AttachEx(tree.path("missing.she"), ""), -1);
    EXPECT_EQ(activeSkin(), nullptr);
    EXPECT_EQ(SkinH_AttachEx(tree.root(), ""), -1);  // a folder is no skin
    EXPECT_EQ(activeSkin(), nullptr);
}

class FakeFormWindow : public BasicFakeWindow<FormWindow> {
  public:
    int borderCleared = 0, unloads = 0;
    void clearSizingBorder() override { ++borderCleared; }
    std::string text2() const override { return texts::kHelpText; }
    void unload() override { ++unloads; }
};

TEST(Form, LoadsSkinBorderAndDrivesThenConfirmsEveryClose) {
    FakeFormWindow window;
    FakePlatform platform;
    platform.driveTypes = {{"C:\\", 3}};
    Form1 form(window, platform);
    form.Form_Load();
    EXPECT_EQ(window.borderCleared, 1);
    EXPECT_EQ(window.entries, (std::vector<std::string>{"C:\\", "C:\\"}));
    EXPECT_FALSE(window.command2);

    window.boxAnswer = kIdNo;
    int cancel = 0;
    form.Form_QueryUnload(cancel);
    EXPECT_EQ(cancel, 1);
    form.Command5_Click();  // the exit button asks the same
    ASSERT_EQ(window.boxes.size(), 2u);
    EXPECT_EQ(window.boxes[0], (Box{BoxKind::ConfirmExit, "您确定退出本程序吗?"}));
    EXPECT_EQ(boxStyle(BoxKind::ConfirmExit), 68);  // information icon, Yes and No
    EXPECT_EQ(window.boxes[1], window.boxes[0]);
    EXPECT_EQ(window.unloads, 0);

    window.boxAnswer = kIdYes;
    cancel = 0;
    form.Form_QueryUnload(cancel);
    EXPECT_EQ(cancel, 0);
    EXPECT_EQ(window.unloads, 1);
    EXPECT_TRUE(form.unloaded());
}

TEST(Form, ShowsTheHelpTextAndOpensTheWebPage) {
    FakeFormWindow window;
    FakePlatform platform;
    Form1 form(window, platform);
    form.Command4_Click();
    ASSERT_EQ(window.boxes.size(), 1u);
    EXPECT_EQ(window.boxes[0], (Box{BoxKind::Help, texts::kHelpText}));
    EXPECT_EQ(boxStyle(BoxKind::Help), 64);  // information icon and OK
    form.Command3_Click();
    EXPECT_EQ(platform.opened, std::vector<std::string>{texts::kWebPage});
    EXPECT_EQ(platform.openModes, std::vector<int>{2});  // minimised, with the focus
}

TEST(Form, ConfirmedCloseDuringASearchEndsItWithoutAReport) {
    FakeFormWindow window;
    FakePlatform platform;
    for (const char* name : {"C:\\a.txt", "C:\\b.txt", "C:\\c.txt"}) platform.addFile(name, 1);
    Form1 form(window, platform);
    window.chooseRoots("C:\\");
    window.boxAnswer = kIdYes;
    window.onPump = [&] {
        if (window.lines.size() == 1 && !form.unloaded()) form.Command5_Click();
    };
    form.Command1_Click();
    EXPECT_EQ(window.lines.size(), 1u);
    EXPECT_EQ(window.unloads, 1);
    ASSERT_EQ(window.boxes.size(), 1u);  // the confirmation only
}

// The window keeps what a search listed: a second Start on the drive lists nothing again, and a
// change told by the watch is listed again and shown.
TEST(Form, ASecondStartOnADriveAnswersFromWhatTheFirstListed) {
    FakeFormWindow window;
    FakePlatform platform;
    platform.watchCoversTree = true;
    for (const char* name : {"C:\\a.txt", "C:\\sub\\b.txt"}) platform.addFile(name, 1);
    Form1 form(window, platform);
    window.chooseRoots("C:\\");
    form.Command1_Click();
    const std::vector<std::string> first = window.lines;
    ASSERT_EQ(first.size(), 2u);
    const std::size_t listed = platform.lists;
    form.Command1_Click();
    EXPECT_EQ(window.lines, first);
    EXPECT_EQ(platform.lists, listed);
    platform.addFile("C:\\sub\\c.txt", 1);
    platform.notifyEntries("C:\\sub");
    form.Command1_Click();
    EXPECT_EQ(window.lines.size(), 3u);
}

}  // namespace
}  // namespace quarvex::test
