// The console window over a terminal the test holds: what a failed write does to the walk.
#include "ui/console/console_window.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "search/utf8.h"
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
    constexpr std::size_t kFiles = 3000;  // lines for several of the window's writes
    for (std::size_t i = 0; i < kFiles; ++i)
        tree.file("a-rather-long-file-name-for-a-result-" + std::to_string(i) + ".txt", 1);
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
