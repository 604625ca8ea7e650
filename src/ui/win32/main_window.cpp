#include "ui/win32/main_window.h"

#include <commctrl.h>
#include <uxtheme.h>
#include <windowsx.h>

#include <algorithm>

#include "platform/win32/utf16.h"
#include "ui/texts.h"
#include "ui/win32/gdi.h"

namespace quarvex::win32 {

namespace {

using layout::Id;
using layout::Kind;

constexpr wchar_t kWindowClass[] = L"QuarvexForm1";
constexpr UINT_PTR kFrameSubclass = 1;
constexpr UINT_PTR kListSubclass = 2;
constexpr UINT_PTR kStatusSubclass = 3;
// Lines reach List1 at most this often while a search streams them in.
constexpr std::uint64_t kListSyncMs = 15;
// The caption follows the folders searched at most this often: each change is a round trip to
// the server and the display, and no eye reads more.
constexpr std::uint64_t kCaptionMs = 50;
constexpr UINT_PTR kCaptionTimer = 1;
// The event queue is looked at no more often than this while a search runs.
constexpr long long kPumpIntervalUs = 2000;
// The fixed single border; the sizing border bit is cleared again at load.
constexpr DWORD kWindowStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_CLIPCHILDREN;

COLORREF toColorRef(const Rgb& c) {
    return RGB(c.r, c.g, c.b);
}

COLORREF pick(const std::optional<Rgb>& c, COLORREF fallback) {
    return c ? toColorRef(*c) : fallback;
}

COLORREF blend(COLORREF a, COLORREF b) {
    return RGB((GetRValue(a) + GetRValue(b)) / 2, (GetGValue(a) + GetGValue(b)) / 2,
               (GetBValue(a) + GetBValue(b)) / 2);
}

int systemDpi() {
    const WindowDc screen(nullptr);
    const int dpi = screen.get() != nullptr ? GetDeviceCaps(screen.get(), LOGPIXELSY) : 96;
    return dpi > 0 ? dpi : 96;
}

std::wstring windowText(HWND h) {
    const int n = GetWindowTextLengthW(h);
    std::wstring text(static_cast<std::size_t>(n) + 1, L'\0');
    text.resize(static_cast<std::size_t>(GetWindowTextW(h, text.data(), n + 1)));
    return text;
}

struct ClassInfo {
    const wchar_t* name;
    DWORD style;
    DWORD exStyle;
};

ClassInfo classOf(const layout::Control& c) {
    const DWORD child = WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS;
    switch (c.kind) {
        case Kind::Frame:
            return {L"BUTTON", child | WS_CLIPCHILDREN | BS_GROUPBOX, WS_EX_CONTROLPARENT};
        case Kind::DropDownList:
            return {L"COMBOBOX", child | WS_TABSTOP | WS_VSCROLL | CBS_DROPDOWNLIST, 0};
        case Kind::Label:
            return {L"STATIC", child | SS_LEFT | SS_NOPREFIX, 0};
        case Kind::TextBox:
            return {L"EDIT", child | WS_TABSTOP | ES_AUTOHSCROLL, WS_EX_CLIENTEDGE};
        case Kind::Button:
            return {L"BUTTON",
                    child | WS_TABSTOP | BS_MULTILINE |
                        (c.id == Id::Command1 ? BS_DEFPUSHBUTTON : BS_PUSHBUTTON),
                    0};
        case Kind::ListBox:
            // The control keeps no lines of its own (LBS_NODATA): they are drawn from our buffer.
            return {L"LISTBOX",
                    child | WS_TABSTOP | WS_VSCROLL | LBS_NOTIFY | LBS_NODATA | LBS_OWNERDRAWFIXED |
                        LBS_NOINTEGRALHEIGHT,
                    WS_EX_CLIENTEDGE};
        case Kind::StatusBar:
            return {STATUSCLASSNAMEW, child | CCS_NOPARENTALIGN | CCS_NORESIZE | CCS_NODIVIDER, 0};
        case Kind::MultiLineText:
            return {L"EDIT",
                    child | WS_TABSTOP | ES_MULTILINE | ES_READONLY | ES_AUTOVSCROLL | WS_VSCROLL,
                    WS_EX_CLIENTEDGE};
    }
    return {L"STATIC", child, 0};
}

void registerClass(HINSTANCE instance, WNDPROC proc) {
    static bool registered = false;
    if (registered) return;
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.style = CS_DBLCLKS;
    wc.lpfnWndProc = proc;
    wc.hInstance = instance;
    wc.hIcon = static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(kIconResource), IMAGE_ICON,
                                             GetSystemMetrics(SM_CXICON),
                                             GetSystemMetrics(SM_CYICON), LR_DEFAULTCOLOR));
    wc.hIconSm = static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(kIconResource),
                                               IMAGE_ICON, GetSystemMetrics(SM_CXSMICON),
                                               GetSystemMetrics(SM_CYSMICON), LR_DEFAULTCOLOR));
    if (wc.hIcon == nullptr) wc.hIcon = LoadIconW(nullptr, MAKEINTRESOURCEW(32512));
    wc.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    wc.lpszClassName = kWindowClass;
    registered = RegisterClassExW(&wc) != 0;
}

}  // namespace

MainWindow::MainWindow(HINSTANCE instance) : instance_(instance) {
    dpi_ = systemDpi();
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    pumpInterval_ = frequency.QuadPart * kPumpIntervalUs / 1000000;
    registerClass(instance_, windowProc);

    NONCLIENTMETRICSW metrics{};
    metrics.cbSize = sizeof metrics;
    if (SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0))
        ownFont_.reset(CreateFontIndirectW(&metrics.lfMessageFont));
    font_ = ownFont_ ? ownFont_.get() : static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
    TEXTMETRICW tm{};
    {
        const WindowDc screen(nullptr);
        const Selection font(screen.get(), font_);
        GetTextMetricsW(screen.get(), &tm);
    }
    listItemHeight_ = std::max<int>(tm.tmHeight, 1);

    RECT frame{0, 0, layout::toPixels(layout::kClientWidthTwips, dpi_),
               layout::toPixels(layout::kClientHeightTwips, dpi_)};
    AdjustWindowRectEx(&frame, kWindowStyle, FALSE, 0);
    const int width = frame.right - frame.left, height = frame.bottom - frame.top;
    RECT work{};
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    const int x = work.left + (work.right - work.left - width) / 2;
    const int y = work.top + (work.bottom - work.top - height) / 2;
    CreateWindowExW(0, kWindowClass, win32::toWide(texts::kProductCaption).c_str(), kWindowStyle, x,
                    y, width, height, nullptr, nullptr, instance_, this);
    if (hwnd_ == nullptr) return;
    // The title bar and the task switcher show the window's own icons; the class keeps them.
    SendMessageW(hwnd_, WM_SETICON, ICON_BIG, GetClassLongPtrW(hwnd_, GCLP_HICON));
    SendMessageW(hwnd_, WM_SETICON, ICON_SMALL, GetClassLongPtrW(hwnd_, GCLP_HICONSM));
    createControls();
}

MainWindow::~MainWindow() {
    // The controls go first; the brushes and the font they were drawn with follow as members.
    if (hwnd_ != nullptr) DestroyWindow(hwnd_);
}

void MainWindow::createControls() {
    for (const layout::Control& c : layout::kControls) {
        const ClassInfo info = classOf(c);
        layout::Rect r = layout::clientRect(c.id, dpi_);
        HWND parent = hwnd_;
        if (c.container != Id::None) {
            const layout::Rect outer = layout::clientRect(c.container, dpi_);
            r.left -= outer.left;
            r.top -= outer.top;
            parent = control(c.container);
        }
        // A drop-down list's height includes its open list; its closed height is set below.
        const int height = c.kind == Kind::DropDownList ? r.height * 10 : r.height;
        const std::wstring text =
            c.kind == Kind::StatusBar ? std::wstring() : win32::toWide(c.text);
        HWND h = CreateWindowExW(info.exStyle, info.name, text.c_str(), info.style, r.left, r.top,
                                 r.width, height, parent,
                                 reinterpret_cast<HMENU>(static_cast<INT_PTR>(controlId(c.id))),
                                 instance_, nullptr);
        controls_[static_cast<std::size_t>(c.id)] = h;
        if (h == nullptr) continue;
        SendMessageW(h, WM_SETFONT, reinterpret_cast<WPARAM>(font_), FALSE);
        if (c.kind == Kind::Label) {
            // A label sizes itself to its caption.
            const WindowDc dc(h);
            const Selection font(dc.get(), font_);
            SIZE caption{};
            GetTextExtentPoint32W(dc.get(), text.c_str(), static_cast<int>(text.size()), &caption);
            SetWindowPos(h, nullptr, 0, 0, caption.cx, caption.cy,
                         SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
        }
        // Frames hold controls: what their children report goes on to the window.
        if (c.kind == Kind::Frame)
            SetWindowSubclass(h, frameProc, kFrameSubclass, reinterpret_cast<DWORD_PTR>(this));
        if (c.kind == Kind::DropDownList) {
            // Make the closed box exactly as tall as the table says; its borders depend on the
            // system, so measure and correct.
            // (Wine reports a field height other than the one set, so keep our own.)
            int field = static_cast<int>(SendMessageW(h, CB_GETITEMHEIGHT, WPARAM(-1), 0));
            for (int attempt = 0; attempt < 3; ++attempt) {
                RECT now{};
                GetWindowRect(h, &now);
                const int off = r.height - (now.bottom - now.top);
                if (off == 0) break;
                field = std::max(1, field + off);
                SendMessageW(h, CB_SETITEMHEIGHT, WPARAM(-1), field);
            }
        }
        if (c.kind == Kind::ListBox) {
            SetWindowSubclass(h, listProc, kListSubclass, reinterpret_cast<DWORD_PTR>(this));
            // The list answers LB_GETTEXT itself. The system carries that text to another process
            // only for a list whose style says it has strings; the control fixed its no-data kind
            // when it was created, so the bit changes nothing else.
            SetWindowLongPtrW(h, GWL_STYLE, GetWindowLongPtrW(h, GWL_STYLE) | LBS_HASSTRINGS);
            // Whole lines only: the smallest line height, no less than the font's, that divides
            // the list's inside height (12 pixels and 21 lines with a 12-pixel font).
            RECT inside{};
            GetClientRect(h, &inside);
            for (int line = listItemHeight_; line <= listItemHeight_ * 3 / 2; ++line) {
                if (inside.bottom > 0 && inside.bottom % line == 0) {
                    listItemHeight_ = line;
                    break;
                }
            }
            SendMessageW(h, LB_SETITEMHEIGHT, 0, listItemHeight_);
        }
        if (c.kind == Kind::StatusBar) {
            int right = layout::toPixels(layout::kStatusPanelWidthTwips, dpi_);
            SendMessageW(h, SB_SETPARTS, 1, reinterpret_cast<LPARAM>(&right));
            statusText_ = win32::toWide(c.text);
            SendMessageW(h, SB_SETTEXTW, 0, reinterpret_cast<LPARAM>(statusText_.c_str()));
            SetWindowSubclass(h, statusProc, kStatusSubclass, reinterpret_cast<DWORD_PTR>(this));
        }
    }
    // Front-to-back order of the window's own children: each goes behind the ones before it.
    for (Id id : layout::kWindowChildrenFrontToBack)
        SetWindowPos(control(id), HWND_BOTTOM, 0, 0, 0, 0,
                     SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
}

void MainWindow::applySkin(const Skin* skin) {
    skinned_ = skin != nullptr;
    if (!skinned_) return;
    skin_ = *skin;
    const COLORREF face = GetSysColor(COLOR_BTNFACE), text = GetSysColor(COLOR_BTNTEXT);
    const COLORREF windowBg = GetSysColor(COLOR_WINDOW), windowText = GetSysColor(COLOR_WINDOWTEXT);
    auto make = [](Colours& c, COLORREF background, COLORREF foreground) {
        c.background = background;
        c.text = foreground;
        c.brush.reset(CreateSolidBrush(background));
    };
    make(window_, pick(skin_.window.background, face), pick(skin_.window.text, text));
    make(frame_, pick(skin_.frame.background, window_.background),
         pick(skin_.frame.text, window_.text));
    make(edit_, pick(skin_.edit.background, windowBg), pick(skin_.edit.text, windowText));
    make(list_, pick(skin_.list.background, windowBg), pick(skin_.list.text, windowText));
    make(status_, pick(skin_.status.background, window_.background),
         pick(skin_.status.text, window_.text));

    // Buttons draw themselves in the skin's colours; Enter still reaches Command1 (DM_GETDEFID).
    for (Id id : {Id::Command1, Id::Command2, Id::Command3, Id::Command4, Id::Command5})
        SendMessageW(control(id), BM_SETSTYLE, BS_OWNERDRAW, TRUE);
    HWND status = control(Id::StatusBar1);
    // A themed status bar ignores its background colour.
    SetWindowTheme(status, L"", L"");
    SendMessageW(status, SB_SETBKCOLOR, 0, static_cast<LPARAM>(status_.background));
    SendMessageW(status, SB_SETTEXTW, SBT_OWNERDRAW, reinterpret_cast<LPARAM>(statusText_.c_str()));
    RedrawWindow(hwnd_, nullptr, nullptr, RDW_ERASE | RDW_INVALIDATE | RDW_ALLCHILDREN | RDW_FRAME);
}

void MainWindow::show() {
    if (hwnd_ == nullptr) return;
    ShowWindow(hwnd_, SW_SHOWNORMAL);
    UpdateWindow(hwnd_);
    SetFocus(control(Id::List1));
}

int MainWindow::run() {
    MSG msg{};
    for (;;) {
        syncList();
        if (GetMessageW(&msg, nullptr, 0, 0) <= 0) break;
        dispatch(msg);
    }
    return msg.message == WM_QUIT ? static_cast<int>(msg.wParam) : 1;
}

void MainWindow::dispatch(MSG& msg) {
    if (hwnd_ != nullptr && msg.message == WM_KEYDOWN &&
        (msg.hwnd == hwnd_ || IsChild(hwnd_, msg.hwnd))) {
        HWND combo = control(Id::Combo1);
        const bool dropped = SendMessageW(combo, CB_GETDROPPEDSTATE, 0, 0) != 0;
        if (msg.wParam == VK_TAB) {
            // The tab order is the layout table's, not the stacking order a dialog would walk.
            if (dropped) SendMessageW(combo, CB_SHOWDROPDOWN, FALSE, 0);
            moveFocus(GetKeyState(VK_SHIFT) < 0);
            return;
        }
        if (msg.wParam == VK_RETURN && !dropped) {
            // A focused button takes Enter; anywhere else it clicks the default button.
            HWND focus = GetFocus();
            for (Id id : {Id::Command1, Id::Command2, Id::Command3, Id::Command4, Id::Command5}) {
                if (focus == control(id)) {
                    onCommand(controlId(id), BN_CLICKED);
                    return;
                }
            }
            const LRESULT def = SendMessageW(hwnd_, DM_GETDEFID, 0, 0);
            if (HIWORD(def) == DC_HASDEFID) {
                HWND button = GetDlgItem(hwnd_, LOWORD(def));
                if (button != nullptr && IsWindowEnabled(button))
                    onCommand(LOWORD(def), BN_CLICKED);
            }
            return;
        }
    }
    if (hwnd_ != nullptr && IsDialogMessageW(hwnd_, &msg)) return;
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
}

void MainWindow::pumpEvents() {
    // The search calls in at every entry. Looking at the queue is a round trip to the server
    // under Wine, so it is looked at no more than every couple of milliseconds: a click or a
    // repaint still gets its answer well within a frame.
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    if (now.QuadPart < nextPump_) return;
    pumpNow();
    // On a loaded machine a look waits for the server and the display to be scheduled, and may
    // take longer than the interval: the search still gets four times what it took, up to the
    // longest wait that keeps the window answering.
    LARGE_INTEGER done;
    QueryPerformanceCounter(&done);
    const long long took = done.QuadPart - now.QuadPart;
    nextPump_ = done.QuadPart + std::clamp(4 * took, pumpInterval_, 50 * pumpInterval_);
}

void MainWindow::pumpNow() {
    const std::uint64_t now = GetTickCount64();
    if (listDirty_ && now - lastListSync_ >= kListSyncMs) syncList();
    if (captionPending_ && now - lastCaption_ >= kCaptionMs) showCaption();
    // Nothing pending: back to the search at the cost of one query.
    if (HIWORD(GetQueueStatus(QS_ALLINPUT)) == 0) return;
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_QUIT) {
            // The program is ending: leave the request for the event loop that owns it.
            PostQuitMessage(static_cast<int>(msg.wParam));
            return;
        }
        dispatch(msg);
    }
}

void MainWindow::moveFocus(bool backwards) {
    const auto order = layout::focusOrder();
    const int n = static_cast<int>(order.size());
    HWND focus = GetFocus();
    int at = -1;
    for (int i = 0; i < n; ++i) {
        HWND h = control(order[static_cast<std::size_t>(i)]);
        if (focus == h || (focus != nullptr && IsChild(h, focus))) at = i;
    }
    if (at < 0) at = backwards ? 0 : n - 1;
    for (int step = 1; step <= n; ++step) {
        const int i = ((at + (backwards ? -step : step)) % n + n) % n;
        HWND h = control(order[static_cast<std::size_t>(i)]);
        if (h != nullptr && IsWindowEnabled(h) && IsWindowVisible(h)) {
            SetFocus(h);
            return;
        }
    }
}

void MainWindow::setEnabled(Id id, bool enabled) {
    if (!alive()) return;
    HWND h = control(id);
    // A control losing the focus as it is disabled would leave the keyboard nowhere.
    if (!enabled && GetFocus() == h) moveFocus(false);
    EnableWindow(h, enabled ? TRUE : FALSE);
}

void MainWindow::setCaption(const std::string& text) {
    caption_ = win32::toWide(text);
    if (GetTickCount64() - lastCaption_ >= kCaptionMs) return showCaption();
    // Shown by the next pump when due, or by the timer when the search has ended.
    if (!captionPending_ && alive()) SetTimer(hwnd_, kCaptionTimer, kCaptionMs, nullptr);
    captionPending_ = true;
}

void MainWindow::showCaption() {
    captionPending_ = false;
    lastCaption_ = GetTickCount64();
    if (alive()) SetWindowTextW(hwnd_, caption_.c_str());
}

bool MainWindow::command1Enabled() const {
    return alive() && IsWindowEnabled(control(Id::Command1));
}
void MainWindow::setCommand1Enabled(bool enabled) {
    setEnabled(Id::Command1, enabled);
}
bool MainWindow::command2Enabled() const {
    return alive() && IsWindowEnabled(control(Id::Command2));
}
void MainWindow::setCommand2Enabled(bool enabled) {
    setEnabled(Id::Command2, enabled);
}

void MainWindow::comboAdd(const std::string& entry) {
    if (alive())
        SendMessageW(control(Id::Combo1), CB_ADDSTRING, 0,
                     reinterpret_cast<LPARAM>(win32::toWide(entry).c_str()));
}

std::size_t MainWindow::comboCount() const {
    if (!alive()) return 0;
    const LRESULT n = SendMessageW(control(Id::Combo1), CB_GETCOUNT, 0, 0);
    return n > 0 ? static_cast<std::size_t>(n) : 0;
}

std::string MainWindow::comboEntry(std::size_t index) const {
    if (!alive()) return {};
    HWND combo = control(Id::Combo1);
    const LRESULT n = SendMessageW(combo, CB_GETLBTEXTLEN, index, 0);
    if (n < 0) return {};
    std::wstring text(static_cast<std::size_t>(n) + 1, L'\0');
    const LRESULT got =
        SendMessageW(combo, CB_GETLBTEXT, index, reinterpret_cast<LPARAM>(text.data()));
    text.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
    return win32::toUtf8(text);
}

std::string MainWindow::comboText() const {
    if (!alive()) return {};
    const LRESULT selected = SendMessageW(control(Id::Combo1), CB_GETCURSEL, 0, 0);
    return selected < 0 ? std::string() : comboEntry(static_cast<std::size_t>(selected));
}

bool MainWindow::setComboText(const std::string& text) {
    if (!alive()) return false;
    const std::ptrdiff_t index = findComboEntry(*this, text);
    if (index < 0) return false;
    SendMessageW(control(Id::Combo1), CB_SETCURSEL, static_cast<WPARAM>(index), 0);
    return true;
}

std::string MainWindow::text1() const {
    return alive() ? win32::toUtf8(windowText(control(Id::Text1))) : std::string();
}

void MainWindow::setText1(const std::string& text) {
    if (alive()) SetWindowTextW(control(Id::Text1), win32::toWide(text).c_str());
}

void MainWindow::listClear() {
    lines_.clear();
    selected_ = -1;
    listDirty_ = true;
    syncList();
}

void MainWindow::listAdd(std::string_view line) {
    lines_.append(line);
    listDirty_ = true;
}

void MainWindow::listSelect(std::size_t index) {
    if (index >= lines_.size()) return;
    selected_ = static_cast<std::ptrdiff_t>(index);
    listDirty_ = true;
}

std::ptrdiff_t MainWindow::listSelectedIndex() const {
    return selected_;
}

std::ptrdiff_t MainWindow::lineAt(int y) const {
    HWND list = control(Id::List1);
    const LRESULT top = SendMessageW(list, LB_GETTOPINDEX, 0, 0);
    const LRESULT count = SendMessageW(list, LB_GETCOUNT, 0, 0);
    if (y < 0 || top < 0) return -1;
    const LRESULT line = top + y / listItemHeight_;
    return line < count ? static_cast<std::ptrdiff_t>(line) : -1;
}

std::string MainWindow::listLine(std::size_t index) const {
    return index < lines_.size() ? std::string(lines_.at(index)) : std::string();
}

void MainWindow::syncList() const {
    if (!listDirty_) return;
    listDirty_ = false;
    lastListSync_ = GetTickCount64();
    if (!alive()) return;
    HWND list = control(Id::List1);
    const auto count = static_cast<WPARAM>(lines_.size());
    if (static_cast<WPARAM>(SendMessageW(list, LB_GETCOUNT, 0, 0)) != count)
        SendMessageW(list, LB_SETCOUNT, count, 0);
    // Selecting a line also scrolls it into view.
    if (SendMessageW(list, LB_GETCURSEL, 0, 0) != selected_)
        SendMessageW(list, LB_SETCURSEL, static_cast<WPARAM>(selected_), 0);
}

int MainWindow::messageBox(BoxKind kind, const std::string& text) {
    syncList();
    if (captionPending_) showCaption();
    const int answer =
        MessageBoxW(alive() ? hwnd_ : nullptr, win32::toWide(text).c_str(),
                    win32::toWide(texts::kBoxTitle).c_str(), static_cast<UINT>(boxStyle(kind)));
    lastCaption_ = 0;  // a caption set after a box is shown at once
    return answer;
}

void MainWindow::clearSizingBorder() {
    if (!alive()) return;
    const LONG style = GetWindowLongW(hwnd_, GWL_STYLE);
    SetWindowLongW(hwnd_, GWL_STYLE, style & ~static_cast<LONG>(WS_THICKFRAME));
    SetWindowPos(hwnd_, nullptr, 0, 0, 0, 0,
                 SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE | SWP_FRAMECHANGED);
}

std::string MainWindow::text2() const {
    return alive() ? win32::toUtf8(windowText(control(Id::Text2))) : std::string();
}

void MainWindow::unload() {
    if (unloaded_) return;
    unloaded_ = true;
    // From here on nothing touches a control; a search still on the stack unwinds through no-ops.
    if (hwnd_ != nullptr) DestroyWindow(hwnd_);
}

void MainWindow::onCommand(int id, int code) {
    if (form_ == nullptr || unloaded_) return;
    if (id == controlId(Id::List1)) {
        if (code == LBN_SELCHANGE) {
            // The user moved the selection; it counts until the search selects again.
            const LRESULT selected = SendMessageW(control(Id::List1), LB_GETCURSEL, 0, 0);
            if (selected != LB_ERR) selected_ = static_cast<std::ptrdiff_t>(selected);
        } else if (code == LBN_DBLCLK) {
            // The line under the pointer is the one meant, even if the search selected a newer
            // one since the first click; the list shows it selected before it opens.
            if (doubleClicked_ >= 0) {
                selected_ = doubleClicked_;
                listDirty_ = true;
                syncList();
            }
            form_->List1_DblClick();
        }
        return;
    }
    if (code != BN_CLICKED) return;
    if (id == controlId(Id::Command1)) {
        if (command1Enabled()) form_->Command1_Click();
    } else if (id == controlId(Id::Command2)) {
        if (command2Enabled()) form_->Command2_Click();
    } else if (id == controlId(Id::Command3)) {
        form_->Command3_Click();
    } else if (id == controlId(Id::Command4)) {
        form_->Command4_Click();
    } else if (id == controlId(Id::Command5)) {
        form_->Command5_Click();
    }
}

LRESULT CALLBACK MainWindow::windowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    MainWindow* self = nullptr;
    if (message == WM_NCCREATE) {
        self = static_cast<MainWindow*>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
        self->hwnd_ = hwnd;
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
    } else {
        self = reinterpret_cast<MainWindow*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    }
    if (self == nullptr) return DefWindowProcW(hwnd, message, wParam, lParam);
    if (message == WM_NCDESTROY) {
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
        self->hwnd_ = nullptr;
        self->controls_.fill(nullptr);
        return DefWindowProcW(hwnd, message, wParam, lParam);
    }
    return self->handle(message, wParam, lParam);
}

LRESULT CALLBACK MainWindow::frameProc(HWND frame, UINT message, WPARAM wParam, LPARAM lParam,
                                       UINT_PTR, DWORD_PTR self) {
    auto& window = *reinterpret_cast<MainWindow*>(self);
    switch (message) {
        case WM_COMMAND:
        case WM_NOTIFY:
        case WM_DRAWITEM:
        case WM_MEASUREITEM:
        case WM_CTLCOLORSTATIC:
        case WM_CTLCOLOREDIT:
        case WM_CTLCOLORLISTBOX:
        case WM_CTLCOLORBTN:
            // A frame only holds its controls: their notifications belong to the window.
            if (window.hwnd_ != nullptr) return SendMessageW(window.hwnd_, message, wParam, lParam);
            break;
        case WM_ERASEBKGND: {
            // The window clips its children, so a frame paints the area it covers itself.
            RECT r;
            GetClientRect(frame, &r);
            FillRect(reinterpret_cast<HDC>(wParam), &r,
                     window.skinned_ ? window.frame_.brush.get() : GetSysColorBrush(COLOR_BTNFACE));
            return 1;
        }
        case WM_PAINT:
            if (window.skinned_) {
                window.paintFrame(frame);
                return 0;
            }
            break;
        case WM_NCDESTROY:
            RemoveWindowSubclass(frame, frameProc, kFrameSubclass);
            break;
        default:
            break;
    }
    return DefSubclassProc(frame, message, wParam, lParam);
}

LRESULT CALLBACK MainWindow::listProc(HWND list, UINT message, WPARAM wParam, LPARAM lParam,
                                      UINT_PTR, DWORD_PTR self) {
    auto& window = *reinterpret_cast<MainWindow*>(self);
    switch (message) {
        case WM_LBUTTONDBLCLK: {
            // The list reports the double-click while it handles it; note where it landed.
            window.doubleClicked_ = window.lineAt(GET_Y_LPARAM(lParam));
            const LRESULT result = DefSubclassProc(list, message, wParam, lParam);
            window.doubleClicked_ = -1;
            return result;
        }
        case LB_GETTEXTLEN:
        case LB_GETTEXT: {
            // The control holds no strings: the lines are ours, handed out in UTF-16 for screen
            // readers and other programs, as far as the control knows of them.
            const auto count = static_cast<WPARAM>(DefSubclassProc(list, LB_GETCOUNT, 0, 0));
            if (wParam >= count || wParam >= window.lines_.size()) return LB_ERR;
            const std::wstring line = win32::toWide(window.lines_.at(wParam));
            if (message == LB_GETTEXT && lParam != 0)
                std::copy(line.c_str(), line.c_str() + line.size() + 1,
                          reinterpret_cast<wchar_t*>(lParam));
            return static_cast<LRESULT>(line.size());
        }
        case WM_NCDESTROY:
            RemoveWindowSubclass(list, listProc, kListSubclass);
            break;
        default:
            break;
    }
    return DefSubclassProc(list, message, wParam, lParam);
}

LRESULT CALLBACK MainWindow::statusProc(HWND status, UINT message, WPARAM wParam, LPARAM lParam,
                                        UINT_PTR, DWORD_PTR self) {
    const std::wstring& text = reinterpret_cast<MainWindow*>(self)->statusText_;
    switch (message) {
        case SB_GETTEXTLENGTHW:
        case SB_GETTEXTW:
            // A skinned panel is drawn by the window and holds no text; it is answered here alike.
            if (LOWORD(wParam) != 0) break;
            if (message == SB_GETTEXTW && lParam != 0)
                std::copy(text.c_str(), text.c_str() + text.size() + 1,
                          reinterpret_cast<wchar_t*>(lParam));
            return MAKELRESULT(text.size(), 0);
        case WM_NCDESTROY:
            RemoveWindowSubclass(status, statusProc, kStatusSubclass);
            break;
        default:
            break;
    }
    return DefSubclassProc(status, message, wParam, lParam);
}

LRESULT MainWindow::handle(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_COMMAND:
            onCommand(LOWORD(wParam), HIWORD(wParam));
            return 0;
        case DM_GETDEFID:
            return MAKELRESULT(controlId(Id::Command1), DC_HASDEFID);
        case WM_CLOSE:
        case WM_QUERYENDSESSION: {
            // Every close request is confirmed by the form; it unloads the window on Yes.
            int cancel = 0;
            if (form_ != nullptr)
                form_->Form_QueryUnload(cancel);
            else
                unload();
            return message == WM_QUERYENDSESSION ? (cancel == 0) : 0;
        }
        case WM_TIMER:
            if (wParam != kCaptionTimer) break;
            KillTimer(hwnd_, kCaptionTimer);
            if (captionPending_) showCaption();
            return 0;
        case WM_DESTROY:
            PostQuitMessage(0);
            return 0;
        case WM_ACTIVATE:
            // Give the focus back to the control that had it, List1 the first time.
            if (LOWORD(wParam) == WA_INACTIVE) {
                HWND focus = GetFocus();
                if (focus != nullptr && IsChild(hwnd_, focus)) lastFocus_ = focus;
            } else {
                HWND target =
                    lastFocus_ != nullptr && IsWindow(lastFocus_) && IsWindowEnabled(lastFocus_)
                        ? lastFocus_
                        : control(Id::List1);
                SetFocus(target);
            }
            return 0;
        case WM_MEASUREITEM: {
            auto* item = reinterpret_cast<MEASUREITEMSTRUCT*>(lParam);
            if (item->CtlType == ODT_LISTBOX) item->itemHeight = static_cast<UINT>(listItemHeight_);
            return TRUE;
        }
        case WM_DRAWITEM: {
            const auto* item = reinterpret_cast<const DRAWITEMSTRUCT*>(lParam);
            if (item->CtlType == ODT_LISTBOX) {
                drawListLine(*item);
            } else if (item->CtlType == ODT_BUTTON) {
                drawButton(*item);
            } else if (item->hwndItem == control(Id::StatusBar1)) {
                SetBkMode(item->hDC, TRANSPARENT);
                SetTextColor(item->hDC, status_.text);
                RECT r = item->rcItem;
                r.left += 4;
                DrawTextW(item->hDC, statusText_.c_str(), -1, &r,
                          DT_SINGLELINE | DT_VCENTER | DT_NOPREFIX | DT_END_ELLIPSIS);
            }
            return TRUE;
        }
        case WM_ERASEBKGND:
            if (skinned_) {
                RECT r;
                GetClientRect(hwnd_, &r);
                FillRect(reinterpret_cast<HDC>(wParam), &r, window_.brush.get());
                return 1;
            }
            break;
        case WM_CTLCOLORSTATIC:
        case WM_CTLCOLOREDIT:
        case WM_CTLCOLORLISTBOX:
        case WM_CTLCOLORBTN:
            if (skinned_)
                return reinterpret_cast<LRESULT>(colourControl(
                    reinterpret_cast<HDC>(wParam), reinterpret_cast<HWND>(lParam), message));
            break;
        default:
            break;
    }
    return DefWindowProcW(hwnd_, message, wParam, lParam);
}

HBRUSH MainWindow::colourControl(HDC dc, HWND h, UINT message) const {
    const Colours* c = &window_;
    if (h == control(Id::Text1) || h == control(Id::Text2) || h == control(Id::Combo1) ||
        message == WM_CTLCOLORLISTBOX)
        c = &edit_;
    else if (GetParent(h) != hwnd_ || h == control(Id::Frame1) || h == control(Id::Frame2) ||
             h == control(Id::Frame3))
        c = &frame_;
    // The label sits on its frame's background but reads as ordinary text.
    SetTextColor(dc, h == control(Id::Label1) ? window_.text : c->text);
    SetBkColor(dc, c->background);
    return c->brush.get();
}

void MainWindow::drawListLine(const DRAWITEMSTRUCT& item) const {
    HDC dc = item.hDC;
    RECT r = item.rcItem;
    const bool selected = (item.itemState & ODS_SELECTED) != 0;
    COLORREF background = skinned_ ? list_.background : GetSysColor(COLOR_WINDOW);
    COLORREF text = skinned_ ? list_.text : GetSysColor(COLOR_WINDOWTEXT);
    if (selected) {
        background = skinned_ ? pick(skin_.list.selection, GetSysColor(COLOR_HIGHLIGHT))
                              : GetSysColor(COLOR_HIGHLIGHT);
        text = skinned_ ? pick(skin_.list.selectionText, GetSysColor(COLOR_HIGHLIGHTTEXT))
                        : GetSysColor(COLOR_HIGHLIGHTTEXT);
    }
    SetBkColor(dc, background);
    SetTextColor(dc, text);
    std::wstring line;
    if (item.itemID != static_cast<UINT>(-1) && item.itemID < lines_.size())
        line = win32::toWide(lines_.at(item.itemID));
    // One call fills the row and draws its text.
    ExtTextOutW(dc, r.left + 2, r.top, ETO_OPAQUE | ETO_CLIPPED, &r, line.c_str(),
                static_cast<UINT>(line.size()), nullptr);
    if ((item.itemState & ODS_FOCUS) != 0) DrawFocusRect(dc, &r);
}

void MainWindow::drawButton(const DRAWITEMSTRUCT& item) const {
    HDC dc = item.hDC;
    RECT r = item.rcItem;
    const bool pressed = (item.itemState & ODS_SELECTED) != 0;
    const bool disabled = (item.itemState & ODS_DISABLED) != 0;
    const bool focused = (item.itemState & ODS_FOCUS) != 0;
    const COLORREF face = pressed ? pick(skin_.button.pressed, GetSysColor(COLOR_BTNSHADOW))
                                  : pick(skin_.button.background, GetSysColor(COLOR_BTNFACE));
    const COLORREF border = pick(skin_.button.border, GetSysColor(COLOR_BTNSHADOW));
    COLORREF text = pick(skin_.button.text, GetSysColor(COLOR_BTNTEXT));
    if (disabled) text = blend(text, face);

    FillRect(dc, &r, window_.brush.get());
    {
        const GdiObject<HBRUSH> faceBrush(CreateSolidBrush(face));
        const GdiObject<HPEN> pen(CreatePen(
            PS_SOLID, item.CtlID == static_cast<UINT>(controlId(Id::Command1)) ? 2 : 1, border));
        const Selection usePen(dc, pen.get()), useBrush(dc, faceBrush.get());
        const int round = std::max(2, dpi_ / 24);
        RoundRect(dc, r.left, r.top, r.right, r.bottom, round * 2, round * 2);
    }

    const std::wstring caption = windowText(item.hwndItem);
    RECT textRect = r;
    InflateRect(&textRect, -4, -4);
    if (pressed) OffsetRect(&textRect, 1, 1);
    // Centre the caption vertically, wrapped on words if it needs two lines.
    RECT measure = textRect;
    DrawTextW(dc, caption.c_str(), -1, &measure,
              DT_CENTER | DT_WORDBREAK | DT_CALCRECT | DT_NOPREFIX);
    const int h = measure.bottom - measure.top;
    textRect.top += std::max(0L, ((textRect.bottom - textRect.top) - h) / 2);
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, text);
    DrawTextW(dc, caption.c_str(), -1, &textRect, DT_CENTER | DT_WORDBREAK | DT_NOPREFIX);
    if (focused && !disabled) {
        RECT f = r;
        InflateRect(&f, -3, -3);
        DrawFocusRect(dc, &f);
    }
}

void MainWindow::paintFrame(HWND frame) const {
    const PaintDc paint(frame);
    HDC dc = paint.get();
    RECT r;
    GetClientRect(frame, &r);
    FillRect(dc, &r, frame_.brush.get());
    const Selection font(dc, font_);
    const std::wstring caption = windowText(frame);
    SIZE extent{};
    GetTextExtentPoint32W(dc, caption.c_str(), static_cast<int>(caption.size()), &extent);
    {
        const GdiObject<HPEN> pen(
            CreatePen(PS_SOLID, 1, pick(skin_.frame.border, GetSysColor(COLOR_BTNSHADOW))));
        const Selection usePen(dc, pen.get()), noFill(dc, GetStockObject(NULL_BRUSH));
        RoundRect(dc, r.left, r.top + extent.cy / 2, r.right, r.bottom, 6, 6);
    }
    RECT textRect{r.left + 6, r.top, r.left + 10 + extent.cx, r.top + extent.cy};
    FillRect(dc, &textRect, frame_.brush.get());
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, frame_.text);
    TextOutW(dc, r.left + 8, r.top, caption.c_str(), static_cast<int>(caption.size()));
}

void loadForm(MainWindow& window, Form1& form) {
    window.attach(form);
    form.Form_Load();
    window.applySkin(activeSkin());
}

}  // namespace quarvex::win32
