// The console window over a terminal the test holds: what a failed write does to the walk, and
// when the progress line shows.
#include "ui/console/console_window.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "search/text/utf8.h"
#include "tests/support.h"
#include "ui/console/console_io.h"

namespace quarvex::test {
namespace {

class FakeTerminal : public console::Terminal {
  public:
    std::vector<std::string> outWrites;  // every write asked for, the failed ones too
    std::size_t failFrom = SIZE_MAX;     // writes from this index on fail
    std::string err;

    bool writeOut(std::string_view text, std::string& error) override {
        outWrites.emplace_back(text);
        if (outWrites.size() <= failFrom) return true;
        error = "No space left on device";
        return false;
    }
    void writeErr(std::string_view text) override { err += text; }
    int columns() override { return 0; }
    int stopRequest() override { return 0; }
};

TEST(ConsoleWindow, AFailedWriteStopsTheWalkAtOnce) {
    TempTree tree;
    constexpr std::size_t kFiles = 3000;  // long lines, for several of the window's writes
    for (std::size_t i = 0; i < kFiles; ++i)
        tree.file(std::string(200, 'n') + std::to_string(i) + ".txt", 1);
    tree.file("later/b.txt", 1);

    for (const std::size_t failFrom : {0u, 1u}) {  // the first write fails; the second one does
        SCOPED_TRACE(failFrom);
        FakeTerminal terminal;
        terminal.failFrom = failFrom;
        console::ConsoleWindow window(terminal, {});
        const std::unique_ptr<Platform> platform = console::makePlatform();
        SearchCore search(window, *platform);
        window.attach(search);
        search.init();
        window.setText1("*.txt");
        window.setComboText(tree.root());
        search.Command1_Click();
        window.finish();

        // The search handed over no line after the one whose write failed, and nothing more
        // was written.
        ASSERT_EQ(terminal.outWrites.size(), failFrom + 1);
        std::size_t written = 0;
        for (const std::string& chunk : terminal.outWrites) {
            EXPECT_EQ(chunk.back(), '\n');
            written += static_cast<std::size_t>(std::count(chunk.begin(), chunk.end(), '\n'));
        }
        EXPECT_EQ(window.listCount(), written);
        EXPECT_LT(written, kFiles);
        EXPECT_EQ(window.stopStatus(), console::kExitWriteError);
        // The error, told once, stands in place of the report.
        EXPECT_EQ(terminal.err, "quarvex-find: write error: No space left on device\n");
    }
}

// --show-errors: a line per folder not read, in the system's words, its name shown as a terminal
// shows it wherever it goes, so that no name passes for a line of its own.
TEST(ConsoleWindow, TellsTheFoldersItCouldNotReadWhenAsked) {
    FakePlatform platform;
    platform.addFile("C:\\ok\\a.txt", 1);
    platform.setUnreadable("C:\\denied");
    platform.setUnreadable("C:\\line\nquarvex-find: cannot read 'x'");
    for (const char* name : {"a.txt", "b.txt", "c.txt"})
        platform.addFile(std::string("C:\\broken\\") + name);
    platform.setListError("C:\\broken", 1117);
    for (const bool show : {false, true}) {
        FakeTerminal terminal;
        console::ConsoleWindow window(terminal, {});
        SearchCore search(window, platform);
        window.attach(search);
        std::optional<SearchRequest> request = search.request("*.txt", "C:\\");
        ASSERT_TRUE(request);
        request->tellUnreadable = show;
        search.run(*request);
        window.finish();
        const std::string report = "搜索完成,共查找到 3 个文件\n\n总占空间: 1 Bytes\n";
        EXPECT_EQ(terminal.err,
                  show ? "quarvex-find: cannot read 'C:\\denied': Access is denied\n"
                         "quarvex-find: cannot read 'C:\\line?quarvex-find: cannot read 'x'': "
                         "Access is denied\n"
                         "quarvex-find: cannot read 'C:\\broken': error 1117\n" +
                             report
                       : report);
    }
}

TEST(ConsoleWindow, OnlyAWalkingSearchDrawsTheProgressLine) {
    TempTree tree;
    tree.file("a.txt", 1);
    FakeTerminal terminal;
    console::ConsoleWindow window(terminal, {.errIsTerminal = true});
    const std::unique_ptr<Platform> platform = console::makePlatform();
    SearchCore search(window, *platform);
    window.attach(search);
    search.init();
    window.setCaption("Quarvex");  // as a search sets it when done
    EXPECT_EQ(terminal.err, "");

    window.setText1("*.txt");
    window.setComboText(tree.root());
    search.Command1_Click();
    EXPECT_EQ(terminal.err, "\r正在查找 " + tree.root() + "/\x1b[K\r\x1b[K" +
                                "搜索完成,共查找到 1 个文件\n\n总占空间: 1 Bytes\n");
}

TEST(ConsoleWindow, ATerminalShowsEachControlCharacterAsOneQuestionMark) {
    // Every C1 control, U+0080 to U+009F, and the printable neighbours on either side.
    std::string name = "~";
    std::string shown = "~";
    for (char32_t c = 0x80; c <= 0x9F; ++c) {
        appendUtf8(name, c);
        shown += '?';
    }
    name += "\u00A0\xED\xA0\x80";  // no-break space; then a surrogate, no character at all
    shown += "\u00A0???";
    FakeTerminal terminal;
    console::ConsoleWindow window(terminal, {false, true, '\n'});
    window.printLine(name, '\n');
    EXPECT_TRUE(window.finish());
    EXPECT_EQ(terminal.outWrites, std::vector<std::string>{shown + "\n"});
}

}  // namespace
}  // namespace quarvex::test
