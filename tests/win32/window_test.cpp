// The real Win32 window under Wine: layout, keyboard, searches started by clicking, message boxes
// answered from a second thread, stop, close, help, launching a result, and a million lines.
#include <gtest/gtest.h>

// windows.h comes first.
// clang-format off
#include <windows.h>
#include <commctrl.h>
// clang-format on

#include <functional>
#include <memory>
#include <sstream>

#include "platform/win32/utf16.h"
#include "platform/win32/win32_platform.h"
#include "ui/form.h"
#include "ui/layout.h"
#include "ui/skin.h"
#include "ui/texts.h"
#include "ui/win32/main_window.h"
#include "win32_test_support.h"

namespace quarvex::layout {
void PrintTo(const Rect& r, std::ostream* out) {
    *out << r.left << ", " << r.top << ", " << r.width << " x " << r.height;
}
}  // namespace quarvex::layout

namespace quarvex::win32 {
namespace {

using layout::Id;
using namespace testing;

// The window, with a hook after each line the search adds: a test acts at a known place in the
// walk, whatever the pace of its threads.
class HookedWindow : public MainWindow {
  public:
    using MainWindow::MainWindow;
    void listAdd(std::string_view line) override {
        MainWindow::listAdd(line);
        if (afterAdd) afterAdd(listCount());
    }
    std::function<void(std::size_t)> afterAdd;
};

class WindowTest : public ::testing::Test {
  protected:
    void SetUp() override {
        clearTestDrive();
        open();
    }

    void TearDown() override { close(); }

    void open() {
        window = std::make_unique<HookedWindow>(GetModuleHandleW(nullptr));
        ASSERT_NE(window->hwnd(), nullptr);
        form = std::make_unique<Form1>(*window, platform);
        loadForm(*window, *form);
        window->show();
        settle();
    }

    // Lets the window's own pump handle what is pending, as it does between folders.
    void settle() {
        for (int i = 0; i < 20; ++i) {
            window->pumpEvents();
            Sleep(1);
        }
    }

    void close() {
        form.reset();
        window.reset();
        // The window's end posts a quit request; it must not reach the next test.
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        }
    }

    HWND control(Id id) const { return window->control(id); }

    // Picks the test drive in the selector, as a user would, and types the pattern.
    void prepareSearch(const std::string& pattern) {
        HWND combo = control(Id::Combo1);
        const LRESULT t = SendMessageW(combo, CB_FINDSTRINGEXACT, WPARAM(-1),
                                       reinterpret_cast<LPARAM>(kTestDrive));
        ASSERT_GE(t, 0) << "drive T: is not offered";
        SendMessageW(combo, CB_SETCURSEL, static_cast<WPARAM>(t), 0);
        SetWindowTextW(control(Id::Text1), toWide(pattern).c_str());
    }

    void click(Id id) { SendMessageW(control(id), BM_CLICK, 0, 0); }

    std::vector<std::string> lines() const {
        std::vector<std::string> out;
        const LRESULT n = SendMessageW(control(Id::List1), LB_GETCOUNT, 0, 0);
        for (LRESULT i = 0; i < n; ++i)
            out.push_back(window->listLine(static_cast<std::size_t>(i)));
        return out;
    }

    // Hands the window what is queued, as its pump does between two list updates.
    void dispatchQueued() {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) window->dispatch(msg);
    }

    // Posts a click on a line of List1, or the second click of a double-click, as the mouse
    // delivers it.
    void postClick(std::size_t line, bool second = false) {
        HWND list = control(Id::List1);
        RECT item;
        SendMessageW(list, LB_GETITEMRECT, line, reinterpret_cast<LPARAM>(&item));
        const LPARAM at = MAKELPARAM(item.left + 5, item.top + 2);
        PostMessageW(list, second ? WM_LBUTTONDBLCLK : WM_LBUTTONDOWN, MK_LBUTTON, at);
        PostMessageW(list, WM_LBUTTONUP, 0, at);
    }

    // A tree of `folders` folders of one file each, 100 bytes apiece.
    static void makeWideTree(int folders) {
        for (int i = 0; i < folders; ++i) {
            wchar_t name[64];
            swprintf(name, 64, L"T:\\wide\\d%04d\\f.dat", i);
            makeFile(name, 100);
        }
    }

    Win32Platform platform;
    std::unique_ptr<HookedWindow> window;
    std::unique_ptr<Form1> form;
};

// A control's text, read on its own thread.
std::string textOf(HWND h) {
    const int n = GetWindowTextLengthW(h);
    std::wstring text(static_cast<std::size_t>(n) + 1, L'\0');
    text.resize(static_cast<std::size_t>(GetWindowTextW(h, text.data(), n + 1)));
    return toUtf8(text);
}

// A file in this program's folder.
std::wstring besideMe(const wchar_t* name) {
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    const std::wstring path = self;
    return path.substr(0, path.rfind(L'\\') + 1) + name;
}

// The size of `text` on one line in the font of control `h`.
SIZE textExtent(HWND h, const char* text) {
    const std::wstring wide = toWide(text);
    HDC dc = GetDC(h);
    HGDIOBJ old = SelectObject(dc, reinterpret_cast<HGDIOBJ>(SendMessageW(h, WM_GETFONT, 0, 0)));
    SIZE size{};
    GetTextExtentPoint32W(dc, wide.c_str(), static_cast<int>(wide.size()), &size);
    SelectObject(dc, old);
    ReleaseDC(h, dc);
    return size;
}

layout::Rect rectInClient(HWND parent, HWND child) {
    RECT r;
    GetWindowRect(child, &r);
    MapWindowPoints(nullptr, parent, reinterpret_cast<POINT*>(&r), 2);
    return {r.left, r.top, r.right - r.left, r.bottom - r.top};
}

TEST_F(WindowTest, ControlsSitWhereTheLayoutPutsThemWithTheirTexts) {
    if (window->dpi() != 96) GTEST_SKIP() << "pixel rectangles are given for 96 DPI";
    struct Expected {
        Id id;
        layout::Rect rect;
        const char* text;
    };
    // Pixel rectangles relative to the client area at 96 DPI.
    const Expected expected[] = {
        {Id::Frame2, {8, 8, 193, 97}, texts::kFrame2},
        {Id::Combo1, {16, 32, 169, 20}, ""},
        {Id::Label1, {16, 72, 42, 12}, texts::kLabel1},
        {Id::Text1, {64, 72, 121, 18}, "*.*"},
        {Id::Frame3, {208, 8, 489, 97}, texts::kFrame3},
        {Id::Command1, {216, 32, 89, 57}, texts::kCommand1},
        {Id::Command2, {312, 32, 89, 57}, texts::kCommand2},
        {Id::Command3, {408, 32, 89, 57}, texts::kCommand3},
        {Id::Command4, {504, 32, 89, 57}, texts::kCommand4},
        {Id::Command5, {600, 32, 89, 57}, texts::kCommand5},
        {Id::Frame1, {8, 112, 689, 281}, texts::kFrame1},
        {Id::List1, {16, 128, 673, 256}, ""},
        {Id::StatusBar1, {0, 405, 705, 41}, nullptr},
        {Id::Text2, {736, 136, 265, 193}, texts::kHelpText},
    };
    for (const Expected& e : expected) {
        HWND h = control(e.id);
        ASSERT_NE(h, nullptr);
        layout::Rect want = e.rect;
        if (e.id == Id::Label1) {
            // The label sizes itself to its caption in its font (42 x 12 with a 12-pixel one).
            const SIZE caption = textExtent(h, texts::kLabel1);
            want.width = caption.cx;
            want.height = caption.cy;
        }
        EXPECT_EQ(rectInClient(window->hwnd(), h), want) << layout::control(e.id).name;
        EXPECT_TRUE(IsWindowVisible(h)) << layout::control(e.id).name;
        EXPECT_TRUE(IsWindowEnabled(h) || e.id == Id::Command2) << layout::control(e.id).name;
        if (e.text != nullptr && e.id != Id::Combo1) {
            EXPECT_EQ(textOf(h), e.text) << layout::control(e.id).name;
        }
    }

    // The list shows whole lines only.
    RECT inside;
    GetClientRect(control(Id::List1), &inside);
    const LRESULT line = SendMessageW(control(Id::List1), LB_GETITEMHEIGHT, 0, 0);
    ASSERT_GT(line, 0);
    EXPECT_EQ(inside.bottom % line, 0) << inside.bottom << " pixels inside, lines of " << line;

    RECT client;
    GetClientRect(window->hwnd(), &client);
    EXPECT_EQ(client.right, 705);
    EXPECT_EQ(client.bottom, 446);

    // One status panel, 685 pixels wide, holding the copyright notice.
    HWND status = control(Id::StatusBar1);
    int edges[4] = {};
    EXPECT_EQ(SendMessageW(status, SB_GETPARTS, 4, reinterpret_cast<LPARAM>(edges)), 1);
    EXPECT_EQ(edges[0], 685);
    // Its text is checked without a skin, where the status bar draws it itself.
}

TEST_F(WindowTest, WindowIsFixedCentredAndStackedAsTheLayoutSays) {
    const LONG style = GetWindowLongW(window->hwnd(), GWL_STYLE);
    EXPECT_EQ(style & WS_THICKFRAME, 0);
    EXPECT_EQ(style & WS_MINIMIZEBOX, 0);
    EXPECT_EQ(style & WS_MAXIMIZEBOX, 0);
    EXPECT_NE(style & WS_SYSMENU, 0);
    EXPECT_EQ(style & WS_CAPTION, WS_CAPTION);
    // Clearing the sizing border touches that bit alone.
    SetWindowLongW(window->hwnd(), GWL_STYLE, style | WS_THICKFRAME);
    window->clearSizingBorder();
    EXPECT_EQ(GetWindowLongW(window->hwnd(), GWL_STYLE), style);
    EXPECT_EQ(windowTextOf(window->hwnd()), "Quarvex");
    EXPECT_NE(GetClassLongPtrW(window->hwnd(), GCLP_HICON), 0u);
    EXPECT_NE(GetClassLongPtrW(window->hwnd(), GCLP_HICONSM), 0u);
    // The window itself names its big and small icon, at the sizes the system asks for.
    for (auto [which, side] : {std::pair{ICON_BIG, GetSystemMetrics(SM_CXICON)},
                               std::pair{ICON_SMALL, GetSystemMetrics(SM_CXSMICON)}}) {
        const auto icon =
            reinterpret_cast<HICON>(SendMessageW(window->hwnd(), WM_GETICON, which, 0));
        ASSERT_NE(icon, nullptr) << "icon " << which;
        ICONINFO info{};
        ASSERT_TRUE(GetIconInfo(icon, &info));
        BITMAP image{};
        GetObjectW(info.hbmColor, sizeof image, &image);
        EXPECT_EQ(image.bmWidth, side) << "icon " << which;
        DeleteObject(info.hbmColor);
        DeleteObject(info.hbmMask);
    }

    RECT r, work;
    GetWindowRect(window->hwnd(), &r);
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    EXPECT_LE(std::abs((r.left - work.left) - (work.right - r.right)), 1);
    EXPECT_LE(std::abs((r.top - work.top) - (work.bottom - r.bottom)), 1);

    // The window's own children, front to back; the rest sit inside their frames.
    std::vector<HWND> stacked;
    for (HWND h = GetWindow(window->hwnd(), GW_CHILD); h != nullptr; h = GetWindow(h, GW_HWNDNEXT))
        stacked.push_back(h);
    std::vector<HWND> expected;
    for (Id id : {Id::Text2, Id::StatusBar1, Id::Command1, Id::Command2, Id::Combo1, Id::Text1,
                  Id::Frame1, Id::Frame2, Id::Frame3})
        expected.push_back(control(id));
    EXPECT_EQ(stacked, expected);
    EXPECT_EQ(GetParent(control(Id::List1)), control(Id::Frame1));
    EXPECT_EQ(GetParent(control(Id::Label1)), control(Id::Frame2));
    for (Id id : {Id::Command3, Id::Command4, Id::Command5})
        EXPECT_EQ(GetParent(control(id)), control(Id::Frame3));

    // Kinds: a drop-down list that takes no typing, an unsorted single-choice list, a
    // multi-line help box.
    EXPECT_EQ(GetWindowLongW(control(Id::Combo1), GWL_STYLE) & 3, CBS_DROPDOWNLIST);
    const LONG list = GetWindowLongW(control(Id::List1), GWL_STYLE);
    EXPECT_EQ(list & (LBS_SORT | LBS_MULTIPLESEL | LBS_EXTENDEDSEL), 0);
    EXPECT_NE(GetWindowLongW(control(Id::Text2), GWL_STYLE) & ES_MULTILINE, 0);
    EXPECT_EQ(HIWORD(SendMessageW(window->hwnd(), DM_GETDEFID, 0, 0)), DC_HASDEFID);
    EXPECT_EQ(LOWORD(SendMessageW(window->hwnd(), DM_GETDEFID, 0, 0)), controlId(Id::Command1));
}

TEST_F(WindowTest, LoadFillsTheSelectorAndDisablesStop) {
    EXPECT_TRUE(IsWindowEnabled(control(Id::Command1)));
    EXPECT_FALSE(IsWindowEnabled(control(Id::Command2)));
    // Every drive Wine has, then all of them in one entry; the program's drive chosen.
    std::vector<std::string> entries;
    for (std::size_t i = 0; i < window->comboCount(); ++i) entries.push_back(window->comboEntry(i));
    ASSERT_GE(entries.size(), 3u);
    EXPECT_NE(std::find(entries.begin(), entries.end(), "C:\\"), entries.end());
    EXPECT_NE(std::find(entries.begin(), entries.end(), "T:\\"), entries.end());
    std::string all;
    for (std::size_t i = 0; i + 1 < entries.size(); ++i) all += (i ? " " : "") + entries[i];
    EXPECT_EQ(entries.back(), all);
    EXPECT_EQ(window->comboText(), platform.programFolder().substr(0, 3));
    EXPECT_FALSE(window->setComboText("Q:\\nowhere"));
}

TEST_F(WindowTest, TabWalksTheLayoutOrderAndListStartsFocused) {
    EXPECT_EQ(GetFocus(), control(Id::List1));
    // Command2 is disabled while no search runs, so Tab passes it by.
    const Id forward[] = {Id::Text1,    Id::Combo1,   Id::Command1, Id::Command3,
                          Id::Command4, Id::Command5, Id::Text2,    Id::List1};
    for (Id id : forward) {
        PostMessageW(GetFocus(), WM_KEYDOWN, VK_TAB, 0);
        settle();
        EXPECT_EQ(GetFocus(), control(id)) << "after Tab, expected " << layout::control(id).name;
    }
    BYTE keys[256];
    GetKeyboardState(keys);
    keys[VK_SHIFT] = 0x80;
    SetKeyboardState(keys);
    PostMessageW(GetFocus(), WM_KEYDOWN, VK_TAB, 0);
    settle();
    keys[VK_SHIFT] = 0;
    SetKeyboardState(keys);
    EXPECT_EQ(GetFocus(), control(Id::Text2)) << "Shift+Tab goes back";
}

TEST_F(WindowTest, ClickingStartSearchesAndReportsInBoxes) {
    makeFile(L"T:\\a.txt", 5);
    makeFile(L"T:\\b.log", 7);
    makeFile(L"T:\\子 目录\\报告, 1.TXT", 2500000000ull);
    makeFile(L"T:\\子 目录\\.hidden\\skip.txt", 1);
    makeFile(L"T:\\z\\empty.txt", 0);
    prepareSearch("*.txt");
    BoxAnswerer boxes(GetCurrentThreadId());
    click(Id::Command1);

    const std::vector<std::string> expected = {
        "T:\\a.txt ----- 5 Bytes",
        "T:\\z\\empty.txt -----  Bytes",  // an empty size for an empty file
        "T:\\子 目录\\报告, 1.TXT ----- 2,500,000,000 Bytes",
    };
    std::vector<std::string> got = lines();
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got, expected);
    EXPECT_EQ(SendMessageW(control(Id::List1), LB_GETCURSEL, 0, 0), 2) << "the last line selected";

    const auto seen = boxes.seen();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].title, texts::kBoxTitle);
    EXPECT_EQ(seen[0].text, std::string(texts::kFoundPrefix) + " 3" + texts::kFoundSuffix +
                                "\r\n\n" + texts::kTotalPrefix + "2,500,000,005" +
                                texts::kBytesSuffix);
    EXPECT_TRUE(seen[0].hasOk && !seen[0].hasYesNo);
    EXPECT_EQ(seen[1].text, texts::kDoubleClickHint);
    EXPECT_EQ(windowTextOf(window->hwnd()), "Quarvex");
    EXPECT_TRUE(IsWindowEnabled(control(Id::Command1)));
    EXPECT_FALSE(IsWindowEnabled(control(Id::Command2)));
}

TEST_F(WindowTest, EnterStartsTheSearchAndBadPatternsAreRefused) {
    makeFile(L"T:\\only.md", 1);
    prepareSearch("nothing*.zip");
    BoxAnswerer boxes(GetCurrentThreadId());
    SetFocus(control(Id::Text1));
    PostMessageW(control(Id::Text1), WM_KEYDOWN, VK_RETURN, 0);
    settle();
    ASSERT_EQ(boxes.seen().size(), 1u);
    EXPECT_EQ(boxes.seen()[0].text, texts::kNothingFound);

    // A pattern naming a path is refused before anything is cleared.
    window->listAdd("kept");
    SetWindowTextW(control(Id::Text1), L"sub\\*.md");
    click(Id::Command1);
    ASSERT_EQ(boxes.seen().size(), 2u);
    EXPECT_EQ(boxes.seen()[1].text, texts::kPatternHasPathWithDrives);
    EXPECT_EQ(window->listCount(), 1u);
    EXPECT_TRUE(IsWindowEnabled(control(Id::Command1)));
}

// Stop clicked as the 200th line of 400 comes: the search lists no more and reports 200.
TEST_F(WindowTest, StopEndsARunningSearchWithItsReport) {
    makeWideTree(400);
    prepareSearch("*.dat");
    BoxAnswerer boxes(GetCurrentThreadId());
    HWND stop = control(Id::Command2);
    HWND main = window->hwnd();
    window->afterAdd = [&](std::size_t lines) {
        if (lines == 200) SendMessageW(stop, BM_CLICK, 0, 0);
    };
    click(Id::Command1);
    window->afterAdd = nullptr;

    const std::size_t found = window->listCount();
    EXPECT_EQ(found, 200u);
    const auto seen = boxes.seen();
    ASSERT_GE(seen.size(), 1u);
    EXPECT_EQ(seen[0].text.rfind(std::string(texts::kFoundPrefix) + " " + std::to_string(found) +
                                     texts::kFoundSuffix,
                                 0),
              0u)
        << seen[0].text;
    EXPECT_EQ(windowTextOf(main), "Quarvex");
    EXPECT_TRUE(IsWindowEnabled(control(Id::Command1)));
    EXPECT_FALSE(IsWindowEnabled(control(Id::Command2)));
}

TEST_F(WindowTest, CloseAnsweredNoLetsTheSearchGoOn) {
    makeWideTree(300);
    prepareSearch("*.dat");
    BoxAnswerer boxes(GetCurrentThreadId(), [](const SeenBox& box) {
        return box.text == texts::kConfirmExit ? IDNO : IDOK;
    });
    HWND main = window->hwnd();
    // Closed as the 100th line comes, as the window's pump would hand it the request.
    window->afterAdd = [&](std::size_t lines) {
        if (lines == 100) SendMessageW(main, WM_CLOSE, 0, 0);
    };
    click(Id::Command1);
    window->afterAdd = nullptr;

    EXPECT_EQ(window->listCount(), 300u);
    const auto seen = boxes.seen();
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[0].text, texts::kConfirmExit);
    EXPECT_EQ(seen[0].title, texts::kBoxTitle);
    EXPECT_TRUE(seen[0].hasYesNo);
    EXPECT_EQ(seen[2].text, texts::kDoubleClickHint);
    EXPECT_TRUE(IsWindow(main));
    EXPECT_FALSE(form->unloaded());

    // The exit button asks the same question.
    click(Id::Command5);
    ASSERT_EQ(boxes.seen().size(), 4u);
    EXPECT_EQ(boxes.seen()[3].text, texts::kConfirmExit);
    EXPECT_TRUE(IsWindow(main));
}

TEST_F(WindowTest, CloseAnsweredYesEndsTheSearchAndTheWindow) {
    makeWideTree(300);
    prepareSearch("*.dat");
    BoxAnswerer boxes(GetCurrentThreadId(), [](const SeenBox& box) {
        return box.text == texts::kConfirmExit ? IDYES : IDOK;
    });
    HWND main = window->hwnd();
    // Closed as the 100th line comes, as the window's pump would hand it the request.
    window->afterAdd = [&](std::size_t lines) {
        if (lines == 100) SendMessageW(main, WM_CLOSE, 0, 0);
    };
    click(Id::Command1);
    window->afterAdd = nullptr;

    // No report after the window is gone, and the event loop is asked to end.
    const auto seen = boxes.seen();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].text, texts::kConfirmExit);
    EXPECT_FALSE(IsWindow(main));
    EXPECT_TRUE(form->unloaded());
    EXPECT_EQ(window->listCount(), 100u);
    MSG msg;
    EXPECT_TRUE(PeekMessageW(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
}

TEST_F(WindowTest, HelpBoxShowsTheHelpTextByteForByte) {
    BoxAnswerer boxes(GetCurrentThreadId());
    click(Id::Command4);
    const auto seen = boxes.seen();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].text, texts::kHelpText);
    EXPECT_EQ(seen[0].title, texts::kBoxTitle);
    EXPECT_TRUE(seen[0].hasOk && !seen[0].hasYesNo);
}

TEST_F(WindowTest, DoubleClickOpensTheSelectedFile) {
    // The probe records that it ran beside itself; its folder name holds the line separator.
    const std::wstring target = L"T:\\启动 ----- 1, 2\\run me.exe";
    makeFolder(L"T:\\启动 ----- 1, 2");
    ASSERT_TRUE(CopyFileW(besideMe(L"quarvex-launch-probe.exe").c_str(), target.c_str(), FALSE));
    makeFile(L"T:\\other.exe", 10);
    prepareSearch("*.exe");
    BoxAnswerer boxes(GetCurrentThreadId());
    click(Id::Command1);
    ASSERT_EQ(window->listCount(), 2u);

    // Click the line of the probe, then double-click it.
    std::size_t line = window->listLine(0).rfind("T:\\other.exe", 0) == 0 ? 1 : 0;
    postClick(line);
    postClick(line, true);
    settle();
    EXPECT_EQ(window->listSelectedIndex(), static_cast<std::ptrdiff_t>(line));

    const std::wstring marker = target + L".ran";
    for (int i = 0; i < 200 && !fileExists(marker); ++i) pumpFor(50);
    ASSERT_TRUE(fileExists(marker)) << "the probe did not run";
    EXPECT_EQ(readFile(marker), toUtf8(target));
}

// The search selects each line it adds, and List1 learns of new lines only now and then. A
// double-click that arrives while lines still wait for the list opens the line under the pointer,
// not the newest one.
TEST_F(WindowTest, DoubleClickDuringASearchOpensTheClickedLineNotTheNewest) {
    const std::wstring clicked = L"T:\\clicked.exe", newest = L"T:\\newest.exe";
    for (const std::wstring& probe : {clicked, newest})
        ASSERT_TRUE(CopyFileW(besideMe(L"quarvex-launch-probe.exe").c_str(), probe.c_str(), FALSE));
    auto found = [&](const std::string& path) {
        window->listAdd(path + " ----- 1 Bytes");
        window->listSelect(window->listCount() - 1);
    };
    for (const char* missing : {"T:\\missing 0.exe", "T:\\missing 1.exe", "T:\\missing 2.exe"})
        found(missing);
    found(toUtf8(clicked));
    found("T:\\missing 4.exe");
    window->syncList();
    // The first click on line 3; then the search finds two more lines, which still wait for the
    // list, and the second click arrives.
    postClick(3);
    dispatchQueued();
    found("T:\\missing 5.exe");
    found(toUtf8(newest));
    postClick(3, true);
    dispatchQueued();

    for (int i = 0; i < 200 && !fileExists(clicked + L".ran") && !fileExists(newest + L".ran"); ++i)
        pumpFor(50);
    EXPECT_TRUE(fileExists(clicked + L".ran")) << "the clicked line was not opened";
    EXPECT_FALSE(fileExists(newest + L".ran")) << "the newest line was opened";
    // The line opened is the one shown selected, and the search reads it back.
    EXPECT_EQ(window->listSelectedIndex(), 3);
    EXPECT_EQ(SendMessageW(control(Id::List1), LB_GETCURSEL, 0, 0), 3);
    EXPECT_EQ(SendMessageW(control(Id::List1), LB_GETCOUNT, 0, 0), 7);
}

// Counts the captions a window is given.
LRESULT CALLBACK countCaptions(HWND window, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR,
                               DWORD_PTR captions) {
    if (message == WM_SETTEXT) ++*reinterpret_cast<std::size_t*>(captions);
    return DefSubclassProc(window, message, wParam, lParam);
}

// Each caption is a round trip to the display: a search names its folders at a pace, and the
// window's own caption is back at once after the report.
TEST_F(WindowTest, TheCaptionFollowsTheSearchAtAPaceNotPerFolder) {
    const int folders = 600;
    makeWideTree(folders);
    prepareSearch("*.dat");
    BoxAnswerer boxes(GetCurrentThreadId());
    std::size_t captions = 0;
    ASSERT_TRUE(SetWindowSubclass(window->hwnd(), countCaptions, 1,
                                  reinterpret_cast<DWORD_PTR>(&captions)));
    click(Id::Command1);
    RemoveWindowSubclass(window->hwnd(), countCaptions, 1);
    EXPECT_EQ(window->listCount(), static_cast<std::size_t>(folders));
    EXPECT_GE(captions, 2u);
    // One per folder would be 600; at 50 ms apiece this allows a search of fifteen seconds.
    EXPECT_LT(captions, static_cast<std::size_t>(folders / 2));
    EXPECT_EQ(windowTextOf(window->hwnd()), "Quarvex");
}

// Counts the times a list learns its number of lines.
LRESULT CALLBACK countListUpdates(HWND list, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR,
                                  DWORD_PTR updates) {
    if (message == LB_SETCOUNT) ++*reinterpret_cast<std::size_t*>(updates);
    return DefSubclassProc(list, message, wParam, lParam);
}

// A million lines, each selected as the search selects it, reach List1 in batches rather than
// one update per line.
TEST_F(WindowTest, AMillionLinesReachTheListInBatches) {
    const std::string path = "T:\\some\\folder\\with a longer name\\file-";
    const std::size_t n = 1000000;
    HWND list = control(Id::List1);
    std::size_t updates = 0;
    ASSERT_TRUE(
        SetWindowSubclass(list, countListUpdates, 1, reinterpret_cast<DWORD_PTR>(&updates)));
    for (std::size_t i = 0; i < n; ++i) {
        window->listAdd(path + std::to_string(i) + ".dat ----- 1,234 Bytes");
        window->listSelect(window->listCount() - 1);
        window->pumpEvents();
    }
    window->syncList();
    EXPECT_EQ(SendMessageW(list, LB_GETCOUNT, 0, 0), static_cast<LRESULT>(n));
    EXPECT_EQ(SendMessageW(list, LB_GETCURSEL, 0, 0), static_cast<LRESULT>(n - 1));
    EXPECT_GE(SendMessageW(list, LB_GETTOPINDEX, 0, 0), static_cast<LRESULT>(n - 30));
    EXPECT_EQ(window->listLine(123456), path + "123456.dat ----- 1,234 Bytes");
    EXPECT_GE(updates, 1u);
    EXPECT_LT(updates, n / 100) << "List1 was updated " << updates << " times";
    UpdateWindow(window->hwnd());
    window->listClear();
    EXPECT_EQ(SendMessageW(list, LB_GETCOUNT, 0, 0), 0);
    RemoveWindowSubclass(list, countListUpdates, 1);
}

// Runs quarvex-text-reader on this process's window and returns the records it wrote. The window
// answers the reader's messages while this thread looks at its queue.
std::vector<std::string> readFromAnotherProcess() {
    const std::wstring out = std::wstring(kTestDrive) + L"text-reader.out";
    std::wstring command = L"\"" + besideMe(L"quarvex-text-reader.exe") + L"\" " +
                           std::to_wstring(GetCurrentProcessId()) + L" \"" + out + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION reader{};
    if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &reader)) {
        ADD_FAILURE() << "cannot start the reader";
        return {};
    }
    while (MsgWaitForMultipleObjects(1, &reader.hProcess, FALSE, 30000, QS_ALLINPUT) ==
           WAIT_OBJECT_0 + 1)
        pumpFor(0);
    DWORD code = STILL_ACTIVE;
    GetExitCodeProcess(reader.hProcess, &code);
    if (code == STILL_ACTIVE) TerminateProcess(reader.hProcess, 3);
    CloseHandle(reader.hThread);
    CloseHandle(reader.hProcess);
    EXPECT_EQ(code, 0u) << "the reader failed";
    std::vector<std::string> records;
    std::istringstream in(readFile(out));
    for (std::string record; std::getline(in, record);) records.push_back(record);
    return records;
}

TEST_F(WindowTest, AnotherProcessReadsEveryLineAndTheStatusTextInUtf16) {
    const std::vector<std::string> lines = {
        "T:\\a.txt ----- 5 Bytes",
        "T:\\子 目录\\报告, 1.TXT ----- 2,500,000,000 Bytes",
        "T:\\smile \xF0\x9F\x98\x80.txt ----- 1 Bytes",  // outside the BMP: two UTF-16 units
        "T:\\" + std::string(3000, 'x') + ".txt ----- 12 Bytes",
    };
    for (const std::string& line : lines) window->listAdd(line);
    window->listSelect(lines.size() - 1);
    window->syncList();

    const std::vector<std::string> records = readFromAnotherProcess();
    ASSERT_EQ(records.size(), lines.size() + 2);
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const std::string units = std::to_string(toWide(lines[i]).size());
        EXPECT_EQ(records[i],
                  "line " + std::to_string(i) + " " + units + " " + units + " " + lines[i]);
    }
    EXPECT_EQ(records[lines.size()], "beyond -1");
    const std::string units = std::to_string(toWide(texts::kCopyright).size());
    EXPECT_EQ(records[lines.size() + 1], "status " + units + " " + units + " " + texts::kCopyright);

    // Inside the program the status bar gives the same text.
    wchar_t panel[128] = {};
    const LRESULT got =
        SendMessageW(control(Id::StatusBar1), SB_GETTEXTW, 0, reinterpret_cast<LPARAM>(panel));
    EXPECT_EQ(std::to_string(LOWORD(got)), units);
    EXPECT_EQ(toUtf8(panel), texts::kCopyright);
}

// The brushes the window hands its controls to paint with: the window's, a frame's, an edit box's.
std::vector<HGDIOBJ> controlBrushes(HWND window, HWND button, HWND frame, HWND edit) {
    HDC dc = GetDC(window);
    std::vector<HGDIOBJ> brushes;
    for (auto [message, h] :
         {std::pair{WM_CTLCOLORBTN, button}, std::pair{WM_CTLCOLORSTATIC, frame},
          std::pair{WM_CTLCOLOREDIT, edit}})
        brushes.push_back(reinterpret_cast<HGDIOBJ>(SendMessageW(
            window, message, reinterpret_cast<WPARAM>(dc), reinterpret_cast<LPARAM>(h))));
    ReleaseDC(window, dc);
    return brushes;
}

TEST_F(WindowTest, ApplyingTheSkinAgainReleasesTheBrushesItReplaces) {
    const Skin* skin = activeSkin();
    ASSERT_NE(skin, nullptr);
    auto brushes = [&] {
        return controlBrushes(window->hwnd(), control(Id::Command1), control(Id::Frame1),
                              control(Id::Text1));
    };
    const std::vector<HGDIOBJ> first = brushes();
    for (HGDIOBJ brush : first) ASSERT_EQ(GetObjectType(brush), static_cast<DWORD>(OBJ_BRUSH));

    window->applySkin(skin);
    const std::vector<HGDIOBJ> second = brushes();
    for (std::size_t i = 0; i < first.size(); ++i) {
        EXPECT_EQ(GetObjectType(second[i]), static_cast<DWORD>(OBJ_BRUSH)) << i;
        EXPECT_NE(second[i], first[i]) << i;
        EXPECT_EQ(GetObjectType(first[i]), 0u) << "brush " << i << " was left behind";
    }
    // The window's end deletes the ones it holds.
    close();
    for (std::size_t i = 0; i < second.size(); ++i) EXPECT_EQ(GetObjectType(second[i]), 0u) << i;
}

TEST_F(WindowTest, SkinColoursTheWindowAndABadSkinLeavesThePlatformLook) {
    // The default skin lies beside the program, so the form attached it at load.
    const Skin* skin = activeSkin();
    ASSERT_NE(skin, nullptr);
    ASSERT_TRUE(skin->window.background.has_value());
    EXPECT_EQ(GetWindowLongW(control(Id::Command1), GWL_STYLE) & BS_TYPEMASK, BS_OWNERDRAW);
    RedrawWindow(window->hwnd(), nullptr, nullptr,
                 RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW);
    HDC dc = GetDC(window->hwnd());
    const COLORREF pixel = GetPixel(dc, 3, 3);
    ReleaseDC(window->hwnd(), dc);
    const Rgb want = *skin->window.background;
    EXPECT_EQ(pixel, RGB(want.r, want.g, want.b));

    // A malformed skin: no skin, buttons as the platform draws them.
    close();
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    const std::wstring bad = std::wstring(temp) + L"quarvex-bad.she";
    makeFile(bad, 0);
    HANDLE f = CreateFileW(bad.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD written = 0;
    WriteFile(f, "[window]\nbackground = #12345\n", 29, &written, nullptr);
    CloseHandle(f);
    EXPECT_EQ(SkinH_AttachEx(toUtf8(bad), ""), -1);
    window = std::make_unique<HookedWindow>(GetModuleHandleW(nullptr));
    window->applySkin(activeSkin());
    window->show();
    EXPECT_EQ(GetWindowLongW(control(Id::Command1), GWL_STYLE) & BS_TYPEMASK, BS_DEFPUSHBUTTON);
    wchar_t panel[128] = {};
    SendMessageW(control(Id::StatusBar1), SB_GETTEXTW, 0, reinterpret_cast<LPARAM>(panel));
    EXPECT_EQ(toUtf8(panel), texts::kCopyright);
    settle();
    dc = GetDC(window->hwnd());
    EXPECT_EQ(GetPixel(dc, 3, 3), GetSysColor(COLOR_BTNFACE));
    ReleaseDC(window->hwnd(), dc);
    DeleteFileW(bad.c_str());
}

}  // namespace
}  // namespace quarvex::win32
