// Form1 as a native Win32 window: the controls of the shared layout table, the window operations
// the search and the handlers perform, and the event pump.
#pragma once

#include <windows.h>

#include <array>
#include <cstdint>
#include <string>

#include "ui/form.h"
#include "ui/layout.h"
#include "ui/line_store.h"
#include "ui/skin.h"
#include "ui/win32/gdi.h"

namespace quarvex::win32 {

// Resource id of the program icon in the executable (see resources/quarvex.rc).
inline constexpr int kIconResource = 1;

// Control ids: a fixed base plus the control's place in layout::Id.
inline constexpr int kFirstControlId = 1000;
constexpr int controlId(layout::Id id) {
    return kFirstControlId + static_cast<int>(id);
}

class MainWindow : public FormWindow {
  public:
    explicit MainWindow(HINSTANCE instance);
    ~MainWindow() override;
    MainWindow(const MainWindow&) = delete;
    MainWindow& operator=(const MainWindow&) = delete;

    // Routes the window's events to the form's handlers.
    void attach(Form1& form) { form_ = &form; }
    // Gives the controls the attached skin's colours (nothing when none is attached).
    void applySkin(const Skin* skin);
    // Shows the window with List1 focused.
    void show();
    // The program's event loop; returns the exit code once the window has unloaded.
    int run();

    HWND hwnd() const { return hwnd_; }
    HWND control(layout::Id id) const { return controls_[static_cast<std::size_t>(id)]; }
    int dpi() const { return dpi_; }

    // Window
    void setCaption(const std::string& text) override;
    bool command1Enabled() const override;
    void setCommand1Enabled(bool enabled) override;
    bool command2Enabled() const override;
    void setCommand2Enabled(bool enabled) override;
    void comboAdd(const std::string& entry) override;
    std::size_t comboCount() const override;
    std::string comboEntry(std::size_t index) const override;
    std::string comboText() const override;
    bool setComboText(const std::string& text) override;
    std::string text1() const override;
    void setText1(const std::string& text) override;
    void listClear() override;
    void listAdd(std::string_view line) override;
    std::size_t listCount() const override { return lines_.size(); }
    void listSelect(std::size_t index) override;
    std::ptrdiff_t listSelectedIndex() const override;
    std::string listLine(std::size_t index) const override;
    int messageBox(BoxKind kind, const std::string& text) override;
    void pumpEvents() override;

    // FormWindow
    void clearSizingBorder() override;
    std::string text2() const override;
    void unload() override;

    // Brings List1 up to date with the lines and selection the search has set.
    void syncList() const;
    // Handles one message the way the event loop does (keyboard navigation, then dispatch).
    void dispatch(MSG& msg);

  private:
    // Brings List1 and the caption up to date when due, and handles what is queued.
    void pumpNow();
    void showCaption();
    static LRESULT CALLBACK windowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
    static LRESULT CALLBACK frameProc(HWND frame, UINT message, WPARAM wParam, LPARAM lParam,
                                      UINT_PTR subclass, DWORD_PTR self);
    static LRESULT CALLBACK listProc(HWND list, UINT message, WPARAM wParam, LPARAM lParam,
                                     UINT_PTR subclass, DWORD_PTR self);
    static LRESULT CALLBACK statusProc(HWND status, UINT message, WPARAM wParam, LPARAM lParam,
                                       UINT_PTR subclass, DWORD_PTR self);
    LRESULT handle(UINT message, WPARAM wParam, LPARAM lParam);
    void createControls();
    void onCommand(int id, int code);
    void moveFocus(bool backwards);
    void setEnabled(layout::Id id, bool enabled);
    // The line of List1 at height `y` of its client area, or -1 below the last one.
    std::ptrdiff_t lineAt(int y) const;
    void drawListLine(const DRAWITEMSTRUCT& item) const;
    void drawButton(const DRAWITEMSTRUCT& item) const;
    void paintFrame(HWND frame) const;
    HBRUSH colourControl(HDC dc, HWND control, UINT message) const;
    bool alive() const { return hwnd_ != nullptr && !unloaded_; }

    HINSTANCE instance_;
    HWND hwnd_ = nullptr;
    std::array<HWND, 14> controls_{};
    Form1* form_ = nullptr;
    GdiObject<HFONT> ownFont_;
    HFONT font_ = nullptr;  // ours, or the stock UI font
    int dpi_ = 96;
    int listItemHeight_ = 12;
    bool unloaded_ = false;
    long long nextPump_ = 0;  // performance counter ticks
    long long pumpInterval_ = 0;
    HWND lastFocus_ = nullptr;

    // List1 owns no strings: its lines live here and the control only learns their count.
    // Updates reach the control at most once per pump interval.
    LineStore lines_;
    // The selected line as the search and the user last set it; the control catches up at a sync.
    std::ptrdiff_t selected_ = -1;
    // The line under the pointer while List1 handles a double-click, or -1.
    std::ptrdiff_t doubleClicked_ = -1;
    mutable bool listDirty_ = false;
    mutable std::uint64_t lastListSync_ = 0;
    // The caption as last set; shown at a pace while a search names folder after folder.
    std::wstring caption_;
    bool captionPending_ = false;
    std::uint64_t lastCaption_ = 0;

    // Skin colours; null brushes mean the platform look.
    struct Colours {
        COLORREF background, text;
        GdiObject<HBRUSH> brush;
    };
    bool skinned_ = false;
    Skin skin_{};
    Colours window_{}, frame_{}, edit_{}, list_{}, status_{};
    std::wstring statusText_;
};

// Registers the window class, creates the window, runs Form_Load and applies the skin: everything
// the program does before the window is shown.
void loadForm(MainWindow& window, Form1& form);

}  // namespace quarvex::win32
